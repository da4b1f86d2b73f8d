"""End to end: a Scala file of the project's examples, named from the home
folder at the scale prompt of the real program, played on a real JACK port;
missing files and folders are refused by what the operating system says."""

import os
import shutil
import tempfile
import time
import unittest
from fractions import Fraction

from harness import BEND_UNIT_CENTS, JackServer, MidiDump, Program, cents, hear
from test_listening import MIDDLE_C, open_dump_port

SCALES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scales")


def scala_ratios(path):
    """The pitches of a Scala file as ratios to the 1/1, read independently of
    the program (only the forms the example files use)."""
    with open(path, encoding="utf-8") as f:
        lines = [line.strip() for line in f if not line.startswith("!")]
    count = int(lines[1].split()[0])
    ratios = []
    for line in lines[2:2 + count]:
        token = line.split()[0]
        ratios.append(2 ** (float(token) / 1200) if "." in token else float(Fraction(token)))
    return ratios


class ScaleFileOnJack(unittest.TestCase):
    def test_an_example_file_from_home_plays_its_pitches(self):
        with tempfile.TemporaryDirectory() as home, JackServer("scales") as jack, MidiDump(jack) as dump:
            shutil.copy(os.path.join(SCALES, "bohlen-pierce.scl"), home)
            os.mkdir(os.path.join(home, "folder.scl"))
            program = Program(jack.env(HOME=home))
            try:
                open_dump_port(self, program, dump)
                program.send_line("next")
                program.expect("****Scale test****")
                program.expect("exit.\n")
                for line, reason in (("~/missing.scl", "there is no such file."),
                                     ('"~/folder.scl"', "it is a folder.")):
                    program.send_line(line)
                    program.expect("Can't use the scale file %s: %s\n" % (line.strip('"'), reason))
                    program.expect("****Scale test****")
                    program.expect("Just press return for preset of the just intonation diatonic\n")

                program.send_line("'~/bohlen-pierce.scl'")
                program.expect("Scale file ~/bohlen-pierce.scl, 13 pitches: "
                               "Bohlen-Pierce scale, just, on the tritave 3/1\n")
                program.expect("Or press return to play 14 notes\n")
                program.send_line("15")
                program.expect("Just press return to keep the current scale:\n27/25 25/21 9/7 ")
                program.send_line("exit")
                status, _ = program.finish()
                self.assertEqual(status, 0)

                # The whole capture: the bends that installing the scale sent
                # come before the first note and tune it.
                time.sleep(0.3)
                notes = hear(dump.timed_messages())
                ratios = [1] + scala_ratios(os.path.join(SCALES, "bohlen-pierce.scl"))
                expected = ratios[:-1] + [3 * r for r in ratios[:2]]  # on past the tritave
                self.assertEqual(len(notes), 15)
                for degree, (note, ratio) in enumerate(zip(notes, expected)):
                    self.assertAlmostEqual(cents(MIDDLE_C * ratio, note.frequency), 0, delta=BEND_UNIT_CENTS,
                                           msg="degree %d" % degree)
            finally:
                program.kill()


if __name__ == "__main__":
    unittest.main()
