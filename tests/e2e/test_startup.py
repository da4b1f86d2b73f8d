"""End to end: the real program's start-up dialogue on a real JACK server,
and on a machine with no JACK server at all."""

import re
import tempfile
import termios
import time
import unittest

from harness import (JackServer, MidiDump, Program, letter_of, no_audio_env, program_without_bridge,
                     unused_server_name)

BANNER = "Test of the Varenta routines.\n\n"
MENU_HEADER = ("Choose your Midi Out device to use - type its letter to select\n"
               "Or just press return to select the first one.\n\n")
TAIL = ("\n\nRecommended first time you try a device:\n"
        "Type \"test\" to test the pitch bend range of your sound card / synth.\n")
INSTALL_ENTRY = "How to install QuickTime for Midi apps to use"
URL = r"https?://[^\n]+\n"
INSTALL_MESSAGE = (re.escape("How to install Quicktime for Midi apps:\n\nVisit ") + URL +
                   re.escape("Choose Custom Instll.\n\nThen choose to install Quicktime Music, and "
                             "Quicktime for Java.\n\nIf it doesn't let you install Quicktime for Java, "
                             "then it probably\n\nmeans you don't yet have Java 2 runtime Environment "
                             "installed\n\nYou can get it from\n\n") + URL)


def opening_messages():
    """What a port receives when chosen: bend ranges, centring bends, program
    0 (the remembered program), then program 6."""
    melodic = [ch for ch in range(16) if ch != 9]
    expected = []
    for ch in melodic:
        expected += [(0xB0 | ch, 101, 0), (0xB0 | ch, 100, 0), (0xB0 | ch, 6, 2), (0xB0 | ch, 38, 0)]
    expected += [(0xE0 | ch, 0, 64) for ch in melodic]
    expected += [(0xC0 | ch, 0) for ch in melodic]
    expected += [(0xC0 | ch, 6) for ch in melodic]
    return expected


def terminal_is_cooked(attrs):
    lflag = attrs[3]
    return bool(lflag & termios.ICANON) and bool(lflag & termios.ECHO)


def listed(entries):
    return "".join("%s - %s\n" % entry for entry in entries)


class StartupOnJack(unittest.TestCase):
    def test_choosing_the_jack_port_opens_it_and_exit_ends(self):
        with JackServer("startup") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                printed, entries = program.read_menu()
                self.assertEqual(printed, BANNER + MENU_HEADER + listed(entries))
                # ALSA ports first (if any), JACK ports, then the bridge or its install help.
                self.assertIn(entries[-1][1], ("QuickTime", INSTALL_ENTRY))
                self.assertEqual([e[0] for e in entries], [chr(ord("A") + i) for i in range(len(entries))])
                letter = letter_of(entries, MidiDump.PORT)

                program.send_line(letter.lower())
                program.expect("Device selected:\n%s - %s\n" % (letter, MidiDump.PORT))
                program.expect("****Chord test****")
                program.expect(TAIL)

                messages = dump.wait_for(len(opening_messages()))
                self.assertEqual(messages, opening_messages())

                program.send_line("exit")
                status, rest = program.finish()
                self.assertEqual(status, 0)
                self.assertEqual(rest, "exit\n")  # the terminal's echo, nothing more
                self.assertTrue(terminal_is_cooked(program.terminal_after))
                # Closing sends nothing more to the port.
                self.assertEqual(dump.settled(), opening_messages())
            finally:
                program.kill()


class StartupWithoutJack(unittest.TestCase):
    def test_install_help_when_the_bridge_is_missing(self):
        with tempfile.TemporaryDirectory(prefix="varenta-e2e-") as directory:
            program = Program(no_audio_env(directory, unused_server_name()), program_without_bridge(directory))
            try:
                printed, entries = program.read_menu()
                install_letter, last = entries[-1]
                self.assertEqual(last, INSTALL_ENTRY)
                program.send_line(install_letter)
                program.expect("Press return to exit.")
                program.send_line("")
                status, _ = program.finish()
                self.assertEqual(status, 0)

                self.assertNotIn("midi-monitor", printed)
                expected = (re.escape(BANNER + MENU_HEADER + listed(entries) + install_letter + "\n") +
                            INSTALL_MESSAGE + re.escape("Press return to exit.\n"))
                # Everything the terminal showed, library diagnostics included.
                self.assertRegex(program.text(), "^" + expected + "$")
            finally:
                program.kill()

    def test_the_bridge_without_audio_fails_with_its_texts(self):
        with tempfile.TemporaryDirectory(prefix="varenta-e2e-") as directory:
            program = Program(no_audio_env(directory, unused_server_name()))
            try:
                printed, entries = program.read_menu()
                letter, last = entries[-1]
                self.assertEqual(last, "QuickTime")
                program.send_line(letter)
                program.expect("Press return to exit.")
                program.send_line("")
                status, _ = program.finish()
                self.assertEqual(status, 0)
                expected = (re.escape(BANNER + MENU_HEADER + listed(entries) + letter + "\n" +
                                      "Device selected:\n" + letter + " - QuickTime\n" +
                                      "\n\nInitialising QuickTime - may take a little while\n" +
                                      "\n\nCouldn't start up Quicktime\n\n") +
                            INSTALL_MESSAGE + re.escape("Press return to exit.\n"))
                # Nothing from the synthesizer or the audio libraries reaches the terminal.
                self.assertRegex(program.text(), "^" + expected + "$")
            finally:
                program.kill()


if __name__ == "__main__":
    unittest.main()
