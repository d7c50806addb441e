// A 16 MiB job downloaded block by block and printed to the spooler double
// over loopback, against an ideal client that sends the same requests and
// reads the same replies without looking at them. Their ratio is the share
// of the wire's speed that the client keeps. The same job over TLS against it
// in plain TCP gives the share of throughput that TLS keeps.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/loopback_service.h"
#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/spooler_double.h"
#include "tests/support/tls_front.h"
#include "transport/print_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kJobSize = 16 << 20;
constexpr char kCipher[] = "0123456789abcdef";

const std::string& Job()
{
    static const std::string job = [] {
        std::string bytes(kJobSize, '\0');
        uint32_t state = 12345;
        for (char& c : bytes) {
            state = state * 1103515245u + 12345u;
            c = static_cast<char>(state >> 24);
        }
        return bytes;
    }();
    return job;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The client's poll: qryspool, every block, printed. Latencies are the times
// between block progress reports: one request, its reply, and its printing.
double ClientJob(const LoopbackService& service, std::vector<double>* latencies, bool check, bool tls = false)
{
    KeepAlive = true;
    ComputerToken = 1;
    RegistrationCountdown = 5;
    snprintf(ServicePrefix, sizeof ServicePrefix, "%s", LoopbackService::kPrefix);
    display_recorder::Reset();
    spooler_double::Reset();
    latencies->clear();
    Clock::time_point last = Clock::now();
    display_recorder::SetHook([&](const DisplayEvent& event) {
        if (event.kind != DisplayEvent::Progress || event.maximum != kJobSize || event.position == 0)
            return;
        Clock::time_point now = Clock::now();
        latencies->push_back(Seconds(last, now));
        last = now;
    });

    PrintClient client;
    display_recorder::Attach(&client);
    client.Setup("127.0.0.1", service.Port(), "PC01", kCipher);
    client.UseTls = tls;
    const Clock::time_point start = Clock::now();
    last = start;
    const int result = RunPollCycle(&client);
    const double seconds = Seconds(start, Clock::now());
    if (result != 0 || (check && spooler_double::WrittenBytes() != Job()))
        abort();
    return seconds;
}

double IdealJob(const LoopbackService& service, std::vector<double>* latencies)
{
    latencies->clear();
    char reply[kReceiveRoom];
    char document[512];
    const Clock::time_point start = Clock::now();
    const int connection = service.Connect();

    snprintf(document, sizeof document, "<qryspool cputok='%d'/>", 1);
    LoopbackService::SendRequest(connection, "qryspool", document);
    LoopbackService::ReadReply(connection, reply, LoopbackService::ReplyLength(static_cast<int32_t>(service.QueryBody().size())));
    for (int32_t offset = 0; offset < kJobSize; offset += LoopbackService::kBlockSize) {
        const Clock::time_point sent = Clock::now();
        snprintf(document, sizeof document, "<spooldata file='%s' offset='%d' blocksize='%d' encode='%s' />",
                 "job1.spl", static_cast<int>(offset), static_cast<int>(LoopbackService::kBlockSize), kCipher);
        LoopbackService::SendRequest(connection, "spooldata", document);
        LoopbackService::ReadReply(connection, reply, LoopbackService::ReplyLength(LoopbackService::kBlockSize));
        latencies->push_back(Seconds(sent, Clock::now()));
    }
    LoopbackService::SendRequest(connection, "printed", "<printed id='1'/>");
    LoopbackService::ReadReply(connection, reply, LoopbackService::ReplyLength(2));
    close(connection);
    return Seconds(start, Clock::now());
}

// Runs two jobs back to back in each iteration, so both meet the same machine
// load, and reports each one's throughput and median block latency under its
// name, and the second's time over the first's as the ratio. The time
// reported is the first job's. Each job fills the latencies it is given.
template <typename First, typename Second>
void CompareJobs(benchmark::State& state, const std::string& firstName, First first, const std::string& secondName,
                 Second second)
{
    std::vector<double> firstLatencies;
    std::vector<double> secondLatencies;
    firstLatencies.reserve(kJobSize / LoopbackService::kBlockSize);
    secondLatencies.reserve(kJobSize / LoopbackService::kBlockSize);
    double firstSeconds = 0;
    double secondSeconds = 0;
    std::vector<double> firstMedians;
    std::vector<double> secondMedians;
    bool check = true;
    for (auto _ : state) {
        const double firstTime = first(&firstLatencies, check);
        check = false;
        const double secondTime = second(&secondLatencies);
        state.SetIterationTime(firstTime);
        firstSeconds += firstTime;
        secondSeconds += secondTime;
        firstMedians.push_back(Median(firstLatencies));
        secondMedians.push_back(Median(secondLatencies));
    }
    const double megabytes = static_cast<double>(kJobSize) / (1 << 20) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(kJobSize) * state.iterations());
    state.counters[firstName + "_MiB_per_s"] = megabytes / firstSeconds;
    state.counters[secondName + "_MiB_per_s"] = megabytes / secondSeconds;
    state.counters["ratio"] = secondSeconds / firstSeconds;
    state.counters[firstName + "_median_us"] = Median(firstMedians) * 1e6;
    state.counters[secondName + "_median_us"] = Median(secondMedians) * 1e6;
}

// The client against the ideal client on the same service.
void WholeJob16MiB(benchmark::State& state)
{
    LoopbackService service(Job());
    CompareJobs(
        state, "client", [&](std::vector<double>* latencies, bool check) { return ClientJob(service, latencies, check); },
        "ideal", [&](std::vector<double>* latencies) { return IdealJob(service, latencies); });
}

BENCHMARK(WholeJob16MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The client's poll over TLS (the handshake included) against the same poll
// in plain TCP.
void WholeJob16MiBTls(benchmark::State& state)
{
    TrustTestCa();
    SSL_CTX* context = TestServerContext("server", 0);
    LoopbackService plain(Job());
    LoopbackService tls(Job(), context);
    CompareJobs(
        state, "tls",
        [&](std::vector<double>* latencies, bool check) { return ClientJob(tls, latencies, check, true); }, "plain",
        [&](std::vector<double>* latencies) { return ClientJob(plain, latencies, false); });
    state.counters["handshakes_per_poll"] =
        static_cast<double>(tls.Connections()) / static_cast<double>(state.iterations());
    SSL_CTX_free(context);
}

BENCHMARK(WholeJob16MiBTls)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
