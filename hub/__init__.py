"""The print hub: the service side of webprint's polling protocol.

It registers computers, queues jobs and hands them out to the clients, holds
queries until a job arrives, and offers web applications a JSON API. Run it
from a checkout as `/usr/bin/python3 -m hub COMMAND` (hub/cli.py lists the
commands). The parts, each described in its own module:

  protocol  the client's documents and replies (no I/O)
  store     the database (SQLite or PostgreSQL): `Store`, queries.sql, migrations/
  app       the HTTP application: `make_app(config)`, the route table, held queries
  api       the JSON API for web applications (bearer tokens)
  replies   every reply and the one-line request log
  page      the web page (static/) and the state document
  config    settings and the configuration file
  server    the listening socket, TLS, signals
  cli       the commands
"""
