"""The hub's polling protocol, spoken to over HTTP/1.1 with http.client and
with raw sockets that send exactly the bytes the client sends."""

import os
import random
import socket
import ssl
import subprocess
import time
import unittest

from hubtest import (CERTIFICATES, CLIENT_HEAD, HUB, PREFIXES, ROOT, RawClient, ServiceTest,
                     complement, spooldata)


class ServicePathTest(ServiceTest):
    def test_only_the_chosen_prefix_answers(self):
        for chosen in (1, 2, 3):
            with self.subTest(path=chosen):
                client = self.client(self.start("--path", str(chosen)))
                for number, prefix in enumerate(PREFIXES, start=1):
                    response = client.post(prefix.encode() + b"ping", b"")
                    if number == chosen:
                        self.assertEqual((response.status, response.body), (200, b"OK"))
                    else:
                        self.assertOneLineError(response, 404)

    def test_unknown_targets_answer_404_on_the_same_connection(self):
        client = self.client()
        for path in (b"", b"jobs/x", PREFIXES[0].encode() + b"print",
                     PREFIXES[0].encode() + b"PING", PREFIXES[0].encode()[:-5] + b"fn=ping"):
            with self.subTest(path=path):
                self.assertOneLineError(client.post(path, b""), 404)
        self.assertEqual(client.call("ping").status, 200)
        self.assertEqual(self.http("GET", "/nothing")[0], 404)


class RegistrationTest(ServiceTest):
    def test_reply_is_ok_and_a_positive_32_bit_token(self):
        token = self.register(self.client())
        self.assertTrue(0 < token < 2 ** 31)

    def test_token_is_stable_per_computer_and_the_list_is_replaced(self):
        client = self.client()
        first = self.register(client, printers=((b"A", 0), (b"B", 1)))
        again = self.register(client, printers=((b"C", 1),), user=b"OTHER")
        other = self.register(client, cpu=b"PC02")
        self.assertEqual(first, again)
        self.assertNotEqual(first, other)
        computer = [c for c in self.state()["computers"] if c["name"] == "PC01"][0]
        self.assertEqual(computer["user"], "OTHER")
        self.assertEqual(computer["printers"], [{"name": "C", "hidden": True}])
        self.assertEqual(computer["registrations"], 2)

    def test_token_survives_a_restart(self):
        token = self.register(self.client())
        self.queue(b"data")
        self.restart()
        client = self.client()
        self.assertTrue(self.query(client, token).body.startswith(b"SPOOL\r\n"))
        self.assertEqual(self.register(client), token)

    def test_names_are_stored_as_the_client_meant_them(self):
        # Printer names arrive escaped; computer and user names arrive raw.
        self.register(self.client(), cpu=b"O'Neil & Co", user=b"J\xd6RG", printers=(
            (b"R&amp;D Printer", 1), (b"&lt;Q&apos;s&gt; &quot;x&quot; &amp;amp;", 0),
            (b"B\xfcro \x80", 0)))
        (computer,) = self.state()["computers"]
        self.assertEqual(computer["name"], "O'Neil & Co")
        self.assertEqual(computer["user"], "J\xd6RG")
        self.assertEqual(computer["printers"], [
            {"name": "R&D Printer", "hidden": True},
            {"name": "<Q's> \"x\" &amp;", "hidden": False},
            {"name": "B\xfcro \x80", "hidden": False}])

    def test_a_computer_without_printers_registers(self):
        self.register(self.client(), printers=())
        self.assertEqual(self.state()["computers"][0]["printers"], [])


class QueryTest(ServiceTest):
    def test_unknown_token_is_refused(self):
        client = self.client()
        self.register(client)
        for token in (-1, 0, 12345):
            self.assertOneLineError(self.query(client, token), 403)

    def test_empty_queue_reply_does_not_begin_with_spool(self):
        client = self.client()
        token = self.register(client)
        self.queue(b"for someone else", computer=b"PC02")
        response = self.query(client, token)
        self.assertEqual((response.status, response.body), (200, b"EMPTY"))

    def test_oldest_job_is_offered_as_six_lines(self):
        client = self.client()
        token = self.register(client)
        first = self.queue(b"x" * 512, computer=b"pc01")  # computer names ignore case
        self.queue(b"later")
        response = self.query(client, token)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.body, b"SPOOL\r\njob%d.spl\r\n512\r\nReport\r\nOffice Laser\r\n%d"
                         % (first, first))

    def test_text_fields_are_escaped_with_the_five_entities(self):
        client = self.client()
        token = self.register(client)
        job = self.queue(b"1234", printer=b"B\xfcro & Lager", name=b"R&D <draft> 'v2' \"final\"",
                         file_name=b"it's & co.spl")
        self.assertEqual(self.query(client, token).body,
                         b"SPOOL\r\nit&apos;s &amp; co.spl\r\n4\r\n"
                         b"R&amp;D &lt;draft&gt; &apos;v2&apos; &quot;final&quot;\r\n"
                         b"B\xfcro &amp; Lager\r\n%d" % job)


