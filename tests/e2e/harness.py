"""Helpers for end-to-end tests of the real varenta-test binary.

Each test starts its own JACK server (dummy driver, a name of its own so it
never touches a server the user runs), captures what reaches a JACK MIDI port
with jack_midi_dump, and drives the program under a pseudo-terminal.
"""

import contextlib
import fcntl
import math
import os
import re
import shutil
import signal
import subprocess
import tempfile
import termios
import time

import pexpect

PROGRAM = os.environ.get("VARENTA_PROGRAM", "")
TIMEOUT = 15


def _stop(proc):
    """Ends a process we started, and only that one."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


FLUIDR3_GM = "/usr/share/sounds/sf2/FluidR3_GM.sf2"


@contextlib.contextmanager
def fluidsynth_on(jack, soundfont=FLUIDR3_GM):
    """FluidSynth as its own program, a JACK client "fluidsynth" of the server
    jack with reverb and chorus off, until the block ends; yields its MIDI
    input port and its client name, once both are there. It reads commands
    from its standard input and ends with it: a pipe held open keeps it
    running."""
    fluid = subprocess.Popen(
        ["fluidsynth", "-a", "jack", "-m", "jack", "-R", "0", "-C", "0", "-r", "44100",
         "-o", "audio.jack.id=fluidsynth", "-o", "midi.jack.id=fluidsynth", soundfont],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=jack.env())
    try:
        jack.wait_for_ports(["fluidsynth:midi_00", "fluidsynth:left"], "fluidsynth", timeout=20)
        yield "fluidsynth:midi_00", "fluidsynth"
    finally:
        _stop(fluid)


@contextlib.contextmanager
def jack_servers_lock():
    """Holds the machine-wide lock under which the end-to-end tests start JACK
    servers. Server names are global to the machine and JACK's table of servers
    is small, so test runs from other build trees wait here instead of
    colliding with ours."""
    path = os.path.join(tempfile.gettempdir(), "varenta-jack-servers.lock")
    with open(path, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def unused_server_name():
    """A JACK server name that no server uses."""
    return "vt-none"


class JackServer:
    """A JACK server with the dummy driver, for the length of a with-block.

    JACK keeps a table of at most eight servers and only reclaims the entry of
    a server that died without cleaning up when a server of the same name
    starts again: so the name is fixed per test file (tests within a file run
    one after another, and CTest runs the files under one resource lock)."""

    def __init__(self, name):
        self.name = "vt-" + name  # short: jack_lsp of jackd2 1.9.21 crashes on long names
        self.proc = None
        self.lock = None

    def env(self, **extra):
        env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_START_SERVER="1")
        env.update(extra)
        return env

    def __enter__(self):
        self.lock = jack_servers_lock()
        self.lock.__enter__()
        # A period of 256 frames: smaller periods drop MIDI events here.
        self.proc = subprocess.Popen(
            ["jackd", "-n", self.name, "-r", "-S", "-d", "dummy", "-r", "44100", "-p", "256"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["jack_wait", "-s", self.name, "-w", "-t", "10"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env())
        return self

    def __exit__(self, *exc):
        try:
            _stop(self.proc)
        finally:
            self.lock.__exit__(None, None, None)

    def ports(self):
        out = subprocess.run(["jack_lsp", "-s", self.name], capture_output=True, text=True,
                             env=self.env()).stdout
        return out.split("\n")

    def wait_for_ports(self, names, what, timeout=10):
        """Waits until every named port is registered; raises naming `what`
        when one is still missing after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not set(names) <= set(self.ports()):
            if time.monotonic() > deadline:
                raise RuntimeError("%s did not register its ports" % what)
            time.sleep(0.05)


