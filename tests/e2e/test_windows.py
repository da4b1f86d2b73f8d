"""End to end: the Windows program (varenta-test.exe) under wine, next to the
Linux program given the same input.

Wine here lists no MIDI port and no mapper, so the menu holds the install line,
or the "QuickTime" entry when the stand-in runtime and bridge lie beside the
.exe as QTJavaNative.dll and SonvexLib.dll (the bridge exports the decorated
names and records every call). With piped input the two programs must print
the same bytes, Windows line ends aside, and hand the bridge the same calls.
Under a pseudo-terminal wine gives the program a real console: single keys and
Ctrl-C are tested there.
"""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import pexpect

from harness import Program, no_audio_env, unused_server_name

WINE = os.environ.get("VARENTA_WINE", "")
WINE_PREFIX = os.environ.get("VARENTA_WINE_PREFIX", "")
WINDOWS_PROGRAM = os.environ.get("VARENTA_WINDOWS_PROGRAM", "")
WINDOWS_RUNTIME = os.environ.get("VARENTA_WINDOWS_RUNTIME", "")
WINDOWS_BRIDGE = os.environ.get("VARENTA_WINDOWS_BRIDGE", "")
WINDOWS_BRIDGE_INIT_FAILS = os.environ.get("VARENTA_WINDOWS_BRIDGE_INIT_FAILS", "")
LINUX_PROGRAM = os.environ.get("VARENTA_LINUX_PROGRAM", "")
LINUX_BRIDGE = os.environ.get("VARENTA_LINUX_BRIDGE", "")
LINUX_BRIDGE_INIT_FAILS = os.environ.get("VARENTA_LINUX_BRIDGE_INIT_FAILS", "")
TIMEOUT = 120
SCALES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scales")
SCALE_FILE = "just-5-limit.scl"

INSTALL_LINE = "A - How to install QuickTime for Midi apps to use\n"
PRESS_RETURN = "Press return to exit."
# STATUS_CONTROL_C_EXIT (0xC000013A) as a Unix parent sees it: its low byte.
CONTROL_C_EXIT_STATUS = 0x3A

# A dialogue through every test on the bridge: a chord, the commands (the
# voice list waits twice for Return), a missing scale file and one that plays,
# an equal-step scale, a short drift, keys
# (a two-byte key and the sustain switch among them; Return, then the line it
# waits for), percussion keys, and the exit confirmation.
DIALOGUE = (b"A\n"
            b"7/6 3/2\n" b"voice 19\n" b"55 hz\n" b"0 hz\n" b"voices\n" b"\n" b"\n"
            b"next\n" b"missing.scl\n" b"just-5-limit.scl\n" b"3\n" b"= 2\n" b"\n"
            b"next\n" b"1 n1\n"
            b"next\n" b"\n" b"a1\xe0H b \n" b"\n"
            b"next\n" b"1q\n" b"\n" b"\n")


def windows_folder(directory, bridge=None, runtime=True):
    """A folder with the .exe, a scale file and, as a user would place them,
    the two DLLs."""
    os.makedirs(directory)
    shutil.copy(WINDOWS_PROGRAM, os.path.join(directory, "varenta-test.exe"))
    shutil.copy(os.path.join(SCALES, SCALE_FILE), directory)
    if runtime:
        shutil.copy(WINDOWS_RUNTIME, os.path.join(directory, "QTJavaNative.dll"))
    if bridge:
        shutil.copy(bridge, os.path.join(directory, "SonvexLib.dll"))
    return directory


def run_windows(directory, data, arguments=()):
    """The .exe under wine with piped input; (status, stdout, stderr, record)."""
    env = dict(os.environ, WINEPREFIX=WINE_PREFIX, VARENTA_BRIDGE_RECORD="record.txt")
    done = subprocess.run([WINE, "varenta-test.exe"] + list(arguments), input=data, cwd=directory, env=env,
                          capture_output=True, timeout=TIMEOUT)
    return done.returncode, done.stdout, done.stderr, read_record(directory)


def linux_folder(directory, bridge):
    """A folder with the Linux program, a scale file and, when given, the
    bridge it finds beside itself as libsonvex.so."""
    os.makedirs(directory)
    program = os.path.join(directory, "varenta-test")
    shutil.copy(LINUX_PROGRAM, program)
    shutil.copy(os.path.join(SCALES, SCALE_FILE), directory)
    if bridge:
        os.symlink(os.path.abspath(bridge), os.path.join(directory, "libsonvex.so"))
    return program


def run_linux(directory, data, bridge=None, arguments=()):
    """The Linux program with the same piped input; (status, stdout, record, stderr)."""
    program = linux_folder(directory, bridge)
    env = no_audio_env(directory, unused_server_name(), VARENTA_BRIDGE_RECORD=os.path.join(directory, "record.txt"))
    done = subprocess.run([program] + list(arguments), input=data, cwd=directory, env=env, capture_output=True,
                          timeout=TIMEOUT)
    return done.returncode, done.stdout, read_record(directory), done.stderr


