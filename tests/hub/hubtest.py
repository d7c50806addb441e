"""What the hub's tests share: the hub in a subprocess on a free port, and a
raw client that sends exactly the bytes the webprint client sends.

Run the tests with /usr/bin/python3 (the hub needs Debian's aiohttp and
asyncpg): /usr/bin/python3 -m unittest discover -s tests/hub
With HUB_TEST_POSTGRES=1 the hubs of ServiceTest keep their data in a
private PostgreSQL cluster instead of SQLite files.
"""

import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from collections import namedtuple
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))
HUB = ["/usr/bin/python3", "-m", "hub"]
CERTIFICATES = ROOT / "tests" / "support" / "tls"
PREFIXES = (
    ".00010101000000000000/system/rmtprt.aspx?func=",
    ".00010101000000000000/admin/rmtprt.$.aspx?func=",
    ".00010101000000000000/.system/rmtprt.aspx?func=",
)
CLIENT_HEAD = (b"POST /%s HTTP/1.1\r\nContent-Length: %d\r\n"
               b"User-Agent: Tarnwick Jan  9 2014\r\nConnection: Keep-Alive\r\n"
               b"Host: 127.0.0.1\r\nContent-Type: application/xml\r\n\r\n")

_cluster = []


def postgres_cluster():
    """The tests' private PostgreSQL cluster, started at the first call, stopped at exit."""
    import atexit
    import services
    if not _cluster:
        _cluster.append(services.PostgresCluster({"fsync": "off"}).start())
        atexit.register(_cluster[0].stop)
    return _cluster[0]


def postgres_database():
    """The URL of a new empty database in the tests' cluster."""
    cluster = postgres_cluster()
    number = len(cluster.psql("SELECT datname FROM pg_database").split())
    return cluster.create_database("hubtest%d" % number)


Response = namedtuple("Response", "status headers body chunks")


def complement(data):
    return bytes(255 - b for b in data)


def printer_list(cpu, user, printers):
    """The client's printer list document; printer names given already escaped."""
    lines = [b"<list cpu='%s' user='%s'>" % (cpu, user)]
    lines += [b" <printer name='%s' hide='%d'/>" % (name, hide) for name, hide in printers]
    return b"\r\n".join(lines) + b"\r\n</list>"


def spooldata(file_name, offset, blocksize=4096, cipher=b"0123456789abcdef"):
    return b"<spooldata file='%s' offset='%d' blocksize='%d' encode='%s' />" % (
        file_name, offset, blocksize, cipher)


