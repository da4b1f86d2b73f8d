#!/usr/bin/python3
"""The bridge library exports its four functions and no other symbol.

Usage: bridge_exports.py <libsonvex.so>
"""
import subprocess
import sys

EXPECTED = {
    "Sonvex_Initialise_SME",
    "Sonvex_SendMidiEvent",
    "Sonvex_CleanUp_SME",
    "Sonvex_Delay",
}


def main():
    if len(sys.argv) != 2:
        print("usage: bridge_exports.py <library>")
        sys.exit(1)
    listing = subprocess.run(["nm", "-D", "--defined-only", sys.argv[1]], capture_output=True, text=True,
                             check=True).stdout
    # "<address> <type> <name>"; the linker's own section markers are not exports.
    markers = {"__bss_start", "_edata", "_end"}
    exported = {fields[2] for fields in (line.split() for line in listing.splitlines())
                if len(fields) == 3 and fields[2] not in markers}
    functions = {fields[2] for fields in (line.split() for line in listing.splitlines())
                 if len(fields) == 3 and fields[1] == "T"}
    if exported != EXPECTED or functions != EXPECTED:
        print("FAIL: exported %s" % sorted(exported))
        print("      expected %s" % sorted(EXPECTED))
        sys.exit(1)
    print("ok: %s" % ", ".join(sorted(exported)))


if __name__ == "__main__":
    main()
