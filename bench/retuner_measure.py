#!/usr/bin/env python3
"""The measure of the live retuner: on a JACK server with the dummy driver
(the end-to-end tests' own, under their machine-wide lock), the program runs
in --retune mode from live-keys:out into live-listen:in, in 19 equal steps,
while bench/live_latency (with --phrase and --record) plays it a phrase and
records what comes back. Three runs, the retuner started afresh for each:

  steady  1,000 notes a second for 10 s on one input channel: the time from a
          key to its retuned note-on, and the retuner's CPU time over the
          run from /proc/PID/stat (all its threads; at rest as well);
  mixed   NOTES notes (default 6,000) on two input channels with the
          sustain pedal (64) and the pitch wheel: chords under the pedal,
          runs at 1,000 notes a second under a moving wheel, repeated keys,
          held notes bent back and forth;
  chords  20 chords of 64 keys at once on a port of 16 channels.

For each: the key-to-note-on times (median, p99, worst), notes lost (a
note-on in without its note-on out), notes left sounding (a note-on out that
no note-off ended once the phrase was over, before the retuner is ended),
notes out of order (the k-th note-on out must answer the k-th note-on in,
with its velocity and its pitch in the tuning, the wheel of its input
channel included, within a cent; a note-off out for a note not sounding
counts too), notes ended early by a steal (their note-off out came before the
player let the key go) and the retuner's own summary. Prints the figures;
exits 1 only when a note was lost, left sounding or out of order (the times
are reported, never judged).

Usage: bench/retuner_measure.py [BUILD_DIR [NOTES]]   (default: build, 6000)
"""

import math
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import JackServer  # noqa: E402

SCALE = os.path.join(HERE, "..", "scales", "19-equal.scl")
STEP_CENTS = 1200.0 / 19
WHEEL_RANGE = 2.0  # semitones, the retuner's default
HEADER_END = b"Ctrl-C ends.\n"
SUMMARY = re.compile(r"Retuned (\d+) notes \((\d+) messages in, (\d+) out\); (\d+) stole a channel; "
                     r"at most (\d+) at once\.")
TICK = os.sysconf("SC_CLK_TCK")


class Phrase:
    def __init__(self):
        self.events = []  # (ms, bytes)

    def add(self, ms, *message):
        self.events.append((ms, message))

    def note(self, on_ms, off_ms, channel, key, velocity):
        self.add(on_ms, 0x90 | channel, key, velocity)
        self.add(off_ms, 0x80 | channel, key, 64)

    def wheel(self, ms, channel, value):
        self.add(ms, 0xE0 | channel, value & 0x7F, value >> 7)

    def pedal(self, ms, channel, down):
        self.add(ms, 0xB0 | channel, 64, 127 if down else 0)

    def notes(self):
        return sum(1 for _, m in self.events if m[0] & 0xF0 == 0x90 and m[2] > 0)

    def write(self, path):
        with open(path, "w") as f:
            for ms, message in sorted(self.events, key=lambda e: e[0]):  # stable: same-time order kept
                f.write("%.3f %s\n" % (ms, " ".join("%02x" % b for b in message)))


def steady(seconds=10):
    """One note a millisecond, each held 1.5 ms, keys stepping through three octaves."""
    p = Phrase()
    for i in range(seconds * 1000):
        p.note(i, i + 1.5, 0, 40 + (i * 7) % 48, 40 + i % 80)
    return p


