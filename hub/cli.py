"""Commands of the print hub.

  hub serve  [--config FILE] [--host H] [--port P] [--db DATABASE] [--path 1|2|3]
             [--chunked [--chunk-size N]] [--tls-cert FILE --tls-key FILE]
  hub submit FILE --computer C --printer P [--name N] [--file-name F]
             [--db DATABASE] [--encoding CP]
  hub token add|remove NAME [--db DATABASE | --config FILE]
  hub computer add NAME [--db DATABASE | --config FILE]

DATABASE is an SQLite file (hub.sqlite by default) or a postgresql:// URL
shared by several instances.

`serve` prints "listening on HOST:PORT" on stdout once it accepts connections
(`--port 0` picks a free port) and logs one line per request on stderr.
With --tls-cert and --tls-key (PEM files) it speaks the same HTTP inside TLS,
1.2 or later; the client must trust the certificate's issuer.
`token add` prints a new bearer token for the API (kept only as a digest),
`token remove` withdraws it. `computer add` enrolls a computer and prints
its secret, which goes into the client's `Cipher`: with `enrollment = yes`
only enrolled computers register, and job data goes only to block requests
carrying the secret.
`submit` queues FILE ("-" for standard input) for computer C and prints the job
id; it writes into the database directly, also while the hub runs, whose held
query for C ends within 50 ms (SQLite) or at once (PostgreSQL).

Other endpoints: GET / (the web page), GET /api/state (JSON), and
POST /jobs?computer=C&printer=P&name=N[&file=F] with the job's bytes as body
-> 201 "<job id>". Query values are percent-encoded bytes of the client's ANSI
code page. In the JSON every text is latin-1 decoded: one character per byte.
"""

import argparse
import asyncio
import os
import sqlite3
import sys

from . import protocol
from .config import DEFAULT_DATABASE, JOB_LIMIT, Config, ConfigError, read_config
from .protocol import ServiceError
from .store import Conflict, Store, Unavailable

__doc__ = __doc__ + "\n" + protocol.__doc__.split("\n\n", 2)[2]


def serve(args):
    from .server import serve as run
    try:
        values = read_config(args.config) if args.config else {}
    except (OSError, ConfigError) as error:
        print("serve: %s" % error, file=sys.stderr)
        return 78
    for name in ("host", "port", "database", "path", "tls_cert", "tls_key"):
        if getattr(args, name) is not None:
            values[name] = getattr(args, name)
    if args.chunked:
        values["chunk_size"] = args.chunk_size
    config = Config(**values)
    if (config.tls_cert is None) != (config.tls_key is None):
        print("serve: --tls-cert and --tls-key go together", file=sys.stderr)
        return 78
    try:
        return run(config)
    except (sqlite3.Error, Unavailable) as error:
        print("serve: database: %s" % error, file=sys.stderr)
        return 1


async def queue(args, data):
    def ansi(label, text):
        try:
            return text.encode(args.encoding).decode("latin-1")
        except UnicodeEncodeError:
            raise ServiceError(400, "%s cannot be written in %s" % (label, args.encoding)) from None

    name = args.name if args.name is not None else os.path.basename(args.file)
    fields = [ansi("computer", args.computer), ansi("printer", args.printer), ansi("name", name)]
    file_name = None if args.file_name is None else ansi("file", args.file_name)
    protocol.check_job(*fields, file_name, len(data), JOB_LIMIT)
    store = await Store.open(args.db or DEFAULT_DATABASE)
    try:
        job_id, _ = await store.add_job(*fields, data, file_name)
    except Conflict:
        raise ServiceError(409, "Spool file name already queued") from None
    finally:
        await store.close()
    return job_id


def submit(args):
    try:
        if args.file == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(args.file, "rb") as source:
                data = source.read()
        job_id = asyncio.run(queue(args, data))
    except (OSError, sqlite3.Error, Unavailable, ServiceError) as error:
        print("submit: %s" % error, file=sys.stderr)
        return 1
    print(job_id)
    return 0


