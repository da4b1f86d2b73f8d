#!/usr/bin/env python3
"""The tuning methods on real and test synthesizers, as a benchmark-style
report (it prints figures; it fails only when a run does not complete):

1. MIDI Tuning Standard on FluidSynth as its own program on a JACK dummy
   server (Debian's FluidR3 GM, reverb and chorus off), Reed Organ:
   - --measure --method mts: the chord test's notes (stage 4) against
     FluidSynth's own floor, the offsets of their keys' samples measured by
     --measure without MTS (stage 2: the keys measured and the runs found);
   - --calibrate, then --measure --method auto (MTS, as the calibration
     found it obeyed): the chord and harmonics against the asked pitch;
   - the dialogue's chord test with a typed chord of 25 notes (the 1/1 and
     24 more a quarter of a semitone apart) under --method mts, through the
     capture client into FluidSynth: whether all sounded at once on channel 0
     with no note ended early (a steal), and each tuning change's lead on
     its note-on (the capture's times: a cycle's time plus the event's frame).
2. MPE on the project's test synthesizer: the chord and scale tests' notes
   heard from its exact log.

    python3 bench/tuning_methods.py BUILD_DIR
"""

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
os.environ.setdefault("VARENTA_PROGRAM", os.path.join(BUILD, "bin", "varenta-test"))
os.environ.setdefault("VARENTA_TONE_SYNTH", os.path.join(BUILD, "bin", "tone_synth"))
os.environ.setdefault("VARENTA_JACK_CAPTURE", os.path.join(BUILD, "bin", "jack_capture"))

from harness import JackServer, MidiDump, fluidsynth_on  # noqa: E402
from test_calibrate import note_errors  # noqa: E402
from test_methods import TYPED_CENTS, asked_chord, asked_scale, dialogue_run, is_note_on, play, tuning_changes  # noqa: E402

PROGRAM = os.environ["VARENTA_PROGRAM"]
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
DEVICE, SOURCE = "fluidsynth:midi_00", "fluidsynth"


def run(env, *args):
    """Runs the program on FluidSynth; the seconds it took. Raises when its
    status is not 0."""
    started = time.monotonic()
    done = subprocess.run([PROGRAM] + list(args), stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=300)
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(args), done.returncode, done.stderr.decode()))
    return time.monotonic() - started


def measure(env, directory, name, *args):
    path = os.path.join(directory, name + ".json")
    seconds = run(env, "--measure", DEVICE, "--audio-in", SOURCE, "--json", path, *args)
    with open(path) as f:
        results = json.load(f)
    print("  --measure %s took %.1f s" % (" ".join(args) or "(pitch bend)", seconds))
    return results


def key_offset(results, key):
    """The key's offset from stage 2: measured, or its run's; None when neither."""
    for k in results["keys"]:
        if k["key"] == key:
            return k["cents"]
    for run in results.get("key_runs", []):
        if run["first_key"] <= key <= run["last_key"]:
            return run["cents"]
    return None


def note_lifetimes(timed):
    """[(key, on index, off index or None)] of channel 0's notes, in order."""
    notes = []
    for i, (_, m) in enumerate(timed):
        if is_note_on(m):
            notes.append([m[1], i, None])
        elif len(m) == 3 and (m[0] & 0xF0 == 0x80 or (m[0] & 0xF0 == 0x90 and m[2] == 0)):
            for note in notes:
                if note[0] == m[1] and note[2] is None and m[0] & 0x0F == 0:
                    note[2] = i
                    break
    return notes


