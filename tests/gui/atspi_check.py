#!/usr/bin/python3
"""Reads the running kavel-isp window over the AT-SPI accessibility bus, as a screen reader
does, and checks that every control, both status-bar panels and the text boxes are there
with their captions and texts. Exit status 0 when all are found."""
import sys
import time

import pyatspi

from atspi_common import find_app, walk

EXPECTED = [
    ("push button", "ON/OFF"), ("push button", "Exit"), ("push button", "Full programming cycle"),
    ("push button", "Set default"), ("push button", "Synchronize"),
    ("push button", "SECTORS TO ERASE"), ("push button", "Erase blocks"),
    ("push button", "Blank check"), ("push button", "Send hex"),
    ("push button", "Set status byte 0"), ("push button", "Set security bit 1"),
    ("push button", "Set security bit 2"), ("push button", "Set security bit 3"),
    ("push button", "Set 6-clock mode"), ("push button", "Read status"),
    ("check box", 'Wait for confirmation  "."'), ("check box", "Use 6-clock in full cycle"),
    ("label", "Open/Close"), ("label", "Delay"), ("text", "Delay"), ("text", "Status"),
    ("combo box", "COM1"), ("combo box", "9600"), ("list", "Blocks to erase"),
    ("label", "COM1: 9600, 8, 1, N"),
]


def main():
    deadline = time.time() + 20
    app = find_app("kavel-isp", deadline)
    if app is None:
        print("atspi: kavel-isp is not on the accessibility bus")
        return 1
    nodes = []
    while time.time() < deadline:
        nodes = []
        walk(app, nodes)
        seen = {(role, name) for role, name, _ in nodes}
        missing = [e for e in EXPECTED if e not in seen]
        if not missing:
            break
        time.sleep(0.3)
    seen = {(role, name) for role, name, _ in nodes}
    missing = [e for e in EXPECTED if e not in seen]
    lamp = [n for role, name, n in nodes if name == "Open/Close" and role != "label"]
    lit = bool(lamp) and lamp[0].getState().contains(pyatspi.STATE_CHECKED)
    for role, name in sorted(seen):
        print(f"  {role}: {name!r}")
    if missing:
        print("atspi: missing", missing)
        return 1
    if not lit:
        print("atspi: the Open/Close lamp does not report the open port")
        return 1
    print(f"atspi: all {len(EXPECTED)} controls and texts found; the lamp reports the open port")
    return 0


if __name__ == "__main__":
    sys.exit(main())