def mixed(notes):
    """Chords under the pedal, runs under a moving wheel, repeated keys and
    held notes bent back and forth, on input channels 0 and 1 in turn."""
    rng = random.Random(19)
    p = Phrase()
    t = 0.0
    played = 0
    section = 0
    while played < notes:
        ch = section % 2
        kind = "crprsrw"[section % 7]
        if kind == "c":  # a chord of four, let go under the pedal, the pedal lifted later
            p.pedal(t, ch, True)
            base = rng.randrange(45, 70)
            for i in range(4):
                p.note(t + 1, t + 20, ch, base + 3 * i + rng.randrange(2), 60 + i)
            p.pedal(t + 45, ch, False)
            played += 4
            t += 50
        elif kind == "r":  # a run of 32 at a note a millisecond, the wheel moving every 4 ms
            base = rng.randrange(40, 60)
            for i in range(32):
                p.note(t + i, t + i + 1.5, ch, base + i, 40 + i)
                if i % 4 == 0:
                    p.wheel(t + i + 0.5, ch, rng.randrange(4096, 12289))
            played += 32
            t += 35
        elif kind == "p":  # eight notes with the pedal going down and up among them
            for i in range(8):
                if i % 3 == 0:
                    p.pedal(t + 5 * i, ch, i % 2 == 0)
                p.note(t + 5 * i + 1, t + 5 * i + 4, ch, rng.randrange(40, 88), 90)
            p.pedal(t + 44, ch, False)
            played += 8
            t += 50
        elif kind == "s":  # one key struck five times before its note-off, the pedal down for the last two
            key = rng.randrange(40, 88)
            for i in range(5):
                if i == 3:
                    p.pedal(t + 8 * i - 1, ch, True)
                p.add(t + 8 * i, 0x90 | ch, key, 70 + i)
            p.add(t + 42, 0x80 | ch, key, 64)
            p.pedal(t + 46, ch, False)
            played += 5
            t += 50
        else:  # three held notes bent over the whole wheel and back to the centre
            for i in range(3):
                p.note(t + i, t + 45, ch, rng.randrange(40, 88), 80)
            for i in range(20):
                p.wheel(t + 3 + 2 * i, ch, min(16383, int(8192 + 8191 * math.sin(i / 19 * 2 * math.pi))))
            p.wheel(t + 44, ch, 8192)
            played += 3
            t += 50
        section += 1
    for ch in (0, 1):  # the wheels centred at the end
        p.wheel(t, ch, 8192)
    return p


def chords(count=20):
    """Chords of 64 keys at once (keys 30..93), held 150 ms, 50 ms apart."""
    p = Phrase()
    for c in range(count):
        t = c * 200.0
        for key in range(30, 94):
            p.note(t, t + 150, 0, key, 50 + (key + c) % 70)
    return p


def parse_record(path):
    sent, got = [], []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields[0] == "sent":
                sent.append((int(fields[1]), int(fields[2]), tuple(int(b, 16) for b in fields[3:])))
            elif fields[0] == "got":
                got.append((int(fields[1]), tuple(int(b, 16) for b in fields[2:])))
            elif fields[0] == "overflow" and int(fields[1]) != 0:
                raise RuntimeError("the listening client missed %s messages" % fields[1])
    return sent, got