def fluidsynth_case(directory):
    print("FluidSynth %s, FluidR3 GM, reverb and chorus off, Reed Organ" %
          subprocess.run(["fluidsynth", "--version"], capture_output=True, text=True).stdout.split("\n")[0].split()[-1])
    with JackServer("mbench") as jack:
        env = jack.env(XDG_CONFIG_HOME=os.path.join(directory, "config"))
        with fluidsynth_on(jack, SOUNDFONT):
            plain = measure(env, directory, "plain")
            mts = measure(env, directory, "mts", "--method", "mts")
            print("  the MTS stage: obeys_mts %s, mts_needs_program %s, obeys_mpe %s (pitch-bend run)" %
                  (plain["obeys_mts"], plain["mts_needs_program"], plain["obeys_mpe"]))
            print("  chord notes: key, cents off the asked pitch under MTS and under pitch bend, the key's offset\n"
                  "  (stage 2) without MTS and with the tuning program selected, MTS minus the offset without")
            worst = 0.0
            bent = {round(n["asked_hz"], 3): n for n in plain["tunings"] if n["test"] == "chord"}

            def figure(value):
                return "     -   " if value is None else "%+8.3f c" % value
            for n in (n for n in mts["tunings"] if n["test"] == "chord"):
                floor = key_offset(plain, n["key"])
                diff = None if floor is None or n["cents"] is None else n["cents"] - floor
                if diff is not None:
                    worst = max(worst, abs(diff))
                other = bent.get(round(n["asked_hz"], 3))
                print("    key %3d  %s  %s  %s  %s  %s" % (n["key"], figure(n["cents"]),
                                                         figure(other["cents"] if other else None), figure(floor),
                                                         figure(key_offset(mts, n["key"])), figure(diff)))
            print("  worst chord note under MTS against its key's offset without MTS: %.3f c" % worst)
            harmonics = [abs(n["cents"]) for n in mts["tunings"] if n["test"] == "harmonics" and n["cents"] is not None]
            unmeasured = sum(1 for n in mts["tunings"] if n["test"] == "harmonics" and n["cents"] is None)
            print("  harmonics under MTS: worst %.3f c off the asked pitch (key offsets included), %d not measured" %
                  (max(harmonics) if harmonics else float("nan"), unmeasured))

            # Calibrated: the keys' offsets and the whole-cent cut taken into
            # the tuning sent; --method auto takes MTS as the calibration
            # found FluidSynth obeys it.
            seconds = run(env, "--calibrate", DEVICE, "--audio-in", SOURCE, "--voice", "Reed Organ")
            print("  --calibrate (Reed Organ) took %.1f s" % seconds)
            calibrated = measure(env, directory, "calibrated", "--method", "auto")
            for test in ("chord", "harmonics"):
                notes = [n for n in calibrated["tunings"] if n["test"] == test]
                heard = [n["cents"] for n in notes if n["cents"] is not None]
                print("  calibrated, --method auto: %s %s c off the asked pitch (worst %.3f c), %d not measured,"
                      " on channels %s" % (test, " ".join("%+.2f" % c for c in heard),
                                          max(abs(c) for c in heard) if heard else float("nan"),
                                          len(notes) - len(heard), sorted({n["channel"] for n in notes})))

            # The typed chord, through the capture into FluidSynth.
            with MidiDump(jack, through=True) as dump:
                subprocess.run(["jack_connect", "midi-monitor:through", DEVICE], check=True, env=jack.env())
                play(env, "mts", True)
                dump.settled()
                timed = dump.timed_messages()
    notes = note_lifetimes(timed)
    typed = notes[-(len(TYPED_CENTS) + 1):]
    last_on = typed[-1][1]
    early = [n for n in typed if n[2] is not None and n[2] < last_on]
    channels = {m[0] & 0x0F for _, m in timed if is_note_on(m)}
    print("  typed chord of %d notes: %d keys of their own, %d ended before the last started (steals), "
          "note-on channels %s" % (len(typed), len({n[0] for n in typed}), len(early), sorted(channels)))
    gaps, unchanged = [], 0
    for i, (t, m) in enumerate(timed):
        if is_note_on(m):
            if tuning_changes(timed[i - 1][1]) is not None:
                gaps.append(t - timed[i - 1][0])
            else:
                unchanged += 1
    print("  tuning change before its note-on: %d of %d note-ons (the others' keys already in tune), "
          "lead %.1f to %.1f us (a period is %.0f us)" %
          (len(gaps), len(gaps) + unchanged, 1e6 * min(gaps), 1e6 * max(gaps), 1e6 * 256 / 44100))


def mpe_case(directory):
    print("MPE on the test synthesizer (its log: exact frequencies)")
    with JackServer("mbench") as jack:
        timed, log, failure = dialogue_run(jack, directory, "mpe", False, "--tuning-messages")
    if failure:
        raise RuntimeError(failure)
    errors = note_errors(log, [("chord", hz) for hz in asked_chord()] + [("scale", hz) for hz in asked_scale()])
    channels = sorted({m[0] & 0x0F for _, m in timed if is_note_on(m)})
    print("  %d notes, worst %.4f c off the asked pitch, on channels %s" %
          (len(errors), max(abs(e[3]) for e in errors), channels))


def main():
    with tempfile.TemporaryDirectory(prefix="varenta-methods-bench-") as directory:
        try:
            fluidsynth_case(directory)
            mpe_case(directory)
        except (RuntimeError, AssertionError, subprocess.TimeoutExpired) as failure:
            print("FAILED: %s" % failure)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
