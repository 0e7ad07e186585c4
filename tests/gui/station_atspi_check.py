#!/usr/bin/python3
"""Drives the running kavel-isp-station over the AT-SPI accessibility bus, as a screen reader
or an automation would: presses Start by its name, then reads each tile's state by its name.
Four boards, COM3 locked: three PASS and one FAIL whose reason is readable. Exit status 0
when so."""
import sys
import time

from atspi_common import find_app, walk

PORTS = ["COM1", "COM2", "COM3", "COM4"]


def nodes_of(app):
    return {(role, name): node for role, name, node in walk(app, [])}


def text(node):
    """What a label shows, which the window gives as its description."""
    try:
        return node.description or ""
    except Exception:
        return ""


def main():
    deadline = time.time() + 60
    app = find_app("kavel-isp-station", deadline)
    if app is None:
        print("atspi: kavel-isp-station is not on the accessibility bus")
        return 1
    nodes = {}
    while time.time() < deadline and ("push button", "Start") not in nodes:
        nodes = nodes_of(app)
        time.sleep(0.3)
    start = nodes.get(("push button", "Start"))
    if start is None:
        print("atspi: no Start button")
        return 1
    time.sleep(1)  # the counters of the lot read first
    start.queryAction().doAction(0)
    states = {}
    while time.time() < deadline:
        nodes = nodes_of(app)
        states = {p: text(nodes.get(("label", p + " state"))) for p in PORTS}
        if all(s in ("PASS", "FAIL") for s in states.values()):
            break
        time.sleep(0.3)
    reason = text(nodes.get(("label", "COM3 reason")))
    print("atspi: states", states, "COM3 reason:", reason)
    expected = {"COM1": "PASS", "COM2": "PASS", "COM3": "FAIL", "COM4": "PASS"}
    if states != expected or "security bit 1 is set" not in reason:
        return 1
    print("atspi: Start pressed by its name; three PASS and one FAIL with its reason read by name")
    return 0


if __name__ == "__main__":
    sys.exit(main())
