"""The hub's page in a real browser, with the real client printing.

A hub on SQLite, webprintd polling it every second into a CUPS queue whose
jobs land as files, and headless Chromium driven through WebDriver: sign in
with a token, upload a file for the daemon's printer, watch the job become
`printed` without a reload, compare the printout byte for byte; then set a
printer of a computer that does not poll to PostScript, upload a PDF for it
with two copies, see its sizes before and after conversion, and cancel it. The page as it was then is
saved as build/hub-page.png, or where HUB_SCREENSHOT names (the README's picture:
HUB_SCREENSHOT=docs/screenshots/hub.png), so a test run leaves the checkout as it was.

Run as root (it adds a CUPS queue), under the CUPS lock, with Debian's Python:
  flock /tmp/webprint-cups.lock /usr/bin/python3 tests/hub/test_page.py -v
(WEBPRINTD=path/to/webprintd picks the program.) Every wait has a deadline."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, HERE)
from e2e_common import job_bytes  # noqa: E402
from services import HubInstance  # noqa: E402

DAEMON = os.environ.get("WEBPRINTD", os.path.join(ROOT, "build", "native-asan", "app", "linux", "webprintd"))
QUEUE = "hubops-page"
PRINTED = os.path.join("/var/spool/webprint-capture", QUEUE)
COMPUTER = "HUBOPS-PAGE"
SILENT = "HUBOPS-SILENT"
# A printer name that would be markup if the page took it for HTML.
MARKUP = "&lt;b&gt;Bold&lt;/b&gt;"
SCREENSHOT = os.path.abspath(os.environ.get("HUB_SCREENSHOT", os.path.join(ROOT, "build", "hub-page.png")))
DEADLINE = 60

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as shows
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None


def chromium(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1200,800"):
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + profile)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


@unittest.skipUnless(webdriver and os.geteuid() == 0 and os.path.exists(DAEMON),
                     "needs root, Selenium, Chromium and a built webprintd")
class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="hub-page-")
        subprocess.run(["bash", "tools/cups-queue.sh", QUEUE, PRINTED], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        cls.hub = HubInstance(cls.work).start()
        cls.addClassCleanup(cls.hub.stop)
        cls.token = cls.hub.command("token", "add", "page").split()[-1]
        config = os.path.join(cls.work, "webprint.conf")
        with open(config, "w") as f:
            f.write(f"Url = 127.0.0.1\nPort = {cls.hub.port}\nPollFreq = 1\nComputerName = {COMPUTER}\n")
        with open(os.path.join(cls.work, "daemon.log"), "wb") as log:
            cls.daemon = subprocess.Popen([DAEMON, "--config", config], stderr=log)
        cls.addClassCleanup(cls.daemon.wait, 30)
        cls.addClassCleanup(cls.daemon.terminate)
        # A computer that registers once and never polls: its jobs wait.
        listing = (f"<list cpu='{SILENT}' user='nobody'>\r\n <printer name='{QUEUE}' hide='0'/>\r\n"
                   f" <printer name='{MARKUP}' hide='1'/>\r\n</list>")
        urllib.request.urlopen(urllib.request.Request(
            f"http://127.0.0.1:{cls.hub.port}/.00010101000000000000/system/rmtprt.aspx?func=printlist",
            data=listing.encode(), method="POST"), timeout=10).close()
        cls.browser = chromium(os.path.join(cls.work, "chromium"))
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.addClassCleanup(cls.browser.quit)

    def wait(self, condition):
        # The tables are built afresh at every refresh: an element found a
        # moment ago may be gone, and the condition is tried again.
        return WebDriverWait(self.browser, DEADLINE, poll_frequency=0.1,
                             ignored_exceptions=[StaleElementReferenceException]).until(condition)

    def jobs_shown(self):
        """{job id: state} of the job table, read in one step."""
        return self.browser.execute_script(
            "return Object.fromEntries([...document.querySelectorAll('#jobs tr')]"
            ".map(row => [row.dataset.job, row.querySelector('.state').textContent]))")

    def upload(self, path, computer, copies=None):
        form = self.browser.find_element(By.ID, "upload")
        form.find_element(By.ID, "file").send_keys(path)

        def choose(browser):
            options = [o for o in Select(form.find_element(By.ID, "printer")).options
                       if o.text.startswith(computer + " ")]
            return options and (options[0].click() or True)
        self.wait(choose)
        if copies:
            self.wait(shows.visibility_of_element_located((By.ID, "copies"))).send_keys(copies)
        before = set(self.jobs_shown())
        form.find_element(By.TAG_NAME, "button").click()
        return self.wait(lambda browser: set(self.jobs_shown()) - before).pop()

    def test_upload_print_and_cancel(self):
        self.browser.get(f"http://127.0.0.1:{self.hub.port}/")
        self.browser.find_element(By.ID, "token").send_keys("not a token\n")
        self.assertIn("token", self.wait(shows.visibility_of_element_located((By.ID, "sign-in-error"))).text)
        self.assertFalse(self.browser.find_element(By.ID, "hub").is_displayed())
        self.browser.find_element(By.ID, "token").clear()
        self.browser.find_element(By.ID, "token").send_keys(self.token + "\n")
        self.wait(shows.text_to_be_present_in_element((By.ID, "computers"), "online"))
        self.assertFalse(self.browser.find_element(By.ID, "sign-in").is_displayed())
        self.assertIn("<b>Bold</b> (hidden)", self.browser.find_element(By.ID, "computers").text)
        self.assertEqual(self.browser.find_elements(By.TAG_NAME, "b"), [])

        data = job_bytes(70000)
        document = os.path.join(self.work, "page-test.prn")
        with open(document, "wb") as f:
            f.write(data)
        before = set(os.listdir(PRINTED))
        job = self.upload(document, COMPUTER)
        self.wait(lambda browser: self.jobs_shown()[job] == "printed")
        printouts = self.wait(lambda browser: sorted(name for name in set(os.listdir(PRINTED)) - before
                                                     if name.endswith(".prn")))
        with open(os.path.join(PRINTED, printouts[0]), "rb") as f:
            self.assertEqual(f.read(), data)

        # The silent computer's printer set to PostScript on the page: a PDF
        # uploaded for it with two copies is converted, and shows both sizes.
        form = self.browser.find_element(By.ID, "language")
        Select(form.find_element(By.ID, "language-printer")).select_by_visible_text(f"{SILENT} \u2013 {QUEUE}")
        Select(form.find_element(By.ID, "language-name")).select_by_value("postscript")
        form.find_element(By.TAG_NAME, "button").click()
        self.wait(shows.text_to_be_present_in_element((By.ID, "computers"), f"{QUEUE} \u00b7 postscript"))
        pdf = os.path.join(self.work, "page-test.pdf")
        subprocess.run(["gs", "-q", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-sOutputFile=" + pdf,
                        "-c", "/Helvetica 20 selectfont 72 700 moveto (Converted) show showpage"], check=True)
        waiting = self.upload(pdf, SILENT, copies="2")
        self.assertEqual(self.jobs_shown()[waiting], "queued")
        size = self.browser.find_element(By.CSS_SELECTOR, f"tr[data-job='{waiting}'] td:nth-child(5)").text
        self.assertRegex(size, r"^%d \u2192 \d+$" % os.path.getsize(pdf))
        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        self.browser.save_screenshot(SCREENSHOT)
        self.wait(lambda browser: browser.find_element(By.CSS_SELECTOR, f"tr[data-job='{waiting}'] button").click()
                  or True)
        self.wait(lambda browser: self.jobs_shown()[waiting] == "cancelled")


if __name__ == "__main__":
    unittest.main()
