"""The whole road of a job: the reference service hands it to the real
webprint.exe under Wine, which prints it raw through Wine's spooler into a CUPS
queue whose jobs land as files; every printout is compared byte for byte.

Run by tools/test.sh inside its Wine session (WINEPREFIX and DISPLAY are set
up there). Every wait has a deadline. The tests share one client and run in
their numbered order: the later ones break the connection for good."""

import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from cups_watch import QueueWatch  # noqa: E402
from e2e_common import DEADLINE, job_bytes, wait_for  # noqa: E402
import http_proxy  # noqa: E402
BUILD = os.environ.get("WEBPRINT_BUILD", os.path.join(ROOT, "build", "win32"))
CLIENT = os.path.join(BUILD, "app", "webprint.exe")
PROBE = os.path.join(BUILD, "tests", "e2e", "window_probe.exe")
TRUST_ROOT = os.path.join(BUILD, "tests", "transport", "trust_root.exe")
CERTIFICATES = os.path.join(ROOT, "tests", "support", "tls")
# The reference service: the hub, run from this checkout with Debian's Python.
HUB = ["/usr/bin/python3", "-m", "hub"]
CUPS_QUEUE = os.path.join(ROOT, "tools", "cups-queue.sh")
KEY = r"HKLM\Software\Morvelund\Tarnwick Web Printing"
COMPUTER = "E2E-PC"
QUEUE = "webprint-e2e"
HIDDEN_QUEUE = "webprint-e2e-hidden"


def capture_queue(queue, folder=None):
    """Sets up a capture queue; its folder, or the script's answer when jobs cannot reach it."""
    return subprocess.run([CUPS_QUEUE, queue] + ([folder] if folder else []), capture_output=True, text=True)


def wine(*arguments, check=True):
    return subprocess.run(["wine", *arguments], check=check, capture_output=True)


@unittest.skipUnless(os.environ.get("WINEPREFIX") and os.path.exists(CLIENT),
                     "needs the Win32 build and the test command's Wine session")