class SpoolDataTest(ServiceTest):
    def setUp(self):
        super().setUp()
        self.data = random.Random(7).randbytes(10000)
        self.file_name = b"it's & co.spl"
        self.queue(self.data, file_name=self.file_name)
        self.client_ = self.client()

    def block(self, offset, blocksize=4096, cipher=b"0123456789abcdef"):
        return self.client_.call("spooldata", spooldata(self.file_name, offset, blocksize, cipher))

    def test_blocks_come_complemented_at_each_offset(self):
        for offset, length in ((0, 4096), (4096, 4096), (8192, 1808)):
            with self.subTest(offset=offset):
                response = self.block(offset)
                self.assertEqual(response.status, 200)
                self.assertEqual(response.body, complement(self.data[offset:offset + length]))
        job = self.state()["jobs"][0]
        self.assertEqual((job["blocks_served"], job["state"]), (3, "queued"))

    def test_block_length_is_the_smaller_of_blocksize_and_4096(self):
        self.assertEqual(self.block(10, blocksize=100).body, complement(self.data[10:110]))
        self.assertEqual(self.block(4000).body, complement(self.data[4000:8096]))
        self.assertEqual(self.block(9999).body, complement(self.data[9999:]))
        self.assertEqual(len(self.block(0, blocksize=65536).body), 4096)

    def test_offsets_outside_the_file_are_refused(self):
        for offset in (10000, 10001, 1 << 40, -1):
            with self.subTest(offset=offset):
                self.assertOneLineError(self.block(offset), 416)

    def test_unknown_file_and_empty_block_size(self):
        self.file_name = b"it's & co"
        self.assertOneLineError(self.block(0), 404)
        self.file_name = b"it's & co.spl"
        self.assertOneLineError(self.block(0, blocksize=0), 400)

    def test_cipher_may_hold_apostrophes_and_is_recorded(self):
        self.assertEqual(self.block(0, cipher=b"a' b&c").status, 200)
        self.assertEqual(self.state()["jobs"][0]["cipher"], "a' b&c")


class PrintedTest(ServiceTest):
    def test_job_stays_waiting_until_printed_names_it(self):
        client = self.client()
        token = self.register(client)
        job = self.queue(b"abc")
        second = self.queue(b"def")
        # A job handed out is held for the query that got it: the next query
        # (another client under the same name) gets the next job, then none.
        self.assertTrue(self.query(client, token).body.endswith(b"\r\n%d" % job))
        self.assertTrue(self.query(client, token).body.endswith(b"\r\n%d" % second))
        self.assertEqual(self.query(client, token).body, b"EMPTY")
        response = client.call("printed", b"<printed id='%d'/>" % job)
        self.assertEqual((response.status, response.body), (200, b"OK"))
        self.assertOneLineError(client.call("printed", b"<printed id='%d'/>" % job), 404)
        self.assertOneLineError(client.call("spooldata", spooldata(b"job%d.spl" % job, 0)), 404)
        states = {j["id"]: (j["state"], j["acks"], j["attempts"]) for j in self.state()["jobs"]}
        self.assertEqual(states, {job: ("printed", 2, 1), second: ("sent", 0, 1)})

    def test_unknown_job_ids(self):
        client = self.client()
        for job_id in (b"999", b"abc", b"", b"1'"):
            with self.subTest(job_id=job_id):
                self.assertOneLineError(client.call("printed", b"<printed id='%s'/>" % job_id), 404)


class RestartTest(ServiceTest):
    def test_job_survives_a_restart_mid_download(self):
        data = random.Random(3).randbytes(9000)
        token = self.register(self.client())
        job = self.queue(data)
        self.assertEqual(self.client().call("spooldata", spooldata(b"job%d.spl" % job, 0)).body,
                         complement(data[:4096]))
        self.restart()
        client = self.client()
        self.assertTrue(self.query(client, token).body.endswith(b"\r\n%d" % job))
        self.assertEqual(client.call("spooldata", spooldata(b"job%d.spl" % job, 4096)).body,
                         complement(data[4096:8192]))


