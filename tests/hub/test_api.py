"""The web applications' API and enrollment, against the hub in a subprocess."""

import json
import os
import re
import subprocess
import urllib.parse

from hubtest import HUB, ROOT, ServiceTest, spooldata

JOB_LIMIT = 1000


class ApiTest(ServiceTest):
    settings = ""

    def start(self, *options):
        config = os.path.join(self.directory, "hub.conf")
        with open(config, "w") as out:
            out.write("job_limit = %d\n%s" % (JOB_LIMIT, self.settings))
        return super().start("--config", config, *options)

    def command(self, *arguments):
        result = subprocess.run([*HUB, *arguments, "--db", self.db], capture_output=True, text=True, cwd=ROOT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def call(self, method, target, body=None, token=None):
        """(status, JSON document) of an API call."""
        headers = {"Authorization": "Bearer " + token} if token else {}
        status, answer, response = self.http(method, target, body, headers=headers)
        self.assertEqual(response.getheader("Content-Type"), "application/json; charset=utf-8")
        document = json.loads(answer)
        if status >= 400:
            self.assertEqual(list(document), ["error"])
            self.assertIsInstance(document["error"], str)
        return status, document

    def job_target(self, computer="PC01", printer="Büro", name="Report"):
        return "/api/jobs?" + urllib.parse.urlencode({"computer": computer, "printer": printer, "name": name})


class AnswersTest(ApiTest):
    def test_answers_for_tokens_names_and_sizes(self):
        token = self.command("token", "add", "shop")
        self.register(self.client(), printers=((b"B\xfcro", 0),))
        printer_target = "/api/computers/PC01/printers/B%C3%BCro"
        rows = (
            # (method, target, body, token, status, answer or its error)
            ("POST", self.job_target(), b"x", None, 401, None),
            ("POST", self.job_target(), b"x", "wrong", 401, None),
            ("GET", "/api/computers", None, token[:-1], 401, None),
            ("POST", self.job_target(computer="PC09"), b"x", token, 404, "Unknown computer"),
            ("POST", self.job_target(printer="Buro"), b"x", token, 404, "Unknown printer"),
            ("POST", "/api/jobs?computer=PC01&printer=B%C3%BCro", b"x", token, 400, "Missing parameter: name"),
            ("POST", self.job_target(printer="Büro ☃"), b"x", token, 400, "printer cannot be written in cp1252"),
            ("POST", self.job_target(), b"x" * (JOB_LIMIT + 1), token, 413,
             "Request body larger than %d bytes" % JOB_LIMIT),
            ("GET", "/api/jobs/999", None, token, 404, "Unknown job"),
            ("GET", "/api/jobs/abc", None, token, 404, "Not found"),
            ("DELETE", "/api/jobs/999", None, token, 404, "Unknown job"),
            # The printer's language, and the options and documents it takes.
            ("POST", self.job_target() + "&copies=2", b"x", token, 400,
             "this printer takes its jobs raw: options need the printer's language set"),
            ("PUT", printer_target, b'{"language": "zpl"}', token, 400,
             "zpl needs dpi, a whole number from 100 to 1200"),
            ("PUT", "/api/computers/PC01/printers/Buro", b'{"language": "pdf"}', token, 404, "Unknown printer"),
            ("PUT", printer_target, b'{"language": "postscript"}', token, 200,
             {"computer": "PC01", "printer": "Büro", "language": "postscript"}),
            ("POST", self.job_target() + "&duplex=both", b"%!PS", token, 400, "duplex must be none, long or short"),
            ("POST", self.job_target(), b"\x89PNG\r\n\x1a\n", token, 422,
             "the PNG image is damaged: it lacks its header or its pixels"),
            ("POST", self.job_target(), b"x" * JOB_LIMIT, token, 201, {"id": 1, "state": "queued"}),
        )
        for method, target, body, bearer, status, expected in rows:
            with self.subTest(method=method, target=target, token=bearer and bearer[:4]):
                got_status, document = self.call(method, target, body, bearer)
                self.assertEqual(got_status, status, document)
                if isinstance(expected, str):
                    self.assertEqual(document["error"], expected)
                elif expected is not None:
                    self.assertEqual(document, expected)
        # Only the last row queued a job.
        self.assertEqual([job["id"] for job in self.state()["jobs"]], [1])
        self.command("token", "remove", "shop")
        self.assertEqual(self.call("GET", "/api/jobs/1", token=token)[0], 401)

    def test_computers_with_their_printers_and_whether_online(self):
        token = self.command("token", "add", "shop")
        self.register(self.client(), printers=((b"B\xfcro", 1), (b"Plain", 0)))
        self.command("computer", "add", "PC02")  # enrolled, never polled
        status, document = self.call("GET", "/api/computers", token=token)
        self.assertEqual(status, 200)
        online = {computer["name"]: computer["online"] for computer in document["computers"]}
        self.assertEqual(online, {"PC01": False, "PC02": False})
        self.query(self.client(), self.register(self.client(), printers=((b"B\xfcro", 1), (b"Plain", 0))))
        (pc01,) = [c for c in self.call("GET", "/api/computers", token=token)[1]["computers"]
                   if c["name"] == "PC01"]
        self.assertEqual((pc01["user"], pc01["printers"], pc01["online"]),
                         ("JSMITH", [{"name": "Büro", "hidden": True, "language": "raw"},
                                     {"name": "Plain", "hidden": False, "language": "raw"}], True))
        self.assertRegex(pc01["last_poll"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")


class JobStatesTest(ApiTest):
    def test_a_job_queued_sent_printed_and_one_cancelled(self):
        token = self.command("token", "add", "shop")
        client = self.client()
        computer_token = self.register(client, printers=((b"B\xfcro", 0),))
        job = self.call("POST", self.job_target(), b"page", token)[1]["id"]
        state = lambda: {key: value for key, value in self.call("GET", "/api/jobs/%d" % job, token=token)[1].items()
                         if key in ("state", "attempts", "printed")}
        self.assertEqual(state(), {"state": "queued", "attempts": 0, "printed": None})
        self.assertTrue(self.query(client, computer_token).body.startswith(b"SPOOL"))
        self.assertEqual(state(), {"state": "sent", "attempts": 1, "printed": None})
        client.call("printed", b"<printed id='%d'/>" % job)
        self.assertEqual(state()["state"], "printed")
        self.assertEqual(self.call("DELETE", "/api/jobs/%d" % job, token=token),
                         (409, {"error": "Job already printed"}))

        cancelled = self.call("POST", self.job_target(name="Draft"), b"page", token)[1]["id"]
        self.assertEqual(self.call("DELETE", "/api/jobs/%d" % cancelled, token=token),
                         (200, {"id": cancelled, "state": "cancelled"}))
        self.assertEqual(self.query(client, computer_token).body, b"EMPTY")
        self.assertOneLineError(client.call("spooldata", spooldata(b"job%d.spl" % cancelled, 0)), 404)
        document = self.call("GET", "/api/jobs/%d" % cancelled, token=token)[1]
        self.assertEqual((document["name"], document["printer"], document["size"], document["state"]),
                         ("Draft", "Büro", 4, "cancelled"))


class EnrollmentTest(ApiTest):
    settings = "enrollment = yes\n"

    def test_only_enrolled_computers_register_and_only_their_secret_gets_job_bytes(self):
        secret = self.command("computer", "add", "PC01")
        self.assertRegex(secret, r"^[a-z0-9]{20}$")
        client = self.client()
        self.assertOneLineError(client.call("printlist", b"<list cpu='PC02' user='U'>\r\n</list>"), 403)
        token = self.register(client)
        job = self.queue(b"secret page")
        self.assertTrue(self.query(client, token).body.startswith(b"SPOOL"))
        for cipher, status in ((b"k2vd9qa3m1t74p6n", 404), (secret.encode() + b"x", 404), (b"", 404),
                               (secret.encode(), 200)):
            with self.subTest(cipher=cipher):
                self.assertEqual(client.call("spooldata", spooldata(b"job%d.spl" % job, 0, cipher=cipher)).status,
                                 status)
        # The state document shows ciphers: with enrollment on it needs a token.
        self.assertEqual(self.http("GET", "/api/state")[0], 401)
        refusals = [line for line in self.stopped_log() if re.search(rb"not enrolled|not its computer's secret", line)]
        self.assertEqual(len(refusals), 4, refusals)
