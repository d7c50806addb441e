"""webprintd end to end: the reference service hands jobs to the real daemon,
which prints them raw through this machine's CUPS into queues whose jobs land
as files; every printout is compared byte for byte. Then the daemon in bad
weather: CUPS unreachable, stopped, a server that does not accept. The last
class installs the Debian package, runs the daemon as its own user, as the
unit would, and goes through the package's life cycle.

Run by tools/test.sh as root (it adds CUPS queues, stops and continues cupsd
and installs the package), under the CUPS lock:
  flock /tmp/webprint-cups.lock python3 tests/linux/test_webprintd.py -v
  (WEBPRINTD=path/to/webprintd picks the program)
Every wait has a deadline. The daemon tests run in their numbered order."""

import glob
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from cups_watch import jobs  # noqa: E402
from e2e_common import job_bytes, wait_for  # noqa: E402
import http_proxy  # noqa: E402
DAEMON = os.environ.get("WEBPRINTD", os.path.join(ROOT, "build", "native-asan", "app", "linux", "webprintd"))
# The reference service: the hub, run from this checkout with Debian's Python.
HUB = ["/usr/bin/python3", "-m", "hub"]
COMPUTER = "WEBPRINTD-E2E"
QUEUE = "webprintd-test-raw"
HIDDEN_QUEUE = "webprintd-test-hidden"
# cupsd runs backends as lp, which must be able to write here.
PRINTED = "/var/spool/webprintd-test"
RUNNABLE = os.geteuid() == 0 and os.path.exists(DAEMON)


def environment(**variables):
    """This environment without the machine's proxy variables, with the given variables."""
    return {**{k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}, **variables}


def read_text(path):
    with open(path, errors="replace") as f:
        return f.read()


def start_daemon(config, log, prefix=(), **variables):
    """The daemon on config, its standard error appended to log; prefix runs it
    (as another user, in a namespace of its own)."""
    with open(log, "ab") as output:
        return subprocess.Popen([*prefix, DAEMON, "--config", config], stderr=output, env=environment(**variables))


def end(daemon):
    """Stops the daemon if it still runs."""
    if daemon.poll() is None:
        daemon.terminate()
        daemon.wait(timeout=30)


def stop_timed(daemon):
    """SIGTERM; (exit status, seconds until the daemon ended)."""
    started = time.monotonic()
    daemon.send_signal(signal.SIGTERM)
    status = daemon.wait(timeout=30)
    return status, time.monotonic() - started


def connecting(pid):
    """Whether the process has a TCP connect on its way (SYN sent, no answer)."""
    files = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    with open("/proc/net/tcp") as table:
        return any(row[3] == "02" and f"socket:[{row[9]}]" in files for row in map(str.split, table.readlines()[1:]))


def new_cups_jobs(before):
    """{CUPS job id: state} of the queue's jobs that were not there before."""
    return {int(job): row[0] for job, row in jobs(QUEUE).items() if job not in before}


