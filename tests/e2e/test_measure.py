"""End to end: varenta-test --measure against the project's test synthesizer
(pure tones, settable faults) on a JACK server of the test's own, measured
through JACK: a synthesizer that obeys the bend range message but has
detuned keys and a detuned channel, one that ignores the message and bends
12 semitones, and one that makes no sound at all. Every fault must be
reported within 0.1 cents or 0.01 semitones."""

import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import PROGRAM, JackServer, _stop

TONE_SYNTH = os.environ.get("VARENTA_TONE_SYNTH", "")
KEYS = list(range(36, 97, 3))
MELODIC = [c for c in range(16) if c != 9]


class ToneSynth:
    """The test synthesizer as a JACK client of its own name."""

    def __init__(self, server, name, *args):
        self.server, self.name, self.args = server, name, list(args)
        self.proc = None
        self.report = None  # what it printed when it ended

    def __enter__(self):
        self.out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([TONE_SYNTH, self.name] + self.args, stdin=subprocess.DEVNULL,
                                     stdout=self.out, env=self.server.env())
        self.server.wait_for_ports([self.name + ":out", self.name + ":midi_in"], "the test synthesizer")
        return self

    def __exit__(self, *exc):
        _stop(self.proc)
        self.out.seek(0)
        self.report = self.out.read().decode()
        self.out.close()


class Measurement:
    """varenta-test --measure started in the background, with its JSON and chart."""

    def __init__(self, server, device, source, directory, name):
        self.json = os.path.join(directory, name + ".json")
        self.plot = os.path.join(directory, name + ".svg")
        self.proc = subprocess.Popen([PROGRAM, "--measure", device, "--audio-in", source, "--json", self.json,
                                      "--plot", self.plot], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=server.env())

    def finish(self):
        """(exit status, stdout, stderr, results or None)."""
        try:
            out, err = self.proc.communicate(timeout=240)
        finally:
            _stop(self.proc)
        results = None
        if self.proc.returncode == 0:
            with open(self.json) as f:
                results = json.load(f)
        return self.proc.returncode, out.decode(), err.decode(), results