def analyse(sent, got):
    """The figures of one run from its record."""
    # What the player asked for: each note-on with the pitch it should sound at.
    wheel = [8192] * 16
    asked = []  # (frame, offset, velocity, cents above middle C, key, channel, index of its key-up)
    open_keys = {}
    for i, (frame, offset, m) in enumerate(sent):
        status, ch = m[0] & 0xF0, m[0] & 0x0F
        if status == 0xE0:
            wheel[ch] = m[1] | m[2] << 7
        elif status == 0x90 and m[2] > 0:
            if (ch, m[1]) in open_keys:  # the key struck again ends its note
                asked[open_keys[(ch, m[1])]][4] = frame
            cents = (m[1] - 60) * STEP_CENTS + (wheel[ch] - 8192) / 8192 * WHEEL_RANGE * 100
            asked.append([frame, offset, m[2], cents, None])
            open_keys[(ch, m[1])] = len(asked) - 1
        elif (status == 0x80 or status == 0x90) and (ch, m[1]) in open_keys:
            asked[open_keys.pop((ch, m[1]))][4] = frame
    # What a General MIDI synth makes of what came back.
    bend = [8192] * 16
    bend_range = [2.0] * 16
    rpn = [(127, 127)] * 16
    sounding = {}  # (channel, key) -> list of indices into asked
    latencies, answers = [], []
    wrong = stray_offs = early = 0
    k = 0
    worst_cents = 0.0
    for frame, m in got:
        status, ch = m[0] & 0xF0, m[0] & 0x0F
        if status == 0xE0:
            bend[ch] = m[1] | m[2] << 7
        elif status == 0xB0 and m[1] in (100, 101):
            rpn[ch] = (m[2], rpn[ch][1]) if m[1] == 101 else (rpn[ch][0], m[2])
        elif status == 0xB0 and m[1] == 6 and rpn[ch] == (0, 0):
            bend_range[ch] = m[2]
        elif status == 0x90 and m[2] > 0:
            if k < len(asked):
                a = asked[k]
                latencies.append(frame - a[0])
                answers.append(frame - a[0] - PERIOD + a[1])
                cents = (m[1] - 60) * 100 + (bend[ch] - 8192) / 8192 * bend_range[ch] * 100
                worst_cents = max(worst_cents, abs(cents - a[3]))
                wrong += m[2] != a[2] or abs(cents - a[3]) > 1.0 or frame < a[0]
                sounding.setdefault((ch, m[1]), []).append(k)
            k += 1
        elif status == 0x80 or status == 0x90:
            notes = sounding.get((ch, m[1]))
            if not notes:
                stray_offs += 1
                continue
            j = notes.pop(0)
            up = asked[j][4]
            early += up is None or frame < up  # ended before the player let the key go: a steal
    lost = len(asked) - min(k, len(asked))
    left = sum(len(v) for v in sounding.values())
    return {
        "notes": len(asked), "lost": lost, "left": left, "wrong": wrong + stray_offs + max(0, k - len(asked)),
        "stray_offs": stray_offs, "early": early, "worst_cents": worst_cents,
        "latencies": sorted(latencies), "answers": sorted(answers),
        "seconds": (sent[-1][0] - sent[0][0]) / RATE if sent else 0,
    }