class Service:
    """The reference service on a fixed port once chosen, over one database."""

    def __init__(self, work):
        self.db = os.path.join(work, "service.sqlite")
        self.log = os.path.join(work, "service.log")
        self.port = 0
        self.start()

    def start(self):
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen([*HUB, "serve", "--port", str(self.port), "--db", self.db],
                                            stdout=subprocess.PIPE, stderr=log, text=True, cwd=ROOT)
        line = self.process.stdout.readline()
        assert line.startswith("listening on"), line
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        self.process.wait(timeout=30)
        self.process.stdout.close()

    def post(self, path, data):
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}/{path}", data=data, method="POST")
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.read().decode().strip()

    def state(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/api/state", timeout=5) as answer:
            return json.load(answer)

    def job(self, job_id):
        return next(job for job in self.state()["jobs"] if str(job["id"]) == str(job_id))

    def submit(self, data, printer=QUEUE, name=b"webprintd job", computer=COMPUTER):
        # Texts travel as percent-encoded bytes of the service's code page.
        return self.post("jobs?" + urllib.parse.urlencode({"computer": computer, "printer": printer, "name": name}),
                         data)

    def submit_downloading(self, size):
        """A job whose download has begun and will not end soon."""
        job_id = self.submit(job_bytes(size))
        wait_for(lambda: self.job(job_id)["blocks_served"] >= 20, "the download to start")
        return job_id

    def acknowledge(self, job_id):
        """Takes a job out of the way as the client would."""
        self.post(f"{self.state()['prefix']}printed", f"<printed id='{job_id}'/>".encode())

    def wait_printed(self, job_id):
        wait_for(lambda: self.job(job_id)["state"] == "printed", f"job {job_id} to be printed")


def make_queues():
    for queue in (QUEUE, HIDDEN_QUEUE):
        subprocess.run(["bash", "tools/cups-queue.sh", queue, os.path.join(PRINTED, queue)], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)


def printouts():
    """{CUPS job id: path} of the queue's whole printouts."""
    folder = os.path.join(PRINTED, QUEUE)
    return {int(name[4:-4]): os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(".prn")}


def new_printouts(before):
    """Waits for printouts that were not there before; their bytes, oldest first."""
    def read(path):
        with open(path, "rb") as f:
            return f.read()
    return [read(printouts()[job]) for job in wait_for(lambda: sorted(set(printouts()) - before), "the printout")]


@unittest.skipUnless(RUNNABLE, "needs root and a built webprintd")
class Daemon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        make_queues()
        cls.work = tempfile.mkdtemp(prefix="webprintd-e2e-")
        cls.service = Service(cls.work)
        cls.config = os.path.join(cls.work, "webprint.conf")
        cls.write_config()
        cls.log = os.path.join(cls.work, "daemon.log")
        cls.daemon = start_daemon(cls.config, cls.log)

    @classmethod
    def tearDownClass(cls):
        if cls.daemon.poll() is None:
            cls.daemon.terminate()
            cls.daemon.wait(timeout=30)
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def write_config(cls, path=None, computer=COMPUTER, poll=1, port=None):
        with open(path or cls.config, "w") as f:
            f.write(f"# written by the test\nUrl = 127.0.0.1\nPort = {port or cls.service.port}\n"
                    f"PollFreq = {poll}\nComputerName = {computer}\n[printers]\n{HIDDEN_QUEUE} = 1\n")

    def folder_of_its_own(self, name):
        """A settings file's path in a folder of its own: the daemon locks the
        folder, and this class's daemon holds the work folder."""
        folder = os.path.join(self.work, name)
        os.makedirs(folder, exist_ok=True)
        return os.path.join(folder, "webprint.conf")

    def service_requests(self):
        """The service's log lines of the five functions, oldest first."""
        return [line for line in read_text(self.service.log).splitlines() if "func=" in line]

    def log_lines(self):
        return read_text(self.log).splitlines()

    def hold_service_while(self, action):
        """A stopped service keeps the connection open and answers nothing:
        the daemon is left waiting for the next block while action runs."""
        self.service.process.send_signal(signal.SIGSTOP)
        try:
            time.sleep(0.3)
            action()
        finally:
            self.service.process.send_signal(signal.SIGCONT)

    def print_on_a_daemon_of_its_own(self, computer, port, data, settings="", **variables):
        """Starts a daemon polling port as computer, on a settings file of its
        own with these settings added, stopped when the test ends; has it print
        data and checks the printout. (The job's id, the daemon's log.)"""
        config = self.folder_of_its_own(computer)
        with open(config, "w") as f:
            f.write(f"Url = 127.0.0.1\nPort = {port}\nPollFreq = 1\nComputerName = {computer}\n{settings}")
        log = os.path.join(self.work, f"{computer}.log")
        daemon = start_daemon(config, log, **variables)
        self.addCleanup(daemon.wait, 30)
        self.addCleanup(daemon.terminate)
        before = set(printouts())
        job_id = self.service.submit(data, computer=computer)
        self.service.wait_printed(job_id)
        self.assertEqual(new_printouts(before), [data])
        return job_id, log

    def test_1_a_job_arrives_whole_and_is_acknowledged_once(self):
        data = job_bytes(4097)
        before = set(printouts())
        # Names come in the service's code page, Latin-1 here.
        job_id = self.service.submit(data, name=b"Caf\xe9 receipt")
        self.service.wait_printed(job_id)
        self.assertEqual(new_printouts(before), [data])
        self.assertEqual(self.service.job(job_id)["acks"], 1)

    def test_2_printers_are_registered_with_their_hide_flags_and_the_user(self):
        computer = next(c for c in self.service.state()["computers"] if c["name"] == COMPUTER)
        printers = {p["name"]: p["hidden"] for p in computer["printers"]}
        self.assertEqual((printers[HIDDEN_QUEUE], printers[QUEUE], computer["user"]), (True, False, "ROOT"))

    def test_3_a_job_for_a_missing_or_hidden_printer_fails_and_stays_queued(self):
        for printer in ("webprintd-no-such-printer", HIDDEN_QUEUE):
            with self.subTest(printer=printer):
                job_id = self.service.submit(job_bytes(100), printer=printer)
                failure = f'<3>OpenPrinter refused: "{printer}" is not an exposed printer'
                wait_for(lambda: any(line.startswith(failure) for line in self.log_lines()), "the failure in the log")
                job = self.service.job(job_id)
                self.assertEqual((job["state"], job["acks"], job["blocks_served"]), ("sent", 0, 0))
                self.service.acknowledge(job_id)

    def test_4_an_empty_job_is_acknowledged_without_a_cups_job(self):
        before_printouts, before_jobs = set(printouts()), set(jobs(QUEUE))
        job_id = self.service.submit(b"")
        self.service.wait_printed(job_id)
        self.assertEqual(self.service.job(job_id)["acks"], 1)
        self.assertEqual((new_cups_jobs(before_jobs), set(printouts())), ({}, before_printouts))

    def test_5_a_job_cut_by_the_service_is_cancelled_in_cups_then_printed_whole_once(self):
        before_printouts, before_jobs = set(printouts()), set(jobs(QUEUE))
        job_id = self.service.submit_downloading(8 << 20)
        self.service.stop(signal.SIGKILL)
        self.service.start()
        self.service.wait_printed(job_id)
        self.assertEqual(self.service.job(job_id)["acks"], 1)
        self.assertEqual(new_printouts(before_printouts), [job_bytes(8 << 20)])
        states = new_cups_jobs(before_jobs)
        self.assertEqual(sorted(states.values()), ["canceled", "completed"])
        # The cancelled job never reached the backend.
        self.assertEqual(set(printouts()) - before_printouts, {job for job, s in states.items() if s == "completed"})

    def test_6_a_bad_settings_file_is_refused_with_its_line_at_start_and_on_reload(self):
        bad = os.path.join(self.work, "bad.conf")
        with open(bad, "w") as f:
            f.write("Url = 127.0.0.1\n\nPort = 70x0\n")
        result = subprocess.run([DAEMON, "--config", bad, "--once"], capture_output=True, text=True, timeout=30,
                                env=environment())
        self.assertEqual((result.returncode, result.stderr),
                         (78, f"<3>{bad}:3: Port = 70x0 is not a number from 1 to 65535.\n"))
        # A SIGHUP in the middle of a job finds the bad file, reports it and
        # keeps the settings in force; the job goes on undisturbed.
        shutil.copy(bad, self.config)
        errors_before = [line for line in self.log_lines() if line.startswith("<3>")]
        before = set(printouts())
        job_id = self.service.submit_downloading(4 << 20)
        self.hold_service_while(lambda: self.daemon.send_signal(signal.SIGHUP))
        self.service.wait_printed(job_id)
        self.assertEqual(new_printouts(before), [job_bytes(4 << 20)])
        self.assertEqual(self.service.job(job_id)["acks"], 1)
        # Taken up once the poll has ended.
        wait_for(lambda: any("settings in force stay" in line for line in self.log_lines()), "the refusal")
        errors = [line for line in self.log_lines() if line.startswith("<3>")]
        self.assertEqual(errors[len(errors_before):],
                         [f"<3>{self.config}:3: Port = 70x0 is not a number from 1 to 65535; the settings in force "
                          "stay"])
        self.write_config()
        self.daemon.send_signal(signal.SIGHUP)

    def test_7_a_reload_that_renames_the_computer_registers_it_before_the_next_query(self):
        renamed = COMPUTER + "-RENAMED"
        # A long period: every poll that follows comes from a reload.
        self.write_config(poll=600)
        queries = len([line for line in self.service_requests() if "func=qryspool" in line])
        self.daemon.send_signal(signal.SIGHUP)
        wait_for(lambda: len([line for line in self.service_requests() if "func=qryspool" in line]) > queries,
                 "the poll right after the reload")
        # A poll that was due or running at that reload may still follow: the
        # rename must meet an idle daemon (no request for half a second).
        counts = []
        def idle():
            counts.append(len(self.service_requests()))
            return len(counts) > 5 and counts[-1] == counts[-6]
        wait_for(idle, "the daemon to go idle")
        # Left for the old name: after the rename it must not print here.
        job_id = self.service.submit(job_bytes(10))
        seen = len(self.service_requests())
        self.write_config(computer=renamed, poll=600)
        reloaded = time.monotonic()
        self.daemon.send_signal(signal.SIGHUP)
        after = wait_for(lambda: self.service_requests()[seen:][:2] if len(self.service_requests()) >= seen + 2
                         else None, "the first two requests after the reload")
        self.assertLess(time.monotonic() - reloaded, 1.0)
        self.assertIn("func=printlist", after[0])
        self.assertIn(f"computer {renamed} ", after[0])
        self.assertIn("func=qryspool", after[1])
        job = self.service.job(job_id)
        self.assertEqual((job["state"], job["blocks_served"]), ("queued", 0))
        self.service.acknowledge(job_id)
        self.write_config()
        self.daemon.send_signal(signal.SIGHUP)
        wait_for(lambda: any(f"computer {COMPUTER} " in line for line in self.service_requests()[seen + 2:]),
                 "the registration under the first name again")

    def test_8_cups_down_registers_no_printers_and_one_file_serves_one_daemon_whatever_an_editor_does(self):
        computer = COMPUTER + "-NOCUPS"
        config = self.folder_of_its_own("nocups")
        self.write_config(path=config, computer=computer)
        result = subprocess.run([DAEMON, "--config", config, "--once"], capture_output=True, text=True, timeout=30,
                                env=environment(CUPS_SERVER="/nonexistent/cups.sock"))
        errors = [line for line in result.stderr.splitlines() if line.startswith("<3>")]
        self.assertEqual((result.returncode, len(errors)), (1, 1), result.stderr)
        self.assertTrue(errors[0].startswith("<3>Printer list not read: registration skipped (CUPS at "
                                             "/nonexistent/cups.sock cannot be reached: "), errors[0])
        self.assertNotIn(computer, [c["name"] for c in self.service.state()["computers"]])
        # The same file cannot serve two daemons at once, not even after an
        # editor saved it by renaming a new file over it; the first daemon's
        # reload of that file keeps its lock and goes on.
        shutil.copy(self.config, self.config + ".new")
        os.rename(self.config + ".new", self.config)
        second = subprocess.run([DAEMON, "--config", self.config], capture_output=True, text=True, timeout=5,
                                env=environment())
        self.assertEqual((second.returncode, second.stderr),
                         (75, f"<3>another webprintd already runs with a settings file in {self.work}\n"))
        reloads = len([line for line in self.log_lines() if "Settings read again" in line])
        self.daemon.send_signal(signal.SIGHUP)
        wait_for(lambda: len([line for line in self.log_lines() if "Settings read again" in line]) > reloads,
                 "the reload")
        self.assertIsNone(self.daemon.poll())

    def test_9_sigterm_during_a_block_wait_ends_at_once_with_nothing_acknowledged(self):
        before_printouts, before_jobs = set(printouts()), set(jobs(QUEUE))
        job_id = self.service.submit_downloading(8 << 20)
        def stop_daemon():
            started = time.monotonic()
            self.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(self.daemon.wait(timeout=10), 0)
            self.assertLess(time.monotonic() - started, 1.0)
        self.hold_service_while(stop_daemon)
        job = self.service.job(job_id)
        self.assertEqual((job["state"], job["acks"]), ("sent", 0))
        self.assertEqual(self.log_lines()[-2:], [
            "<4>stopped during a job: nothing of it prints, and it is not acknowledged (the service hands it out "
            "again)", "<6>webprintd stopped"])
        self.assertEqual(list(new_cups_jobs(before_jobs).values()), ["canceled"])
        self.assertEqual(set(printouts()), before_printouts)
        self.service.acknowledge(job_id)

    # Unnumbered: it runs a daemon of its own, on a settings file of its own.
    def test_through_a_long_link_with_blocks_in_flight_a_job_arrives_whole_once(self):
        relay = subprocess.Popen(["python3", os.path.join(ROOT, "tools", "wan_relay.py"), "serve", "--rtt", "50",
                                  "--to", str(self.service.port)], stdout=subprocess.PIPE, text=True)
        self.addCleanup(relay.stdout.close)
        self.addCleanup(relay.wait, 10)
        self.addCleanup(relay.terminate)
        listening = relay.stdout.readline()
        self.assertTrue(listening.startswith("listening "), listening)
        # About 75 blocks: several windows of requests in flight.
        job_id, log = self.print_on_a_daemon_of_its_own(COMPUTER + "-FAR", int(listening.split()[1]),
                                                         job_bytes(300_000), "BlocksInFlight = 16\n")
        self.assertEqual(self.service.job(job_id)["acks"], 1)
        self.assertEqual([line for line in read_text(log).splitlines() if line.startswith("<3>")], [])

    # Unnumbered: it runs daemons of its own, on a settings folder of its own.
    def test_a_daemon_whose_folder_another_took_stops_at_its_reload_and_any_reader_of_its_settings_runs_it(self):
        base = tempfile.mkdtemp(prefix="webprintd-folder-")
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o755)
        folder = os.path.join(base, "settings")
        config = os.path.join(folder, "webprint.conf")

        def settings_folder():
            os.makedirs(folder, mode=0o755)
            with open(config, "w") as f:
                f.write(f"Url = 127.0.0.1\nPort = {self.service.port}\nPollFreq = 1\n"
                        f"ComputerName = {COMPUTER}-FOLDER\n")
            os.chmod(config, 0o644)

        def started(log):
            wait_for(lambda: os.path.exists(log) and "started" in read_text(log), "the daemon's start")

        settings_folder()
        first_log = os.path.join(base, "first.log")
        first = start_daemon(config, first_log)
        self.addCleanup(end, first)
        started(first_log)
        # The whole folder replaced: the second daemon, as nobody, takes the new one.
        os.rename(folder, folder + ".old")
        settings_folder()
        second_log = os.path.join(base, "second.log")
        second = start_daemon(config, second_log, prefix=["setpriv", "--reuid=nobody", "--regid=nogroup",
                                                          "--clear-groups"])
        self.addCleanup(end, second)
        started(second_log)
        first.send_signal(signal.SIGHUP)
        self.assertEqual(first.wait(timeout=10), 75)
        self.assertIn(f"<3>another webprintd already runs with a settings file in {folder}; stopping",
                      read_text(first_log).splitlines())
        self.assertEqual(stop_timed(second)[0], 0, read_text(second_log))

    # Unnumbered: it runs a daemon of its own, on a settings file of its own.
    # How soon the job comes is measured by tools/bench.sh latency.
    def test_a_job_submitted_during_a_held_query_prints_with_it(self):
        computer = COMPUTER + "-HELD"
        config = self.folder_of_its_own(computer)
        # A poll a day: the job can only come with the held query.
        with open(config, "w") as f:
            f.write(f"Url = 127.0.0.1\nPort = {self.service.port}\nPollFreq = 86400\nComputerName = {computer}\n"
                    "LongPoll = 300\n")
        log = os.path.join(self.work, f"{computer}.log")
        daemon = start_daemon(config, log)
        self.addCleanup(daemon.wait, 30)
        self.addCleanup(daemon.terminate)
        wait_for(lambda: self.service.state()["held"] == 1, "the daemon's query to be held")
        data = job_bytes(10000)
        before = set(printouts())
        job_id = self.service.submit(data, computer=computer)
        wait_for(lambda: self.service.job(job_id)["state"] == "printed", "the job to be printed", 10)
        self.assertEqual(new_printouts(before), [data])
        self.assertIn("every 86400 s, each query held up to 300 s as " + computer, read_text(log))

    # Unnumbered: it runs daemons of its own, on settings files of its own.
    def test_through_the_environments_proxy_a_job_arrives_whole_and_a_refused_tunnel_reaches_nothing(self):
        proxy_folder = os.path.join(self.work, "proxy")
        proxy, proxy_port = http_proxy.start(proxy_folder)
        self.addCleanup(http_proxy.stop, proxy)
        computer = COMPUTER + "-PROXIED"
        self.print_on_a_daemon_of_its_own(computer, self.service.port, job_bytes(10000),
                                          http_proxy=f"http://127.0.0.1:{proxy_port}/", no_proxy="localhost")
        self.assertIn(f"POST http://127.0.0.1:{self.service.port}/", http_proxy.log(proxy_folder))
        # A host no_proxy lists is reached directly: this proxy is not there.
        direct_config = self.folder_of_its_own("direct")
        self.write_config(path=direct_config, computer=computer + "-DIRECT")
        direct = subprocess.run([DAEMON, "--config", direct_config, "--once"], capture_output=True, timeout=30,
                                env=environment(http_proxy="127.0.0.1:9", no_proxy="localhost, 127.0.0.1"))
        self.assertEqual(direct.returncode, 0, direct.stderr)

        # A proxy that asks for a password opens no tunnel: TLS never starts.
        asking, asking_port = http_proxy.start(os.path.join(self.work, "asking"), basic_auth="user:secret")
        self.addCleanup(http_proxy.stop, asking)
        with socket.create_server(("127.0.0.1", 0)) as server:
            server.setblocking(False)
            tunnel_config = self.folder_of_its_own("tunnel")
            with open(tunnel_config, "w") as f:
                f.write(f"Url = 127.0.0.1\nPort = {server.getsockname()[1]}\nComputerName = {computer}\nUseTls = 1\n")
            result = subprocess.run([DAEMON, "--config", tunnel_config, "--once"], capture_output=True, text=True,
                                    timeout=30, env=environment(HTTPS_PROXY=f"127.0.0.1:{asking_port}"))
            self.assertIn("<3>Proxy refused the tunnel: HTTP/1.0 407 Proxy Authentication Required\n", result.stderr)
            self.assertNotEqual(result.returncode, 0)
            with self.assertRaises(BlockingIOError, msg="nothing reached the server"):
                server.accept()


