#!/bin/bash
# Makes sure CUPS runs and has a raw queue whose jobs land as files job-N.prn
# in a capture folder (or, with the webprint-count backend, only their lengths
# and hashes as job-N.count), checks with a one-byte job that they do, and
# prints the folder. The folder is emptied first.
#   folder=$(tools/cups-queue.sh QUEUE [FOLDER [BACKEND]])
# FOLDER defaults to /var/spool/webprint-capture/QUEUE: CUPS's backends run as
# the lp user, who cannot enter a checkout inside a private folder, so
# printouts land in the spool and callers link to them or read them there.
# A queue without a PPD is raw: bytes pass unchanged. CUPS must run before any
# Wine program starts, since Wine reads the queue list once per process.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
queue=$1
folder=${2:-/var/spool/webprint-capture/$queue}
backend=${3:-webprint-capture}

install -m 0755 "$here/cups/$backend" "/usr/lib/cups/backend/$backend"
mkdir -p "$(dirname "$folder")"
install -d -o lp -g lp -m 0755 "$folder"

cups_running() { lpstat -r 2>/dev/null | grep -q "is running"; }
if ! cups_running; then
    cupsd
    for _ in $(seq 100); do cups_running && break; sleep 0.1; done
fi
# A job the backend cannot write is aborted, with the backend's reason, rather
# than retried with the queue stopped.
lpadmin -p "$queue" -E -v "$backend:$folder" -o printer-error-policy=abort-job
cupsenable "$queue"
cupsaccept "$queue"
# Jobs and job history of earlier runs go: a failed job in the queue is one of this run.
cancel -a -x "$queue"
rm -f "$folder"/job-*

python3 "$here/cups_watch.py" probe "$queue" "$folder" || {
    echo "$0: jobs for the CUPS queue $queue do not reach $folder" >&2
    exit 1
}
echo "$folder"
