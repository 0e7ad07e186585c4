"""The line's page measured from outside, for dashboard_bench.sh.

  dashboard_probe.py answer URL RUNS        median wall ms of one API answer, each asked once
                                            its kept answer has expired (2.5 s apart)
  dashboard_probe.py ready URL RUNS         median ms from asking for the page in headless
                                            Chromium until its first refresh is shown
  dashboard_probe.py poll URL BROWSERS SECS BROWSERS that ask what the page asks every 5 s, for
                                            SECS; prints the requests answered and failed
"""
import random
import statistics
import sys
import threading
import time
import urllib.request


def answer(url, runs):
    times = []
    for _ in range(runs):
        time.sleep(2.5)
        started = time.perf_counter()
        with urllib.request.urlopen(url) as response:
            response.read()
        times.append((time.perf_counter() - started) * 1000)
    print(f"{statistics.median(times):.0f}")


def ready(url, runs):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"]:
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    times = []
    try:
        for _ in range(runs):
            time.sleep(2.5)
            driver.get("about:blank")
            started = time.perf_counter()
            driver.get(url)
            while driver.execute_script("return document.body.dataset.updated") != "1":
                time.sleep(0.005)
            times.append((time.perf_counter() - started) * 1000)
    finally:
        driver.quit()
    print(f"{statistics.median(times):.0f}")


# What the page asks at each refresh (app.js: the tiles, the chart and the Pareto of today).
PAGE = ["/api/stats?since=today&by=station", "/api/rows?since=today&limit=200", "/api/stats?by=station%2Chour&since=today",
        "/api/rows?result=no_answer%2Cmismatch&since=today"]


def poll(url, browsers, seconds):
    counts = {"answered": 0, "failed": 0}
    lock = threading.Lock()
    until = time.time() + seconds

    def browser():
        time.sleep(random.uniform(0, 5))
        while time.time() < until:
            began = time.time()
            for path in PAGE:
                try:
                    with urllib.request.urlopen(url.rstrip("/") + path, timeout=10) as response:
                        response.read()
                    key = "answered"
                except OSError:
                    key = "failed"
                with lock:
                    counts[key] += 1
            time.sleep(max(0.0, 5 - (time.time() - began)))

    threads = [threading.Thread(target=browser) for _ in range(browsers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(counts["answered"], counts["failed"])


if __name__ == "__main__":
    mode, url = sys.argv[1], sys.argv[2]
    if mode == "answer":
        answer(url, int(sys.argv[3]))
    elif mode == "ready":
        ready(url, int(sys.argv[3]))
    else:
        poll(url, int(sys.argv[3]), float(sys.argv[4]))