class MidiDump:
    """A capture client of our own on a JACK server (jack_capture, built with
    the tests): every MIDI event its input port gets, with its frame time.
    Unlike jack_midi_dump it keeps every event of a cycle, and it prints all it
    has received before it ends."""

    PORT = "midi-monitor:input"
    LINE = re.compile(r"^\s*(\d+):\s+((?:[0-9a-f]{2} ?)+)")
    TIME_UNIT = 1e6  # the capture's times are in microseconds

    def __init__(self, server, checked=True, through=False):
        self.server = server
        self.through = through  # also pass every event on through its port "midi-monitor:through"
        self.checked = checked  # its own failure fails the test (not after freezing the server)
        self.proc = None
        self.file = None
        self.errors = None

    def __enter__(self):
        # Read through a file description of our own: seeking the one the
        # client writes through would move its writes back over old lines.
        self.file = tempfile.NamedTemporaryFile(prefix="varenta-capture-")
        self.errors = tempfile.TemporaryFile()
        args = ["--through"] if self.through else []
        self.proc = subprocess.Popen([os.environ["VARENTA_JACK_CAPTURE"]] + args, stdin=subprocess.DEVNULL,
                                     stdout=self.file, stderr=self.errors, env=self.server.env())
        self.server.wait_for_ports([self.PORT] + (["midi-monitor:through"] if self.through else []),
                                   "the capture client")
        return self

    def __exit__(self, *exc):
        _stop(self.proc)
        self.errors.seek(0)
        complaint = self.errors.read().decode("latin-1")
        self.file.close()
        self.errors.close()
        if self.checked and exc[0] is None and (self.proc.returncode != 0 or complaint):
            raise AssertionError("the capture client failed (%s): %s" % (self.proc.returncode, complaint))

    def stop(self):
        """Stops capturing; everything received stays readable."""
        _stop(self.proc)

    def timed_messages(self):
        """The messages received so far as (seconds, bytes) pairs."""
        with open(self.file.name, "rb") as written:
            text = written.read().decode("latin-1")
        result = []
        # A last line may still be on its way.
        for line in text[:text.rfind("\n") + 1].split("\n"):
            match = self.LINE.match(line)
            if match:
                result.append((int(match.group(1)) / self.TIME_UNIT, tuple(int(b, 16) for b in match.group(2).split())))
        return result

    def messages(self):
        """The messages received so far, each a tuple of byte values."""
        return [message for _, message in self.timed_messages()]

    def settled(self, quiet=0.3, timeout=TIMEOUT):
        """The messages once none has arrived for `quiet` seconds."""
        deadline = time.monotonic() + timeout
        got = self.messages()
        while time.monotonic() < deadline:
            time.sleep(quiet)
            now = self.messages()
            if len(now) == len(got):
                break
            got = now
        return got

    def wait_for(self, count, timeout=TIMEOUT):
        """Waits until at least count messages have arrived; returns them all."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.messages()
            if len(got) >= count or time.monotonic() > deadline:
                return got
            time.sleep(0.05)


def no_audio_env(directory, jack_server, **extra):
    """An environment in which no audio output can be reached but a JACK server
    of the given name: no PulseAudio server, an ALSA configuration without
    devices. directory holds the files it needs."""
    env = dict(os.environ)
    env.pop("JACK_NO_START_SERVER", None)
    env.pop("SDL_AUDIODRIVER", None)
    empty_alsa = os.path.join(directory, "asound.conf")
    with open(empty_alsa, "w"):
        pass
    env["ALSA_CONFIG_PATH"] = empty_alsa
    env["PULSE_SERVER"] = "unix:" + os.path.join(directory, "no-pulse-server")
    env["JACK_DEFAULT_SERVER"] = jack_server
    env["XDG_CACHE_HOME"] = directory  # the bridge's tunings cache, kept out of the user's
    env.update(extra)
    return env


def program_without_bridge(directory):
    """A copy of the program where its run path finds no bridge library."""
    path = os.path.join(directory, "varenta-test")
    shutil.copy(PROGRAM, path)
    return path


class Program:
    """varenta-test under a pseudo-terminal."""

    MENU_END = re.compile(rb"[^\n]- (How to install QuickTime for Midi apps to use|QuickTime)\r\n")

    def __init__(self, env, program=None, args=()):
        self.child = pexpect.spawn(program or PROGRAM, list(args), env=env, timeout=TIMEOUT, echo=True)
        self.transcript = b""

    def read_menu(self):
        """Waits for the whole device menu; returns the text printed so far
        and the (letter, name) pairs of the menu, its last line included."""
        self.child.expect(self.MENU_END)
        self.transcript += self.child.before + self.child.after
        printed = self.text()
        return printed, menu_entries(printed)

    def expect(self, text):
        """Waits for exact text (LF line ends as the program writes them)."""
        pattern = text.encode("latin-1").replace(b"\n", b"\r\n")
        self.child.expect_exact(pattern)
        self.transcript += self.child.before + self.child.after
        return self.child.before.replace(b"\r\n", b"\n").decode("latin-1")

    def send_line(self, text):
        self.child.send(text.encode("latin-1") + b"\r")

    def send_key(self, key):
        self.child.send(key.encode("latin-1"))

    def finish(self):
        """Waits for the end; returns (exit status, the rest of the output)."""
        self.child.expect(pexpect.EOF)
        rest = self.child.before
        self.transcript += rest
        attrs = termios.tcgetattr(self.child.child_fd) if self._fd_open() else None
        self.child.close()
        self.terminal_after = attrs
        return self.child.exitstatus, rest.replace(b"\r\n", b"\n").decode("latin-1")

    def _fd_open(self):
        try:
            termios.tcgetattr(self.child.child_fd)
            return True
        except termios.error:
            return False

    def text(self):
        return self.transcript.replace(b"\r\n", b"\n").decode("latin-1")

    def kill(self):
        if self.child.isalive():
            self.child.terminate(force=True)


MENU_ENTRY = re.compile(r"^(.) - (.*)$")


def menu_entries(text):
    """The (letter, name) pairs of a printed device menu."""
    header = "Or just press return to select the first one.\n\n"
    body = text[text.index(header) + len(header):]
    entries = []
    for line in body.split("\n"):
        match = MENU_ENTRY.match(line)
        if not match:
            break
        entries.append((match.group(1), match.group(2)))
    return entries


class HeardNote:
    def __init__(self, time, channel, note, velocity, frequency):
        self.time, self.channel, self.note, self.velocity, self.frequency = time, channel, note, velocity, frequency
        self.off_time = None


def hear(timed_messages):
    """What a General MIDI synth makes of the messages: every note-on with the
    frequency it sounds at (bend range from the sensitivity controllers, 2
    semitones by default), and its note-off time."""
    bend = [8192] * 16
    bend_range = [2] * 16
    rpn = [(127, 127)] * 16
    notes = []
    for time, message in timed_messages:
        status, channel = message[0] & 0xF0, message[0] & 0x0F
        if status == 0xE0:
            bend[channel] = message[1] + 128 * message[2]
        elif status == 0xB0 and message[1] == 101:
            rpn[channel] = (message[2], rpn[channel][1])
        elif status == 0xB0 and message[1] == 100:
            rpn[channel] = (rpn[channel][0], message[2])
        elif status == 0xB0 and message[1] == 6 and rpn[channel] == (0, 0):
            bend_range[channel] = message[2]
        elif status == 0x90 and message[2] > 0:
            semitones = message[1] - 69 + (bend[channel] - 8192) / 8192 * bend_range[channel]
            notes.append(HeardNote(time, channel, message[1], message[2], 440 * 2 ** (semitones / 12)))
        elif status == 0x80 or (status == 0x90 and message[2] == 0):
            for note in notes:
                if note.off_time is None and note.channel == channel and note.note == message[1]:
                    note.off_time = time
                    break
    return notes


def cents(a_hz, b_hz):
    return 1200 * math.log2(b_hz / a_hz)


BEND_UNIT_CENTS = 200 / 8192


def letter_of(entries, name):
    for letter, entry in entries:
        if entry == name:
            return letter
    raise AssertionError("%r is not in the menu %r" % (name, entries))
