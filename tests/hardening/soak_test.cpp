// Thousands of polls against the reference print service, jobs mixed in:
// every job comes out exactly once, and once warmed up the client holds no
// more memory, descriptors or threads than before, and no poll allocates.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <string>

#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/hardening/process_counts.h"
#include "tests/hardening/quiet_seams.h"
#include "tests/hardening/reference_service.h"
#include "transport/print_client.h"
#include "ui/display.h"

// ---- counting every heap allocation made on the polling thread -----------

namespace {

thread_local bool Counting = false;
std::atomic<long> Allocations{0};

void CountAllocation()
{
    if (Counting)
        Allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define WEBPRINT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEBPRINT_ASAN 1
#endif
#endif

#ifdef WEBPRINT_ASAN
// The sanitizer's allocator serves malloc and operator new alike and calls
// these hooks for each.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));
// Hands freed memory held in quarantine back, so resident memory shows what
// is still in use.
extern "C" void __sanitizer_purge_allocator();
namespace {
void OnMalloc(const volatile void*, size_t) { CountAllocation(); }
void OnFree(const volatile void*) {}
const bool HooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
void ReleaseFreedMemory() { __sanitizer_purge_allocator(); }
}  // namespace
#else
// glibc lets a program replace malloc; operator new and the C library's own
// allocations come through here too.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);
extern "C" void* malloc(size_t size)
{
    CountAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size)
{
    CountAllocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size)
{
    CountAllocation();
    return __libc_realloc(pointer, size);
}
namespace {
const bool HooksInstalled = true;
void ReleaseFreedMemory() { malloc_trim(0); }
}  // namespace
#endif

namespace {

// About 40 s under the sanitizers. The warm-up sees every job size and a few
// registrations, so what the allocator and the stack reach has been reached.
constexpr int kPolls = 10000;
constexpr int kWarmUpPolls = 1000;
constexpr int kPollsPerJob = 25;

// Job n: a size that varies from one block to several, bytes that differ
// from job to job.
std::string JobBytes(int n)
{
    std::string bytes(static_cast<size_t>(1 + (n * 2749) % 20000), '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(n) * 7) & 0xFF);
    return bytes;
}

uint64_t ChecksumOf(const std::string& bytes)
{
    return quiet_seams::Checksum(quiet_seams::kChecksumStart, reinterpret_cast<const unsigned char*>(bytes.data()),
                                 bytes.size());
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(HooksInstalled);
        ASSERT_NE(service.Port(), 0) << "the reference service did not start";
        KeepAlive = true;
        ComputerToken = -1;
        RegistrationCountdown = 0;
        LogCleared = false;
        ServicePrefix[0] = 0;
        TransportTimeouts = {5000, 3000};
        quiet_seams::Reset();
    }

    // One poll as the timer runs it: a fresh client, set up and destroyed.
    // Only the poll itself is counted.
    int Poll(long* allocations, int32_t blocksInFlight)
    {
        PrintClient client;
        client.BlocksInFlight = blocksInFlight;
        client.OnProgress = OnProgress;
        client.OnStatus = OnStatus;
        client.OnLog = OnLog;
        client.Setup("127.0.0.1", service.Port(), "PC01", "0123456789abcdef");
        const long before = Allocations.load();
        Counting = true;
        int result = RunPollCycle(&client);
        Counting = false;
        *allocations = Allocations.load() - before;
        return result;
    }

    ReferenceService service;
};

// A count of zero means something only if the counter sees allocations.
TEST(AllocationCounter, CountsAllocationsOnThisThreadWhileOn)
{
    ASSERT_TRUE(HooksInstalled);
    const long before = Allocations.load();
    Counting = true;
    char* volatile block = static_cast<char*>(malloc(64));
    std::string* text = new std::string(100, 'x');
    Counting = false;
    delete text;
    free(block);
    EXPECT_EQ(Allocations.load() - before, 3);
}

TEST_F(SoakTest, ThousandsOfPollsPrintEveryJobOnceAndHoldNothingMore)
{
    int submitted = 0;
    int printed = 0;
    uint64_t expectedChecksum = 0;
    long descriptors = 0;
    long threads = 0;
    long resident = 0;
    long allocatingPolls = 0;
    long allocations = 0;
    for (int poll = 0; poll < kPolls; ++poll) {
        // Jobs wait in the queue for the next poll; the first ones warm up.
        if (poll % kPollsPerJob == 1) {
            ASSERT_TRUE(service.Submit("Soak" + std::to_string(submitted), JobBytes(submitted)));
            expectedChecksum = ChecksumOf(JobBytes(submitted));
            ++submitted;
        }
        // The test's own job submissions free memory that the sanitizer keeps
        // in quarantine; handing it back now and then keeps it out of the
        // resident count.
        if (poll % kWarmUpPolls == 0)
            ReleaseFreedMemory();
        if (poll == kWarmUpPolls) {
            descriptors = OpenDescriptors();
            threads = Threads();
            resident = ResidentKilobytes();
        }
        long pollAllocations = 0;
        // The jobs' blocks come one at a time and in flight by turns.
        int result = Poll(&pollAllocations, 1 << (poll % 4));
        if (poll >= kWarmUpPolls && pollAllocations != 0) {
            ++allocatingPolls;
            allocations += pollAllocations;
        }
        if (result == 0) {
            ++printed;
            ASSERT_EQ(quiet_seams::Spooler().lastChecksum, expectedChecksum) << "job " << printed << " at poll " << poll;
        } else {
            ASSERT_STREQ(quiet_seams::Display().lastStatus, "Empty queue") << "poll " << poll << ": "
                                                                           << quiet_seams::Display().lastLog;
        }
    }

    EXPECT_EQ(printed, submitted);
    EXPECT_EQ(quiet_seams::Spooler().documentsEnded, submitted);
    EXPECT_EQ(quiet_seams::Spooler().documentsAborted, 0);
    EXPECT_EQ(quiet_seams::Spooler().handlesOpen, 0);
    // The events list was emptied once, at the first query; nothing failed.
    EXPECT_EQ(quiet_seams::Display().logClears, 1);
    EXPECT_EQ(quiet_seams::Display().logLines, submitted);

    EXPECT_EQ(allocatingPolls, 0) << allocations << " allocations in " << allocatingPolls << " polls";
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(Threads(), threads);
    // Pages touched late (a deeper stack, a longer job) may still come in;
    // anything that grew with the polls would pass this within the run.
    ReleaseFreedMemory();
    EXPECT_LT(ResidentKilobytes() - resident, 1024) << "resident at warm-up " << resident << " kB";
    RecordProperty("polls", kPolls);
    RecordProperty("jobs", submitted);
}

}  // namespace
