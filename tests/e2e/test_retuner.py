"""End to end: the live retuner on a real JACK server. Keys from a MIDI
source of the test's own reach the capture port retuned to 19 equal steps,
the pitch wheel bends the notes again, and at the end nothing is left
sounding; a source that goes away ends the retuner with one line saying so
and status 1."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import JackServer, MidiDump, PROGRAM

JACK_SEND = os.environ.get("VARENTA_JACK_SEND", "")
SOURCE = "midi-keys:out"
SCALE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scales", "19-equal.scl")
HEADER_END = b"Ctrl-C ends.\n"


def bend_of(cents):
    """The 14-bit bend for cents above the key, at +-2 semitones."""
    return int(8192 + cents * 4096 / 100 + 0.5)


class Retuner(object):
    """The retuner between the test's source and its capture client."""

    def __init__(self, jack):
        self.sender = subprocess.Popen([JACK_SEND], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=jack.env())
        jack.wait_for_ports([SOURCE], "the MIDI source")
        self.out = tempfile.TemporaryFile()
        self.program = subprocess.Popen(
            [PROGRAM, "--retune", "midi-monitor", "--midi-in", "midi-keys", "--scale", SCALE],
            stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT, env=jack.env())
        deadline = time.monotonic() + 10
        while HEADER_END not in self.output() and time.monotonic() < deadline:
            time.sleep(0.05)

    def output(self):
        self.out.seek(0)
        return self.out.read()

    def play(self, events):
        self.sender.stdin.write("".join(e + "\n" for e in events).encode() + b"sync\n")
        self.sender.stdin.flush()
        assert self.sender.stdout.readline() == b"sent\n"

    def finish(self):
        # The source ends at the end of its input: a client killed outright
        # holds a synchronous server's cycle up until its time-out.
        if self.program.poll() is None:
            self.program.kill()
            self.program.wait()
        if not self.sender.stdin.closed:
            self.sender.stdin.close()
        try:
            self.sender.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.sender.kill()
            self.sender.wait()
        self.sender.stdout.close()
        self.out.close()


class RetunerOnJack(unittest.TestCase):
    maxDiff = None

    def test_keys_are_retuned_bent_again_and_all_end(self):
        with JackServer("retune") as jack, MidiDump(jack) as dump:
            retuner = Retuner(jack)
            try:
                header = retuner.output().decode()
                self.assertIn("Scale: ", header)
                # Middle C plays the 1/1, the next key up the next of 19 steps.
                retuner.play(["90 3c 64", "90 3d 50"])
                played = dump.settled()
                retuner.play(["e0 00 50"])  # the wheel a quarter of the way up: +50 cents at +-2 semitones
                bent = dump.settled()[len(played):]
                retuner.play(["b0 40 7f", "80 3c 00", "80 3d 00", "b0 40 00"])
                # Ended as a terminated program ends, once every note has ended.
                retuner.program.send_signal(signal.SIGTERM)
                self.assertEqual(retuner.program.wait(timeout=10), -signal.SIGTERM)
                everything = dump.settled()
            finally:
                retuner.finish()
        # The second key: 1200/19 cents above middle C, key 61 less 36.8 cents.
        ons = [m for m in played if m[0] & 0xF0 == 0x90 and m[2] > 0]
        self.assertEqual([(m[1], m[2]) for m in ons], [(60, 100), (61, 80)])
        bends = {m[0] & 0x0F: m[1] | (m[2] << 7) for m in played if m[0] & 0xF0 == 0xE0}
        self.assertEqual(bends[ons[1][0] & 0x0F], bend_of(1200.0 / 19 - 100.0))
        self.assertEqual(bends.get(ons[0][0] & 0x0F, 8192), 8192)
        # The wheel moves both notes by its 50 cents on their own channels.
        moved = {m[0] & 0x0F: m[1] | (m[2] << 7) for m in bent if m[0] & 0xF0 == 0xE0}
        self.assertEqual(moved, {ons[0][0] & 0x0F: bend_of(50.0), ons[1][0] & 0x0F: bend_of(1200.0 / 19 - 50.0)})
        # Nothing left sounding: every note-on has its note-off.
        sounding = set()
        for m in everything:
            if m[0] & 0xF0 == 0x90 and m[2] > 0:
                sounding.add((m[0] & 0x0F, m[1]))
            elif m[0] & 0xF0 == 0x80 or (m[0] & 0xF0 == 0x90 and m[2] == 0):
                sounding.discard((m[0] & 0x0F, m[1]))
        self.assertEqual(sounding, set())

    def test_a_source_that_goes_away_ends_it_with_one_line_and_status_1(self):
        with JackServer("retune") as jack, MidiDump(jack):
            retuner = Retuner(jack)
            try:
                retuner.play(["90 3c 64"])
                retuner.sender.stdin.close()
                retuner.sender.wait(timeout=10)
                self.assertEqual(retuner.program.wait(timeout=10), 1)
                text = retuner.output().decode()
            finally:
                retuner.finish()
            tail = text[text.index(HEADER_END.decode()) + len(HEADER_END):].splitlines()
            self.assertEqual(tail[0], "varenta-test: the MIDI input midi-keys has gone away")
            self.assertTrue(tail[1].startswith("Retuned 1 notes (1 messages in, "), text)


if __name__ == "__main__":
    unittest.main()