def read_record(directory):
    """The bridge's calls, one a line ("" when it was never called)."""
    path = os.path.join(directory, "record.txt")
    if not os.path.exists(path):
        return ""
    with open(path) as f:  # universal newlines: the DLL writes CR LF
        return f.read()


def lf_text(output):
    """Windows output with its line ends checked and made LF."""
    bare_lf = re.search(rb"(?<!\r)\n", output)
    if bare_lf:
        raise AssertionError("a line end without CR at byte %d" % bare_lf.start())
    return output.replace(b"\r\n", b"\n")


def centring_bends_and_programs():
    melodic = [c for c in range(32) if c != 9]
    return (["send E0 %d 0 64" % c for c in melodic] + ["send C0 %d 0 0" % c for c in melodic] +
            ["send C0 %d 6 0" % c for c in melodic])


class InTemporaryFolder(unittest.TestCase):
    """Each test works in a folder of its own, removed afterwards."""

    def setUp(self):
        for name, value in (("VARENTA_WINE", WINE), ("VARENTA_WINDOWS_PROGRAM", WINDOWS_PROGRAM),
                            ("VARENTA_LINUX_PROGRAM", LINUX_PROGRAM)):
            if not value or not os.path.exists(value):
                self.fail("%s names no file (%r): build the Linux program first (scripts/build)" % (name, value))
        self.directory = tempfile.mkdtemp(prefix="varenta-windows-")

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)


class PipedInput(InTemporaryFolder):
    def same_as_linux(self, data, windows_bridge=None, linux_bridge=None, arguments=()):
        """Runs both programs; checks that they end alike, print the same
        bytes (line ends aside) and call the bridge alike. Returns the
        Windows program's text and bridge calls."""
        status, out, err, record = run_windows(windows_folder(os.path.join(self.directory, "w"), windows_bridge),
                                               data, arguments)
        linux_status, linux_out, linux_record, linux_err = run_linux(os.path.join(self.directory, "l"), data,
                                                                     linux_bridge, arguments)
        self.assertEqual(status, linux_status)
        self.assertEqual(lf_text(out), linux_out)
        self.assertEqual(lf_text(err), linux_err)
        self.assertEqual(record, linux_record)
        return lf_text(out).decode("latin-1"), record

    def test_without_the_bridge_the_install_help_and_status_zero(self):
        text, record = self.same_as_linux(b"\n\n")
        self.assertIn("\n\n" + INSTALL_LINE + "How to install Quicktime for Midi apps:\n", text)
        self.assertTrue(text.endswith(PRESS_RETURN), text[-200:])
        self.assertEqual(record, "")

    def test_a_whole_dialogue_on_the_bridge_matches_linux_byte_for_byte(self):
        text, record = self.same_as_linux(DIALOGUE, WINDOWS_BRIDGE, LINUX_BRIDGE)
        self.assertIn("Or just press return to select the first one.\n\nA - QuickTime\nDevice selected:\n", text)
        self.assertIn("Can't use the scale file missing.scl: there is no such file.\n", text)
        self.assertIn("Scale file just-5-limit.scl, ", text)
        calls = record.splitlines()
        self.assertEqual(calls[:1 + 3 * 31], ["initialise"] + centring_bends_and_programs())
        self.assertIn("send 90 0 60 127", calls)  # the chord's 1/1, middle C
        self.assertEqual(calls[-31:], centring_bends_and_programs()[:31])  # closed: centred again

    def test_an_initialise_that_fails_ends_with_the_failure_texts(self):
        text, record = self.same_as_linux(b"\n\n", WINDOWS_BRIDGE_INIT_FAILS, LINUX_BRIDGE_INIT_FAILS)
        self.assertIn("\n\nCouldn't start up Quicktime\n\nHow to install Quicktime for Midi apps:\n", text)
        self.assertTrue(text.endswith(PRESS_RETURN), text[-200:])
        self.assertEqual(record, "initialise\n")

    def test_a_refused_option_answers_as_on_linux(self):
        self.same_as_linux(b"", arguments=["--bogus"])

    def test_the_bridge_without_the_runtime_is_not_listed(self):
        folder = windows_folder(os.path.join(self.directory, "w"), WINDOWS_BRIDGE, runtime=False)
        status, out, err, record = run_windows(folder, b"\n\n")
        self.assertEqual((status, err, record), (0, b"", ""))
        self.assertIn("\n\n" + INSTALL_LINE, lf_text(out).decode("latin-1"))


