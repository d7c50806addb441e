// Connections to the CUPS scheduler whose every wait is bounded: a stop
// request ends it at the next quarter of a second (libcups waits up to a
// second for the start of a reply on its own), and a scheduler that shows no
// sign of life for half a minute (stopped, hung) ends it as a failure. And
// the reason of the last CUPS failure, for the log line that reports it.
#pragma once

#include <cups/cups.h>

#include <string>

// How long one wait on a connection has lasted; the owner resets the count
// before each call that should have the whole patience again.
struct SchedulerWait {
    int slicesWaited = 0;
    // A wait was ended with the scheduler silent, out of patience or by a
    // stop: nothing more is asked of it on this job.
    bool endedSilent = false;
};

// A connection to cupsServer() whose waits count in wait, which must outlive
// it. Null when the scheduler cannot be reached; the reason is noted.
http_t* ConnectToScheduler(SchedulerWait* wait);

// Notes why a CUPS call failed: what (the printer, the step) and CUPS's own
// reason, or the lack of an answer. Only the first reason counts until it is
// taken: a failure's clean-up calls may fail too, for the same cause.
void NoteCupsFailure(const std::string& what, const SchedulerWait& wait);

// The reason noted since the last call, or an empty text; forgets it.
std::string TakeCupsFailure();
