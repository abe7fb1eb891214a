#!/usr/bin/python3
"""The dashboard's figures, in headless Chromium against a real pelmora-service:

1. time to first paint, and until the first page of jobs is drawn, with 10,000 jobs;
2. the job page following a job that prints 10,000 lines a second: lines shown per second,
   and the page's JavaScript heap once a million lines are in.

Usage: bench/dashboard_figures.py build/release/pelmora-service [--lines N]
"""

import json
import os
import sqlite3
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "dashboard"))
import dashboard_test as harness  # noqa: E402  (the test's service and browser set-up)

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = harness.CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1400,900", "--enable-precise-memory-info"):
        options.add_argument(flag)
    return webdriver.Chrome(service=DriverService(harness.CHROMEDRIVER), options=options)


def add_jobs(service, binary, count):
    """Copies of one finished job, written into the store while the service is stopped."""
    job = service.submit("print('seed')")
    harness.wait_for(lambda: service.status(job) == "completed", 30, "the seed job")
    service.process.terminate()
    service.process.wait()
    db = sqlite3.connect(os.path.join(service.data, "state", "jobs.db"))
    columns = [row[1] for row in db.execute("PRAGMA table_info(jobs)") if row[1] != "seq"]
    seed = dict(zip(columns, db.execute(f"SELECT {', '.join(columns)} FROM jobs WHERE id = ?", (job,)).fetchone()))
    rows = []
    for i in range(count):
        row = dict(seed)
        row["id"] = "job-%032x" % (i + 1)
        row["created_at"] = seed["created_at"] + i * 0.001
        rows.append(tuple(row[c] for c in columns))
    db.executemany(f"INSERT INTO jobs({', '.join(columns)}) VALUES({', '.join('?' * len(columns))})", rows)
    db.commit()
    db.close()
    # The same data directory, served again.
    os.remove(os.path.join(service.data, "service.json"))
    restarted = harness.Service.__new__(harness.Service)
    restarted.__dict__.update(service.__dict__)
    import subprocess
    restarted.process = subprocess.Popen(
        [binary, "serve", "--data-dir", service.data, "--port", "0", "--python", "/usr/bin/python3"],
        stdout=service.log, stderr=subprocess.STDOUT)
    harness.wait_for(lambda: os.path.exists(os.path.join(service.data, "service.json")), 30, "the restart")
    time.sleep(0.1)
    restarted.url = json.load(open(os.path.join(service.data, "service.json")))["url"]
    return restarted


def signed_in(driver, service, fragment):
    driver.get(service.url + "/favicon.svg")
    driver.execute_script("sessionStorage.setItem('pelmora-api-key', arguments[0])", service.key)
    start = time.perf_counter()
    driver.get(service.url + "/" + fragment)
    return start


def first_paint(driver, service):
    start = signed_in(driver, service, "#/")
    harness.wait_for(lambda: driver.execute_script(
        "return document.querySelectorAll('#jobs tbody tr').length") >= 100, 60, "the jobs")
    drawn = time.perf_counter() - start
    paint = driver.execute_script(
        "const p = performance.getEntriesByName('first-contentful-paint')[0]; return p ? p.startTime : null")
    return paint, drawn * 1000


def follow_rate(driver, service, lines):
    seconds = lines // 10000
    code = ("import sys, time\nw = sys.stdout.write\nt0 = time.time()\n"
            f"for s in range({seconds}):\n"
            "    for i in range(10000):\n"
            "        w('line %d of second %d: some text as a job prints it\\n' % (i, s))\n"
            "    sys.stdout.flush()\n"
            "    time.sleep(max(0, t0 + s + 1 - time.time()))\n")
    job = service.submit(code)
    signed_in(driver, service, "#/jobs/" + job)
    samples = []
    start = time.perf_counter()
    while True:
        count = driver.execute_script("return state.log ? state.log.count : 0")
        samples.append((time.perf_counter() - start, count))
        if count >= lines or time.perf_counter() - start > seconds * 4 + 60:
            break
        time.sleep(0.5)
    heap = driver.execute_script("return performance.memory ? performance.memory.usedJSHeapSize : null")
    # The page must still answer: time one scroll to the middle and its redraw.
    t = time.perf_counter()
    driver.execute_script("document.getElementById('follow').checked = false;"
                          "const b = document.getElementById('log'); b.scrollTop = b.scrollHeight / 2;")
    driver.execute_script("return new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    scroll_ms = (time.perf_counter() - t) * 1000
    elapsed, count = samples[-1]
    return count, elapsed, heap, scroll_ms


def main():
    binary = os.path.abspath(sys.argv[1])
    lines = int(sys.argv[sys.argv.index("--lines") + 1]) if "--lines" in sys.argv else 1000000
    service = harness.Service(binary)
    try:
        service = add_jobs(service, binary, 10000)
        driver = browser()
        try:
            paint, drawn = first_paint(driver, service)
            print(f"jobs page, 10,000 jobs: first contentful paint {paint:.0f} ms, first page of 100 drawn {drawn:.0f} ms")
            count, elapsed, heap, scroll_ms = follow_rate(driver, service, lines)
            print(f"job page following 10,000 lines/s: {count:,} lines shown in {elapsed:.1f} s "
                  f"({count / elapsed:,.0f} lines/s); JS heap {heap / 2**20:.0f} MiB; "
                  f"scroll + redraw {scroll_ms:.0f} ms")
        finally:
            driver.quit()
    finally:
        service.close()


if __name__ == "__main__":
    main()
