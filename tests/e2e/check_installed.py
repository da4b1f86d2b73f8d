"""The installed Debian package as a user meets it: varenta-test on the PATH,
started from a folder of its own, with its manual page, and a piped dialogue
on the built-in synthesizer, which plays into a JACK server of the test's own
(dummy back end) because this machine has no sound card.

Run by scripts/check-package after installing the package, with the
package's version in VARENTA_VERSION."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import JackServer, no_audio_env

VERSION = os.environ.get("VARENTA_VERSION", "")
MENU_END = re.compile(r"\n([A-Z]) - QuickTime\n$")


def run(args, stdin=b"", **kwargs):
    return subprocess.run(args, input=stdin, capture_output=True, timeout=60, **kwargs)


class InstalledPackage(unittest.TestCase):
    def test_runs_from_anywhere_with_its_manual_and_the_built_in_synthesizer(self):
        program = shutil.which("varenta-test")
        self.assertEqual(program, "/usr/bin/varenta-test")
        with tempfile.TemporaryDirectory(prefix="varenta-package-") as directory:
            shown = run([program, "--version"], cwd=directory)
            self.assertEqual((shown.returncode, shown.stdout.decode()), (0, "varenta-test %s\n" % VERSION))

            page = run(["man", "-w", "varenta-test"], cwd=directory)
            self.assertEqual(page.stdout.decode(), "/usr/share/man/man1/varenta-test.1.gz\n")

            # The built-in synthesizer in tune from its first start: the key
            # tunings installed for FluidR3 GM are found and played with.
            env = no_audio_env(directory, "varenta-package-none")
            measured = run([program, "--measure", "QuickTime"], cwd=directory, env=env)
            self.assertEqual((measured.returncode, measured.stderr), (0, b""))
            self.assertIn("(shipped with Varenta for this SoundFont)", measured.stdout.decode())

            with JackServer("package") as jack:
                env = no_audio_env(directory, jack.name)
                listed = run([program], cwd=directory, env=env)
                menu = listed.stdout.decode("latin-1")
                self.assertEqual(listed.returncode, 0)
                letter = MENU_END.search(menu)
                self.assertIsNotNone(letter, menu)

                # The entry, Return for the preset chord, then exit.
                dialogue = run([program], stdin=("%s\n\nexit\n" % letter.group(1)).encode(), cwd=directory, env=env)
                text = dialogue.stdout.decode("latin-1")
                self.assertEqual(dialogue.returncode, 0)
                self.assertEqual(dialogue.stderr, b"")
                self.assertIn("Initialising QuickTime - may take a little while\nQT initialised okay\n", text)
                self.assertIn("You should now hear your chord as a broken chord\n", text)
                self.assertIn("These are the notes in play for each channel:", text)


if __name__ == "__main__":
    unittest.main()
