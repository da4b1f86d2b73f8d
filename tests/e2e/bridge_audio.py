#!/usr/bin/python3
"""End to end: the bridge library's real-time start, with no sound card.

1. With every audio output out of reach (no PulseAudio server, an ALSA
   configuration without devices, no JACK server under the name used),
   initialise returns 0 and nothing at all reaches the console; the bridge has
   told JACK not to start a server.
2. With a JACK server this test starts (dummy back end), initialise returns 1,
   the synthesizer's two output ports appear on that server connected to its
   playback ports, a second initialise returns 1 at once, and clean-up (twice)
   ends it; again nothing reaches the console.

Usage: bridge_audio.py <sonvex_probe program> <libsonvex.so>
"""
import os
import subprocess
import sys
import tempfile
import time

from harness import jack_servers_lock, no_audio_env


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run_probe(probe, library, env, while_started=None):
    """Runs the probe; while_started() runs while the synthesizer is up."""
    process = subprocess.Popen([probe, library], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        lines = [first]
        if first == "initialise 1\n":
            lines += [process.stdout.readline() for _ in range(3)]
            if while_started is not None:
                while_started()
        process.stdin.write("\n")
        process.stdin.close()
        out = process.stdout.read()  # the probe ends after this line, so these reads end
        err = process.stderr.read()
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return "".join(lines) + out, err, process.returncode


def check_no_output(out, err, expected, what):
    if out != expected:
        fail("%s: the probe reported\n%s\ninstead of\n%s" % (what, out, expected))
    if err != "":
        fail("%s: the console received\n%s" % (what, err))


def with_server(probe, library, env, jack_env, server):
    """Runs the probe while a JACK server of our own (dummy back end) runs;
    returns its output, status and what the server listed."""
    jackd = subprocess.Popen(["jackd", "-n", server, "-r", "-d", "dummy", "-r", "44100", "-p", "256"],
                             env=jack_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        waited = subprocess.run(["jack_wait", "-s", server, "-w", "-t", "10"], env=jack_env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
        if waited.returncode != 0:
            fail("the JACK server did not come up")
        ports = {}

        def look_at_ports():
            # The synthesizer's ports may take a moment to be connected.
            deadline = time.monotonic() + 5.0
            while True:
                listed = subprocess.run(["jack_lsp", "-s", server, "-c"], env=jack_env, capture_output=True,
                                        text=True, timeout=10)
                listing = listed.stdout
                ports["listing"] = listing + listed.stderr
                if listing.count("\n   system:playback_") >= 2 or time.monotonic() > deadline:
                    return
                time.sleep(0.1)

        out, err, status = run_probe(probe, library, env, look_at_ports)
    finally:
        jackd.terminate()
        try:
            jackd.wait(timeout=10)
        except subprocess.TimeoutExpired:
            jackd.kill()
            jackd.wait()
    return out, err, status, ports


def main():
    if len(sys.argv) != 3:
        fail("usage: bridge_audio.py <probe> <library>")
    probe, library = sys.argv[1], sys.argv[2]
    # A short name: jack_lsp (jackd2 1.9.21) crashes on long server names.
    server = "vt-audio"  # fixed: JACK reclaims a stale entry only for the same name

    with tempfile.TemporaryDirectory(prefix="varenta-audio-") as directory:
        env = no_audio_env(directory, server)

        # The lock covers the first step too: another run's server of the same
        # name would give it something to play on.
        with jack_servers_lock():
            # 1. Nothing to play on.
            out, err, status = run_probe(probe, library, env)
            check_no_output(out, err, "initialise 0\njack_no_start_server 1\ncleaned up\n", "without audio")
            if status != 0:
                fail("without audio: probe exit status %d" % status)

            # 2. A JACK server of our own, on the dummy back end.
            jack_env = dict(env)
            jack_env["JACK_NO_START_SERVER"] = "1"
            out, err, status, ports = with_server(probe, library, env, jack_env, server)


        check_no_output(out, err, "initialise 1\njack_no_start_server 1\nsend 1\nagain 1\ncleaned up\n",
                        "with a JACK server")
        if status != 0:
            fail("with a JACK server: probe exit status %d" % status)
        listing = ports.get("listing", "")
        connections = {}  # port -> the ports it is connected to
        current = None
        for line in listing.splitlines():
            if line.startswith("   "):
                if current is not None:
                    connections[current].append(line.strip())
            else:
                current = line.strip()
                connections[current] = []
        synth_ports = sorted(port for port in connections if port.startswith("varenta:"))
        if len(synth_ports) != 2:
            fail("expected the synthesizer's two output ports, the server listed:\n" + listing)
        for port in synth_ports:
            if not any(peer.startswith("system:playback_") for peer in connections[port]):
                fail("%s is not connected to the playback ports:\n%s" % (port, listing))
    print("ok: quiet failure without audio; started on JACK with ports %s" % ", ".join(synth_ports))


if __name__ == "__main__":
    main()
