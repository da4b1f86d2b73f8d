"""End to end: the listening tests on a real JACK MIDI port, played as a user
would from a terminal, and checked by what a synthesizer would hear."""

import signal
import termios
import time
import unittest

from harness import BEND_UNIT_CENTS, JackServer, MidiDump, Program, cents, hear, letter_of

MIDDLE_C = 261.6255653005986
OPENING_MESSAGES = 15 * 4 + 15 + 15 + 15
KEYBOARD_PROMPT_END = "Just press return for the preset of the just intonation diatonic\n"
PLAY_INSTRUCTIONS = "To change scale or pitch of 1/1 press return key.\n"
PERCUSSION_INTRO_END = "press return key to exit program.\n"
EXIT_QUESTION = "\nExit Program (press return again to exit, or N to continue)\n"
DIATONIC = [1, 9 / 8, 5 / 4, 4 / 3, 3 / 2, 5 / 3, 15 / 8]


def diatonic_hz(degree):
    octave, step = divmod(degree, 7)
    return MIDDLE_C * DIATONIC[step] * 2 ** octave


def open_dump_port(test, program, dump):
    _, entries = program.read_menu()
    letter = letter_of(entries, MidiDump.PORT)
    program.send_line(letter)
    program.expect("Type \"test\" to test the pitch bend range of your sound card / synth.\n")
    test.assertEqual(len(dump.wait_for(OPENING_MESSAGES)), OPENING_MESSAGES)


def start_keyboard_test(program):
    """From the chord prompt to the keyboard test's key loop, on the preset scale."""
    for heading in ("****Scale test****", "****Harmonic Series test****", KEYBOARD_PROMPT_END):
        program.send_line("next")
        program.expect(heading)
    program.expect("exit.\n")
    program.send_line("")
    program.expect(PLAY_INSTRUCTIONS)


def press_return_in_key_loop(program):
    """Return ends the key loop; the program then waits for a line."""
    program.send_key("\r")
    program.expect("\r")
    time.sleep(0.2)
    program.send_key("\r")


class ChordTestOnJack(unittest.TestCase):
    def test_the_preset_chord_arrives_in_tune_one_second_apart(self):
        with JackServer("listening") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                open_dump_port(self, program, dump)
                program.send_line("")
                program.expect("You should now hear your chord as a broken chord\n\n")
                report = program.expect("\n\n****Things you can do at any time****")
                program.expect("Type \"next\" to move on")
                for line in ("These are the notes in play for each channel:", "(0) [60]", "(1) [63]",
                             "701.955 (2) [67]", "1200 (3) [72]"):
                    self.assertIn(line, report)

                timed = dump.settled()
                notes = hear(dump.timed_messages())
                self.assertEqual(len(notes), 4)
                for note, ratio in zip(notes, [1, 7 / 6, 3 / 2, 2]):
                    self.assertAlmostEqual(cents(MIDDLE_C * ratio, note.frequency), 0, delta=BEND_UNIT_CENTS)
                    self.assertEqual(note.velocity, 127)
                    # Held until all four have sounded, then released together, a second later.
                    self.assertAlmostEqual(note.off_time - notes[-1].time, 2.0, delta=0.15)
                for a, b in zip(notes, notes[1:]):
                    self.assertAlmostEqual(b.time - a.time, 1.0, delta=0.1)
                self.assertGreater(len(timed), OPENING_MESSAGES)

                program.send_line("exit")
                status, _ = program.finish()
                self.assertEqual(status, 0)
            finally:
                program.kill()


class KeysOnJack(unittest.TestCase):
    def test_keys_play_degrees_and_percussion(self):
        with JackServer("listening") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                open_dump_port(self, program, dump)
                start_keyboard_test(program)

                program.send_key("1")
                program.expect("1")
                program.send_key("C")  # a capital letter: degree 12
                program.expect("C")
                program.send_key("\x1b[A")  # up arrow: a lead byte, then h (degree 17)
                program.expect("^[[A")
                press_return_in_key_loop(program)
                program.expect(KEYBOARD_PROMPT_END)

                program.send_line("next")
                program.expect(PERCUSSION_INTRO_END)
                program.send_key("0")
                program.expect("0")
                program.send_key("\\")
                program.expect("\\")
                press_return_in_key_loop(program)
                program.expect(EXIT_QUESTION)
                program.send_line("")
                status, _ = program.finish()
                self.assertEqual(status, 0)
                self.assertTrue(program.terminal_after[3] & termios.ICANON)
                self.assertTrue(program.terminal_after[3] & termios.ECHO)

                dump.settled()
                notes = hear(dump.timed_messages())
                melodic = [n for n in notes if n.channel != 9]
                drums = [n for n in notes if n.channel == 9]
                # 1, C, then the arrow's lead byte replays C, and its scan code plays h.
                self.assertEqual(len(melodic), 4)
                for note, degree in zip(melodic, [1, 12, 12, 17]):
                    self.assertAlmostEqual(cents(diatonic_hz(degree), note.frequency), 0, delta=BEND_UNIT_CENTS)
                self.assertTrue(all(n.off_time is not None for n in notes))
                self.assertEqual([n.note for n in drums], [35, 81])
            finally:
                program.kill()

    def test_ctrl_c_in_the_key_loop_leaves_the_terminal_as_it_was(self):
        with JackServer("listening") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                open_dump_port(self, program, dump)
                start_keyboard_test(program)
                program.send_key("5")
                program.expect("5")
                program.send_key("\x03")
                program.finish()
                self.assertEqual(program.child.signalstatus, signal.SIGINT)
                attrs = program.terminal_after
                self.assertTrue(attrs[3] & termios.ICANON)
                self.assertTrue(attrs[3] & termios.ECHO)
                self.assertTrue(attrs[0] & termios.ICRNL)
            finally:
                program.kill()


if __name__ == "__main__":
    unittest.main()
