"""End to end: the real program's start-up dialogue on a real JACK server,
and on a machine with no JACK server at all."""

import re
import termios
import time
import unittest

from harness import JackServer, MidiDump, Program, letter_of, menu_entries, unused_server_name

BANNER = "Test of the Varenta routines.\n\n"
MENU_HEADER = ("Choose your Midi Out device to use - type its letter to select\n"
               "Or just press return to select the first one.\n\n")
TAIL = ("\n\nRecommended first time you try a device:\n"
        "Type \"test\" to test the pitch bend range of your sound card / synth.\n")
INSTALL_LINE = " - How to install QuickTime for Midi apps to use\n"


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


class StartupOnJack(unittest.TestCase):
    def test_choosing_the_jack_port_opens_it_and_exit_ends(self):
        with JackServer("startup") as jack, MidiDump(jack) as dump:
            program = Program(jack.env())
            try:
                printed = program.expect(INSTALL_LINE)
                self.assertTrue(printed.startswith(BANNER + MENU_HEADER), printed)
                entries = menu_entries(printed + INSTALL_LINE)
                letter = letter_of(entries, MidiDump.PORT)
                # The install line follows the last device.
                self.assertEqual(entries[-1][0], chr(ord("A") + len(entries) - 1))

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
                time.sleep(0.3)
                self.assertEqual(dump.messages(), opening_messages())
            finally:
                program.kill()


class StartupWithoutJack(unittest.TestCase):
    def test_install_help_and_no_stray_output(self):
        program = Program({"JACK_DEFAULT_SERVER": unused_server_name(), "PATH": "/usr/bin:/bin"})
        try:
            printed = program.expect(INSTALL_LINE)
            entries = menu_entries(printed + INSTALL_LINE)
            install_letter = chr(ord("A") + len(entries) - 1)
            program.send_line(install_letter)
            program.expect("Press return to exit.")
            program.send_line("")
            status, _ = program.finish()
            self.assertEqual(status, 0)

            listed = "".join("%s - %s\n" % entry for entry in entries[:-1])
            self.assertNotIn("midi-monitor", listed)
            url = r"https?://[^\n]+\n"
            expected = (re.escape(BANNER + MENU_HEADER + listed + install_letter + INSTALL_LINE +
                                  install_letter + "\n" + "How to install Quicktime for Midi apps:\n\nVisit ") +
                        url +
                        re.escape("Choose Custom Instll.\n\nThen choose to install Quicktime Music, and "
                                  "Quicktime for Java.\n\nIf it doesn't let you install Quicktime for Java, "
                                  "then it probably\n\nmeans you don't yet have Java 2 runtime Environment "
                                  "installed\n\nYou can get it from\n\n") +
                        url + re.escape("Press return to exit.\n"))
            # Everything the terminal showed, library diagnostics included.
            self.assertRegex(program.text(), "^" + expected + "$")
        finally:
            program.kill()


if __name__ == "__main__":
    unittest.main()
