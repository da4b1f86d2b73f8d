"""End to end: the tuning methods (--method mts and --method mpe) played by
the dialogue into the project's test synthesizer on a JACK server of the
test's own, and --measure's verdict on the tuning messages.

The dialogue's port is the capture client's, which passes every event on
to the test synthesizer in the same cycle (jack_capture --through): so the
wire is read from the capture and what was heard from the synthesizer's
log, both of the same run, the device's opening included."""

import math
import os
import subprocess
import tempfile
import time
import unittest

from harness import JackServer, MidiDump, Program, letter_of
from test_calibrate import (CHORD, DIATONIC, MIDDLE_C, DialogueStopped, expect, note_errors, preset_chord,
                            preset_scale, read_log)
from test_measure import ToneSynth

SYNTH = "tones"
MELODIC = [c for c in range(16) if c != 9]
PERIOD_SECONDS = 256 / 44100  # the harness's server: 256 frames at 44.1 kHz
TYPED_CENTS = [25.0 * i for i in range(1, 25)]  # 24 values a quarter of a semitone apart, all held at once
TYPED_CHORD = " ".join("%.1f" % c for c in TYPED_CENTS)
MTS_TOLERANCE_CENTS = 0.01
MPE_TOLERANCE_CENTS = 0.3
CHORD_SECONDS = 60  # a chord of 25 notes takes a second a note


def asked_chord():
    return [MIDDLE_C * r for r in CHORD]


def asked_typed_chord():
    return [MIDDLE_C] + [MIDDLE_C * 2 ** (c / 1200) for c in TYPED_CENTS]


def asked_scale():
    return [MIDDLE_C * r for r in DIATONIC]


def is_note_on(message):
    return len(message) == 3 and message[0] & 0xF0 == 0x90 and message[2] > 0


def tuning_changes(message):
    """The (key, MIDI note number) pairs of a real-time Single Note Tuning
    Change of tuning program 0, or None for any other message."""
    if message[:6] != (0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00) or message[-1] != 0xF7:
        return None
    count = message[6]
    if len(message) != 8 + 4 * count:
        raise AssertionError("a tuning change of %d keys in %d bytes: %s" % (count, len(message), message))
    return [(message[7 + 4 * i], message[8 + 4 * i] + (message[9 + 4 * i] * 128 + message[10 + 4 * i]) / 16384)
            for i in range(count)]


def rpn_sets(messages, channel, parameter, value):
    """Whether the registered parameter is set to value on channel (its
    three controllers in a row among the channel's messages)."""
    own = [m for m in messages if len(m) == 3 and m[0] == 0xB0 | channel]
    wanted = [(0xB0 | channel, 101, 0), (0xB0 | channel, 100, parameter), (0xB0 | channel, 6, value)]
    return any(own[i:i + 3] == wanted for i in range(len(own) - 2))


def hz_of(note_number):
    return 440 * 2 ** ((note_number - 69) / 12)


def cents(a_hz, b_hz):
    return 1200 * math.log2(b_hz / a_hz)


def play(env, method, typed_chord):
    """The dialogue with --method: the chord test's preset chord, then either
    the typed chord or the scale test's preset scale, then exit."""
    program = Program(env, args=["--method", method])
    try:
        _, entries = program.read_menu()
        program.send_line(letter_of(entries, MidiDump.PORT))
        expect(program, "****Chord test****")
        expect(program, "\"exit\" to exit.\n")
        preset_chord(program)
        if typed_chord:
            program.send_line(TYPED_CHORD)
            expect(program, "You should now hear your chord as a broken chord\n")
            expect(program, "****Chord test****", CHORD_SECONDS)
            expect(program, "\"exit\" to exit.\n")
        else:
            preset_scale(program)
        program.send_line("exit")
        status, _ = program.finish()
        if status != 0:
            raise DialogueStopped("the dialogue ended with status %s" % status)
    finally:
        program.kill()


# Messages for the test synthesizer itself, through the platform seam, and
# what it must sound: (channel, key, MIDI note number heard, kind).
SYNTH_SCRIPT = [
    "sysex f0 7f 7f 08 02 00 02 3c 3c 20 00 3e 3e 40 00 f7",  # key 60 to 60.25, key 62 to 62.5
    "90 3c 64",                                                # channel 0 selected no tuning: 60
    "b0 65 00", "b0 64 04", "b0 06 00", "b0 65 00", "b0 64 03", "b0 06 00",  # bank 0, program 0
    "90 3e 64",                                                # now key 62's tuning: 62.5
    "sysex f0 7f 7f 08 02 00 02 3e 7f 7f 7f 40 40 00 01 f7",   # key 62 unchanged, key 64 to 64 + 1/16384
    "90 40 64",
    "92 3e 64",                                                # channel 2 selected nothing: 62
    "b0 65 00", "b0 64 06", "b0 06 03",                        # an MPE zone of 3 members
    "e1 00 50", "91 45 64",                                    # member 1 bent a quarter of 48 semitones
    "e4 00 50", "94 45 64",                                    # channel 4 is no member: 2 semitones
    "b1 65 00", "b1 64 00", "b1 06 02",                        # a later range message on member 1
]
SYNTH_HEARD = [(0, 60, 60, "start"), (0, 62, 62.5, "start"), (0, 64, 64 + 1 / 16384, "start"), (2, 62, 62, "start"),
               (1, 69, 81, "start"), (4, 69, 69.5, "start"), (1, 69, 69.5, "held")]


