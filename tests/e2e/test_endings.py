"""End to end: however the real program ends, on a real JACK port, every note
it started has ended and no message is lost: Ctrl-C mid-chord, a hang-up in
the key loop, end of input in the key loop, the JACK server going away or
freezing mid-run, and a dialogue of more than 100,000 messages."""

import collections
import contextlib
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import PROGRAM, JackServer, MidiDump, Program, letter_of, menu_entries

OPENING_MESSAGES = 15 * 4 + 15 + 15 + 15
CHORD_PROMPT_END = "Type \"test\" to test the pitch bend range of your sound card / synth.\n"


def unbalanced(messages):
    """(channel, note) pairs whose note-ons and note-offs do not balance."""
    balance = collections.Counter()
    for message in messages:
        status, channel = message[0] & 0xF0, message[0] & 0x0F
        if status == 0x90:
            balance[(channel, message[1])] += 1
        elif status == 0x80:
            balance[(channel, message[1])] -= 1
    return {key: count for key, count in balance.items() if count != 0}


def note_ons(messages):
    return [m for m in messages if m[0] & 0xF0 == 0x90]


def port_letter(jack):
    """The menu letter of the capture port, from a run that ends at the menu."""
    out = subprocess.run([PROGRAM], input=b"", env=jack.env(), capture_output=True, timeout=30).stdout
    return letter_of(menu_entries(out.decode("latin-1")), MidiDump.PORT)


def run_piped(jack, text, timeout=60):
    return subprocess.run([PROGRAM], input=text.encode("latin-1"), env=jack.env(), capture_output=True,
                          timeout=timeout)


def open_port(program, dump):
    _, entries = program.read_menu()
    program.send_line(letter_of(entries, MidiDump.PORT))
    program.expect(CHORD_PROMPT_END)
    dump.wait_for(OPENING_MESSAGES)


class SignalsOnJack(unittest.TestCase):
    def test_ctrl_c_mid_chord_ends_the_notes_already_sounding(self):
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                open_port(program, dump)
                program.send_line("")
                program.expect("You should now hear your chord as a broken chord\n\n")
                time.sleep(2.6)  # the 1/1, the 7/6 and the 3/2 sound
                program.send_key("\x03")
                program.finish()
                self.assertEqual(program.child.signalstatus, signal.SIGINT)
            finally:
                program.kill()
            messages = dump.settled()
            self.assertEqual(len(note_ons(messages)), 3)
            self.assertEqual(unbalanced(messages), {})

    def test_hang_up_while_a_key_holds_its_note(self):
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                open_port(program, dump)
                for heading in ("****Scale test****", "****Harmonic Series test****", "to reset to middle c\n"):
                    program.send_line("next")
                    program.expect(heading)
                program.expect("exit.\n")
                program.send_line("")
                program.expect("To change scale or pitch of 1/1 press return key.\n")
                program.send_key("5")
                program.expect("5")
                program.child.close(force=False)  # the terminal goes away: SIGHUP
                deadline = time.monotonic() + 10
                while program.child.isalive() and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(program.child.signalstatus, signal.SIGHUP)
            finally:
                program.kill()
            messages = dump.settled()
            self.assertEqual(len(note_ons(messages)), 1)
            self.assertEqual(unbalanced(messages), {})


class PipedInputOnJack(unittest.TestCase):
    def test_end_of_input_in_the_key_loop(self):
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            letter = port_letter(jack)
            done = run_piped(jack, letter + "\nnext\nnext\nnext\n\n135")
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            messages = dump.settled()
            self.assertEqual(len(note_ons(messages)), 3)
            self.assertEqual(unbalanced(messages), {})

    def test_a_hundred_thousand_messages_arrive_whole_and_in_order(self):
        lines = 6700  # fifteen program changes each
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            letter = port_letter(jack)
            done = run_piped(jack, letter + "\n" + "".join("voice %d\n" % (i % 128) for i in range(lines)) + "exit\n")
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            expected = OPENING_MESSAGES + 15 * lines
            messages = dump.wait_for(expected, timeout=30)
            self.assertEqual(len(messages), expected)
            changes = [m for m in messages[OPENING_MESSAGES:]]
            self.assertEqual(changes, [(0xC0 | ch, i % 128) for i in range(lines) for ch in range(16) if ch != 9])


class LosingTheServer(unittest.TestCase):
    INPUT = "\n3/2\n3/2\nexit\n"  # ends the letter's line, then two chords and exit

    def test_the_server_stopping_mid_run_changes_nothing_the_user_sees(self):
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            letter = port_letter(jack)
            reference = run_piped(jack, letter + self.INPUT)
            self.assertEqual(len(note_ons(dump.settled())), 4)
        with JackServer("endings") as jack, MidiDump(jack) as dump:
            typed = tempfile.TemporaryFile()
            typed.write((letter + self.INPUT).encode())
            typed.seek(0)
            program = subprocess.Popen([PROGRAM], stdin=typed, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       env=jack.env())
            time.sleep(1.5)  # the first chord is sounding
            dump.stop()
            jack.proc.terminate()
            jack.proc.wait(timeout=10)
            out, err = program.communicate(timeout=30)
        self.assertEqual(program.returncode, 0)
        self.assertEqual(err, b"")
        self.assertEqual(out, reference.stdout)

    @contextlib.contextmanager
    def frozen_server(self):
        """The program on the capture port of a server then stopped (SIGSTOP)."""
        with JackServer("endings") as jack, MidiDump(jack, checked=False) as dump:
            program = Program(jack.env())
            try:
                open_port(program, dump)
                jack.proc.send_signal(signal.SIGSTOP)
                try:
                    yield program
                finally:
                    jack.proc.send_signal(signal.SIGCONT)
            finally:
                program.kill()

    def test_a_frozen_server_does_not_hold_the_program(self):
        with self.frozen_server() as program:
            program.send_line("exit")
            status, _ = program.finish()  # the close waits a bounded time
            self.assertEqual(status, 0)

    def test_a_second_ctrl_c_ends_at_once(self):
        with self.frozen_server() as program:
            program.send_key("\x03")
            time.sleep(0.5)
            self.assertTrue(program.child.isalive())  # ending: waiting for the server
            program.send_key("\x03")
            second = time.monotonic()
            program.finish()
            self.assertLess(time.monotonic() - second, 1.0)
            self.assertEqual(program.child.signalstatus, signal.SIGINT)

if __name__ == "__main__":
    unittest.main()
