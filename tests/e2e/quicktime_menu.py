#!/usr/bin/python3
"""End to end: the real program under a pseudo-terminal, with a recording
stand-in bridge found as libsonvex.so through LD_LIBRARY_PATH (the real
FluidSynth runtime is the one installed).

Checks that the menu lists "QuickTime" as its last entry, that choosing it
prints the initialising texts, that "exit" ends with status 0, and that the
bridge received exactly: one initialise, 31 centring bends, 31 program
changes to 0, 31 to 6, and the 31 centring bends of the close - no control
changes at all.

Usage: quicktime_menu.py <varenta-test program> <recording stand-in bridge>
"""
import io
import os
import re
import sys
import tempfile

import pexpect

MENU_HEADER = ("Choose your Midi Out device to use - type its letter to select\n"
               "Or just press return to select the first one.\n\n")
INITIALISING = "\n\nInitialising QuickTime - may take a little while\n"
INITIALISED = "QT initialised okay\n"
CHORD_PROMPT_END = 'Type "next" to move on to next option, "start" to start again or "exit" to exit.'


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def expected_record():
    melodic = [c for c in range(32) if c != 9]
    bends = ["send E0 %d 0 64" % c for c in melodic]
    return (["initialise"] + bends + ["send C0 %d 0 0" % c for c in melodic]
            + ["send C0 %d 6 0" % c for c in melodic] + bends)


def main():
    if len(sys.argv) != 3:
        fail("usage: quicktime_menu.py <program> <recording bridge>")
    program, bridge = sys.argv[1], sys.argv[2]

    with tempfile.TemporaryDirectory(prefix="varenta-e2e-") as directory:
        os.symlink(os.path.abspath(bridge), os.path.join(directory, "libsonvex.so"))
        record = os.path.join(directory, "record.txt")
        env = dict(os.environ)
        env["LD_LIBRARY_PATH"] = directory + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
        env["VARENTA_BRIDGE_RECORD"] = record
        # No JACK server runs under this name, so no JACK port is listed.
        env["JACK_DEFAULT_SERVER"] = "varenta-e2e-absent-%d" % os.getpid()
        env["JACK_NO_START_SERVER"] = "1"
        env["TERM"] = "dumb"

        child = pexpect.spawn(program, [], env=env, encoding="utf-8", timeout=20)
        transcript = io.StringIO()
        child.logfile_read = transcript  # everything the program printed, echo included
        try:
            child.expect_exact("Or just press return to select the first one.")
            if child.expect([r"([A-Z]) - QuickTime\r\n", r"[A-Z] - How to install QuickTime"]) != 0:
                fail("the menu offers installation help instead of QuickTime:\n" + transcript.getvalue())
            letter = child.match.group(1)
            child.sendline(letter)
            if child.expect_exact(["QT initialised okay", "Couldn't start up Quicktime"]) != 0:
                fail("the bridge did not start:\n" + transcript.getvalue())
            child.expect_exact(CHORD_PROMPT_END)
            child.sendline("exit")
            child.expect(pexpect.EOF)
        except (pexpect.TIMEOUT, pexpect.EOF):
            fail("the dialogue stopped short; the program printed:\n" + transcript.getvalue())
        finally:
            child.close(force=True)
        status = child.exitstatus
        if status != 0:
            fail("exit status %r (signal %r)" % (status, child.signalstatus))

        # The whole transcript, with the terminal's line ends made plain.
        text = transcript.getvalue().replace("\r\n", "\n")
        start = text.find(MENU_HEADER)
        if start < 0:
            fail("no menu header in:\n" + text)
        menu_block = text[start + len(MENU_HEADER):text.find("Device selected:\n")]
        entries = [line for line in menu_block.split("\n") if re.match(r"^[A-Z] - ", line)]
        if not entries or entries[-1] != letter + " - QuickTime":
            fail("QuickTime is not the last menu entry: %r" % entries)
        if entries[-1][0] != chr(ord("A") + len(entries) - 1):
            fail("menu letters out of order: %r" % entries)
        at = text.find(INITIALISING)
        if at < 0:
            fail("no %r in:\n%s" % (INITIALISING, text))
        if text.find(INITIALISED, at + len(INITIALISING)) != at + len(INITIALISING):
            fail("%r does not follow the initialising text:\n%s" % (INITIALISED, text))

        with open(record) as f:
            calls = f.read().splitlines()
        if any(call.startswith("send B0 ") for call in calls):
            fail("control changes reached the bridge: %r" % [c for c in calls if c.startswith("send B0 ")])
        if calls != expected_record():
            fail("the bridge received:\n" + "\n".join(calls))
    print("ok: menu entry %s - QuickTime, %d calls recorded" % (letter, len(calls)))


if __name__ == "__main__":
    main()