def synth_run(jack, directory):
    """SYNTH_SCRIPT sent to a test synthesizer with --tuning-messages; its log."""
    log = os.path.join(directory, "synth.log")
    with ToneSynth(jack, "ear", "--tuning-messages", "--log", log):
        done = subprocess.run([os.environ["VARENTA_SEAM_SEND"], "ear:midi_in"], input="\n".join(SYNTH_SCRIPT) + "\n",
                              capture_output=True, text=True, env=jack.env(), timeout=30)
        time.sleep(0.3)
    if done.returncode != 0 or set(done.stdout.split()) != {"0"}:
        raise AssertionError("seam_send: %s %r %r" % (done.returncode, done.stdout, done.stderr))
    return read_log(log)


def dialogue_run(jack, directory, method, typed_chord, *synth_args):
    """Plays the dialogue through the capture into a test synthesizer.
    Returns (timed messages, log lines, failure text or None)."""
    log = os.path.join(directory, method + ".log")
    failure = None
    with ToneSynth(jack, SYNTH, "--log", log, *synth_args), MidiDump(jack, through=True) as dump:
        subprocess.run(["jack_connect", "midi-monitor:through", SYNTH + ":midi_in"], check=True, env=jack.env())
        try:
            play(jack.env(XDG_CONFIG_HOME=os.path.join(directory, "config")), method, typed_chord)
        except Exception as stopped:  # the tests report it with what was captured
            failure = "%s: %s" % (type(stopped).__name__, stopped)
        dump.settled()
        timed = dump.timed_messages()
    return timed, read_log(log), failure