def cpu_seconds(pid):
    """The CPU time of a process so far, all its threads: from /proc/PID/stat
    (utime + stime, in clock ticks) and, finer, the sum of its threads'
    /proc/PID/task/*/schedstat (nanoseconds on a CPU)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = (int(fields[11]) + int(fields[12])) / TICK  # fields 14 and 15
    ns = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                ns += int(f.read().split()[0])
        except OSError:
            pass  # a thread that has just ended
    return ticks, ns / 1e9


def cpu_share(pid, seconds):
    """The share of one core a process uses over the next `seconds`: (from
    stat, from schedstat, the wall time)."""
    t0, (a0, b0) = time.monotonic(), cpu_seconds(pid)
    time.sleep(seconds)
    t1, (a1, b1) = time.monotonic(), cpu_seconds(pid)
    return (a1 - a0) / (t1 - t0), (b1 - b0) / (t1 - t0), t1 - t0


def run(jack, build, name, phrase, cpu=False):
    program_path = os.path.join(build, "bin", "varenta-test")
    bench_path = os.path.join(build, "bin", "live_latency")
    with tempfile.TemporaryDirectory(prefix="varenta-retuner-") as tmp:
        phrase_path = os.path.join(tmp, "phrase")
        record_path = os.path.join(tmp, "record")
        phrase.write(phrase_path)
        out = tempfile.TemporaryFile()
        bench = subprocess.Popen([bench_path, "--phrase", phrase_path, "--record", record_path],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=jack.env())
        program = None
        result = {}
        try:
            if bench.stdout.readline() != b"ready\n":
                raise RuntimeError("the measuring clients did not start")
            program = subprocess.Popen([program_path, "--retune", "live-listen", "--midi-in", "live-keys",
                                        "--scale", SCALE], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, env=jack.env())
            deadline = time.monotonic() + 15
            while True:
                out.seek(0)
                if HEADER_END in out.read():
                    break
                if program.poll() is not None or time.monotonic() > deadline:
                    out.seek(0)
                    raise RuntimeError("the retuner did not start: %r" % out.read()[-300:])
                time.sleep(0.05)
            if cpu:  # at rest, then over the phrase
                result["idle_cpu"] = cpu_share(program.pid, 2.0)
            bench.stdin.write(b"go\n")
            bench.stdin.flush()
            if cpu:
                result["busy_cpu"] = cpu_share(program.pid, max(ms for ms, _ in phrase.events) / 1000.0)
            while bench.stdout.readline() not in (b"recorded\n", b""):
                pass
            # The phrase is over: the retuner is ended before its input goes away.
            program.send_signal(signal.SIGTERM)
            program.wait(timeout=30)
            bench.stdin.close()
            bench.wait(timeout=30)
            sent, got = parse_record(record_path)
        finally:
            for proc in (program, bench):
                if proc is not None and proc.poll() is None:
                    proc.kill()
                    proc.wait()
        out.seek(0)
        text = out.read().decode("latin-1")
        out.close()
    result.update(analyse(sent, got))
    match = SUMMARY.search(text)
    result["summary"] = match.group(0) if match else "no summary: %r" % text[-300:]
    result["steals"] = int(match.group(4)) if match else None
    result["name"] = name
    return result


def frames(n):
    return "%5d frames %6.2f ms" % (n, n * 1000.0 / RATE)


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p * (len(sorted_values) - 1) + 0.5))]


def report(r):
    print("%s: %d notes in %.1f s" % (r["name"], r["notes"], r["seconds"]))
    lat, ans = r["latencies"], r["answers"]
    if lat:
        within = sum(1 for x in lat if x <= PERIOD + RATE * 0.0005)
        print("  key to retuned note-on: median %s, p99 %s, worst %s" % (
            frames(percentile(lat, 0.5)), frames(percentile(lat, 0.99)), frames(lat[-1])))
        print("  the retuner's own answer time (less a period and the key's place in its cycle): "
              "median %s, p99 %s, worst %s" % (frames(percentile(ans, 0.5)), frames(percentile(ans, 0.99)),
                                              frames(ans[-1])))
        print("  within one period + 0.5 ms: %.2f%%; beyond two periods: %d" % (
            100.0 * within / len(lat), sum(1 for x in lat if x > 2 * PERIOD)))
    print("  lost %d, left sounding %d, out of order %d (stray note-offs %d; pitch off by at most %.3f cents)" % (
        r["lost"], r["left"], r["wrong"], r["stray_offs"], r["worst_cents"]))
    print("  ended early by a steal: %d notes; %s" % (r["early"], r["summary"]))
    if "busy_cpu" in r:
        stat, schedstat, seconds = r["busy_cpu"]
        print("  CPU of the retuner process over %.1f s at %d notes a second: %.2f%% of one core (schedstat; "
              "%.1f%% from stat's clock ticks); at rest %.2f%% (%.1f%%)" % (
                  seconds, round(r["notes"] / r["seconds"]), 100 * schedstat, 100 * stat,
                  100 * r["idle_cpu"][1], 100 * r["idle_cpu"][0]))


def main():
    global PERIOD, RATE
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    notes = int(sys.argv[2]) if len(sys.argv) > 2 else 6000
    PERIOD, RATE = 256, 44100  # the harness's server
    results = []
    with JackServer("bench") as jack:
        print("JACK dummy driver, period %d frames (%.2f ms) at %d Hz; 19 equal steps" % (
            PERIOD, PERIOD * 1000.0 / RATE, RATE))
        for name, phrase, cpu in (("steady", steady(), True), ("mixed", mixed(notes), False),
                                  ("chords", chords(), False)):
            results.append(run(jack, build, name, phrase, cpu))
            report(results[-1])
            sys.stdout.flush()
    failed = any(r["lost"] or r["left"] or r["wrong"] for r in results)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
