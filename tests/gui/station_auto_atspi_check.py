#!/usr/bin/python3
"""Drives kavel-isp-station --automatic over the AT-SPI accessibility bus, as an operator's
automation would, while its GUI thread is timed by how soon it answers:
 - the window answers every call within 0.5 s, though one of its ports is a server that
   accepts and never answers;
 - the boards put in are programmed, the slow chip found without a pinned speed, and the
   board behind the flaky link programmed once however long it stays;
 - started again with the passed boards still in their sockets, it leaves them alone.
Exit status 0 when so."""
import json
import os
import signal
import subprocess
import sys
import time

from atspi_common import find_app, walk

WORK = os.environ["KAVEL_WORK"]
BOARDS = [int(p) for p in os.environ["KAVEL_BOARD_PIDS"].split()]
SLOWEST = [0.0]  # the longest the window took to answer a call


def call(fn):
    """fn() over the bus, its time taken into SLOWEST."""
    began = time.monotonic()
    try:
        return fn()
    finally:
        SLOWEST[0] = max(SLOWEST[0], time.monotonic() - began)


def labels(app):
    return {name: node for role, name, node in walk(app, []) if role == "label"}


def text(node):
    try:
        return call(lambda: node.description) or ""
    except Exception:
        return ""


def rows():
    """The boards the log holds (a round the station refused, such as a dropped connection's, is none)."""
    out = subprocess.run([os.environ["KAVEL_ISP_CLI"], "log", "--stats", "--json", "--db", WORK + "/station.db"],
                         capture_output=True, text=True, check=False).stdout
    return json.loads(out or "{}").get("boards", 0)


def start(n):
    log = open(f"{WORK}/app{n}.log", "w")
    proc = subprocess.Popen([os.environ["KAVEL_STATION"], "--automatic", WORK + "/line.toml"], stdout=log, stderr=log)
    app = find_app("kavel-isp-station", time.time() + 30)
    return proc, app


def watch(app, seconds, until=None):
    """Asks the window every 100 ms for seconds (or until until(tiles) holds); the tiles' texts."""
    found = labels(app)
    end = time.time() + seconds
    tiles = {}
    while time.time() < end:
        for name, node in found.items():
            call(node.getState)
            tiles[name] = text(node)
        if until and until(tiles):
            break
        time.sleep(0.1)
    return tiles


def main():
    proc, app = start(1)
    if app is None:
        print("atspi: kavel-isp-station is not on the accessibility bus")
        return 1
    # The first port is the one behind the flaky link.
    flaky = next(n for n in (r[1] for r in walk(app, [])) if n.endswith(" state") and n.startswith("rfc2217"))
    slow = "COM2 state"
    flaky_socket, slow_socket = flaky.replace(" state", " socket"), slow.replace(" state", " socket")
    # Every socket asked for a board until it is known empty (without a pinned speed, a probe
    # of an empty socket tries every speed).
    tiles = watch(app, 60, lambda t: all(t.get(k, "").startswith("empty: put a board in") for k in (flaky_socket, slow_socket)))
    if not tiles.get(slow_socket, "").startswith("empty"):
        print("atspi: the sockets were never found empty:", tiles)
        return 1
    for pid in BOARDS:
        os.kill(pid, signal.SIGUSR1)  # the boards put in
    tiles = watch(app, 90, lambda t: t.get(flaky) == "PASS" and t.get(slow) == "PASS")
    states = (tiles.get(flaky), tiles.get(slow))
    tiles = watch(app, 6)  # the boards stay: probes go on, some of them dropped
    silent = next((v for k, v in tiles.items() if k.endswith(" socket") and k.startswith("rfc2217") and
                   flaky.split(" ")[0] not in k), "")
    first = rows()
    print("atspi: states", states, "rows", first, "silent socket:", silent, "slowest call %.3f s" % SLOWEST[0])
    if states != ("PASS", "PASS") or first != 2:
        return 1
    if "cannot be opened" not in silent:
        return 1
    if SLOWEST[0] > 0.5:
        print("atspi: the window took %.3f s to answer" % SLOWEST[0])
        return 1
    proc.send_signal(signal.SIGTERM)
    proc.wait(30)
    proc, app = start(2)  # the passed boards still in their sockets
    tiles = watch(app, 8)
    again = rows()
    socket = tiles.get(slow_socket, "")
    print("atspi: after a restart: rows", again, "COM2 socket:", socket)
    proc.send_signal(signal.SIGTERM)
    proc.wait(30)
    if again != 2 or not socket.startswith("a board was in the socket"):
        return 1
    print("atspi: programmed once each behind a flaky link and at 9600 bit/s, answered within 0.5 s "
          "beside a silent server, and left alone after a restart")
    return 0


if __name__ == "__main__":
    sys.exit(main())
