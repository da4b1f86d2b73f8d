"""End to end: the "QuickTime" entry with a recording stand-in bridge found as
libsonvex.so through LD_LIBRARY_PATH (the installed synthesizer runtime is the
real one): the entry is listed last, the initialising texts appear, and the
bridge receives exactly the opening and closing messages over 32 channels,
with no bend-range controllers."""

import os
import tempfile
import unittest

from harness import Program, no_audio_env, unused_server_name

STAND_IN_BRIDGE = os.environ.get("VARENTA_STAND_IN_BRIDGE", "")
INITIALISING = "\n\nInitialising QuickTime - may take a little while\n"
INITIALISED = "QT initialised okay\n"


def expected_calls():
    melodic = [c for c in range(32) if c != 9]
    bends = ["send E0 %d 0 64" % c for c in melodic]
    return (["initialise"] + bends + ["send C0 %d 0 0" % c for c in melodic] +
            ["send C0 %d 6 0" % c for c in melodic] + bends)


class QuickTimeEntry(unittest.TestCase):
    def test_choosing_it_starts_the_bridge_and_sends_over_thirty_two_channels(self):
        with tempfile.TemporaryDirectory(prefix="varenta-e2e-") as directory:
            os.symlink(os.path.abspath(STAND_IN_BRIDGE), os.path.join(directory, "libsonvex.so"))
            record = os.path.join(directory, "record.txt")
            env = no_audio_env(directory, unused_server_name(), LD_LIBRARY_PATH=directory,
                               VARENTA_BRIDGE_RECORD=record)
            program = Program(env)
            try:
                _, entries = program.read_menu()
                letter, last = entries[-1]
                self.assertEqual(last, "QuickTime")
                self.assertEqual(letter, chr(ord("A") + len(entries) - 1))
                program.send_line(letter)
                program.expect("Device selected:\n%s - QuickTime\n" % letter + INITIALISING + INITIALISED)
                program.expect("****Chord test****")
                program.expect("to exit.")
                program.send_line("exit")
                status, _ = program.finish()
                self.assertEqual(status, 0)
            finally:
                program.kill()
            with open(record) as f:
                calls = f.read().splitlines()
            self.assertEqual([c for c in calls if c.startswith("send B0 ")], [])
            self.assertEqual(calls, expected_calls())


if __name__ == "__main__":
    unittest.main()