class RawClient:
    """One keep-alive connection that speaks like the client and reads strictly."""

    def __init__(self, port, path_number=1, tls=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        # The head and the body go out as two writes, as the client sends them.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls is not None:
            self.sock = tls.wrap_socket(self.sock, server_hostname="localhost")
        self.prefix = PREFIXES[path_number - 1].encode()
        self.held = b""

    def close(self):
        self.sock.close()

    def call(self, function, body=b""):
        return self.post(self.prefix + function.encode(), body)

    def post(self, path, body):
        self.send(CLIENT_HEAD % (path, len(body)))
        self.send(body)
        return self.read_response()

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("connection closed by the service")
        self.held += data

    def _take(self, count):
        while len(self.held) < count:
            self._fill()
        data, self.held = self.held[:count], self.held[count:]
        return data

    def _take_line(self):
        while b"\r\n" not in self.held:
            self._fill()
        line, self.held = self.held.split(b"\r\n", 1)
        return line

    def read_response(self):
        status_line = self._take_line()
        match = re.fullmatch(rb"HTTP/1\.1 (\d{3}) .*", status_line)
        assert match, status_line
        headers = {}
        while True:
            line = self._take_line()
            if not line:
                break
            name, value = line.split(b":", 1)
            headers[name.decode().lower()] = value.strip().decode("latin-1")
        if headers.get("transfer-encoding") == "chunked":
            assert "content-length" not in headers, headers
            body, chunks = b"", []
            while True:
                size_line = self._take_line()
                assert re.fullmatch(rb"[0-9a-f]+", size_line), size_line
                size = int(size_line, 16)
                if size == 0:
                    assert self._take_line() == b"", "no trailer expected"
                    return Response(int(match.group(1)), headers, body, chunks)
                body += self._take(size)
                chunks.append(size)
                assert self._take(2) == b"\r\n"
        body = self._take(int(headers["content-length"]))
        return Response(int(match.group(1)), headers, body, None)

    def closed_by_peer(self):
        """True when the service has closed the connection."""
        try:
            return self.sock.recv(1) == b""
        except ConnectionError:
            return True


class Service:
    """The hub in a subprocess on a free port, on the given database."""

    def __init__(self, db, log_path, options):
        self.log = open(log_path, "ab")
        self.process = subprocess.Popen(
            [*HUB, "serve", "--port", "0", "--db", db, *options],
            stdout=subprocess.PIPE, stderr=self.log, cwd=ROOT)
        line = self.process.stdout.readline().decode()
        match = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", line)
        if not match:
            self.stop()
            raise AssertionError("service did not start: %r" % line)
        self.port = int(match.group(1))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stdout.close()
        self.log.close()


class ServiceTest(unittest.TestCase):
    options = ()
    tls = None  # the clients' ssl.SSLContext when the service speaks TLS

    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.directory = directory.name
        self.db = self.database()
        self.log_path = os.path.join(self.directory, "service.log")
        self.addCleanup(self.show_log_on_failure)
        self.service = self.start()

    def database(self):
        if os.environ.get("HUB_TEST_POSTGRES"):
            return postgres_database()
        return os.path.join(self.directory, "jobs.sqlite")

    def show_log_on_failure(self):
        result = self._outcome.result
        if any(test is self or getattr(test, "test_case", None) is self
               for test, _ in result.failures + result.errors):
            with open(self.log_path, errors="replace") as log:
                sys.stderr.write("\n--- hub log of %s ---\n%s" % (self.id(), log.read()))

    def start(self, *options):
        service = Service(self.db, self.log_path, self.options + options)
        self.addCleanup(service.stop)
        return service

    def restart(self):
        self.service.stop()
        self.service = self.start()

    def client(self, service=None, path_number=1):
        client = RawClient((service or self.service).port, path_number, self.tls)
        self.addCleanup(client.close)
        return client

    def http(self, method, target, body=None, service=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", (service or self.service).port, timeout=10)
        try:
            connection.request(method, target, body, headers or {})
            response = connection.getresponse()
            return response.status, response.read(), response
        finally:
            connection.close()

    def state(self, service=None):
        status, body, _ = self.http("GET", "/api/state", service=service)
        self.assertEqual(status, 200)
        return json.loads(body)

    def register(self, client, cpu=b"PC01", printers=((b"Office Laser", 0),), user=b"JSMITH"):
        response = client.call("printlist", printer_list(cpu, user, printers))
        self.assertEqual(response.status, 200, response.body)
        match = re.fullmatch(rb"OK\r\n(\d+)", response.body)
        self.assertTrue(match, response.body)
        return int(match.group(1))

    def queue(self, data, computer=b"PC01", printer=b"Office Laser", name=b"Report", file_name=None,
              service=None):
        query = {"computer": computer, "printer": printer, "name": name}
        if file_name is not None:
            query["file"] = file_name
        status, body, _ = self.http("POST", "/jobs?" + urllib.parse.urlencode(query), data, service)
        self.assertEqual(status, 201, body)
        return int(body)

    def query(self, client, token):
        return client.call("qryspool", b"<qryspool cputok='%d'/>" % token)

    def stopped_log(self):
        """Stops the service and returns its log's lines."""
        self.service.stop()
        with open(self.log_path, "rb") as log:
            return log.read().splitlines()

    def assertOneLineError(self, response, status):
        self.assertEqual(response.status, status, response.body)
        self.assertTrue(response.body)
        self.assertNotRegex(response.body, rb"[\r\n]")


