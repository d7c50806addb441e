"""The hub's store on a real SQLite file and on a private PostgreSQL cluster:
handouts and job states, two instances on one database, migrations."""

import asyncio
import os
import sqlite3
import tempfile
import unittest

from hubtest import postgres_cluster, postgres_database  # and the checkout on the path
from hub.store import Store, migrations


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


class StoreTest(unittest.IsolatedAsyncioTestCase):
    """Each test runs once per database (subTest names it)."""

    async def databases(self):
        """(label, url) of an empty SQLite file and an empty PostgreSQL database."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        return [("sqlite", os.path.join(folder.name, "hub.sqlite")), ("postgresql", postgres_database())]

    async def asyncSetUp(self):
        # Debug mode would report every psql call of the helpers as slow.
        asyncio.get_running_loop().set_debug(False)

    async def open(self, url, clock=None, version=None):
        store = await Store.open(url, clock or Clock(), version)
        self.addAsyncCleanup(store.close)
        return store


class HandoutTest(StoreTest):
    # (seconds since the job was queued, step, what the step gives, job state after)
    STEPS = (
        (0, "claim", "job", ("sent", 1)),
        (1, "claim", None, ("sent", 1)),        # held for the first query
        (10, "block", "data", ("sent", 1)),     # a block renews the handout...
        (24, "claim", None, ("sent", 1)),       # ...to 15 s after it
        (26, "claim", "job", ("sent", 2)),      # idle 16 s: out again (the first client failed)
        (27, "ack", "sent", ("printed", 2)),
        (50, "claim", None, ("printed", 2)),    # gone for good
        (50, "block", None, ("printed", 2)),
        (51, "ack", "printed", ("printed", 2)),
    )

    async def test_a_job_through_a_failed_handout_and_a_successful_one(self):
        for label, url in await self.databases():
            with self.subTest(database=label):
                clock = Clock()
                store = await self.open(url, clock)
                await store.register("PC01", "USER", [])
                data = bytes(range(256)) * 20
                job_id, key = await store.add_job("PC01", "Laser", "Report", data)
                start = clock.now
                for seconds, step, expected, state in self.STEPS:
                    clock.now = start + seconds
                    if step == "claim":
                        job, _ = await store.claim(key)
                        got = job and "job"
                    elif step == "block":
                        found, block = await store.block("job%d.spl" % job_id, 4096, 4096, "c")
                        got = found and block == data[4096:] and "data"
                    else:
                        got = await store.acknowledge(job_id)
                    job = (await store.state())["jobs"][0]
                    self.assertEqual((got, (job["state"], job["attempts"])), (expected, state),
                                     "at %d s: %s" % (seconds, step))

    async def test_the_next_handout_end_is_told_to_a_held_query(self):
        for label, url in await self.databases():
            with self.subTest(database=label):
                clock = Clock()
                store = await self.open(url, clock)
                _, key = await store.add_job("PC01", "Laser", "Report", b"x")
                await store.claim(key)
                self.assertEqual(await store.claim(key), (None, clock.now + 15))


class TwoInstancesTest(StoreTest):
    async def test_concurrent_claims_hand_a_job_out_once(self):
        url = (await self.databases())[1][1]
        first, second = await self.open(url), await self.open(url)
        _, key = await first.add_job("PC01", "Laser", "Report", b"x")
        claims = await asyncio.gather(*(store.claim(key) for store in (first, second) * 10))
        self.assertEqual(sum(job is not None for job, _ in claims), 1)

    async def test_a_job_queued_on_one_instance_is_heard_on_the_other(self):
        url = (await self.databases())[1][1]
        first, second = await self.open(url), await self.open(url)
        heard, stopping = asyncio.Queue(), asyncio.Event()
        watch = asyncio.ensure_future(second.watch(heard.put_nowait, stopping))
        self.assertIsNone(await asyncio.wait_for(heard.get(), 10))  # listening
        await first.add_job("Pc01", "Laser", "Report", b"x")
        self.assertEqual(await asyncio.wait_for(heard.get(), 10), "pc01")
        # A listener whose connection is lost connects again and has every
        # held query look again (a NOTIFY may have been missed meanwhile).
        postgres_cluster().psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE 'LISTEN%'",
                     url.rsplit("/", 1)[1])
        self.assertIsNone(await asyncio.wait_for(heard.get(), 10))
        await first.add_job("PC02", "Laser", "Report", b"x")
        self.assertEqual(await asyncio.wait_for(heard.get(), 10), "pc02")
        stopping.set()
        await watch


def sqlite_schema(path):
    with sqlite3.connect(path) as db:
        return db.execute("SELECT type, name, sql FROM sqlite_master ORDER BY name").fetchall()


def postgres_schema(dsn):
    database = dsn.rsplit("/", 1)[1]
    return postgres_cluster().psql("SELECT table_name, column_name, data_type, is_nullable, column_default"
                        " FROM information_schema.columns WHERE table_schema = 'public'"
                        " ORDER BY 1, 2", database) + postgres_cluster().psql(
        "SELECT indexdef FROM pg_indexes WHERE schemaname = 'public' ORDER BY 1", database)


class MigrationTest(StoreTest):
    async def test_a_database_upgraded_step_by_step_keeps_its_jobs_and_equals_a_fresh_one(self):
        latest = migrations("sqlite")[-1][0]
        for label, url in await self.databases():
            with self.subTest(database=label):
                fresh = await self.databases()
                fresh_url = fresh[0 if label == "sqlite" else 1][1]
                await self.open(fresh_url)
                for version in range(1, latest + 1):
                    store = await self.open(url, version=version)
                    self.assertEqual(await store.migrate(version), version)
                    if version == 1:
                        await store.add_job("PC01", "Laser", "Report", b"kept")
                schema = sqlite_schema if label == "sqlite" else postgres_schema
                self.assertEqual(schema(url), schema(fresh_url))
                self.assertEqual((await store.state())["jobs"][0]["name"], "Report")

    async def test_sqlite_and_postgresql_build_the_same_tables(self):
        (_, sqlite_path), (_, dsn) = await self.databases()
        await self.open(sqlite_path)
        await self.open(dsn)
        tables = {name for kind, name, _ in sqlite_schema(sqlite_path)
                  if kind == "table" and not name.startswith("sqlite_")}
        postgres_tables = {line.split("|")[0] for line in postgres_schema(dsn).splitlines() if "|" in line}
        self.assertEqual(tables, postgres_tables)


if __name__ == "__main__":
    unittest.main()
