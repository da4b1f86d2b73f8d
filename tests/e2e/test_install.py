"""End to end: the real program's command line, and the program as
cmake --install lays it out in a folder of the test's own."""

import gzip
import os
import subprocess
import tempfile
import unittest

from harness import PROGRAM, no_audio_env, unused_server_name

VERSION = os.environ.get("VARENTA_VERSION", "")
BUILD_DIR = os.environ.get("VARENTA_BUILD_DIR", "")
BRIDGE_DIR = os.environ.get("VARENTA_INSTALL_BRIDGEDIR", "")
SYNOPSIS = ("varenta-test [--help] [--version] [--list-midi-in] [--midi-in PORT] [--measure DEVICE] "
            "[--audio-in SOURCE] [--list-audio-in] [--voice NAME] [--json FILE] [--plot FILE.svg] [--retune DEVICE] "
            "[--scale SCALE] [--kbm FILE.kbm] [--hz F] [--wheel-range SEMITONES] [--calibrate DEVICE] "
            "[--no-calibration] [--list-calibrations] [--method bend|mts|mpe|auto]")
BANNER = "Test of the Varenta routines.\n\n"
SCALES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scales")


def run(program, args, stdin=b"", **kwargs):
    return subprocess.run([program] + args, input=stdin, capture_output=True, timeout=30, **kwargs)


def files_under(top):
    found = []
    for folder, _, names in os.walk(top):
        found += [os.path.relpath(os.path.join(folder, name), top) for name in names]
    return sorted(found)


class CommandLine(unittest.TestCase):
    def test_help_version_and_arguments_it_does_not_take(self):
        shown = run(PROGRAM, ["--help"])
        self.assertEqual((shown.returncode, shown.stderr), (0, b""))
        text = shown.stdout.decode()
        self.assertTrue(text.startswith("Usage: %s\n" % SYNOPSIS), text)
        for needed in ("takes no arguments besides the options", '"QuickTime"', "press Return for the first entry",
                       "man varenta-test", "/varenta/README.md"):
            self.assertIn(needed, text)

        shown = run(PROGRAM, ["--version"])
        self.assertEqual((shown.returncode, shown.stdout.decode(), shown.stderr), (0, "varenta-test %s\n" % VERSION, b""))

        refused = run(PROGRAM, ["--bogus"], stdin=b"\n")
        self.assertEqual((refused.returncode, refused.stdout, refused.stderr.decode()),
                         (2, b"", "varenta-test: unknown option '--bogus'; usage: %s\n" % SYNOPSIS))
        for args in (["now"], ["--version=2"], ["-h"], ["--help-me", "--help"]):
            # A dialogue would take the Return and open the first device.
            refused = run(PROGRAM, args, stdin=b"\n")
            self.assertEqual((refused.returncode, refused.stdout), (2, b""), args)
            complaint = refused.stderr.decode()
            self.assertEqual(complaint.count("\n"), 1, complaint)
            self.assertIn(args[0].split("=")[0], complaint)


class InstalledTree(unittest.TestCase):
    def test_an_installed_tree_runs_from_any_folder_with_its_own_bridge(self):
        with tempfile.TemporaryDirectory(prefix="varenta-install-") as directory:
            prefix = os.path.join(directory, "prefix")
            subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                           stdout=subprocess.DEVNULL)
            self.assertEqual(files_under(prefix), sorted([
                "bin/varenta-test",
                BRIDGE_DIR + "/libsonvex.so",
                BRIDGE_DIR + "/libsonvex_offline.so",
                "share/doc/varenta/README.md",
                "share/doc/varenta/changelog.gz",
                "share/doc/varenta/copyright",
                "share/man/man1/varenta-test.1.gz",
                "share/varenta/tunings/FluidR3_GM.tunings",
            ] + ["share/doc/varenta/examples/scales/" + name for name in os.listdir(SCALES)]))

            # Moved as a whole and started from another folder, the program
            # still finds its bridge: the run path is relative to the program.
            moved = os.path.join(directory, "moved")
            os.rename(prefix, moved)
            elsewhere = os.path.join(directory, "elsewhere")
            os.mkdir(elsewhere)
            env = no_audio_env(directory, unused_server_name())
            env.pop("LD_LIBRARY_PATH", None)
            program = os.path.join(moved, "bin", "varenta-test")

            listed = run(program, [], cwd=elsewhere, env=env)
            self.assertEqual(listed.returncode, 0)
            menu = listed.stdout.decode("latin-1")
            self.assertTrue(menu.startswith(BANNER), menu)
            self.assertRegex(menu, r"\n[A-Z] - QuickTime\n$")

            # It measures the built-in synthesizer from its own render, with
            # the offline bridge installed beside the bridge, in tune on a
            # first start by the key tunings installed with it.
            measured = run(program, ["--measure", "QuickTime"], cwd=elsewhere, env=env)
            self.assertEqual((measured.returncode, measured.stderr), (0, b""))
            report = measured.stdout.decode()
            self.assertIn("\nIts key corrections were in use (shipped with Varenta for this SoundFont): ", report)
            self.assertIn("\nVerdict: plays Varenta's tunings within 0.5 cents.\n", report)

            # The bridge it found was the installed one.
            os.remove(os.path.join(moved, BRIDGE_DIR, "libsonvex.so"))
            listed = run(program, [], cwd=elsewhere, env=env)
            self.assertRegex(listed.stdout.decode("latin-1"), r"\n[A-Z] - How to install QuickTime for Midi apps to use\n$")

            with gzip.open(os.path.join(moved, "share/man/man1/varenta-test.1.gz")) as page:
                source = page.read()
            formatted = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=source, capture_output=True)
            self.assertEqual((formatted.returncode, formatted.stderr.decode()), (0, ""))


if __name__ == "__main__":
    unittest.main()
