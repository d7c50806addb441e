"""The hub's settings: defaults, the configuration file, the command line.

The configuration file (`hub serve --config FILE`) holds `name = value`
lines; blank lines and lines starting with "#" are skipped:

    listen = 0.0.0.0:7000              # address and port
    database = /var/lib/webprint-hub/hub.sqlite   # or postgresql://user@host/db
    tls_cert = /etc/webprint-hub/cert.pem         # both or neither: HTTPS
    tls_key = /etc/webprint-hub/key.pem
    job_limit = 268435456              # largest job accepted, bytes
    path = 1                           # which service path answers (1, 2, 3)
    enrollment = no                    # yes: only computers added with `hub computer add`
    poll_interval = 30                 # the clients' PollFreq, for "online"
    encoding = cp1252                  # the clients' code page, for the API's texts

Options given on the command line win over the file.
"""

import codecs
import dataclasses

DEFAULT_DATABASE = "hub.sqlite"
JOB_LIMIT = 256 << 20


@dataclasses.dataclass
class Config:
    host: str = "127.0.0.1"
    port: int = 7000
    database: str = DEFAULT_DATABASE
    path: int = 1
    chunk_size: int = 0          # 0: replies framed by Content-Length
    tls_cert: str = None
    tls_key: str = None
    job_limit: int = JOB_LIMIT
    enrollment: bool = False
    poll_interval: int = 30
    encoding: str = "cp1252"


class ConfigError(Exception):
    pass


def _number(name, text, low, high):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or not low <= value <= high:
        raise ConfigError("%s must be a number from %d to %d" % (name, low, high))
    return value


def _listen(text):
    host, colon, port = text.rpartition(":")
    if not colon or not host:
        raise ConfigError("listen must be HOST:PORT")
    return {"host": host.strip("[]"), "port": _number("listen port", port, 0, 65535)}


def _yes_no(name, text):
    if text.lower() not in ("yes", "no"):
        raise ConfigError("%s must be yes or no" % name)
    return text.lower() == "yes"


def _encoding(text):
    try:
        codecs.lookup(text)
    except LookupError:
        raise ConfigError("encoding %r is not known" % text) from None
    return text


READERS = {
    "listen": _listen,
    "database": lambda text: {"database": text},
    "tls_cert": lambda text: {"tls_cert": text},
    "tls_key": lambda text: {"tls_key": text},
    "job_limit": lambda text: {"job_limit": _number("job_limit", text, 0, 1 << 40)},
    "path": lambda text: {"path": _number("path", text, 1, 3)},
    "enrollment": lambda text: {"enrollment": _yes_no("enrollment", text)},
    "poll_interval": lambda text: {"poll_interval": _number("poll_interval", text, 1, 86400)},
    "encoding": lambda text: {"encoding": _encoding(text)},
}


def read_config(path):
    """The settings of a configuration file, as a dict of Config fields."""
    values = {}
    with open(path) as source:
        for number, line in enumerate(source, start=1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            name, equals, value = (part.strip() for part in line.partition("="))
            if not equals or name not in READERS:
                raise ConfigError("%s:%d: unknown setting %r" % (path, number, name))
            try:
                values.update(READERS[name](value))
            except ConfigError as error:
                raise ConfigError("%s:%d: %s" % (path, number, error)) from None
    if (values.get("tls_cert") is None) != (values.get("tls_key") is None):
        raise ConfigError("%s: tls_cert and tls_key go together" % path)
    return values