class ClientAndService(unittest.TestCase):
    """The service and one client, over plain TCP or, with TLS set, over TLS
    with the test CA trusted in the Wine prefix; with PROXY set, through a
    tinyproxy of the test's own. POLL and LONG_POLL are the client's PollFreq
    and LongPoll (none when empty)."""
    TLS = False
    PROXY = False
    POLL = "1"
    LONG_POLL = ""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="webprint-e2e-")
        for queue in (HIDDEN_QUEUE, QUEUE):
            answer = capture_queue(queue)
            assert answer.returncode == 0, answer.stderr
        cls.printed = answer.stdout.strip()
        cls.watch = QueueWatch(QUEUE)
        cls.db = os.path.join(cls.work, "service.sqlite")
        cls.port = 0
        cls.service = None
        cls.certificate = "server"
        cls.context = None
        if cls.TLS:
            wine(TRUST_ROOT, "Z:" + os.path.join(CERTIFICATES, "ca.pem"))
            cls.context = ssl.create_default_context(cafile=os.path.join(CERTIFICATES, "ca.pem"))
        cls.start_service()
        proxy = []
        if cls.PROXY:
            cls.proxy_folder = os.path.join(cls.work, "proxy")
            cls.proxy, cls.proxy_port = http_proxy.start(cls.proxy_folder, connect_ports=[cls.port])
            proxy = [("Proxy", "REG_SZ", f"127.0.0.1:{cls.proxy_port}")]
        if cls.LONG_POLL:
            proxy.append(("LongPoll", "REG_DWORD", cls.LONG_POLL))

        wine("reg", "delete", KEY, "/f", check=False)
        for name, kind, value in (*proxy, ("UseTls", "REG_DWORD", "1" if cls.TLS else "0"),
                                  ("Url", "REG_SZ", "127.0.0.1"), ("Port", "REG_DWORD", str(cls.port)),
                                  ("PollFreq", "REG_DWORD", cls.POLL), ("ComputerName", "REG_SZ", COMPUTER),
                                  ("ShowStartUpPanel", "REG_DWORD", "0"),
                                  ("Printer:" + HIDDEN_QUEUE, "REG_DWORD", "1")):
            wine("reg", "add", KEY, "/v", name, "/t", kind, "/d", value, "/f")
        cls.client = subprocess.Popen(["wine", CLIENT], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.client_started = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        wine("taskkill", "/f", "/im", "webprint.exe", check=False)
        cls.client.wait(timeout=30)
        cls.stop_service()
        if cls.PROXY:
            http_proxy.stop(cls.proxy)
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def start_service(cls):
        """Starts the service on the same port each time, over the same database."""
        cls.service_log = open(os.path.join(cls.work, "service.log"), "ab")
        tls = []
        if cls.TLS:
            tls = ["--tls-cert", os.path.join(CERTIFICATES, cls.certificate + ".pem"),
                   "--tls-key", os.path.join(CERTIFICATES, cls.certificate + ".key")]
        # The service counts connections since its start; these are the test's own.
        cls.own_connections = 0
        cls.service = subprocess.Popen(
            [*HUB, "serve", "--port", str(cls.port), "--db", cls.db, *tls],
            stdout=subprocess.PIPE, stderr=cls.service_log, text=True, cwd=ROOT)
        line = cls.service.stdout.readline()
        assert line.startswith("listening on"), line
        cls.port = int(line.rsplit(":", 1)[1])

    @classmethod
    def stop_service(cls, sig=signal.SIGTERM):
        cls.service.send_signal(sig)
        cls.service.wait(timeout=30)
        cls.service.stdout.close()
        cls.service_log.close()

    def url(self, path):
        type(self).own_connections += 1
        return f"{'https' if self.TLS else 'http'}://127.0.0.1:{self.port}/{path}"

    def state(self):
        with urllib.request.urlopen(self.url("api/state"), timeout=5, context=self.context) as answer:
            return json.load(answer)

    def job(self, job_id):
        return next(job for job in self.state()["jobs"] if str(job["id"]) == str(job_id))

    def submit(self, data, printer=QUEUE, name="e2e job"):
        query = urllib.parse.urlencode({"computer": COMPUTER, "printer": printer, "name": name})
        request = urllib.request.Request(self.url(f"jobs?{query}"), data=data, method="POST")
        with urllib.request.urlopen(request, timeout=30, context=self.context) as answer:
            return answer.read().decode().strip()

    def printouts(self):
        names = (name for name in os.listdir(self.printed) if name.endswith(".prn"))
        return {name: os.path.join(self.printed, name) for name in names}

    def new_printouts(self, before, count):
        """Waits for count printouts that were not there before, oldest first."""
        def arrived():
            new = sorted(set(self.printouts()) - before, key=lambda name: int(name[4:-4]))
            return new if len(new) >= count else None
        return [self.read(self.printouts()[name]) for name in wait_for(arrived, "the printout", watch=self.watch)]

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def events(self):
        return wine(PROBE, "events", check=False).stdout.decode(errors="replace").splitlines()

    def wait_printed(self, job_id, seconds=DEADLINE):
        wait_for(lambda: self.job(job_id)["state"] == "printed", f"job {job_id} to be printed", seconds, self.watch)


class EndToEnd(ClientAndService):
    def test_1_jobs_of_every_size_arrive_byte_for_byte_and_are_acknowledged_once(self):
        for size in (0, 1, 4095, 4096, 4097, 10000, 1048576):
            with self.subTest(size=size):
                data = job_bytes(size)
                before = set(self.printouts())
                job_id = self.submit(data)
                self.wait_printed(job_id)
                # Wine hands an empty document nothing to print.
                if size > 0:
                    self.assertEqual(self.new_printouts(before, 1), [data])
                self.assertEqual(self.job(job_id)["acks"], 1)

    def test_2_printers_are_registered_with_their_hide_flags(self):
        def registered():
            computers = [c for c in self.state()["computers"] if c["name"] == COMPUTER]
            return computers[0]["printers"] if computers else None
        printers = {p["name"]: p["hidden"] for p in wait_for(registered, "the registration")}
        self.assertIs(printers[HIDDEN_QUEUE], True)
        self.assertIs(printers[QUEUE], False)

    def test_3_a_job_for_a_missing_or_hidden_printer_fails_and_stays_queued(self):
        for printer in ("no-such-printer", HIDDEN_QUEUE):
            with self.subTest(printer=printer):
                job_id = self.submit(job_bytes(100), printer=printer)
                failure = f'OpenPrinter refused: "{printer}" is not an exposed printer'
                wait_for(lambda: any(failure in line for line in self.events()), "the failure in the event list")
                job = self.job(job_id)
                self.assertEqual((job["state"], job["acks"], job["blocks_served"]), ("sent", 0, 0))
                # Out of the way of the other tests: acknowledge it as the client would.
                request = urllib.request.Request(
                    self.url(f"{self.state()['prefix']}printed"),
                    data=f"<printed id='{job_id}'/>".encode(), method="POST")
                urllib.request.urlopen(request, timeout=5).close()

    def test_4_a_service_restarted_mid_job_gets_the_whole_job_printed_once(self):
        data = job_bytes(8 << 20)
        before = set(self.printouts())
        job_id = self.submit(data)
        wait_for(lambda: self.job(job_id)["blocks_served"] >= 20, "the download to start")
        type(self).stop_service(signal.SIGKILL)
        type(self).start_service()
        self.wait_printed(job_id)
        self.assertEqual(self.job(job_id)["acks"], 1)
        # Wine's spooler cannot discard the broken attempt: its part may arrive
        # first, but only as an exact beginning of the job.
        printouts = self.new_printouts(before, 1)
        if printouts[-1] != data:
            printouts = self.new_printouts(before, 2)
        self.assertEqual(printouts[-1], data)
        for partial in printouts[:-1]:
            self.assertTrue(data.startswith(partial))

    def test_5_a_server_that_is_down_is_reported_and_polled_until_it_is_back(self):
        type(self).stop_service()
        wait_for(lambda: "connect() failed" in self.events(), "the client to report the server down")
        data = job_bytes(5000)
        job_id = subprocess.run(
            [*HUB, "submit", "-", "--computer", COMPUTER, "--printer", QUEUE, "--db", self.db], cwd=ROOT,
            input=data, check=True, capture_output=True).stdout.decode().strip()
        before = set(self.printouts())
        type(self).start_service()
        self.wait_printed(job_id)
        self.assertEqual(self.new_printouts(before, 1), [data])


class BrokenCaptureQueue(unittest.TestCase):
    def test_a_queue_whose_backend_cannot_write_fails_at_once_with_the_reason_cups_gives(self):
        queue = "webprint-e2e-broken"
        private = tempfile.mkdtemp(prefix="webprint-e2e-")
        self.addCleanup(shutil.rmtree, private)
        self.addCleanup(subprocess.run, ["lpadmin", "-x", queue])
        reason = "user lp cannot write job-"
        answer = capture_queue(queue, os.path.join(private, "printed"))
        self.assertNotEqual(answer.returncode, 0)
        self.assertIn(reason, answer.stderr)
        with self.assertRaisesRegex(AssertionError, f"waiting for the printout: CUPS job {queue}-.*{reason}"):
            wait_for(lambda: False, "the printout", watch=QueueWatch(queue))


class EndToEndTls(ClientAndService):
    TLS = True

    def test_1_jobs_arrive_byte_for_byte_over_tls_on_one_connection_per_poll(self):
        for size in (1, 4097, 1048576):
            with self.subTest(size=size):
                data = job_bytes(size)
                before = set(self.printouts())
                job_id = self.submit(data)
                self.wait_printed(job_id)
                self.assertEqual(self.new_printouts(before, 1), [data])
        # One connection per poll (one a second), however many block requests
        # the polls made.
        state = self.state()
        polls = time.monotonic() - self.client_started + 1
        self.assertGreater(state["requests"]["spooldata"], 256)
        self.assertLessEqual(state["connections"] - self.own_connections, polls)

    def test_2_a_certificate_that_fails_verification_gets_no_request(self):
        type(self).stop_service()
        type(self).certificate = "expired"
        # The test itself still asks the service for its counts.
        type(self).context = ssl.create_default_context()
        type(self).context.check_hostname = False
        type(self).context.verify_mode = ssl.CERT_NONE
        type(self).start_service()
        wait_for(lambda: "TLS handshake failed: certificate expired" in self.events(),
                 "the client to refuse the certificate")
        state = self.state()
        self.assertGreaterEqual(state["connections"] - self.own_connections, 1)
        self.assertEqual(sum(state["requests"].values()), 0, "nothing of a request reached the service")


class EndToEndTlsThroughProxy(ClientAndService):
    TLS = True
    PROXY = True

    def test_1_a_job_arrives_byte_for_byte_through_the_proxys_tunnel(self):
        data = job_bytes(70000)
        before = set(self.printouts())
        job_id = self.submit(data)
        self.wait_printed(job_id)
        self.assertEqual(self.new_printouts(before, 1), [data])
        self.assertIn(f"CONNECT 127.0.0.1:{self.port} HTTP/1.1", http_proxy.log(self.proxy_folder))

    def test_2_a_refused_tunnel_is_reported_with_the_proxys_status_and_the_service_gets_nothing(self):
        cls = type(self)
        http_proxy.stop(cls.proxy)
        # Tunnels to another port only: tinyproxy answers 403.
        cls.proxy, _ = http_proxy.start(cls.proxy_folder, cls.proxy_port, connect_ports=[443])
        cls.stop_service()
        cls.start_service()
        wait_for(lambda: "Proxy refused the tunnel: HTTP/1.1 403 Access violation" in self.events(),
                 "the client to report the refusal")
        state = self.state()
        self.assertEqual(state["connections"] - self.own_connections, 0)
        self.assertEqual(sum(state["requests"].values()), 0)


class EndToEndHeldQuery(ClientAndService):
    """A client that polls once a day and lets the service hold its query,
    over TLS through the proxy's tunnel, on its kept connection."""
    TLS = True
    PROXY = True
    POLL = "86400"
    LONG_POLL = "300"

    # With a poll a day, a job that prints at all came with the held query;
    # how soon it comes is measured by tools/bench.sh latency.
    def test_a_job_submitted_during_the_held_query_prints_with_it(self):
        wait_for(lambda: self.state()["held"] == 1, "the client's query to be held")
        data = job_bytes(10000)
        before = set(self.printouts())
        job_id = self.submit(data)
        self.wait_printed(job_id, 10)
        self.assertEqual(self.new_printouts(before, 1), [data])
        # After a printed job the next query comes at once, and is held.
        def held_again():
            state = self.state()
            return state["held"] == 1 and state["requests"]["qryspool"] == 2
        wait_for(held_again, "the next query", 10)


if __name__ == "__main__":
    unittest.main()
