# Sourced by the run and test scripts: makes sure CUPS runs and has a raw queue
# whose jobs land as files in a folder (or, with the webprint-count backend,
# only their lengths and hashes).
#   . tools/cups-queue.sh QUEUE FOLDER [BACKEND]
# A queue without a PPD is raw: bytes pass unchanged. CUPS must run before any
# Wine program starts, since Wine reads the queue list once per process.

cups_queue_name=$1
cups_queue_folder=$2
cups_queue_backend=${3:-webprint-capture}
mkdir -p "$cups_queue_folder"
# The backend runs as the lp user.
chmod 1777 "$cups_queue_folder"
install -m 0755 "$(dirname "${BASH_SOURCE[0]:-$0}")/cups/$cups_queue_backend" "/usr/lib/cups/backend/$cups_queue_backend"

cups_running() { lpstat -r 2>/dev/null | grep -q "is running"; }
cups_started_here=""
if ! cups_running; then
    cupsd
    cups_started_here=1
    for _ in $(seq 100); do cups_running && break; sleep 0.1; done
fi
lpadmin -p "$cups_queue_name" -E -v "$cups_queue_backend:$cups_queue_folder"
cupsenable "$cups_queue_name" 2>/dev/null || true
cupsaccept "$cups_queue_name" 2>/dev/null || true
