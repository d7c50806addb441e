// webprintd's road for a 16 MiB job, from the fast loopback service through
// the CUPS spooler seam into a discard queue, against a minimal client that
// makes the same requests and CUPS calls with plain blocking reads (no
// select, no parsing). Their ratio is the share of the minimal speed that the
// daemon keeps. tools/bench.sh makes the queue.
#include <benchmark/benchmark.h>

#include <cups/cups.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/loopback_service.h"
#include "protocol/complement.h"
#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "transport/print_client.h"

void ClearLog()
{
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kJobSize = 16 << 20;
constexpr char kQueue[] = "webprintd-bench-discard";
constexpr char kCipher[] = "0123456789abcdef";

void NoProgress(int32_t, int32_t)
{
}

void NoText(const char*)
{
}

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// The daemon's poll with the job waiting, registration already done.
double DaemonJob(const LoopbackService& service)
{
    KeepAlive = true;
    ComputerToken = 1;
    RegistrationCountdown = 5;
    snprintf(ServicePrefix, sizeof ServicePrefix, "%s", LoopbackService::kPrefix);
    PrintClient client;
    client.Setup("127.0.0.1", service.Port(), "PC01", kCipher);
    client.OnProgress = NoProgress;
    client.OnStatus = NoText;
    client.OnLog = NoText;
    const Clock::time_point start = Clock::now();
    if (RunPollCycle(&client) != 0)
        abort();
    return Seconds(start);
}

double MinimalJob(const LoopbackService& service)
{
    char reply[kReceiveRoom];
    char document[512];
    const Clock::time_point start = Clock::now();
    const int connection = service.Connect();
    LoopbackService::SendRequest(connection, "qryspool", "<qryspool cputok='1'/>");
    LoopbackService::ReadReply(connection, reply,
                               LoopbackService::ReplyLength(static_cast<int32_t>(service.QueryBody().size())));
    const int job = cupsCreateJob(CUPS_HTTP_DEFAULT, kQueue, "Benchmark", 0, nullptr);
    if (job == 0 || cupsStartDocument(CUPS_HTTP_DEFAULT, kQueue, job, "Benchmark", CUPS_FORMAT_RAW, 1) !=
                        HTTP_STATUS_CONTINUE)
        abort();
    const int32_t replyLength = LoopbackService::ReplyLength(LoopbackService::kBlockSize);
    unsigned char* block = reinterpret_cast<unsigned char*>(reply + replyLength - LoopbackService::kBlockSize);
    for (int32_t offset = 0; offset < kJobSize; offset += LoopbackService::kBlockSize) {
        snprintf(document, sizeof document, "<spooldata file='job1.spl' offset='%d' blocksize='%d' encode='%s' />",
                 static_cast<int>(offset), static_cast<int>(LoopbackService::kBlockSize), kCipher);
        LoopbackService::SendRequest(connection, "spooldata", document);
        LoopbackService::ReadReply(connection, reply, replyLength);
        ComplementBlock(block, LoopbackService::kBlockSize);
        if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, reinterpret_cast<char*>(block), LoopbackService::kBlockSize) !=
            HTTP_STATUS_CONTINUE)
            abort();
    }
    if (cupsFinishDocument(CUPS_HTTP_DEFAULT, kQueue) > IPP_STATUS_OK_EVENTS_COMPLETE)
        abort();
    LoopbackService::SendRequest(connection, "printed", "<printed id='1'/>");
    LoopbackService::ReadReply(connection, reply, LoopbackService::ReplyLength(2));
    close(connection);
    return Seconds(start);
}

// Each iteration runs both clients back to back, so both meet the same load
// of the machine and of the scheduler. The time reported is the daemon's.
void WebprintdJob16MiB(benchmark::State& state)
{
    std::string job(kJobSize, '\0');
    for (int32_t i = 0; i < kJobSize; ++i)
        job[i] = static_cast<char>(i * 7 + i / 4096);
    LoopbackService service(job, nullptr, kQueue);
    double daemonSeconds = 0;
    double minimalSeconds = 0;
    for (auto _ : state) {
        const double daemon = DaemonJob(service);
        minimalSeconds += MinimalJob(service);
        daemonSeconds += daemon;
        state.SetIterationTime(daemon);
    }
    const double megabytes = static_cast<double>(kJobSize) / (1 << 20) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(kJobSize) * state.iterations());
    state.counters["daemon_MiB_per_s"] = megabytes / daemonSeconds;
    state.counters["minimal_MiB_per_s"] = megabytes / minimalSeconds;
    state.counters["ratio"] = minimalSeconds / daemonSeconds;
}

// A few jobs only: every one of them passes through the scheduler's spool.
BENCHMARK(WebprintdJob16MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace
