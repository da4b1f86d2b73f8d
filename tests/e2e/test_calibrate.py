"""End to end: varenta-test --calibrate against the project's test synthesizer
on a JACK server of the test's own, then the dialogue played on the
calibrated device under a pseudo-terminal.

The synthesizer ignores the bend range message and bends 12 semitones, its
keys are detuned in three runs as a SoundFont's samples would be, and one
channel on top of that. It logs the exact frequency of every voice it starts
and of every voice whose channel is bent (tone_synth --log), so each note of
the chord, scale and harmonic series tests is checked against the pitch the
dialogue asked for: within 0.1 cent once the device is calibrated, where
uncalibrated every bend moves six times as far as meant.

The key runs meet on keys the dialogue plays (71 and 72: the scale's 15/8
and its 2/1, the ninth harmonic and the chord's octave) and between two of
the keys the measurement samples (every third from 36), so the run ends
must be found from the keys in between."""

import json
import math
import os
import re
import subprocess
import tempfile
import time
import unittest

import pexpect

from harness import PROGRAM, JackServer, Program, _stop, letter_of
from test_measure import TONE_SYNTH, ToneSynth

MIDDLE_C = 261.6255653005986
DEVICE = "tones:midi_in"
FILE_NAME = "tones_midi_in.json"  # the menu name with ':' made '_'
KEY_RUNS = [(0, 47, 7.0), (48, 71, -4.0), (72, 127, 2.5)]
DETUNED_CHANNEL, CHANNEL_CENTS = 2, 3.0
BEND_RANGE = 12


def faults_with_runs(runs):
    """The test synthesizer's arguments: the range, the detuned channel and
    keys detuned by runs of (first, last, cents)."""
    faults = ["--range", str(BEND_RANGE), "--channel-detune", "%d=%g" % (DETUNED_CHANNEL, CHANNEL_CENTS)]
    for first, last, detune in runs:
        faults += ["--detune-keys", "%d-%d=%g" % (first, last, detune)]
    return faults


FAULTS = faults_with_runs(KEY_RUNS)
VOICE = "Harpsichord"  # the voice the dialogue starts with
TOLERANCE_CENTS = 0.1

CHORD = [1, 7 / 6, 3 / 2, 2]                                  # the chord test's preset
DIATONIC = [1, 9 / 8, 5 / 4, 4 / 3, 3 / 2, 5 / 3, 15 / 8, 2]  # the scale test's, with its 1/1
HARMONIC_BASE_HZ, HARMONIC_NOTES, HARMONIC_CHORDS, DECAY = 55.0, 10, 100, 0.95

CALIBRATE_SECONDS = 150  # a measurement takes about a minute
DRIFT_SECONDS = 120      # the harmonic series' drift of 100 chords, about 50 s


def cents(a_hz, b_hz):
    return 1200 * math.log2(b_hz / a_hz)


def harmonic_degrees():
    """The degrees the harmonic series test sounds, in order: up the series
    one harmonic per chord, then back down, the velocity falling by 0.95 a
    step. Velocities are cut to whole numbers, and a note-on of velocity 0
    sounds nothing, so the quiet ends of both ways are not heard."""
    total = HARMONIC_CHORDS + HARMONIC_NOTES
    velocity = 127.0
    degrees = []
    for i in range(HARMONIC_CHORDS):
        if int(velocity) > 0:
            degrees.append(i)
        velocity = 127.0 * DECAY ** i
    for k in range(total - 1, HARMONIC_NOTES - 1, -1):
        if int(velocity) > 0:
            degrees.append(k - HARMONIC_NOTES)
        velocity = 127.0 * DECAY ** k
    return degrees


def asked_notes():
    """(test, frequency) of every note the three tests play, in order. In the
    scale "h 2" degree d is harmonic d + 1 of the 1/1."""
    return ([("chord", MIDDLE_C * r) for r in CHORD] + [("scale", MIDDLE_C * r) for r in DIATONIC] +
            [("harmonics", HARMONIC_BASE_HZ * (d + 1)) for d in harmonic_degrees()])


def read_log(path):
    """The test synthesizer's log as (channel, key, frequency, kind) tuples."""
    lines = []
    with open(path) as log:
        for line in log:
            words = line.split()
            if words[0] == "lost":
                raise AssertionError("the test synthesizer lost %s lines of its log" % words[1])
            lines.append((int(words[0]), int(words[1]), float(words[2]), words[3]))
    return lines


def note_errors(log, asked):
    """Each note heard against the note asked, in order: a list of (test,
    asked Hz, heard Hz, cents off, channel, key). A voice still held when its
    channel is bent again counts as heard anew against its own note. Raises
    when the notes started are not as many as those asked."""
    starts = [line for line in log if line[3] == "start"]
    if len(starts) != len(asked):
        raise AssertionError("%d notes asked, %d heard" % (len(asked), len(starts)))
    errors = []
    voice_note = {}  # (channel, key) -> the note its latest voice was asked for
    index = 0
    for channel, key, hz, kind in log:
        if kind == "start":
            voice_note[(channel, key)] = asked[index]
            index += 1
        elif kind != "held":
            continue  # a released voice in its last milliseconds
        test, asked_hz = voice_note[(channel, key)]
        errors.append((test, asked_hz, hz, cents(asked_hz, hz), channel, key))
    return errors


def worst_by_test(errors):
    """{test: the largest |cents| off among its notes}."""
    worst = {}
    for test, _, _, off, _, _ in errors:
        worst[test] = max(worst.get(test, 0.0), abs(off))
    return worst


class DialogueStopped(AssertionError):
    pass


def expect(program, text, timeout=15):
    """Program.expect with its own time limit, failing with what was printed."""
    program.child.timeout = timeout
    try:
        return program.expect(text)
    except (pexpect.TIMEOUT, pexpect.EOF) as stop:
        seen = (program.transcript + (program.child.before or b"")).replace(b"\r\n", b"\n").decode("latin-1")
        raise DialogueStopped("the dialogue did not print %r within %d s (%s); it printed last:\n%s" %
                              (text, timeout, type(stop).__name__, seen[-1500:]))


def preset_chord(program):
    """At the chord test's prompt: its preset chord played, and the prompt again."""
    program.send_line("")
    expect(program, "You should now hear your chord as a broken chord\n")
    expect(program, "****Chord test****")
    expect(program, "\"exit\" to exit.\n")


def preset_scale(program):
    """From the chord test's prompt: on to the scale test, its preset scale
    played, and its prompt again."""
    program.send_line("next")
    expect(program, "Just press return for preset of the just intonation diatonic\n")
    expect(program, "\"exit\" to exit.\n")
    program.send_line("")
    expect(program, "You should now hear your ascending scale of 8 notes\n")
    expect(program, "Just press return to keep the current scale:\n")
    expect(program, "\"exit\" to exit.\n")


def play_dialogue(env, device):
    """Opens the device in the dialogue and plays the chord test's preset
    chord, the scale test's preset scale and the harmonic series test's preset
    drift, then exits. Returns the transcript, from the menu on."""
    program = Program(env)
    try:
        try:
            _, entries = program.read_menu()
        except (pexpect.TIMEOUT, pexpect.EOF):
            raise DialogueStopped("no device menu; the program printed:\n%s" % program.child.before)
        program.send_line(letter_of(entries, device))
        expect(program, "****Chord test****")
        expect(program, "Type \"test\" to test the pitch bend range of your sound card / synth.\n")
        preset_chord(program)
        preset_scale(program)
        program.send_line("next")
        expect(program, "****Harmonic Series test****")
        expect(program, "\"exit\" to exit.\n")
        program.send_line("")
        expect(program, "Drifting harmonic series of 100 chords, 10 notes per chord\n")
        expect(program, "****Harmonic Series test****", DRIFT_SECONDS)
        expect(program, "\"exit\" to exit.\n")
        program.send_line("exit")
        program.child.timeout = 15
        status, _ = program.finish()
        if status != 0:
            raise DialogueStopped("the dialogue ended with status %s" % status)
        return program.text()
    finally:
        program.kill()


def calibrate(jack, env, voice=VOICE, timeout=CALIBRATE_SECONDS):
    """Runs --calibrate on the test synthesizer's port, heard from its
    output. Returns (status, stdout, stderr, seconds); a run that does not end
    in time is stopped and raises."""
    started = time.monotonic()
    proc = subprocess.Popen([PROGRAM, "--calibrate", DEVICE, "--audio-in", "tones", "--voice", voice],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        _stop(proc)
        out, err = proc.communicate()
        raise AssertionError("--calibrate did not end within %d s; it printed:\n%s%s" %
                             (timeout, out.decode()[-1500:], err.decode()))
    finally:
        _stop(proc)
    return proc.returncode, out.decode(), err.decode(), time.monotonic() - started


class CalibratedPlaybackOnJack(unittest.TestCase):
    """One calibration of the faulty synthesizer, then the dialogue on it."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory(prefix="varenta-calibrate-")
        cls.config = os.path.join(cls.directory.name, "config")
        cls.log = os.path.join(cls.directory.name, "heard.log")
        cls.calibration = cls.transcript = None
        cls.calibration_failure = cls.dialogue_failure = None
        with JackServer("calibrate") as jack:
            env = jack.env(XDG_CONFIG_HOME=cls.config)
            with ToneSynth(jack, "tones", *FAULTS):
                try:
                    cls.calibration = calibrate(jack, env)
                except AssertionError as failure:
                    cls.calibration_failure = str(failure)
            if cls.calibration is None or cls.calibration[0] != 0:
                cls.dialogue_failure = "no dialogue: the calibration did not succeed"
                return
            # A synthesizer of its own for the dialogue, so that its log holds
            # the dialogue's notes alone.
            with ToneSynth(jack, "tones", *(FAULTS + ["--log", cls.log])):
                try:
                    cls.transcript = play_dialogue(env, DEVICE)
                except DialogueStopped as failure:
                    cls.dialogue_failure = str(failure)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def calibrated(self):
        if self.calibration_failure:
            self.fail(self.calibration_failure)
        status, out, err, _ = self.calibration
        self.assertEqual((status, err), (0, ""), out)
        return out

    def played(self):
        if self.dialogue_failure:
            self.fail(self.dialogue_failure)
        return self.transcript

    def test_calibrate_keeps_the_ranges_the_key_runs_and_the_channel_offset(self):
        out = self.calibrated()
        path = os.path.join(self.config, "varenta", "calibrations", FILE_NAME)
        self.assertIn("Measuring 4/5: Varenta's tunings", out)
        self.assertEqual(out.rstrip("\n").split("\n")[-1], "Calibration kept in " + path)
        with open(path) as f:
            kept = json.load(f)
        self.assertEqual(kept["device"], DEVICE)
        self.assertRegex(kept["date"], r"^\d{4}-\d{2}-\d{2}$")
        self.assertEqual([(v["program"], v["name"]) for v in kept["voices"]], [(6, VOICE)])
        runs = kept["voices"][0]["key_runs"]
        # Each run ends where the synthesizer's does; the outer ones reach at
        # least the lowest and highest keys measured, 36 and 96.
        self.assertEqual(len(runs), 3, runs)
        self.assertEqual([runs[0]["last_key"], runs[1]["first_key"], runs[1]["last_key"], runs[2]["first_key"]],
                         [47, 48, 71, 72], runs)
        self.assertLessEqual(runs[0]["first_key"], 36, runs)
        self.assertGreaterEqual(runs[2]["last_key"], 96, runs)
        for run, (_, _, detune) in zip(runs, KEY_RUNS):
            self.assertAlmostEqual(run["cents"], detune, delta=TOLERANCE_CENTS, msg=run)
        self.assertEqual([c["channel"] for c in kept["channels"]], [c for c in range(16) if c != 9])
        for channel in kept["channels"]:
            self.assertAlmostEqual(channel["bend_up_semitones"], BEND_RANGE, delta=0.01, msg=channel)
            self.assertAlmostEqual(channel["bend_down_semitones"], BEND_RANGE, delta=0.01, msg=channel)
            fault = CHANNEL_CENTS if channel["channel"] == DETUNED_CHANNEL else 0.0
            self.assertAlmostEqual(channel["offset_cents"], fault, delta=TOLERANCE_CENTS, msg=channel)

    def test_the_dialogue_says_it_plays_calibrated_right_after_the_device_opens(self):
        out = self.calibrated()
        text = self.played()
        selected = re.search(r"Device selected:\n. - %s\n" % re.escape(DEVICE), text)
        self.assertIsNotNone(selected, text[:3000])
        after = text[selected.end():text.index("****Chord test****")]
        line = re.search(r"^Calibrated on (\d{4}-\d{2}-\d{2}): .+$", after, re.M)
        self.assertIsNotNone(line, after)
        self.assertEqual(after[:line.start()].strip("\n"), "", after)
        with open(os.path.join(self.config, "varenta", "calibrations", FILE_NAME)) as f:
            self.assertEqual(line.group(1), json.load(f)["date"], out)

    def test_every_note_of_the_chord_scale_and_harmonic_series_sounds_the_pitch_asked(self):
        self.played()
        errors = note_errors(read_log(self.log), asked_notes())
        off = ["%s: asked %.4f Hz, heard %.4f Hz (%+.3f c) on channel %d key %d" % e
               for e in errors if abs(e[3]) > TOLERANCE_CENTS]
        self.assertEqual(off, [], "worst by test: %s" % worst_by_test(errors))
        # All three tests were heard, and all three key runs and the detuned
        # channel played.
        self.assertEqual(sorted(worst_by_test(errors)), ["chord", "harmonics", "scale"])
        keys = {e[5] for e in errors}
        for first, last, _ in KEY_RUNS:
            self.assertTrue(any(first <= key <= last for key in keys), (first, last, sorted(keys)))
        self.assertLessEqual({71, 72}, keys)  # the last key of a run and the first of the next
        self.assertIn(DETUNED_CHANNEL, {e[4] for e in errors})


class ToneSynthLogOnJack(unittest.TestCase):
    """The test synthesizer's log, which the test above hears the dialogue
    by: a line for every voice started and every held voice bent, at the
    exact frequency of the detuned key, channel and bend."""

    def test_starts_and_bends_are_logged_at_their_exact_frequency(self):
        with tempfile.TemporaryDirectory(prefix="varenta-tone-log-") as directory, JackServer("calibrate") as jack:
            log = os.path.join(directory, "heard.log")
            args = ["--range", "12", "--detune-keys", "0-46=7", "--detune-keys", "47-58=-4", "--detune", "50=1",
                    "--channel-detune", "2=3", "--log", log]
            with ToneSynth(jack, "ear", *args) as synth:
                sender = subprocess.Popen([os.environ["VARENTA_JACK_SEND"]], stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, env=jack.env())
                try:
                    jack.wait_for_ports(["midi-keys:out"], "the MIDI source")
                    subprocess.run(["jack_connect", "midi-keys:out", "ear:midi_in"], check=True,
                                   env=jack.env())
                    events = ["90 2d 64",                      # key 45 on channel 0: run 0-46
                              "92 32 64",                      # key 50 on channel 2: the single key over its run
                              "e0 00 50",                      # channel 0 bent 2048 units up: 3 semitones
                              "e0 00 50",                      # the same bend again: nothing changes
                              "b0 65 00", "b0 64 00", "b0 06 05",  # a range message, ignored
                              "91 64 64"]                      # key 100 on channel 1: no run
                    sender.stdin.write("".join(e + "\n" for e in events).encode() + b"sync\n")
                    sender.stdin.flush()
                    self.assertEqual(sender.stdout.readline(), b"sent\n")
                    time.sleep(0.2)
                finally:
                    sender.stdin.close()
                    try:
                        sender.wait(timeout=10)
                    finally:
                        _stop(sender)
                        sender.stdout.close()
            self.assertEqual(synth.report.split(), ["note-ons", "3", "sounding", "3"])
            heard = read_log(log)

        def hz(semitones):
            return 440 * 2 ** ((semitones - 69) / 12)

        expected = [(0, 45, hz(45.07), "start"), (2, 50, hz(50.04), "start"), (0, 45, hz(48.07), "held"),
                    (1, 100, hz(100), "start")]
        self.assertEqual([line[:2] + line[3:] for line in heard], [line[:2] + line[3:] for line in expected])
        for line, want in zip(heard, expected):
            self.assertAlmostEqual(line[2], want[2], delta=1e-6, msg=line)

    def test_a_key_run_it_cannot_use_is_refused(self):
        for run in ("50-40=1", "0-128=1", "40=1", "-3-5=1"):
            done = subprocess.run([TONE_SYNTH, "ear", "--detune-keys", run], capture_output=True, timeout=10)
            self.assertEqual(done.returncode, 2, run)
            self.assertIn(b"cannot use --detune-keys", done.stderr, run)


if __name__ == "__main__":
    unittest.main()
