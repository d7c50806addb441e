// The spooler seam over libcups. A job is created on the destination, its one
// document is sent as raw data block by block and then closed. Every job has
// a connection to the scheduler of its own: a job given up mid-document is
// cancelled and that connection dropped, so the half-sent document is never
// attached to the job and nothing of it prints.
#include <cups/cups.h>

#include <cstdio>
#include <cstring>

#include "protocol/spooler.h"

namespace spooler {

namespace {

// IPP limits a job's name to 255 bytes.
constexpr size_t kTitleCapacity = 256;

// The poll prints one job at a time, so one record serves every handle.
struct CupsJob {
    bool inUse;
    char destination[256];
    http_t* connection;
    int jobId;
    bool documentOpen;
};
CupsJob OpenJob;

bool Succeeded(ipp_status_t status)
{
    return status <= IPP_STATUS_OK_EVENTS_COMPLETE;
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

// Cancels the job; dropping the connection throws away the request whose
// document is still being sent.
void CancelJob(CupsJob* job)
{
    if (job->jobId != 0)
        cupsCancelJob2(CUPS_HTTP_DEFAULT, job->destination, job->jobId, 0);
    job->jobId = 0;
    job->documentOpen = false;
    if (job->connection != nullptr)
        httpClose(job->connection);
    job->connection = nullptr;
}

CupsJob* JobOf(PrinterHandle handle)
{
    return static_cast<CupsJob*>(handle);
}

}  // namespace

bool OpenPrinterA(const char* printerName, PrinterHandle* handle)
{
    if (OpenJob.inUse || printerName[0] == 0 || strlen(printerName) >= sizeof OpenJob.destination)
        return false;
    http_t* connection =
        httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000, nullptr);
    if (connection == nullptr)
        return false;
    if (!DestinationExists(connection, printerName)) {
        httpClose(connection);
        return false;
    }
    OpenJob = CupsJob{true, {}, connection, 0, false};
    strcpy(OpenJob.destination, printerName);
    *handle = &OpenJob;
    return true;
}

uint32_t StartDocPrinterA(PrinterHandle handle, uint32_t, const DocInfo1* docInfo)
{
    CupsJob* job = JobOf(handle);
    if (job->connection == nullptr || job->jobId != 0)
        return 0;
    char title[kTitleCapacity];
    snprintf(title, sizeof title, "%s", docInfo->DocName);
    job->jobId = cupsCreateJob(job->connection, job->destination, title[0] != 0 ? title : nullptr, 0, nullptr);
    if (job->jobId == 0)
        return 0;
    // Raw: the bytes go to the printer exactly as they come.
    if (cupsStartDocument(job->connection, job->destination, job->jobId, title, CUPS_FORMAT_RAW, 1) !=
        HTTP_STATUS_CONTINUE) {
        CancelJob(job);
        return 0;
    }
    job->documentOpen = true;
    return static_cast<uint32_t>(job->jobId);
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
    if (!job->documentOpen ||
        cupsWriteRequestData(job->connection, static_cast<const char*>(data), length) != HTTP_STATUS_CONTINUE)
        return false;
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
    if (!job->documentOpen)
        return false;
    job->documentOpen = false;
    if (Succeeded(cupsFinishDocument(job->connection, job->destination)))
        return true;
    // The scheduler did not take the document whole: nothing of it may print.
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
