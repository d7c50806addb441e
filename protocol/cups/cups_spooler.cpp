// The spooler seam over libcups. The CUPS job is created with the document's
// first data, which is then sent raw block by block and closed. A document
// that ends without any data creates no CUPS job at all: CUPS refuses an
// empty document ("No file in print request"), and a job the service hands
// out with nothing to print is done once it is acknowledged.
//
// Every job has a connection to the scheduler of its own: a job given up
// mid-document has that connection dropped, so the half-sent document is
// never attached to the job and nothing of it prints, and is then cancelled.
#include <cups/cups.h>

#include <cstdio>
#include <cstring>

#include "protocol/cups/cups_scheduler.h"
#include "protocol/spooler.h"

namespace spooler {

namespace {

// IPP limits a job's name to 255 bytes.
constexpr size_t kTitleCapacity = 256;
// What StartDocPrinterA returns before the CUPS job exists (Wine's spooler
// returns the same); the poll only tells it from 0.
constexpr uint32_t kJobNotCreatedYet = 1;

// The poll prints one job at a time, so one record serves every handle.
struct CupsJob {
    bool inUse;
    char destination[256];
    char title[kTitleCapacity];
    http_t* connection;
    SchedulerWait wait;
    int jobId;
    bool documentStarted;  // by StartDocPrinterA
    bool documentOpen;     // a CUPS document is being sent
};
CupsJob OpenJob;

bool Succeeded(ipp_status_t status)
{
    return status <= IPP_STATUS_OK_EVENTS_COMPLETE;
}

std::string PrinterNamed(const char* name)
{
    return std::string("printer \"") + name + "\"";
}

// True when the scheduler knows a printer or class of that name. Asked with
// the same URI the job is created on, so no network printer found by browsing
// can stand in for a missing queue.
bool DestinationExists(http_t* connection, const char* name)
{
    char uri[HTTP_MAX_URI];
    if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                         "/printers/%s", name) != HTTP_URI_STATUS_OK)
        return false;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    ippDelete(cupsDoRequest(connection, request, "/"));
    return Succeeded(cupsLastError());
}

// Drops the job's connection, which throws away a document still being sent,
// then cancels the job over a connection of its own.
void CancelJob(CupsJob* job)
{
    if (job->connection != nullptr)
        httpClose(job->connection);
    job->connection = nullptr;
    job->documentOpen = false;
    // A scheduler that was silent would keep the cancel waiting too; the job
    // it holds has no document and is aborted once it runs again.
    if (job->jobId == 0 || job->wait.endedSilent) {
        job->jobId = 0;
        return;
    }
    SchedulerWait wait;
    if (http_t* connection = ConnectToScheduler(&wait)) {
        if (!Succeeded(cupsCancelJob2(connection, job->destination, job->jobId, 0)))
            NoteCupsFailure("cancelling CUPS job " + std::to_string(job->jobId), wait);
        httpClose(connection);
    }
    job->jobId = 0;
}

// Creates the CUPS job and starts its one raw document.
bool OpenDocument(CupsJob* job)
{
    job->jobId = cupsCreateJob(job->connection, job->destination, job->title[0] != 0 ? job->title : nullptr, 0,
                               nullptr);
    if (job->jobId == 0) {
        NoteCupsFailure("creating a job on " + PrinterNamed(job->destination), job->wait);
        return false;
    }
    // Raw: the bytes go to the printer exactly as they come.
    if (cupsStartDocument(job->connection, job->destination, job->jobId, job->title, CUPS_FORMAT_RAW, 1) !=
        HTTP_STATUS_CONTINUE) {
        NoteCupsFailure("starting the document on " + PrinterNamed(job->destination), job->wait);
        CancelJob(job);
        return false;
    }
    job->documentOpen = true;
    return true;
}

CupsJob* JobOf(PrinterHandle handle)
{
    CupsJob* job = static_cast<CupsJob*>(handle);
    // Each call has the whole patience for its own waits, unless the
    // scheduler has used it up already.
    job->wait.slicesWaited = 0;
    return job;
}

}  // namespace

bool OpenPrinterA(const char* printerName, PrinterHandle* handle)
{
    if (OpenJob.inUse || printerName[0] == 0 || strlen(printerName) >= sizeof OpenJob.destination)
        return false;
    OpenJob = CupsJob{};
    http_t* connection = ConnectToScheduler(&OpenJob.wait);
    if (connection == nullptr)
        return false;
    if (!DestinationExists(connection, printerName)) {
        NoteCupsFailure(PrinterNamed(printerName), OpenJob.wait);
        httpClose(connection);
        return false;
    }
    OpenJob.inUse = true;
    OpenJob.connection = connection;
    strcpy(OpenJob.destination, printerName);
    *handle = &OpenJob;
    return true;
}

uint32_t StartDocPrinterA(PrinterHandle handle, uint32_t, const DocInfo1* docInfo)
{
    CupsJob* job = JobOf(handle);
    if (job->connection == nullptr || job->documentStarted)
        return 0;
    snprintf(job->title, sizeof job->title, "%s", docInfo->DocName);
    job->documentStarted = true;
    return kJobNotCreatedYet;
}

bool StartPagePrinter(PrinterHandle)
{
    // A raw document has no pages of its own.
    return true;
}

bool WritePrinter(PrinterHandle handle, const void* data, uint32_t length, uint32_t* written)
{
    CupsJob* job = JobOf(handle);
    *written = 0;
    if (!job->documentStarted || job->connection == nullptr)
        return false;
    if (!job->documentOpen && !OpenDocument(job))
        return false;
    if (cupsWriteRequestData(job->connection, static_cast<const char*>(data), length) != HTTP_STATUS_CONTINUE) {
        NoteCupsFailure("sending to " + PrinterNamed(job->destination), job->wait);
        return false;
    }
    *written = length;
    return true;
}

bool EndPagePrinter(PrinterHandle)
{
    return true;
}

bool EndDocPrinter(PrinterHandle handle)
{
    CupsJob* job = JobOf(handle);
    if (!job->documentStarted)
        return false;
    job->documentStarted = false;
    // Nothing was written: there is no CUPS job, and nothing to print.
    if (!job->documentOpen)
        return job->connection != nullptr;
    job->documentOpen = false;
    if (Succeeded(cupsFinishDocument(job->connection, job->destination)))
        return true;
    // The scheduler did not take the document whole: nothing of it may print.
    NoteCupsFailure("finishing the document on " + PrinterNamed(job->destination), job->wait);
    CancelJob(job);
    return false;
}

bool ClosePrinter(PrinterHandle handle)
{
    CupsJob* job = JobOf(handle);
    // A document still open here was never finished, so it must not print.
    if (job->documentOpen)
        CancelJob(job);
    if (job->connection != nullptr)
        httpClose(job->connection);
    *job = CupsJob{};
    return true;
}

bool AbortPrinter(PrinterHandle handle)
{
    CancelJob(JobOf(handle));
    return true;
}

}  // namespace spooler
