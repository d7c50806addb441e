"""Private PostgreSQL and nginx for the hub's tests and benchmarks.

Both are throw-away: each lives in a temporary folder of its own, listens on a
free port of 127.0.0.1 and is stopped and removed again, so nothing of the
machine's own PostgreSQL or nginx is touched. When the caller is root they run
as an unprivileged user (`postgres`, else `nobody`), as PostgreSQL insists.
Debian's `postgresql` (15) and `nginx` packages provide the programs.

    with PostgresCluster() as cluster:          # initdb, start, database "hub"
        cluster.dsn                             # postgresql://hub@127.0.0.1:PORT/hub
        cluster.create_database("other")        # another empty one, same form
        cluster.psql("SELECT 1")                # its output, for checks
        with NginxFront([port1, port2]) as front:
            front.port                          # requests go round the instances

A held query lasts up to 300 s, so nginx waits that long for an answer. A
request that cannot reach an instance (refused, reset before an answer) goes
to the next one; an answer already begun is never sent twice.
`HubInstance(folder[, dsn])` runs one `hub serve` on a port of its own (over
a SQLite file in folder unless given a PostgreSQL DSN), and can kill it and
start it again on that port; `free_port()` picks a port. Run with
/usr/bin/python3.
"""

import os
import pwd
import resource
import shutil
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = "/usr/bin/python3"
PG_BIN = "/usr/lib/postgresql/15/bin"
NGINX = "/usr/sbin/nginx"
START_DEADLINE = 30  # seconds


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on just now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _service_user():
    """The user the services run as: None for the caller itself when not root."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            pass
    raise RuntimeError("no unprivileged user to run the services as")


def _private_folder(prefix):
    """A new temporary folder that the service user owns."""
    folder = tempfile.mkdtemp(prefix=prefix)
    user = _service_user()
    if user is not None:
        os.chown(folder, user.pw_uid, user.pw_gid)
    return folder


def _run_as(user):
    """subprocess arguments that run a program as the service user."""
    if user is None:
        return {}
    return {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": [],
            "env": {"PATH": "/usr/bin:/bin", "HOME": "/", "LC_ALL": "C.UTF-8"}}


def _wait_listening(port, process, log):
    """Returns once the port accepts; raises with the log when the process ends first."""
    deadline = time.monotonic() + START_DEADLINE
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            break
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    with open(log, errors="replace") as text:
        raise RuntimeError(f"service on port {port} did not start:\n{text.read()}")


class _Started:
    """`with` starts the service and stops it, also when its start fails
    part-way (a half-made cluster or folder goes too)."""

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()
        return False


class PostgresCluster(_Started):
    """A PostgreSQL 15 cluster in a temporary folder, with superuser and database `hub`.

    `settings` are extra server settings (name: value), e.g. {"fsync": "off"}
    for tests that need no durability."""

    def __init__(self, settings=None):
        self.user = _service_user()
        self.folder = _private_folder("hub-pg-")
        self.data = os.path.join(self.folder, "data")
        self.log = os.path.join(self.folder, "server.log")
        self.socket_dir = self.folder
        self.port = free_port()
        self.settings = {"listen_addresses": "127.0.0.1", "port": self.port,
                         "unix_socket_directories": self.socket_dir, "max_connections": 200,
                         **(settings or {})}
        self.dsn = self.database_dsn("hub")

    def database_dsn(self, name):
        return f"postgresql://hub@127.0.0.1:{self.port}/{name}"

    def _run(self, program, *args):
        return subprocess.run([os.path.join(PG_BIN, program), *args], cwd=self.folder, check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              **_run_as(self.user)).stdout

    def start(self):
        self._run("initdb", "-D", self.data, "-U", "hub", "--auth=trust", "--encoding=UTF8",
                  "--locale=C", "--no-sync")
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            for name, value in self.settings.items():
                conf.write(f"{name} = '{value}'\n")
        try:
            self._run("pg_ctl", "start", "-w", "-t", str(START_DEADLINE), "-D", self.data, "-l", self.log)
        except subprocess.CalledProcessError as error:
            with open(self.log, errors="replace") as text:
                raise RuntimeError(f"PostgreSQL did not start: {error.stdout}\n{text.read()}") from None
        self.create_database("hub")
        return self

    def create_database(self, name):
        """Creates an empty database and returns its DSN."""
        self._run("createdb", "-h", self.socket_dir, "-p", str(self.port), "-U", "hub", name)
        return self.database_dsn(name)

    def psql(self, sql, database="hub"):
        """Runs SQL through psql; its unaligned output without headers."""
        return self._run("psql", "-h", self.socket_dir, "-p", str(self.port), "-U", "hub", "-d", database,
                         "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-c", sql)

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            # Immediate: nothing of a throw-away cluster needs to be written out.
            self._run("pg_ctl", "stop", "-w", "-m", "immediate", "-D", self.data)
        shutil.rmtree(self.folder, ignore_errors=True)


HUB_CONFIG = """\
listen = 127.0.0.1:{port}
database = {database}
"""

NGINX_CONF = """\
worker_processes {workers};
worker_rlimit_nofile {files};
pid {folder}/nginx.pid;
error_log {folder}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
    access_log off;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    upstream hub {{
{servers}
        keepalive 256;
    }}
    server {{
        listen 127.0.0.1:{port} backlog=4096;
        client_max_body_size {body_limit};
        keepalive_requests 100000;
        location / {{
            proxy_pass http://hub;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $remote_addr;
            proxy_read_timeout 330s;
            proxy_request_buffering off;
            proxy_buffering off;
            proxy_next_upstream error timeout;
        }}
    }}
}}
"""


class NginxFront(_Started):
    """nginx on a free port in front of hub instances on the given ports of 127.0.0.1."""

    def __init__(self, upstream_ports, body_limit="300m"):
        self.user = _service_user()
        self.folder = _private_folder("hub-nginx-")
        self.port = free_port()
        self.log = os.path.join(self.folder, "error.log")
        # Each worker may take every connection itself (the kernel hands them
        # out unevenly), and each costs it two descriptors, its own and its
        # upstream's; both count as connections.
        files = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        files = 65536 if files == resource.RLIM_INFINITY else files
        self.conf = os.path.join(self.folder, "nginx.conf")
        with open(self.conf, "w") as conf:
            conf.write(NGINX_CONF.format(
                workers=2, files=files, connections=files, folder=self.folder, port=self.port,
                body_limit=body_limit,
                servers="\n".join(f"        server 127.0.0.1:{port} max_fails=1 fail_timeout=2s;"
                                  for port in upstream_ports)))
        self.process = None

    def start(self):
        # In the foreground, as a child whose end is seen; -e keeps the start-up
        # messages away from the machine's own log.
        self.process = subprocess.Popen([NGINX, "-p", self.folder, "-e", self.log, "-c", self.conf,
                                         "-g", "daemon off;"], cwd=self.folder, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        **_run_as(self.user))
        _wait_listening(self.port, self.process, self.log)
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=START_DEADLINE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class HubInstance:
    """One hub instance (`python3 -m hub serve`) on a free port of 127.0.0.1,
    over a SQLite file in folder or, given a DSN, a PostgreSQL database.
    The instance can be killed and started again on the same port."""

    def __init__(self, folder, database=None, port=None):
        self.folder = folder
        self.port = port or free_port()
        self.database = database or os.path.join(folder, "hub.sqlite")
        self.config = os.path.join(folder, f"hub-{self.port}.conf")
        self.log = os.path.join(folder, f"hub-{self.port}.log")
        with open(self.config, "w") as conf:
            conf.write(HUB_CONFIG.format(port=self.port, database=self.database))
        self.process = None

    def command(self, *args):
        """Runs a hub command on this instance's settings; its output."""
        return subprocess.run([PYTHON, "-m", "hub", *args, "--config", self.config], cwd=ROOT, check=True,
                              stdout=subprocess.PIPE, text=True).stdout

    def start(self):
        with open(self.log, "ab") as log:
            # Every held query is an open connection: as many as the hard limit allows.
            self.process = subprocess.Popen([PYTHON, "-m", "hub", "serve", "--config", self.config], cwd=ROOT,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                                            preexec_fn=raise_file_limit)
        _wait_listening(self.port, self.process, self.log)
        return self

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=START_DEADLINE)


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
