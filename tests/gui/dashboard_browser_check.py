"""The line's page in a real browser (headless Chromium driven by Selenium), over logs filled
by real kavel-isp-cli runs against kavel-isp-sim: an SQLite file, and a private PostgreSQL
cluster that is stopped under the page and started again.

Environment: KAVEL_DASHBOARD, KAVEL_SIM, KAVEL_CLI, KAVEL_PG_CLUSTER, KAVEL_IMAGE, KAVEL_WORK.
"""
import hashlib
import json
import os
import socket
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

ENV = os.environ
WORK = ENV["KAVEL_WORK"]
IMAGE = ENV["KAVEL_IMAGE"]
XSS = "<img src=x onerror=alert(1)>"
MAC = "00:1A:2B:3C:4D:5E"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cli(*args):
    return subprocess.run([ENV["KAVEL_CLI"], *args], capture_output=True, text=True, timeout=120,
                          env=dict(ENV, KAVEL_ISP_PORT_DIR=WORK + "/ports"))


def fill(db):
    """Three boards: station a passes one (numbered by the MAC list) and fails a locked one;
    the station named like markup passes one."""
    with open(WORK + "/macs.txt", "w") as f:
        f.write(MAC + "\n")
    runs = [["COM1", "a", ["--serial", "7F00:bytes6", "--serial-list", WORK + "/macs.txt"]],
            ["COM2", "a", []], ["COM1", XSS, []]]
    for port, station, more in runs:
        run = cli("program", IMAGE, "--port", port, "--db", db, "--station", station, "--lot", "L1",
                  "--operator", "Ana", "-q", *more)
        check(run.returncode in (0, 1), f"{port} for {station!r} into {db[:10]}... ran ({run.returncode}: {run.stderr.strip()})")


def dashboard(db):
    port = free_port()
    out = open(f"{WORK}/dashboard-{port}.out", "w+")  # noqa: SIM115 (read while it runs)
    proc = subprocess.Popen([ENV["KAVEL_DASHBOARD"], "--db", db, "--listen", f"127.0.0.1:{port}"], stdout=out,
                            stderr=subprocess.STDOUT)
    for _ in range(100):
        out.seek(0)
        if "the line's page is at" in out.read():
            break
        time.sleep(0.05)
    return proc, f"http://127.0.0.1:{port}/", out.name


def wait(driver, script, what, seconds=15):
    until = time.time() + seconds
    while time.time() < until:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.1)
    check(False, f"{what} within {seconds} s")
    return None


def refreshes(driver):
    return int(driver.execute_script("return Number(document.body.dataset.updated || 0)"))


def next_refresh(driver, what):
    seen = refreshes(driver)
    wait(driver, f"return Number(document.body.dataset.updated || 0) > {seen}", what, 12)


def tiles_match_the_log(driver, db):
    stats = [json.loads(line) for line in
             cli("log", "--stats", "--json", "--by", "station", "--since", "today", "--db", db).stdout.splitlines()]
    for group in stats:
        tile = driver.execute_script(
            "return [...document.querySelectorAll('#tiles .tile')].find(t => t.dataset.station === arguments[0])"
            "?.innerText || null", group["station"])
        want_yield = "–" if group["yield"] is None else f"{group['yield']:.1f}%"
        check(tile is not None and f"Boards today: {group['boards']} " in tile and f"Yield: {want_yield}" in tile,
              f"the tile of {group['station']!r} says what log --stats says ({group['boards']} boards, {want_yield})")