class MeasureTwoSynthsOnJack(unittest.TestCase):
    """Two test synthesizers on one server, measured at the same time (a
    measurement spends most of its minute waiting for sound)."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        with JackServer("measure") as jack, \
                ToneSynth(jack, "right", "--detune", "45=6.5", "--detune", "72=-4.25", "--channel-detune", "5=7",
                          "--tuning-messages"), \
                ToneSynth(jack, "wrong", "--range", "12"):
            right = Measurement(jack, "right:midi_in", "right", cls.directory.name, "right")
            wrong = Measurement(jack, "wrong:midi_in", "wrong:out", cls.directory.name, "wrong")
            cls.right = right.finish()
            cls.wrong = wrong.finish()
        with open(os.path.join(cls.directory.name, "wrong.svg")) as chart:
            cls.wrong_chart = chart.read()

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def check_run(self, run, tuning_messages):
        status, report, errors, results = run
        self.assertEqual((status, errors), (0, ""))
        # Piped: one plain progress line per stage, then the report.
        self.assertEqual([line for line in report.split("\n") if line.startswith("Measuring ")][1:],
                         ["Measuring 1/5: the route (1 note)", "Measuring 2/5: the unbent tuning (21 notes)",
                          "Measuring 3/5: the pitch-bend range (15 notes)",
                          "Measuring 4/5: Varenta's tunings (16 notes)",
                          "Measuring 5/5: the tuning messages (3 notes)"])
        # (obeys_mts, mts_needs_program, obeys_mpe): the synthesizer's own.
        self.assertEqual((results["obeys_mts"], results["mts_needs_program"], results["obeys_mpe"]), tuning_messages)
        self.assertIn("Verdict: %s.\n" % results["verdict"], report)
        self.assertEqual([k["key"] for k in results["keys"]], KEYS)
        self.assertEqual([c["channel"] for c in results["channels"]], MELODIC)
        self.assertEqual(len(results["tunings"]), 16)
        self.assertLess(results["latency_ms"], 50)
        self.assertLess(results["seconds"], 90)
        return report, results

    def test_detuned_keys_and_channel_on_a_synth_that_obeys_the_range(self):
        # It obeys the tuning changes on channels that selected a tuning
        # program, as FluidSynth does, and the MPE Configuration Message.
        _, results = self.check_run(self.right, (True, True, True))
        detuned_keys = {45: 6.5, 72: -4.25}
        for key in results["keys"]:
            self.assertAlmostEqual(key["cents"], detuned_keys.get(key["key"], 0.0), delta=0.1, msg=key)
        for channel in results["channels"]:
            self.assertAlmostEqual(channel["cents_at_zero_bend"], 7.0 if channel["channel"] == 5 else 0.0,
                                   delta=0.1, msg=channel)
            self.assertAlmostEqual(channel["bend_up_semitones"], 2.0, delta=0.01, msg=channel)
            self.assertAlmostEqual(channel["bend_down_semitones"], 2.0, delta=0.01, msg=channel)
            self.assertTrue(channel["obeys_range_message"])
        for note in results["tunings"]:
            fault = detuned_keys.get(note["key"], 0.0) + (7.0 if note["channel"] == 5 else 0.0)
            self.assertAlmostEqual(note["cents"], fault, delta=0.1, msg=note)
        self.assertIn("channel 5 is detuned by +7.0 cents", results["verdict"])

    def test_a_synth_that_ignores_the_range_message_and_bends_twelve_semitones(self):
        report, results = self.check_run(self.wrong, (False, False, False))
        self.assertIn("ch 15: +12.000/-12.000", self.wrong_chart)
        for channel in results["channels"]:
            self.assertAlmostEqual(channel["bend_up_semitones"], 12.0, delta=0.01, msg=channel)
            self.assertAlmostEqual(channel["bend_down_semitones"], 12.0, delta=0.01, msg=channel)
            self.assertFalse(channel["obeys_range_message"])
        for note in results["tunings"]:
            # Every bend moves six times as far as the engine meant.
            meant = (note["bend"] - 8192) * 200 / 8192
            self.assertAlmostEqual(note["cents"], 5 * meant, delta=0.1, msg=note)
        self.assertTrue(results["verdict"].startswith(
            "ignores the 2-semitone pitch-bend range on all of 15 channels (bends +12.00/-12.00 semitones)"),
            results["verdict"])
        self.assertIn("6.00 times the range asked", report)


class MeasureFailuresOnJack(unittest.TestCase):
    def test_nothing_heard_from_a_silent_source(self):
        with JackServer("measure") as jack, ToneSynth(jack, "tones"), ToneSynth(jack, "silent"):
            started = time.monotonic()
            done = subprocess.run([PROGRAM, "--measure", "tones:midi_in", "--audio-in", "silent"],
                                  stdin=subprocess.DEVNULL, capture_output=True, env=jack.env(), timeout=60)
            self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.decode(), "varenta-test: nothing heard from silent within 3 s: "
                                               "is the synthesizer's output connected to it?\n")

    def test_ctrl_c_mid_measurement_ends_every_note(self):
        with JackServer("measure") as jack:
            with ToneSynth(jack, "tones") as synth:
                program = subprocess.Popen([PROGRAM, "--measure", "tones:midi_in", "--audio-in", "tones"],
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, env=jack.env())
                try:
                    # Into the unbent tuning, where a note sounds most of the time.
                    for line in iter(program.stdout.readline, b""):
                        if line.startswith(b"Measuring 2/5"):
                            break
                    time.sleep(2.0)
                    program.send_signal(signal.SIGINT)
                    _, errors = program.communicate(timeout=30)
                finally:
                    _stop(program)
                self.assertEqual(program.returncode, -signal.SIGINT, errors.decode())
                time.sleep(0.3)  # the last note-off on its way
        ons, sounding = [int(word) for word in synth.report.split()[1::2]]
        self.assertGreater(ons, 2)
        self.assertEqual(sounding, 0, synth.report)

    def test_sources_listed_and_arguments_it_cannot_use(self):
        with JackServer("measure") as jack, ToneSynth(jack, "tones"):
            listed = subprocess.run([PROGRAM, "--list-audio-in"], capture_output=True, env=jack.env(), timeout=30)
            self.assertEqual(listed.returncode, 0)
            lines = listed.stdout.decode().split("\n")
            self.assertTrue(any(line.split() == ["tones", "JACK", "client,", "its", "outputs", "mixed"] for line in lines),
                            lines)
            self.assertTrue(any(line.split()[:2] == ["tones:out", "JACK"] for line in lines if line.split()), lines)

            refusals = [
                (["--measure", "no such synth", "--audio-in", "tones"], "no device 'no such synth'"),
                (["--measure", "tones:midi_in"], "needs --audio-in SOURCE"),
                (["--measure", "tones:midi_in", "--audio-in", "nowhere"], "no audio source 'nowhere'"),
                (["--measure", "tones:midi_in", "--audio-in", "tones", "--json", "/no/such/folder/x.json"],
                 "--json: cannot write '/no/such/folder/x.json'"),
                (["--audio-in", "tones"], "option '--audio-in' goes with --measure"),
                (["--measure"], "option '--measure' needs a value"),
            ]
            for args, complaint in refusals:
                done = subprocess.run([PROGRAM] + args, stdin=subprocess.DEVNULL, capture_output=True,
                                      env=jack.env(), timeout=30)
                self.assertEqual((done.returncode, done.stdout), (2, b""), args)
                self.assertIn(complaint, done.stderr.decode(), args)


if __name__ == "__main__":
    unittest.main()
