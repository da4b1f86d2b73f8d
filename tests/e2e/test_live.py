"""End to end: playing from a MIDI keyboard. The options --list-midi-in and
--midi-in of the real program, and a phrase played into it on a real JACK
server: what reaches the output port equals what the program gives on the
test platform for the same phrase and keys."""

import os
import subprocess
import tempfile
import time
import unittest

from harness import JackServer, MidiDump, PROGRAM, Program, letter_of, no_audio_env, unused_server_name

JACK_SEND = os.environ.get("VARENTA_JACK_SEND", "")
FAKE_DIALOGUE = os.environ.get("VARENTA_FAKE_DIALOGUE", "")
SOURCE = "midi-keys:out"
PLAY_INSTRUCTIONS = "To change scale or pitch of 1/1 press return key.\n"
LISTED = "'varenta-test --list-midi-in' lists the MIDI sources\n"
HAS_ALSA_SEQUENCER = os.path.exists("/dev/snd/seq")

# The phrase, in steps: MIDI events (hex) or typed keys. A chord with volume
# and the pedal, a key played again while held, the pitch wheel (ignored), a
# typed key, a key beside it; then the source goes away and a typed key plays.
PHRASE = [
    ("midi", ["90 3c 64", "90 40 5a", "90 43 50", "b0 07 64", "b0 40 7f", "80 3c 40", "80 40 40", "80 43 40",
              "90 48 46", "90 48 47", "e0 00 50", "b0 40 00", "80 48 20"]),
    ("keys", "3"),
    ("midi", ["91 3e 32", "81 3e 00", "9f 3b 10", "8f 3b 00"]),
    ("gone", None),
    ("keys", "5"),
]


def run(args, env, stdin=b""):
    return subprocess.run([PROGRAM] + args, input=stdin, capture_output=True, timeout=60, env=env)


def fake_messages(script):
    """The messages the program gives on the test platform for a script."""
    done = subprocess.run([FAKE_DIALOGUE], input="".join(line + "\n" for line in script).encode(),
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return [tuple(int(b, 16) for b in line.split()) for line in done.stdout.decode().splitlines()]


class Options(unittest.TestCase):
    def test_a_port_that_names_nothing_or_cannot_open_is_one_line_and_status_2(self):
        with tempfile.TemporaryDirectory() as directory:
            env = no_audio_env(directory, unused_server_name())
            cases = [(["--midi-in", "piano"], "varenta-test: no MIDI source matches 'piano'; "),
                     (["--midi-in=7"], "varenta-test: no MIDI source matches '7'; ")]
            if not HAS_ALSA_SEQUENCER:  # with neither a sequencer nor a server there is no port of its own
                cases.append((["--midi-in", "virtual"],
                              "varenta-test: cannot open the program's own MIDI input port for 'virtual'; "))
            for args, complaint in cases:
                done = run(args, env, stdin=b"\n")
                self.assertEqual((done.returncode, done.stdout, done.stderr.decode()), (2, b"", complaint + LISTED))
            done = run(["--midi-in"], env)
            self.assertEqual(done.returncode, 2)
            self.assertIn("option '--midi-in' needs a value", done.stderr.decode())
            if not HAS_ALSA_SEQUENCER:
                listed = run(["--list-midi-in"], env)
                self.assertEqual((listed.returncode, listed.stdout, listed.stderr), (0, b"", b""))


class PhraseOnJack(unittest.TestCase):
    maxDiff = None

    def test_the_jack_output_is_what_the_test_platform_gives(self):
        with JackServer("live") as jack, MidiDump(jack) as dump:
            sender = subprocess.Popen([JACK_SEND], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      env=jack.env())
            errors = tempfile.NamedTemporaryFile(prefix="varenta-live-errors-")
            program = None
            try:
                deadline = time.monotonic() + 10
                while SOURCE not in jack.ports() and time.monotonic() < deadline:
                    time.sleep(0.05)
                listed = run(["--list-midi-in"], jack.env())
                self.assertEqual((listed.returncode, listed.stderr), (0, b""))
                self.assertIn("1 - %s\n" % SOURCE, listed.stdout.decode())

                # Standard error to a file of its own: it must stay empty.
                program = Program(jack.env(), "/bin/sh",
                                  ["-c", 'exec "$0" --midi-in MIDI-KEYS 2>"$1"', PROGRAM, errors.name])
                _, entries = program.read_menu()
                self.assertNotIn("Varenta:in", [name for _, name in entries])
                letter = letter_of(entries, MidiDump.PORT)
                script = ["port " + MidiDump.PORT, "source " + SOURCE, "midi-in MIDI-KEYS"]
                script.append("keys " + (b"A\nnext\nnext\nnext\n\n").hex(" "))
                program.send_line(letter)
                for line in ("next", "next", "next", ""):
                    program.send_line(line)
                program.expect(PLAY_INSTRUCTIONS)
                for kind, what in PHRASE:
                    if kind == "midi":
                        sender.stdin.write("".join(event + "\n" for event in what).encode() + b"sync\n")
                        sender.stdin.flush()
                        self.assertEqual(sender.stdout.readline(), b"sent\n")
                        script += ["midi " + event for event in what]
                    elif kind == "keys":
                        program.send_key(what)
                        program.expect(what)
                        script.append("keys " + what.encode().hex(" "))
                    else:
                        sender.stdin.close()
                        sender.wait(timeout=10)
                    dump.settled()
                program.send_key("\r")
                program.expect("\r")
                time.sleep(0.2)
                program.send_key("\r")
                program.expect("exit.\n")
                program.send_line("exit")
                script.append("keys " + b"\r\nexit\n".hex(" "))
                status, _ = program.finish()
                self.assertEqual(status, 0)
            finally:
                if program is not None:
                    program.kill()
                if sender.poll() is None:
                    sender.kill()
                    sender.wait()
            expected = fake_messages(script)
            self.assertEqual(dump.settled(), expected)
            self.assertEqual(open(errors.name, "rb").read(), b"")
            self.assertGreater(len([m for m in expected if m[0] & 0xF0 == 0x90]), 8)


if __name__ == "__main__":
    unittest.main()