class TuningMethodsOnJack(unittest.TestCase):
    """One server: the dialogue under --method mts, then under --method mpe.
    (What --measure hears of the tuning messages is test_measure's.)"""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory(prefix="varenta-methods-")
        with JackServer("methods") as jack:
            try:
                cls.synth = synth_run(jack, cls.directory.name)
            except AssertionError as failure:
                cls.synth = str(failure)
            cls.mts = dialogue_run(jack, cls.directory.name, "mts", True, "--tuning-messages")
            cls.mpe = dialogue_run(jack, cls.directory.name, "mpe", False, "--tuning-messages")

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def run_of(self, run):
        timed, log, failure = run
        if failure:
            self.fail("%s\ncaptured %d messages" % (failure, len(timed)))
        return timed, log

    def test_the_test_synthesizer_obeys_tuning_changes_on_selecting_channels_and_the_mpe_zone(self):
        if isinstance(self.synth, str):
            self.fail(self.synth)
        self.assertEqual([line[:2] + line[3:] for line in self.synth], [h[:2] + h[3:] for h in SYNTH_HEARD])
        for line, heard in zip(self.synth, SYNTH_HEARD):
            self.assertAlmostEqual(line[2], hz_of(heard[2]), delta=1e-7, msg=line)

    # ---- MIDI Tuning Standard ----

    def test_mts_every_note_sounds_within_a_hundredth_of_a_cent_on_channel_0(self):
        timed, log = self.run_of(self.mts)
        asked = [("chord", hz) for hz in asked_chord()] + [("typed", hz) for hz in asked_typed_chord()]
        errors = note_errors(log, asked)
        off = ["%s: asked %.4f Hz, heard %.4f Hz (%+.4f c) on channel %d key %d" % e
               for e in errors if abs(e[3]) > MTS_TOLERANCE_CENTS]
        self.assertEqual(off, [])
        self.assertEqual({e[4] for e in errors}, {0})
        # The typed chord's 25 notes sounded at once, each on a key of its own.
        typed_keys = [line[1] for line in log if line[3] == "start"][len(CHORD):]
        self.assertEqual(len(set(typed_keys)), len(TYPED_CENTS) + 1, typed_keys)
        # The preset chord's notes ended, each by its own note-off, before
        # the typed chord began.
        messages = [m for _, m in timed]
        ons = [i for i, m in enumerate(messages) if is_note_on(m)]
        ended = [m[1] for m in messages[:ons[len(CHORD)]] if len(m) == 3 and m[0] == 0x80]
        self.assertEqual(sorted(ended), sorted(messages[i][1] for i in ons[:len(CHORD)]))

    def test_mts_opening_selects_tuning_program_0_of_bank_0_and_no_note_is_bent(self):
        timed, _ = self.run_of(self.mts)
        messages = [m for _, m in timed]
        first_note = next(i for i, m in enumerate(messages) if is_note_on(m))
        opening = messages[:first_note]
        for channel in MELODIC:
            self.assertTrue(rpn_sets(opening, channel, 4, 0), channel)
            self.assertTrue(rpn_sets(opening, channel, 3, 0), channel)
        # The opening centres every melodic channel's bend, as under any
        # method; nothing bends after it.
        bends = [(i, m) for i, m in enumerate(messages) if m[0] & 0xF0 == 0xE0]
        self.assertEqual([(i, m) for i, m in bends if m[1:] != (0, 64) or i > first_note], [])
        self.assertEqual({m[0] & 0x0F for m in messages if is_note_on(m)}, {0})

    def test_mts_each_tuning_change_comes_just_before_its_note_on_in_the_same_cycle(self):
        timed, _ = self.run_of(self.mts)
        asked = asked_chord() + asked_typed_chord()
        notes = [(i, m) for i, m in enumerate(timed) if is_note_on(m[1])]
        self.assertEqual(len(notes), len(asked))
        table = list(range(128))
        gaps = []
        unchanged = []  # note-ons of keys already tuned to their pitch
        for i, (t, message) in enumerate(timed):
            changes = tuning_changes(message)
            if changes:
                for key, pitch in changes:
                    table[key] = pitch
            if not is_note_on(message):
                continue
            key = message[1]
            wanted = asked[len(gaps) + len(unchanged)]
            before_t, before = timed[i - 1]
            if tuning_changes(before) is None:
                unchanged.append(key)  # its pitch is checked below like any other
            else:
                self.assertEqual([k for k, _ in tuning_changes(before)], [key],
                                 "note-on %s follows %s" % (message, before))
                gaps.append(t - before_t)
            self.assertLessEqual(abs(cents(wanted, hz_of(table[key]))), MTS_TOLERANCE_CENTS, (message, table[key]))
        # Events of one cycle carry the cycle's time plus their frame's: a
        # change and its note-on within one period, the note-on not first.
        self.assertTrue(all(0 <= gap < PERIOD_SECONDS for gap in gaps), gaps)
        # Only the pitches of equal temperament need no change: middle C (the
        # 1/1 of both chords) and the preset chord's 2/1.
        self.assertEqual(unchanged, [60, 72, 60])
        print("\nMTS: %d tuning changes before their note-on, %.1f to %.1f us before it" %
              (len(gaps), 1e6 * min(gaps), 1e6 * max(gaps)))

    def test_mts_keys_go_back_to_equal_temperament_when_the_device_closes(self):
        timed, _ = self.run_of(self.mts)
        messages = [m for _, m in timed]
        last_note = max(i for i, m in enumerate(messages) if is_note_on(m))
        table = list(range(128))
        retuned_before_close = set()
        for i, message in enumerate(messages):
            for key, pitch in tuning_changes(message) or []:
                table[key] = pitch
                if i <= last_note and pitch != key:
                    retuned_before_close.add(key)
        self.assertEqual([(k, p) for k, p in enumerate(table) if p != k], [])
        closing = [tuning_changes(m) for m in messages[last_note + 1:] if tuning_changes(m)]
        restored = {k for changes in closing for k, _ in changes}
        self.assertLessEqual(retuned_before_close, restored)
        # The typed chord's pitches off equal temperament, a key each.
        self.assertGreaterEqual(len(retuned_before_close), len(TYPED_CENTS))
        self.assertLess(len(closing), len(restored))  # several keys to a message

    # ---- MPE ----

    def test_mpe_opening_configures_the_zone_and_the_members_range(self):
        timed, _ = self.run_of(self.mpe)
        messages = [m for _, m in timed]
        first_note = next(i for i, m in enumerate(messages) if is_note_on(m))
        opening = messages[:first_note]
        self.assertTrue(rpn_sets(opening, 0, 6, 15))
        for channel in range(1, 16):
            self.assertEqual(rpn_sets(opening, channel, 0, 48), channel != 9, channel)

    def test_mpe_every_note_within_three_tenths_of_a_cent_and_none_on_channel_0(self):
        timed, log = self.run_of(self.mpe)
        asked = [("chord", hz) for hz in asked_chord()] + [("scale", hz) for hz in asked_scale()]
        errors = note_errors(log, asked)
        off = ["%s: asked %.4f Hz, heard %.4f Hz (%+.4f c) on channel %d key %d" % e
               for e in errors if abs(e[3]) > MPE_TOLERANCE_CENTS]
        self.assertEqual(off, [])
        channels = {m[0] & 0x0F for _, m in timed if is_note_on(m)}
        self.assertTrue(channels and channels <= set(range(1, 16)) - {9}, channels)
        # The chord's four notes held at once took four members.
        chord_channels = [line[0] for line in log if line[3] == "start"][:len(CHORD)]
        self.assertEqual(len(set(chord_channels)), len(CHORD), chord_channels)


if __name__ == "__main__":
    unittest.main()