def database(args):
    """The database named by --db, else by --config's file, else the default."""
    if args.db:
        return args.db
    if args.config:
        return read_config(args.config).get("database", DEFAULT_DATABASE)
    return DEFAULT_DATABASE


def administer(action):
    """Runs action(store, args) on the database; prints what it returns."""
    def run(args):
        async def main():
            store = await Store.open(database(args))
            try:
                return await action(store, args)
            finally:
                await store.close()
        try:
            print(asyncio.run(main()))
        except (OSError, ConfigError, sqlite3.Error, Unavailable, ServiceError) as error:
            print("%s: %s" % (args.command, error), file=sys.stderr)
            return 1
        return 0
    return run


async def add_token(store, args):
    try:
        return await store.add_api_token(args.name)
    except Conflict:
        raise ServiceError(409, "%s has a token already; remove it first" % args.name) from None


async def remove_token(store, args):
    if not await store.remove_api_token(args.name):
        raise ServiceError(404, "no token named %s" % args.name)
    return "removed"


async def add_computer(store, args):
    name = args.name.encode(args.encoding).decode("latin-1")
    protocol.check_field("computer", name, sent_to_client=False)
    return await store.enroll(name)


def positive(text):
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(prog="hub", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    serve_parser = commands.add_parser("serve", help="answer the clients and the web application")
    serve_parser.add_argument("--config", metavar="FILE", help="configuration file")
    serve_parser.add_argument("--host", help="address to bind (127.0.0.1)")
    serve_parser.add_argument("--port", type=int, help="7000; 0 picks a free port")
    serve_parser.add_argument("--db", dest="database", help="SQLite file or postgresql:// URL")
    serve_parser.add_argument("--path", type=int, choices=(1, 2, 3),
                              help="which service path prefix answers (1)")
    serve_parser.add_argument("--chunked", action="store_true",
                              help="send service replies with chunked transfer coding")
    serve_parser.add_argument("--chunk-size", type=positive, default=1000,
                              help="largest chunk with --chunked")
    serve_parser.add_argument("--tls-cert", metavar="FILE",
                              help="serve over TLS with this certificate chain (PEM)")
    serve_parser.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    serve_parser.set_defaults(run=serve)

    submit_parser = commands.add_parser("submit", help="queue a job")
    submit_parser.add_argument("file", help="the job's bytes; - for standard input")
    submit_parser.add_argument("--computer", required=True)
    submit_parser.add_argument("--printer", required=True)
    submit_parser.add_argument("--name", help="document name; the file's name by default")
    submit_parser.add_argument("--file-name", help="spool file name; job<id>.spl by default")
    submit_parser.add_argument("--db", help="SQLite file or postgresql:// URL")
    submit_parser.add_argument("--encoding", default="cp1252",
                               help="the client's ANSI code page, for the texts")
    submit_parser.set_defaults(run=submit)

    def database_options(command):
        command.add_argument("--db", help="SQLite file or postgresql:// URL")
        command.add_argument("--config", metavar="FILE", help="take the database from this file")

    token_parser = commands.add_parser("token", help="bearer tokens of the API")
    token_commands = token_parser.add_subparsers(dest="action", required=True)
    token_add = token_commands.add_parser("add", help="print a new token for NAME")
    token_add.set_defaults(run=administer(add_token))
    token_remove = token_commands.add_parser("remove", help="withdraw NAME's token")
    token_remove.set_defaults(run=administer(remove_token))
    for command in (token_add, token_remove):
        command.add_argument("name")
        database_options(command)

    computer_parser = commands.add_parser("computer", help="enrolled computers")
    computer_commands = computer_parser.add_subparsers(dest="action", required=True)
    computer_add = computer_commands.add_parser(
        "add", help="enroll NAME and print its secret (the client's Cipher); again: a new secret")
    computer_add.add_argument("name")
    computer_add.add_argument("--encoding", default="cp1252", help="the client's ANSI code page")
    database_options(computer_add)
    computer_add.set_defaults(run=administer(add_computer))

    args = parser.parse_args(argv)
    return args.run(args)