@unittest.skipUnless(RUNNABLE, "needs root and a built webprintd")
class Stop(unittest.TestCase):
    """SIGTERM ends the daemon within two seconds wherever it waits, logs no
    failure for what it cut short and leaves the job unacknowledged."""

    @classmethod
    def setUpClass(cls):
        make_queues()
        cls.work = tempfile.mkdtemp(prefix="webprintd-stop-")
        cls.service = Service(cls.work)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def start(self, port, url="127.0.0.1", prefix=()):
        config = os.path.join(self.work, "webprint.conf")
        with open(config, "w") as f:
            f.write(f"Url = {url}\nPort = {port}\nPollFreq = 1\nComputerName = {COMPUTER}-STOP\n")
        self.log = os.path.join(self.work, f"daemon-{self.id()}.log")
        return start_daemon(config, self.log, prefix)

    def assert_stopped_quietly(self, daemon):
        status, seconds = stop_timed(daemon)
        self.assertEqual(status, 0)
        self.assertLess(seconds, 2.0)
        lines = read_text(self.log).splitlines()
        self.assertEqual([line for line in lines if line.startswith("<3>")], [])
        self.assertEqual(lines[-1], "<6>webprintd stopped")
        return lines

    def test_a_connect_to_a_server_whose_backlog_is_full(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        # The backlog holds one connection; later ones get no answer at all.
        fillers = [socket.create_connection(listener.getsockname())]
        try:
            daemon = self.start(listener.getsockname()[1])
            wait_for(lambda: connecting(daemon.pid), "the daemon's connect", seconds=10)
            self.assert_stopped_quietly(daemon)
        finally:
            for peer in fillers + [listener]:
                peer.close()

    def test_a_name_lookup_that_gets_no_answer(self):
        # A resolver of its own for this daemon alone, which swallows every query.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as resolver:
            resolver.bind(("127.45.67.89", 53))
            resolver.settimeout(10)
            resolv_conf = os.path.join(self.work, "resolv.conf")
            with open(resolv_conf, "w") as f:
                f.write("nameserver 127.45.67.89\n")
            private_resolver = ["unshare", "--mount", "sh", "-c",
                                'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv_conf]
            daemon = self.start(self.service.port, url="print.webprintd-stop.test", prefix=private_resolver)
            resolver.recvfrom(512)
            self.assert_stopped_quietly(daemon)

    def test_a_job_held_up_by_a_stopped_cupsd(self):
        before_printouts, before_jobs = set(printouts()), set(jobs(QUEUE))
        daemon = self.start(self.service.port)
        cupsd = int(subprocess.run(["pgrep", "-o", "-x", "cupsd"], capture_output=True, text=True,
                                   check=True).stdout)
        job_id = self.service.submit(job_bytes(16 << 20), computer=f"{COMPUTER}-STOP")
        wait_for(lambda: self.service.job(job_id)["blocks_served"] >= 20, "the download to start")
        os.kill(cupsd, signal.SIGSTOP)
        try:
            # Writes to the stopped scheduler fill its socket; then the
            # download stands still.
            def stalled():
                served = self.service.job(job_id)["blocks_served"]
                time.sleep(0.3)
                return self.service.job(job_id)["blocks_served"] == served
            wait_for(stalled, "the daemon to wait on CUPS", seconds=20)
            lines = self.assert_stopped_quietly(daemon)
        finally:
            os.kill(cupsd, signal.SIGCONT)
        self.assertEqual(lines[-2], "<4>stopped during a job: nothing of it prints, and it is not acknowledged "
                                    "(the service hands it out again)")
        job = self.service.job(job_id)
        self.assertEqual((job["state"], job["acks"]), ("sent", 0))
        # The job CUPS holds has no document: it can only be cancelled.
        for job_number in new_cups_jobs(before_jobs):
            subprocess.run(["cancel", f"{QUEUE}-{job_number}"], capture_output=True)
        self.assertEqual(set(printouts()), before_printouts)
        self.service.acknowledge(job_id)


PACKAGE_USER = "webprint"


def owner_and_mode(path):
    status = os.stat(path)
    return pwd.getpwuid(status.st_uid).pw_name, grp.getgrgid(status.st_gid).gr_name, status.st_mode & 0o7777


@unittest.skipUnless(RUNNABLE and shutil.which("dpkg-deb"), "needs root, a built webprintd and dpkg-deb")
class Package(unittest.TestCase):
    """Installs the package built from the daemon, checks what it put on the
    machine, runs the daemon as the unit would, enables it, upgrades it and
    purges it."""

    @classmethod
    def setUpClass(cls):
        make_queues()
        cls.work = tempfile.mkdtemp(prefix="webprintd-package-")
        built = subprocess.run([os.path.join(ROOT, "installer", "debian", "build-deb.sh"), DAEMON, "1.0.0", cls.work],
                               check=True, capture_output=True, text=True).stdout
        cls.built = built.split()[-1]
        # A webprint group without the user (an administrator's, or left from
        # before): the package's user joins it.
        subprocess.run(["userdel", PACKAGE_USER], capture_output=True)
        subprocess.run(["groupdel", PACKAGE_USER], capture_output=True)
        subprocess.run(["groupadd", "--system", PACKAGE_USER], check=True)
        cls.install = subprocess.run(["dpkg", "-i", cls.built], capture_output=True, text=True)
        cls.service = Service(cls.work)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        subprocess.run(["dpkg", "--purge", "webprintd"], capture_output=True)
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_1_the_package_installs_a_verified_unit_and_its_user_and_enables_nothing(self):
        def output(*command):
            return subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(self.install.returncode, 0, self.install.stderr)
        self.assertIn("set Url in /etc/webprint/webprint.conf", self.install.stdout)
        self.assertRegex(output("getent", "passwd", PACKAGE_USER).stdout, r":/nonexistent:/usr/sbin/nologin$")
        self.assertEqual(pwd.getpwnam(PACKAGE_USER).pw_gid, grp.getgrnam(PACKAGE_USER).gr_gid)
        # The settings and their folder, which the daemon locks: root and its group alone.
        self.assertEqual([owner_and_mode(path) for path in ("/etc/webprint", "/etc/webprint/webprint.conf")],
                         [("root", PACKAGE_USER, 0o750), ("root", PACKAGE_USER, 0o640)])
        self.assertIn("/etc/webprint/webprint.conf", output("dpkg-query", "-W", "-f=${Conffiles}", "webprintd").stdout)
        self.assertFalse(os.path.exists("/etc/systemd/system/multi-user.target.wants/webprintd.service"))
        verify = output("systemd-analyze", "verify", "/lib/systemd/system/webprintd.service")
        self.assertEqual((verify.returncode, verify.stderr), (0, ""))

    def test_2_the_daemon_prints_as_its_own_user(self):
        with open("/etc/webprint/webprint.conf") as f:
            settings = f.read()
        with open("/etc/webprint/webprint.conf", "w") as f:
            f.write(re.sub(r"(?m)^Url =.*$", f"Url = 127.0.0.1\nPort = {self.service.port}\nPollFreq = 1",
                           settings))
        data = job_bytes(70000)
        before = set(printouts())
        # With no ComputerName set, the daemon registers under the host name.
        job_id = self.service.submit(data, computer=socket.gethostname().split(".")[0].upper())
        # As the unit starts it: the package's user and group, no new privileges.
        daemon = subprocess.Popen(["setpriv", f"--reuid={PACKAGE_USER}", f"--regid={PACKAGE_USER}", "--init-groups",
                                   "--no-new-privs", "/usr/sbin/webprintd"], stderr=subprocess.PIPE, text=True,
                                  env={"PATH": "/usr/bin:/bin"})
        try:
            self.service.wait_printed(job_id)
        finally:
            daemon.terminate()
            errors = daemon.communicate(timeout=10)[1]
        self.assertEqual(daemon.returncode, 0, errors)
        self.assertEqual(new_printouts(before), [data])
        self.assertIn(f", user {PACKAGE_USER.upper()}", errors.splitlines()[0])

    def test_3_enabled_upgraded_and_purged_it_leaves_nothing_it_installed_or_made(self):
        link = "/etc/systemd/system/multi-user.target.wants/webprintd.service"
        subprocess.run(["systemctl", "enable", "webprintd"], check=True, capture_output=True)
        # The administrator's owner and mode survive an upgrade.
        os.chown("/etc/webprint/webprint.conf", 0, 0)
        os.chmod("/etc/webprint/webprint.conf", 0o600)
        again = subprocess.run(["dpkg", "-i", self.built], capture_output=True, text=True)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertTrue(os.path.islink(link), "an upgrade keeps the service enabled")
        self.assertEqual(owner_and_mode("/etc/webprint/webprint.conf"), ("root", "root", 0o600))

        # What the package installed, and what its scripts and the enabling made.
        made = [path for path in subprocess.run(["dpkg", "-L", "webprintd"], capture_output=True, text=True,
                                                check=True).stdout.splitlines()
                if not os.path.isdir(path) or "webprint" in os.path.basename(path)]
        made += [link, "/var/lib/systemd/deb-systemd-helper-enabled/webprintd.service.dsh-also",
                 "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/webprintd.service"]
        made += glob.glob("/var/lib/dpkg/info/webprintd.*")
        self.assertEqual([path for path in made if not os.path.lexists(path)], [])

        # A settings file the administrator deleted stays deleted, and the
        # package configures.
        os.remove("/etc/webprint/webprint.conf")
        again = subprocess.run(["dpkg", "-i", self.built], capture_output=True, text=True)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", "webprintd"],
                                        capture_output=True, text=True).stdout, "installed")
        self.assertFalse(os.path.exists("/etc/webprint/webprint.conf"))

        purge = subprocess.run(["dpkg", "--purge", "webprintd"], capture_output=True, text=True)
        self.assertEqual(purge.returncode, 0, purge.stderr)
        self.assertEqual([path for path in made if os.path.lexists(path)], [])
        # The user stays, as files it owned may remain.
        self.assertEqual(subprocess.run(["getent", "passwd", PACKAGE_USER], capture_output=True).returncode, 0)