def sqlite_page(driver):
    db = WORK + "/station.db"
    fill(db)
    proc, url, _ = dashboard(db)
    try:
        started = time.time()
        driver.get(url)
        wait(driver, "return document.body.dataset.updated === '1'", "the first refresh")
        print(f"     the page was ready in {time.time() - started:.2f} s", flush=True)
        tiles_match_the_log(driver, db)
        # The markup in a station's name is its name, shown as text, and nothing of it runs.
        names = driver.execute_script("return [...document.querySelectorAll('#tiles .tile h3')].map(h => h.textContent)")
        check(XSS in names, "the station named like markup shows its name as text")
        check(not driver.find_elements(By.CSS_SELECTOR, "main img"), "no element was made from a value in the log")
        try:
            driver.switch_to.alert
            check(False, "no script from the log ran")
        except NoAlertPresentException:
            check(True, "no script from the log ran")
        # The chart: a bar and a line a station, the bars adding up to the boards, drawn.
        chart = driver.execute_script(
            "const c = Chart.getChart('chart'); if (!c) return null;"
            "return {sets: c.data.datasets.length, boards: c.data.datasets.filter(d => d.type === 'bar')"
            ".reduce((n, d) => n + d.data.reduce((a, b) => a + b, 0), 0)}")
        painted = driver.execute_script(
            "const c = document.getElementById('chart'); const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
            "let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i]) n++; return n")
        check(chart == {"sets": 4, "boards": 3} and painted > 1000,
              f"the chart is drawn: two series a station, 3 boards ({chart}, {painted} pixels)")
        # The board found by its MAC address, with the image's SHA-256.
        driver.find_element(By.ID, "search").send_keys(MAC + "\n")
        rows = wait(driver, "const r = document.querySelectorAll('#results tbody tr');"
                    "return r.length ? [...r].map(t => [...t.cells].map(c => c.textContent)) : null", "the search's rows")
        sha = hashlib.sha256(open(IMAGE, "rb").read()).hexdigest()
        check(rows is not None and len(rows) == 1 and rows[0][1:6] == ["a", "COM1", "Ana", sha, "PASS"],
              f"the serial search finds the board by its MAC address ({rows})")
        # A serial number beyond 2^53 keeps every digit through the page's JSON.
        big = driver.execute_script("return parseLog('[{\"serial\": 9007199254740993}]')[0].serial")
        check(big == "9007199254740993", f"a serial number beyond 2^53 keeps its digits ({big})")
        driver.find_element(By.ID, "search").clear()
        driver.find_element(By.ID, "search").send_keys("12:zz\n")
        check(bool(wait(driver, "return document.getElementById('search-error').textContent", "a bad serial said")),
              "a serial number that is none is said beside the box")
    finally:
        proc.terminate()
        proc.wait(10)


def postgres_page(driver):
    cluster = WORK + "/pg"
    url = subprocess.run(["bash", ENV["KAVEL_PG_CLUSTER"], "start", cluster], capture_output=True, text=True,
                         check=True).stdout.strip()
    # With a password (the test cluster trusts any): it must never be shown.
    url = url.replace("postgresql://kavel@", "postgresql://kavel:s3cret@")
    try:
        fill(url)
        proc, page, said = dashboard(url)
        try:
            driver.get(page)
            wait(driver, "return document.body.dataset.updated === '1'", "the first refresh on PostgreSQL")
            tiles_match_the_log(driver, url)
            subprocess.run(["bash", ENV["KAVEL_PG_CLUSTER"], "stop", cluster], check=True)
            banner = wait(driver, "const b = document.getElementById('banner'); return b.hidden ? null : b.textContent",
                          "a banner while the server is stopped")
            check(banner is not None and "cannot be reached" in banner, f"the server stopped: a banner ({banner})")
            check(len(driver.find_elements(By.CSS_SELECTOR, "#tiles .tile")) == 2, "the tiles keep their last figures")
            with open(said) as f:
                check("s3cret" not in (banner or "") + f.read(), "neither the banner nor the program's output shows the password")
            subprocess.run(["bash", ENV["KAVEL_PG_CLUSTER"], "start", cluster], capture_output=True, check=True)
            back = wait(driver, "return document.getElementById('banner').hidden", "the page recovering", 20)
            check(bool(back), "the server back: the banner is gone by itself")
            next_refresh(driver, "a refresh after the server came back")
            tiles_match_the_log(driver, url)
        finally:
            proc.terminate()
            proc.wait(10)
    finally:
        subprocess.run(["bash", ENV["KAVEL_PG_CLUSTER"], "remove", cluster])


def main():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"]:
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        sqlite_page(driver)
        postgres_page(driver)
    finally:
        driver.quit()
    if failures:
        print(f"{len(failures)} checks failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