class SubmitTest(ServiceTest):
    def submit(self, *arguments, data=None):
        return subprocess.run([*HUB, "submit", *arguments, "--db", self.db],
                              input=data, capture_output=True, cwd=ROOT)

    def test_command_line_submit_reaches_the_running_service(self):
        path = os.path.join(self.directory, "page.prn")
        with open(path, "wb") as out:
            out.write(b"\x1b%-12345X")
        result = self.submit(path, "--computer", "PC01", "--printer", "Büro", "--name", "Brief")
        self.assertEqual(result.returncode, 0, result.stderr)
        job = int(result.stdout)
        client = self.client()
        # Texts are written in the client's code page, cp1252 by default.
        self.assertEqual(self.query(client, self.register(client)).body,
                         b"SPOOL\r\njob%d.spl\r\n9\r\nBrief\r\nB\xfcro\r\n%d" % (job, job))

    def test_command_line_reads_standard_input_and_refuses_bad_names(self):
        result = self.submit("-", "--computer", "PC01", "--printer", "P", "--name", "N", data=b"xy")
        self.assertEqual(result.returncode, 0, result.stderr)
        for printer in ("", " lead", "tab\there", "x" * 256):
            with self.subTest(printer=printer):
                result = self.submit("-", "--computer", "PC01", "--printer", printer, data=b"")
                self.assertEqual(result.returncode, 1)
                self.assertIn(b"printer", result.stderr)
        self.assertEqual(len(self.state()["jobs"]), 1)

    def test_http_submit_takes_percent_encoded_bytes(self):
        status, body, _ = self.http("POST", "/jobs?computer=PC01&printer=B%FCro&name=a%26b", b"")
        self.assertEqual(status, 201)
        job = self.state()["jobs"][0]
        self.assertEqual((job["id"], job["printer"], job["name"], job["size"]),
                         (int(body), "B\xfcro", "a&b", 0))

    def test_http_submit_errors(self):
        self.assertEqual(self.http("POST", "/jobs?computer=PC01&printer=P", b"x")[0], 400)
        self.queue(b"x", file_name=b"same.spl")
        status, body, _ = self.http("POST", "/jobs?computer=PC01&printer=P&name=N&file=same.spl", b"")
        self.assertEqual((status, body), (409, b"Spool file name already queued"))