def screen_text(raw):
    """What wine's console drew: its cursor and erase sequences taken out, a
    cursor move forward made spaces."""
    raw = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or 1), raw)
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", raw).replace(b"\r", b"").decode("latin-1")


class WineConsole:
    """varenta-test.exe under a pseudo-terminal, where wine gives it a console."""

    def __init__(self, directory):
        env = dict(os.environ, WINEPREFIX=WINE_PREFIX, VARENTA_BRIDGE_RECORD="record.txt")
        # Wide enough that no line of the dialogue wraps on the console's screen.
        self.child = pexpect.spawn(WINE, ["varenta-test.exe"], cwd=directory, env=env, timeout=30,
                                   dimensions=(50, 200))
        self.raw = b""

    def wait_for(self, text, count=1):
        """Waits until the console has drawn text count times in all."""
        deadline = time.monotonic() + 30
        while screen_text(self.raw).count(text) < count:
            if time.monotonic() > deadline:
                raise AssertionError("waited for %r; the console shows %r" % (text, screen_text(self.raw)[-300:]))
            try:
                self.raw += self.child.read_nonblocking(4096, timeout=0.2)
            except pexpect.TIMEOUT:
                pass

    def send(self, keys):
        self.child.send(keys)

    def finish(self):
        self.child.expect(pexpect.EOF)
        self.child.close()
        return self.child.exitstatus

    def kill(self):
        if self.child.isalive():
            self.child.terminate(force=True)


class ConsoleInput(InTemporaryFolder):

    def test_ctrl_c_mid_chord_ends_its_notes_closes_and_exits_as_windows_does(self):
        folder = windows_folder(os.path.join(self.directory, "w"), WINDOWS_BRIDGE)
        console = WineConsole(folder)
        try:
            console.wait_for("first one.")
            console.send("A\r")
            console.wait_for("to exit.")
            console.send("\r")  # the preset chord: four notes, 5.5 s in all
            console.wait_for("You should now hear your chord as a broken chord")
            time.sleep(2.0)
            console.send("\x03")
            status = console.finish()
        finally:
            console.kill()
        self.assertEqual(status, CONTROL_C_EXIT_STATUS)
        calls = read_record(folder).splitlines()
        ons = [c.split()[2:4] for c in calls if c.startswith("send 90 ")]
        offs = [c.split()[2:4] for c in calls if c.startswith("send 80 ")]
        self.assertGreaterEqual(len(ons), 2)
        self.assertLess(len(ons), 4)
        self.assertEqual(sorted(ons), sorted(offs))
        self.assertEqual(calls[-31:], centring_bends_and_programs()[:31])  # then the device was closed

    def test_single_keys_play_what_the_same_keys_play_on_linux(self):
        # a, the up arrow (a two-byte key), b; then Return twice and "exit".
        keys = ["a", "\x1b[A", "b"]
        folder = windows_folder(os.path.join(self.directory, "w"), WINDOWS_BRIDGE)
        console = WineConsole(folder)
        try:
            console.wait_for("first one.")
            console.send("A\r")
            for count, heading in enumerate(("****Scale test****", "****Harmonic Series test****",
                                             "****Play from p.c. keyboard test****"), 1):
                console.wait_for("to exit.", count)
                console.send("next\r")
                console.wait_for(heading)
            console.wait_for("to reset to middle c")
            console.send("\r")
            console.wait_for("press return key.")
            for key in keys:
                console.send(key)
                time.sleep(0.3)
            console.send("\r")
            time.sleep(0.3)
            console.send("\r")
            console.wait_for("to reset to middle c", 2)
            console.send("exit\r")
            self.assertEqual(console.finish(), 0)
        finally:
            console.kill()

        linux_directory = os.path.join(self.directory, "l")
        linux_program = linux_folder(linux_directory, LINUX_BRIDGE)
        program = Program(no_audio_env(linux_directory, unused_server_name(),
                                       VARENTA_BRIDGE_RECORD=os.path.join(linux_directory, "record.txt")),
                          linux_program)
        try:
            program.read_menu()
            program.send_line("A")
            for heading in ("****Scale test****", "****Harmonic Series test****", "to reset to middle c"):
                program.expect("exit.\n")
                program.send_line("next")
                program.expect(heading)
            program.expect("exit.\n")
            program.send_line("")
            program.expect("press return key.\n")
            for key in keys:
                program.send_key(key)
                time.sleep(0.3)
            program.send_key("\r")
            time.sleep(0.3)
            program.send_key("\r")
            program.expect("to reset to middle c")
            program.send_line("exit")
            status, _ = program.finish()
            self.assertEqual(status, 0)
        finally:
            program.kill()
        windows_calls = read_record(folder)
        self.assertIn("send 90", windows_calls)
        self.assertEqual(windows_calls, read_record(linux_directory))


if __name__ == "__main__":
    unittest.main()
