#!/usr/bin/env python3
"""The measurement against real synthesizers, as a benchmark-style check:

1. FluidSynth as a separate program (Debian's fluidsynth, the FluidR3 GM
   SoundFont, reverb and chorus off) on a JACK dummy server, measured through
   JACK by varenta-test --measure; then the same notes rendered offline by
   the same FluidSynth library (measure_offline with the stock FluidSynth
   library of this folder) and measured by the same estimator. Every key's
   offset must agree within 0.2 cents, every channel's bend range up and
   down within 0.01 semitones.
2. The built-in synthesizer (the bridge) playing into the same kind of JACK
   server, measured through JACK, against --measure QuickTime from its own
   offline render: the same bounds.
3. The project's test synthesizer (tests/e2e/tone_synth) with faults: detuned
   keys and one detuned channel, first obeying the range message, then
   ignoring it with a range of 12 semitones. Every fault must be reported
   within 0.1 cents or 0.01 semitones.

It prints every figure and how long each measurement took, and exits 1 when
a figure is out of bounds.

    python3 bench/measure_synths.py BUILD_DIR
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

from harness import JackServer, fluidsynth_on, no_audio_env  # noqa: E402
from test_measure import ToneSynth  # noqa: E402

PROGRAM = os.environ["VARENTA_PROGRAM"]
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
failures = []


def check(name, value, limit):
    verdict = "ok" if value <= limit else "OUT OF BOUNDS"
    print("  %-58s %10.5f  (limit %g) %s" % (name, value, limit, verdict))
    if value > limit:
        failures.append(name)


def live_measurement(jack, device, source, directory, name, env=None):
    path = os.path.join(directory, name + ".json")
    started = time.monotonic()
    done = subprocess.run([PROGRAM, "--measure", device, "--audio-in", source, "--json", path],
                          stdin=subprocess.DEVNULL, capture_output=True, env=env or jack.env(), timeout=300)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        raise RuntimeError("measuring %s failed: %s" % (name, done.stderr.decode()))
    with open(path) as f:
        return json.load(f), seconds


def offline_measurement(command, directory, name):
    """(results, seconds) of a measurement that renders offline; `command`
    takes the JSON file's path as its last argument."""
    path = os.path.join(directory, name + ".json")
    started = time.monotonic()
    subprocess.run(command + [path], check=True, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - started
    with open(path) as f:
        return json.load(f), seconds


def compare(live, offline):
    offline_keys = {k["key"]: k["cents"] for k in offline["keys"]}
    check("largest key offset difference, JACK vs offline (cents)",
          max(abs(k["cents"] - offline_keys[k["key"]]) for k in live["keys"]), 0.2)
    offline_channels = {c["channel"]: c for c in offline["channels"]}
    for direction in ("bend_up_semitones", "bend_down_semitones"):
        check("largest %s difference (semitones)" % direction,
              max(abs(c[direction] - offline_channels[c["channel"]][direction]) for c in live["channels"]), 0.01)
    ranges = sorted({(round(c["bend_up_semitones"], 4), round(c["bend_down_semitones"], 4)) for c in live["channels"]})
    print("  bend ranges found (up, down): %s" % ranges)


def built_in_live_and_offline(directory):
    with JackServer("mbench") as jack:
        live, live_seconds = live_measurement(jack, "QuickTime", "varenta", directory, "builtin",
                                              env=no_audio_env(directory, jack.name))
    offline, offline_seconds = offline_measurement([PROGRAM, "--measure", "QuickTime", "--json"], directory,
                                                   "builtin-offline")
    print("The built-in synthesizer on JACK measured in %.1f s; from its own offline render in %.1f s" %
          (live_seconds, offline_seconds))
    print("  verdict (JACK): %s" % live["verdict"])
    print("  verdict (offline): %s" % offline["verdict"])
    compare(live, offline)


def fluidsynth_live_and_offline(directory):
    with JackServer("mbench") as jack:
        with fluidsynth_on(jack, SOUNDFONT) as (device, source):
            live, live_seconds = live_measurement(jack, device, source, directory, "live")
    offline, offline_seconds = offline_measurement(
        [os.path.join(BUILD, "bin", "measure_offline"), os.path.join(BUILD, "bench", "libstock_fluidsynth.so")],
        directory, "offline")
    print("FluidSynth on JACK measured in %.1f s; the offline render of the same notes in %.1f s" %
          (live_seconds, offline_seconds))
    print("  verdict (JACK): %s" % live["verdict"])
    compare(live, offline)


def tone_synth_faults(directory, bend_range):
    keys = {45: 6.5, 72: -4.25, 87: 3.1}
    channel, channel_cents = 5, 7.0
    args = ["--channel-detune", "%d=%g" % (channel, channel_cents)]
    for key, cents in keys.items():
        args += ["--detune", "%d=%g" % (key, cents)]
    if bend_range != 2:
        args += ["--range", str(bend_range)]
    with JackServer("mbench") as jack, ToneSynth(jack, "tones", *args):
        results, seconds = live_measurement(jack, "tones:midi_in", "tones", directory, "tones%d" % bend_range)
    print("Test synthesizer, range %d semitones%s, measured in %.1f s" %
          (bend_range, "" if bend_range == 2 else " (ignoring the range message)", seconds))
    print("  verdict: %s" % results["verdict"])
    check("largest key offset error (cents)",
          max(abs(k["cents"] - keys.get(k["key"], 0.0)) for k in results["keys"]), 0.1)
    check("largest channel detuning error (cents)",
          max(abs(c["cents_at_zero_bend"] - (channel_cents if c["channel"] == channel else 0.0))
              for c in results["channels"]), 0.1)
    check("largest bend range error, up and down (semitones)",
          max(max(abs(c["bend_up_semitones"] - bend_range), abs(c["bend_down_semitones"] - bend_range))
              for c in results["channels"]), 0.01)
    wrong = [c["channel"] for c in results["channels"] if c["obeys_range_message"] != (bend_range == 2)]
    check("channels whose obedience to the range message is misjudged", len(wrong), 0)
    factor = bend_range / 2 - 1
    check("largest tuning error against the faults (cents)",
          max(abs(n["cents"] - keys.get(n["key"], 0.0) - (channel_cents if n["channel"] == channel else 0.0)
                  - factor * (n["bend"] - 8192) * 200 / 8192) for n in results["tunings"]), 0.1)


def main():
    with tempfile.TemporaryDirectory(prefix="varenta-measure-bench-") as directory:
        fluidsynth_live_and_offline(directory)
        built_in_live_and_offline(directory)
        tone_synth_faults(directory, 2)
        tone_synth_faults(directory, 12)
    print("%d figures out of bounds" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