class MalformedDocumentTest(ServiceTest):
    CASES = (
        ("printlist", b""),
        ("printlist", b"garbage"),
        ("printlist", b"<list cpu='PC01' user='U'>\r\n <printer name='P' hide='0'/>"),
        ("printlist", b"<list cpu='PC01' user='U'>\r\n</list>\r\n"),
        ("printlist", b"<list cpu='PC01' user='U'>\n</list>"),
        ("printlist", b"<list cpu='' user='U'>\r\n</list>"),
        ("printlist", b"<list cpu='PC01' user='U'>\r\n <printer name='P' hide='2'/>\r\n</list>"),
        ("printlist", b"<list cpu='PC01' user='U'>\r\n <printer name='R&D' hide='0'/>\r\n</list>"),
        ("printlist", b"<list cpu='PC01' user='U'>\r\n<printer name='P' hide='0'/>\r\n</list>"),
        ("qryspool", b"<qryspool cputok='x'/>"),
        ("qryspool", b"<qryspool/>"),
        ("spooldata", b"<spooldata file='f' offset='0' blocksize='4096' />"),
        ("spooldata", b"<spooldata file='f' offset='a' blocksize='4096' encode='c' />"),
        ("printed", b"<printed/>"),
    )

    def test_documents_answer_400_and_keep_the_connection(self):
        client = self.client()
        for function, body in self.CASES:
            with self.subTest(function=function, body=body):
                self.assertOneLineError(client.call(function, body), 400)
        self.assertEqual(client.call("ping").status, 200)
        self.assertEqual(self.state()["computers"], [])

    def test_broken_http_is_answered_then_closed(self):
        for request, status in ((b"NONSENSE\r\n\r\n", 400),
                                (b"POST /jobs HTTP/1.1\r\nHost: x\r\n\r\n", 411),
                                (b"POST /jobs HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400)):
            with self.subTest(request=request):
                client = self.client()
                client.send(request)
                response = client.read_response()
                self.assertOneLineError(response, status)
                self.assertEqual(response.headers.get("connection"), "close")
                self.assertTrue(client.closed_by_peer())


class KeepAliveTest(ServiceTest):
    def test_a_1_mib_job_travels_in_256_pipelined_blocks_on_one_connection(self):
        data = random.Random(1).randbytes(1 << 20)
        job = self.queue(data)
        connections_before = self.state()["connections"]
        client = self.client()
        token = self.register(client)
        self.assertTrue(self.query(client, token).body.startswith(b"SPOOL"))
        started = time.monotonic()
        # All 256 requests at once, as the client sends them with 256 blocks
        # in flight: the answers come in order.
        client.send(b"".join(CLIENT_HEAD % (client.prefix + b"spooldata", len(body)) + body for body in (
            spooldata(b"job%d.spl" % job, offset) for offset in range(0, len(data), 4096))))
        received = bytearray()
        for _ in range(256):
            response = client.read_response()
            self.assertEqual(response.status, 200)
            received += response.body
        elapsed = time.monotonic() - started
        self.assertEqual(complement(received), data)
        self.assertEqual(client.call("printed", b"<printed id='%d'/>" % job).status, 200)
        state = self.state()
        # The client's connection plus the state request itself.
        self.assertEqual(state["connections"] - connections_before, 2)
        self.assertEqual(state["jobs"][0]["blocks_served"], 256)
        self.assertLess(elapsed, 10, "256 blocks should take well under a second")


class ChunkedTest(ServiceTest):
    options = ("--chunked", "--chunk-size", "1000")

    def test_service_replies_are_chunked(self):
        data = random.Random(5).randbytes(5000)
        job = self.queue(data)
        client = self.client()
        token = self.register(client)
        query = self.query(client, token)
        self.assertEqual(query.chunks, [len(query.body)])
        block = client.call("spooldata", spooldata(b"job%d.spl" % job, 0))
        self.assertEqual(block.chunks, [1000, 1000, 1000, 1000, 96])
        self.assertEqual(block.body, complement(data[:4096]))
        missing = client.post(b"", b"")
        self.assertEqual((missing.status, missing.chunks), (404, [9]))
        self.assertEqual(client.call("ping").body, b"OK")

    def test_submit_state_and_status_page_keep_content_length(self):
        for method, target, body in (("POST", "/jobs?computer=PC01&printer=P&name=N", b"x"),
                                     ("POST", "/jobs?computer=PC01", b"x"),
                                     ("GET", "/api/state", None), ("GET", "/", None)):
            with self.subTest(method=method, target=target):
                _, _, response = self.http(method, target, body)
                self.assertIsNotNone(response.getheader("Content-Length"))
                self.assertIsNone(response.getheader("Transfer-Encoding"))


def trusting_client(ca):
    context = ssl.create_default_context(cafile=str(CERTIFICATES / ca))
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    return context


class TlsTest(ServiceTest):
    options = ("--tls-cert", str(CERTIFICATES / "server.pem"),
               "--tls-key", str(CERTIFICATES / "server.key"))
    tls = trusting_client("ca.pem")

    def test_a_failed_handshake_is_logged_and_the_service_goes_on(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            RawClient(self.service.port, tls=trusting_client("untrusted-ca.pem"))
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as plain:
            plain.sendall(CLIENT_HEAD % (PREFIXES[0].encode() + b"ping", 0))
            plain.recv(100)
        self.assertEqual(self.client().call("ping").body, b"OK")
        lines = self.stopped_log()
        self.assertEqual(len(lines), 3, lines)
        self.assertRegex(lines[0], rb"TLS connection failed: \w+")
        self.assertRegex(lines[1], rb"TLS connection failed: \w+")
        self.assertRegex(lines[2], rb"func=ping HTTP/1.1\" 200 2 ping$")


class LogTest(ServiceTest):
    def test_one_line_per_request(self):
        client = self.client()
        client.call("ping")
        client.call("qryspool", b"<qryspool cputok='5'/>")
        client.post(b"nowhere", b"")
        lines = self.stopped_log()
        self.assertEqual(len(lines), 3, lines)
        self.assertRegex(lines[0], rb'"POST /\S+func=ping HTTP/1.1" 200 2 ping$')
        self.assertRegex(lines[1], rb'" 403 22 Unknown computer token$')
        self.assertRegex(lines[2], rb'"POST /nowhere HTTP/1.1" 404 9 Not found$')


if __name__ == "__main__":
    unittest.main()
