#!/usr/bin/env python3
"""The measure of playing from a MIDI keyboard: on a JACK server with the
dummy driver (the end-to-end tests' own, under their machine-wide lock), the
program runs its keyboard test with --midi-in live-keys and plays on
live-listen:in, while bench/live_latency sends it 10,000 notes and times
what comes back. Prints the figures; exits 1 when a message was lost or a
note unmatched (the times are reported, never judged).

Usage: bench/live_latency.py [BUILD_DIR [NOTES]]   (default: build, 10000)
"""

import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import JackServer, letter_of, menu_entries  # noqa: E402

MENU_END = re.compile(rb"[^\n]- (How to install QuickTime for Midi apps to use|QuickTime)\n")


def read_until(stream, pattern, timeout=30):
    """Reads a pipe until the pattern appears; returns all read."""
    data = b""
    deadline = time.monotonic() + timeout
    while not pattern.search(data):
        if time.monotonic() > deadline:
            raise RuntimeError("the program did not print %r; it printed %r" % (pattern.pattern, data[-300:]))
        chunk = os.read(stream.fileno(), 65536)
        if not chunk:
            raise RuntimeError("the program ended; it printed %r" % data[-300:])
        data += chunk
    return data


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    notes = sys.argv[2] if len(sys.argv) > 2 else "10000"
    program_path = os.path.join(build, "bin", "varenta-test")
    bench_path = os.path.join(build, "bin", "live_latency")
    with JackServer("bench") as jack:
        bench = subprocess.Popen([bench_path, notes], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=jack.env())
        program = None
        try:
            if bench.stdout.readline() != b"ready\n":
                raise RuntimeError("the measuring clients did not start")
            program = subprocess.Popen([program_path, "--midi-in", "live-keys"], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, env=jack.env())
            menu = read_until(program.stdout, MENU_END).decode("latin-1")
            letter = letter_of(menu_entries(menu), "live-listen:in")
            program.stdin.write((letter + "\nnext\nnext\nnext\n\n").encode())
            program.stdin.flush()
            read_until(program.stdout, re.compile(rb"press return key\.\n"))
            bench.stdin.write(b"go\n")
            bench.stdin.flush()
            report = bench.stdout.read().decode()
            status = bench.wait(timeout=120)
            program.stdin.close()  # the end of input ends the program
            program.wait(timeout=30)
        finally:
            for proc in (bench, program):
                if proc is not None and proc.poll() is None:
                    proc.kill()
                    proc.wait()
    print(report, end="")
    return status


if __name__ == "__main__":
    sys.exit(main())
