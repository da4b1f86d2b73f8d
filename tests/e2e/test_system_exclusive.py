"""End to end: system exclusive messages through the real platform seam to a
JACK port. Each leaves as one whole event in its place among the short
messages sent before and after it, in a burst longer than the output's queue
too; malformed ones are refused and nothing of them reaches the port."""

import os
import subprocess
import unittest

from harness import JackServer, MidiDump

SEAM_SEND = os.environ.get("VARENTA_SEAM_SEND", "")
# A real-time single note tuning change: key 69 to semitone 69 exactly.
TUNING = "f0 7f 7f 08 02 00 01 45 45 00 00 f7"
LONGEST = 256


def hex_text(values):
    return " ".join("%02x" % v for v in values)


def sysex(data):
    """A system exclusive message around the data bytes, as hex text."""
    return hex_text([0xF0] + list(data) + [0xF7])


def as_bytes(text):
    return tuple(int(b, 16) for b in text.split())


def send(jack, lines):
    """Runs seam_send on the lines; returns (exit status, results, stderr)."""
    done = subprocess.run([SEAM_SEND, MidiDump.PORT], input="".join(line + "\n" for line in lines).encode(),
                          capture_output=True, timeout=120, env=jack.env())
    return done.returncode, done.stdout.decode().split(), done.stderr.decode()


class SystemExclusiveOnJack(unittest.TestCase):
    maxDiff = None

    def test_sent_between_note_ons_each_arrives_whole_and_in_order_and_malformed_ones_never(self):
        # (line, what the seam answers): 0 sent, 7 refused.
        steps = [
            ("90 45 64", "0"),
            ("sysex " + TUNING, "0"),
            ("90 40 64", "0"),
            ("sysex 90 45 64", "7"),                       # not 0xF0 first
            ("sysex f0 7f 7f 08 02 00 01 45 45 00 00", "7"),  # not 0xF7 last
            ("sysex f0 7f 7f 08 02 00 01 c5 45 00 00 f7", "7"),  # a data byte of 0x80 or more
            ("sysex f0 f7", "7"),                          # too short
            ("sysex " + sysex([0x11] * (LONGEST - 1)), "7"),  # a byte too long
            ("sysex " + sysex(i % 128 for i in range(LONGEST - 2)), "0"),  # the longest
            ("sysex f0 01 f7", "0"),                       # the shortest
            ("80 45 00", "0"),
        ]
        with JackServer("sysex") as jack, MidiDump(jack) as dump:
            status, results, errors = send(jack, [line for line, _ in steps])
            self.assertEqual((status, errors), (0, ""))
            self.assertEqual(results, [result for _, result in steps])
            expected = [as_bytes(line.replace("sysex ", "")) for line, result in steps if result == "0"]
            self.assertEqual(dump.settled(), expected)

    def test_a_burst_longer_than_the_output_queue_keeps_every_message_whole_and_in_order(self):
        # 1200 of the longest messages, each between a note-on and its
        # note-off, are more than the queue holds (so sending waits for room)
        # and than a period's buffer carries (so they leave over many cycles).
        lines = []
        for n in range(1200):
            key = n % 128
            data = [n >> 7, n & 0x7F] + [(n + i) % 128 for i in range(LONGEST - 4)]
            lines += ["90 %02x 40" % key, "sysex " + sysex(data), "80 %02x 00" % key]
        with JackServer("sysex") as jack, MidiDump(jack) as dump:
            status, results, errors = send(jack, lines)
            self.assertEqual((status, errors), (0, ""))
            self.assertEqual(results, ["0"] * len(lines))
            got = dump.wait_for(len(lines))
            self.assertEqual(len(got), len(lines))
            # Compared one by one, so that a failure names the first message out of place.
            for n, (line, message) in enumerate(zip(lines, got)):
                self.assertEqual(message, as_bytes(line.replace("sysex ", "")), "message %d" % n)
            self.assertEqual(dump.settled(), got)


if __name__ == "__main__":
    unittest.main()