HUB_USER = "webprint-hub"
HUB_CONFIG = "/etc/webprint-hub/hub.conf"


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg-deb"), "needs root and dpkg-deb")
class HubPackage(unittest.TestCase):
    """Installs the print hub's package, serves the API as the unit would, and
    purges it again."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="webprint-hub-package-")
        built = subprocess.run([os.path.join(ROOT, "installer", "debian", "build-hub-deb.sh"), "1.0.0", cls.work],
                               check=True, capture_output=True, text=True).stdout
        cls.built = built.split()[-1]
        cls.install = subprocess.run(["dpkg", "-i", cls.built], capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["dpkg", "--purge", "webprint-hub"], capture_output=True)
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_1_the_package_installs_a_verified_unit_and_its_user_and_enables_nothing(self):
        self.assertEqual(self.install.returncode, 0, self.install.stderr)
        self.assertIn("check /etc/webprint-hub/hub.conf", self.install.stdout)
        self.assertRegex(subprocess.run(["getent", "passwd", HUB_USER], capture_output=True, text=True).stdout,
                         r":/nonexistent:/usr/sbin/nologin$")
        self.assertIn(HUB_CONFIG, subprocess.run(["dpkg-query", "-W", "-f=${Conffiles}", "webprint-hub"],
                                                 capture_output=True, text=True).stdout)
        self.assertFalse(os.path.exists("/etc/systemd/system/multi-user.target.wants/webprint-hub.service"))
        verify = subprocess.run(["systemd-analyze", "verify", "/lib/systemd/system/webprint-hub.service"],
                                capture_output=True, text=True)
        self.assertEqual((verify.returncode, verify.stderr), (0, ""))

    def test_2_the_hub_serves_as_its_own_user_from_its_state_folder(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with open(HUB_CONFIG) as f:
            settings = f.read()
        with open(HUB_CONFIG, "w") as f:
            f.write(settings.replace("listen = 127.0.0.1:7000", f"listen = 127.0.0.1:{port}"))
        # What the unit's StateDirectory= would make.
        os.makedirs("/var/lib/webprint-hub", mode=0o750, exist_ok=True)
        shutil.chown("/var/lib/webprint-hub", HUB_USER, HUB_USER)
        as_hub = ["setpriv", f"--reuid={HUB_USER}", f"--regid={HUB_USER}", "--init-groups", "--no-new-privs"]
        options = {"cwd": "/var/lib/webprint-hub", "env": {"PATH": "/usr/bin:/bin"}}
        token = subprocess.run([*as_hub, "webprint-hub", "token", "add", "package-test", "--config", HUB_CONFIG],
                               check=True, capture_output=True, text=True, **options).stdout.split()[-1]
        hub = subprocess.Popen([*as_hub, "webprint-hub", "serve", "--config", HUB_CONFIG],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **options)
        try:
            def computers(headers):
                request = urllib.request.Request(f"http://127.0.0.1:{port}/api/computers", headers=headers)
                try:
                    with urllib.request.urlopen(request, timeout=5) as answer:
                        return answer.status
                except urllib.error.HTTPError as error:
                    return error.code
                except OSError:
                    return None
            self.assertEqual(wait_for(lambda: computers({"Authorization": f"Bearer {token}"}), "the hub"), 200)
            self.assertEqual(computers({}), 401)
        finally:
            hub.terminate()
            errors = hub.communicate(timeout=10)[1]
        self.assertEqual(hub.returncode, 0, errors)

    def test_3_purged_it_leaves_nothing_that_names_it(self):
        purge = subprocess.run(["dpkg", "--purge", "webprint-hub"], capture_output=True, text=True)
        self.assertEqual(purge.returncode, 0, purge.stderr)
        left = subprocess.run(["find", "/etc", "/lib/systemd", "/usr/bin", "/usr/share", "/var/lib", "-name",
                               "*webprint-hub*"], capture_output=True, text=True).stdout
        self.assertEqual(left, "")


if __name__ == "__main__":
    unittest.main()
