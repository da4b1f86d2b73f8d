#!/usr/bin/env python3
"""How far a calibration brings what a device sounds to what was asked, and
what calibrating costs: a benchmark-style run that prints its figures.

1. The project's test synthesizer (tests/e2e/tone_synth) with the faults of
   tests/e2e/test_calibrate.py: it ignores the bend range message and bends
   12 semitones, its keys are detuned in three runs (+7, -4, +2.5 cents) and
   channel 2 by +3 cents. The dialogue's chord test (its preset chord), scale
   test (its preset scale) and harmonic series test (its preset drift) are
   played on it uncalibrated, then --calibrate runs, then the same dialogue
   again. Each note is heard exactly from the synthesizer's log; the worst
   error of each test is printed.
2. FluidSynth as its own program on a JACK dummy server (Debian's FluidR3 GM,
   reverb and chorus off), Reed Organ: --measure, --calibrate, --measure
   again; the worst error of the chord test's notes (and of the harmonics)
   that --measure plays, before and after.
3. The wall-clock time of --calibrate for one voice and of --measure.

    python3 bench/calibrated_playback.py BUILD_DIR

It exits 1 only when a run fails (a status other than 0, a dialogue that
stops); the figures themselves are for reading.
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

from harness import JackServer, fluidsynth_on  # noqa: E402
from test_calibrate import (BEND_RANGE, CHANNEL_CENTS, DETUNED_CHANNEL, DEVICE, KEY_RUNS, asked_notes,  # noqa: E402
                            calibrate, faults_with_runs, note_errors, play_dialogue, read_log, worst_by_test)
from test_measure import ToneSynth  # noqa: E402

PROGRAM = os.environ["VARENTA_PROGRAM"]
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
TESTS = ("chord", "scale", "harmonics")


def dialogue_errors(jack, env, faults, log):
    with ToneSynth(jack, "tones", *(faults + ["--log", log])):
        play_dialogue(env, DEVICE)
    return note_errors(read_log(log), asked_notes())


def print_worst(label, errors):
    worst = worst_by_test(errors)
    print("  %-13s worst error, cents: %s" % (label, "   ".join("%s %.3f" % (t, worst.get(t, float("nan")))
                                                            for t in TESTS)))


def tone_synth_case(directory, runs, name):
    """Returns the seconds --calibrate took."""
    faults = faults_with_runs(runs)
    print("Test synthesizer: bends %d semitones whatever is asked, keys %s, channel %d %+g c" %
          (BEND_RANGE, ", ".join("%d-%d %+g c" % run for run in runs), DETUNED_CHANNEL, CHANNEL_CENTS))
    config = os.path.join(directory, name + "-config")
    with JackServer("cbench") as jack:
        env = jack.env(XDG_CONFIG_HOME=config)
        before = dialogue_errors(jack, env, faults, os.path.join(directory, name + "-before.log"))
        print_worst("uncalibrated", before)
        with ToneSynth(jack, "tones", *faults):
            status, out, err, seconds = calibrate(jack, env)
        if status != 0:
            raise RuntimeError("--calibrate failed (%d): %s" % (status, err))
        print("  --calibrate (one voice) took %.1f s: %s" % (seconds, out.rstrip("\n").split("\n")[-1]))
        after = dialogue_errors(jack, env, faults, os.path.join(directory, name + "-after.log"))
        print_worst("calibrated", after)
    off = sorted((abs(e[3]), e) for e in after)[-3:]
    for _, (test, asked, heard, cents, channel, key) in reversed(off):
        print("    %-9s asked %9.3f Hz heard %9.3f Hz (%+.3f c), channel %d key %d" %
              (test, asked, heard, cents, channel, key))
    return seconds


def run(command, env, what, timeout=300):
    """(completed process, seconds); raises when the status is not 0."""
    started = time.monotonic()
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=timeout)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (what, done.returncode, done.stderr.decode()))
    return done, seconds


def worst_tuning(results, test):
    return max(abs(n["cents"]) for n in results["tunings"] if n["test"] == test)


def fluidsynth_case(directory):
    """Returns (seconds of --measure, seconds of --calibrate)."""
    print("FluidSynth %s, FluidR3 GM, reverb and chorus off, Reed Organ" %
          subprocess.run(["fluidsynth", "--version"], capture_output=True, text=True).stdout.split("\n")[0].split()[-1])
    config = os.path.join(directory, "fluid-config")
    measured = []
    with JackServer("cbench") as jack:
        env = jack.env(XDG_CONFIG_HOME=config)
        with fluidsynth_on(jack, SOUNDFONT) as (device, source):
            for step in ("before", "calibrate", "after"):
                if step == "calibrate":
                    done, seconds = run([PROGRAM, "--calibrate", device, "--audio-in", source, "--voice", "Reed Organ"],
                                        env, "--calibrate")
                    calibrate_seconds = seconds
                    print("  --calibrate (one voice) took %.1f s: %s" %
                          (seconds, done.stdout.decode().rstrip("\n").split("\n")[-1]))
                    continue
                path = os.path.join(directory, "fluid-%s.json" % step)
                done, seconds = run([PROGRAM, "--measure", device, "--audio-in", source, "--json", path], env,
                                    "--measure")
                with open(path) as f:
                    results = json.load(f)
                measured.append(seconds)
                said = [line for line in done.stdout.decode().split("\n") if line.startswith("Calibrated on ")]
                print("  --measure %-6s took %.1f s; worst error of the chord notes %.3f c, of the harmonics %.3f c%s" %
                      (step, seconds, worst_tuning(results, "chord"), worst_tuning(results, "harmonics"),
                       ("\n    " + said[0]) if said else ""))
                print("    chord notes, cents: %s" % ", ".join(
                    "%+.2f" % n["cents"] for n in results["tunings"] if n["test"] == "chord"))
    return sum(measured) / len(measured), calibrate_seconds


def main():
    with tempfile.TemporaryDirectory(prefix="varenta-calibrated-bench-") as directory:
        try:
            tone_calibrate = tone_synth_case(directory, KEY_RUNS, "tones")
            measure_seconds, fluid_calibrate = fluidsynth_case(directory)
        except (RuntimeError, AssertionError) as failure:
            print("FAILED: %s" % failure)
            return 1
    print("Wall-clock: --calibrate of one voice %.1f s (test synthesizer), %.1f s (FluidSynth); "
          "--measure %.1f s (FluidSynth, mean of two)" % (tone_calibrate, fluid_calibrate, measure_seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
