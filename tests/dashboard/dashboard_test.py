#!/usr/bin/python3
"""The dashboard in a real browser: headless Chromium through chromedriver, against a real
pelmora-service started here. Also checks /metrics with the Prometheus exposition parser.

Usage: dashboard_test.py PELMORA_SERVICE [--screenshots DIR]
Exits 77 (skipped) when Chromium, chromedriver, selenium or the Prometheus parser is missing.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

SKIP = 77
SERVICE = None
SCREENSHOTS = None

try:
    from prometheus_client.parser import text_string_to_metric_families
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, TimeoutException
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:  # pragma: no cover - reported as a skip
    print(f"SKIP: {e} (install python3-selenium and python3-prometheus-client)")
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


class Service:
    """pelmora-service on a free loopback port, with a fresh data directory."""

    def __init__(self, binary):
        self.dir = tempfile.mkdtemp(prefix="pelmora-dash-")
        self.data = os.path.join(self.dir, "data")
        self.log = open(os.path.join(self.dir, "service.log"), "wb")
        self.process = subprocess.Popen(
            [binary, "serve", "--data-dir", self.data, "--port", "0", "--python", "/usr/bin/python3",
             "--max-jobs", "4"],
            stdout=self.log, stderr=subprocess.STDOUT)
        info = os.path.join(self.data, "service.json")
        deadline = time.time() + 30
        while not os.path.exists(info):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("the service did not start: " + open(self.log.name).read())
            time.sleep(0.05)
        time.sleep(0.05)
        self.url = json.load(open(info))["url"]
        with open(os.path.join(self.data, "state", "local_key.json")) as f:
            self.key = json.load(f)["keys"][0]["key"]
        added = subprocess.run([binary, "serve", "--data-dir", self.data, "--add-key", "--key-name", "other"],
                               capture_output=True, text=True, check=True)
        self.other_key = next(word for word in added.stdout.split() if word.startswith("pmk_"))

    def request(self, path, key=None, body=None):
        headers = {"Authorization": "Bearer " + (key or self.key)}
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        req = urllib.request.Request(self.url + path, data=data, headers=headers)
        with urllib.request.urlopen(req, timeout=10) as answer:
            return answer.status, dict(answer.headers), answer.read()

    def submit(self, code, key=None):
        _, _, body = self.request("/v1/jobs/submit/code", key, {"code": code, "file_path": "/home/u/job.py"})
        return json.loads(body)["job_id"]

    def status(self, job):
        return json.loads(self.request("/v1/jobs/" + job)[2])["status"]

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for(condition, timeout=20, what="a condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class DashboardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service(SERVICE)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--no-first-run", "--disable-extensions"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
        cls.driver.set_page_load_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.service.close()

    def setUp(self):
        self.driver.get(self.service.url + "/")
        self.driver.execute_script("sessionStorage.clear()")
        self.driver.get(self.service.url + "/")

    def sign_in(self, key):
        d = self.driver
        WebDriverWait(d, 10).until(lambda d: d.find_element(By.ID, "key").is_displayed())
        d.find_element(By.ID, "key").send_keys(key)
        d.find_element(By.CSS_SELECTOR, "#sign-in-form button").click()

    # Read in one script: the table is redrawn every few seconds.
    def job_ids_shown(self):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#jobs tbody a')].map(a => a.textContent)")

    def row_state(self, job):
        return self.driver.execute_script(
            "for (const row of document.querySelectorAll('#jobs tbody tr'))"
            "  if (row.textContent.includes(arguments[0])) return row.querySelector('.state').textContent;"
            "return null", job)

    def open_job(self, job):
        self.driver.get(self.service.url + "/#/jobs/" + job)
        WebDriverWait(self.driver, 10).until(
            lambda d: d.find_element(By.ID, "job-page").is_displayed()
            and d.find_element(By.ID, "job-title").text == job)

    def log_text(self):
        return self.driver.find_element(By.ID, "log-lines").text

    def test_a_wrong_key_is_refused_and_nothing_is_kept(self):
        self.sign_in("pmk_not_a_key")
        error = WebDriverWait(self.driver, 10).until(
            lambda d: d.find_element(By.ID, "sign-in-error").text)
        self.assertIn("does not accept", error)
        self.assertIsNone(self.driver.execute_script("return sessionStorage.getItem('pelmora-api-key')"))
        self.assertFalse(self.driver.find_element(By.ID, "jobs-page").is_displayed())

    def test_jobs_appear_change_state_and_only_the_callers(self):
        mine = self.service.submit("import time\nprint('step', flush=True)\ntime.sleep(2)\nprint('done')")
        theirs = self.service.submit("print('other key')", key=self.service.other_key)
        self.sign_in(self.service.key)
        WebDriverWait(self.driver, 15).until(lambda d: mine in self.job_ids_shown())
        self.assertNotIn(theirs, self.job_ids_shown())
        wait_for(lambda: self.row_state(mine) == "completed", 20, "the job to show completed")
        # The key went nowhere but this tab's session storage: no cookie, not in the address.
        self.assertEqual(self.driver.get_cookies(), [])
        self.assertNotIn(self.service.key, self.driver.current_url)
        # A job of another key is not found through the job page either.
        self.open_job(theirs)
        WebDriverWait(self.driver, 10).until(lambda d: "no such job" in d.find_element(By.ID, "job-error").text)
        self.driver.get(self.service.url + "/#/")
        Select(self.driver.find_element(By.ID, "state-filter")).select_by_value("failed")
        WebDriverWait(self.driver, 10).until(lambda d: d.find_element(By.ID, "jobs-empty").is_displayed())
        if SCREENSHOTS:
            Select(self.driver.find_element(By.ID, "state-filter")).select_by_value("")
            time.sleep(1)
            self.driver.save_screenshot(os.path.join(SCREENSHOTS, "dashboard-jobs.png"))

    def test_job_text_is_shown_as_text(self):
        code = ("import sys\nprint('<script>alert(1)</script>')\nprint('<img src=x onerror=alert(2)>')\n"
                "print('\\x1b[31mred\\x1b[0m plain \\x1b]0;title\\x07end')\n"
                "sys.stdout.flush()\nsys.stdout.buffer.write(b'bad \\xff\\xfe bytes\\n')\n"
                "print('x' * 100000)\nopen('result.csv', 'w').write('a,b\\n1,2\\n')\n")
        job = self.service.submit(code)
        wait_for(lambda: self.service.status(job) == "completed", 20, "the job to complete")
        self.sign_in(self.service.key)
        self.open_job(job)
        WebDriverWait(self.driver, 10).until(lambda d: "<script>alert(1)</script>" in self.log_text())
        text = self.log_text()
        self.assertIn("<img src=x onerror=alert(2)>", text)
        self.assertIn("red plain end", text)  # colours kept as style, other sequences dropped
        self.assertIn("more characters", text)  # a long line is cut on screen
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "#log script, #log img"), [])
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#log-lines .f1")), 1)
        # The job's files, once it has ended.
        WebDriverWait(self.driver, 10).until(lambda d: "result.csv" in d.find_element(By.ID, "files").text)
        self.assertIn("8 B", self.driver.find_element(By.ID, "files").text)
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text

    def test_following_a_running_job_and_cancelling_it(self):
        code = "import time\nfor i in range(600):\n    print('line', i, flush=True)\n    time.sleep(0.05)\n"
        job = self.service.submit(code)
        self.sign_in(self.service.key)
        self.open_job(job)
        WebDriverWait(self.driver, 20).until(lambda d: "line 5" in self.log_text())
        first = self.driver.execute_script("return state.log.count")
        wait_for(lambda: self.driver.execute_script("return state.log.count") > first + 10, 20,
                 "the log to grow")
        if SCREENSHOTS:
            self.driver.save_screenshot(os.path.join(SCREENSHOTS, "dashboard-job.png"))
        self.driver.find_element(By.ID, "cancel").click()
        self.driver.find_element(By.ID, "cancel-yes").click()
        WebDriverWait(self.driver, 20).until(lambda d: d.find_element(By.ID, "job-state").text == "cancelled")
        self.assertEqual(self.service.status(job), "cancelled")

    def test_page_headers_and_metrics(self):
        status, headers, _ = self.service.request("/")
        self.assertEqual(status, 200)
        csp = headers["Content-Security-Policy"]
        self.assertIn("script-src 'self'", csp)
        self.assertNotIn("unsafe-inline", csp)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(self.service.url + "/metrics", timeout=10)
        self.assertEqual(refused.exception.code, 401)
        self.service.submit("print('counted')")
        _, headers, body = self.service.request("/metrics")
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        text = body.decode()
        families = {f.name: f for f in text_string_to_metric_families(text)}
        for name in ("pelmora_jobs", "pelmora_queue_length", "pelmora_submissions",
                     "pelmora_http_requests", "pelmora_http_request_duration_seconds",
                     "pelmora_output_lines", "pelmora_output_bytes", "pelmora_runner_errors",
                     "pelmora_sandbox"):
            self.assertIn(name, families)
        submitted = [s for s in families["pelmora_submissions"].samples if s.labels.get("code") == "200"]
        self.assertGreaterEqual(submitted[0].value, 1)
        buckets = [s for s in families["pelmora_http_request_duration_seconds"].samples
                   if s.name.endswith("_bucket")]
        self.assertEqual(buckets[-1].labels["le"], "+Inf")
        self.assertEqual([s.value for s in buckets], sorted(s.value for s in buckets))
        self.assertNotIn(self.service.key, text)
        self.assertNotIn("job-", text)


def main():
    global SERVICE, SCREENSHOTS
    args = sys.argv[1:]
    if "--screenshots" in args:
        i = args.index("--screenshots")
        SCREENSHOTS = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    if len(args) != 1:
        print(__doc__)
        return 2
    SERVICE = os.path.abspath(args[0])
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            print(f"SKIP: {program} is missing (install chromium and chromium-driver)")
            return SKIP
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(DashboardTest)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
