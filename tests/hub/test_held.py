"""Held queries (`wait`): ended by a job from any source, or by the time."""

import subprocess
import time

from hubtest import CLIENT_HEAD, HUB, ROOT, ServiceTest, postgres_database


class HeldQueries(ServiceTest):
    def hold(self, client, token, wait):
        """Sends a held query; its reply is read later."""
        body = b"<qryspool cputok='%d' wait='%d'/>" % (token, wait)
        client.send(CLIENT_HEAD % (client.prefix + b"qryspool", len(body)) + body)

    def wait_held(self, count, service=None):
        """Bounded: until the hub holds `count` queries."""
        deadline = time.monotonic() + 10
        while self.state(service)["held"] != count:
            self.assertLess(time.monotonic(), deadline, "the hub holds no query")
            time.sleep(0.02)

    def submit_command(self, data):
        subprocess.run([*HUB, "submit", "-", "--computer", "PC01", "--printer", "Office Laser",
                        "--db", self.db], input=data, check=True, capture_output=True, cwd=ROOT)


class HeldQueryTest(HeldQueries):
    def test_a_held_query_is_ended_by_a_job_from_each_source(self):
        client = self.client()
        token = self.register(client)
        for source, queue in (("POST /jobs", self.queue), ("hub submit", self.submit_command)):
            with self.subTest(source=source):
                self.hold(client, token, 300)
                self.wait_held(1)
                queue(b"late")
                # The client's read time-out (10 s) is far below the 300 s hold.
                reply = client.read_response()
                self.assertEqual((reply.status, reply.body[:6]), (200, b"SPOOL\r"))
                job_id = int(reply.body.rsplit(b"\r\n", 1)[1])
                self.assertEqual(client.call("printed", b"<printed id='%d'/>" % job_id).status, 200)
                self.wait_held(0)

    def test_a_query_its_client_left_ends_and_the_next_query_gets_the_job(self):
        left = self.client()
        token = self.register(left)
        self.hold(left, token, 300)
        self.wait_held(1)
        left.close()
        self.wait_held(0)
        client = self.client()
        self.hold(client, token, 300)
        self.wait_held(1)
        self.queue(b"for the one still there")
        reply = client.read_response()
        self.assertEqual((reply.status, reply.body[:6]), (200, b"SPOOL\r"))

    def test_the_time_up_answers_empty_and_the_connection_goes_on(self):
        client = self.client()
        token = self.register(client)
        self.queue(b"for another computer", computer=b"PC02")
        self.hold(client, token, 1)
        self.assertEqual(client.read_response().body, b"EMPTY")
        self.assertEqual(client.call("ping").body, b"OK")

    def test_an_unknown_token_is_refused_at_once(self):
        client = self.client()
        self.hold(client, 12345, 300)
        self.assertOneLineError(client.read_response(), 403)


class TwoInstancesTest(HeldQueries):
    """Two hubs on one PostgreSQL database."""

    def database(self):
        return postgres_database()

    def test_a_query_held_on_one_instance_is_ended_by_a_job_queued_on_the_other(self):
        other = self.start()
        client = self.client()
        token = self.register(client)
        self.hold(client, token, 300)
        self.wait_held(1)
        self.queue(b"from the other", service=other)
        reply = client.read_response()
        self.assertEqual((reply.status, reply.body[:6]), (200, b"SPOOL\r"))
        # Handed out once: the other instance has nothing for the computer.
        self.assertEqual(self.query(self.client(other), token).body, b"EMPTY")
