// A service that breaks off, stalls, repeats itself or says something else
// than it sends, at every step of a poll that prints a job. Whatever it does,
// the poll ends within its time-outs, leaves no socket open, spools only blocks
// received whole, and acknowledges a job only once every byte was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "tests/hardening/poll_rig.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/spooler_double.h"

namespace {

using spooler_double::Call;

enum class Expect {
    Fails,              // the poll fails and says why
    FailsOrPrintsWhole, // the client may also recover: then the job is exact
};

// A stalled read costs one time-out; everything else ends at once.
constexpr double kPollDeadlineSeconds = 1.0 + 2 * kHeadTimeoutMilliseconds / 1000.0;

bool Succeeded(Call call)
{
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call == call && record.succeeded)
            return true;
    }
    return false;
}

std::vector<std::string> Writes()
{
    std::vector<std::string> writes;
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call == Call::WritePrinter)
            writes.push_back(record.bytes);
    }
    return writes;
}

std::string LastLog()
{
    std::string last;
    for (const DisplayEvent& event : display_recorder::Events()) {
        if (event.kind == DisplayEvent::Log)
            last = event.text;
    }
    return last;
}

void ExpectSoundEnd(const PollOutcome& outcome, Expect expect)
{
    EXPECT_LT(outcome.seconds, kPollDeadlineSeconds);
    // The only socket left may be the client's own, and its end closes it.
    EXPECT_EQ(outcome.descriptorsAfterPoll, outcome.descriptorsBefore + (outcome.socketHeld ? 1 : 0));
    EXPECT_EQ(outcome.descriptorsAfterClient, outcome.descriptorsBefore);

    // Each write is one whole block, in order: nothing cut, repeated or foreign.
    const std::vector<std::string> writes = Writes();
    ASSERT_LE(writes.size(), kJobBlocks.size());
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(writes[i], kJobBlocks[i]) << "write " << i;

    const bool acknowledged =
        std::find(outcome.requests.begin(), outcome.requests.end(), "printed") != outcome.requests.end();
    if (acknowledged) {
        EXPECT_EQ(spooler_double::WrittenBytes(), kJobBytes);
        EXPECT_TRUE(Succeeded(Call::EndDocPrinter));
        EXPECT_FALSE(Succeeded(Call::AbortPrinter));
    } else if (Succeeded(Call::StartDocPrinter) && spooler_double::WrittenBytes() != kJobBytes) {
        // A job cut short must not come out of the printer in part.
        EXPECT_TRUE(Succeeded(Call::AbortPrinter));
    }

    if (outcome.result == 0) {
        EXPECT_NE(expect, Expect::Fails);
        EXPECT_TRUE(acknowledged);
        EXPECT_EQ(spooler_double::WrittenBytes(), kJobBytes);
    } else {
        static const std::set<std::string> kPollFailures = {
            "httpRequest \"rmtprt.aspx?func=printlist\" failed",
            "httpRequest \"rmtprt.aspx?func=qryspool\" failed",
            "httpRequest failed",
        };
        EXPECT_EQ(kPollFailures.count(LastLog()), 1u) << "last event line: " << LastLog();
    }
}

std::string ModeName(bool keepAlive)
{
    return keepAlive ? "KeptConnection" : "ConnectionPerRequest";
}

// ---- the server closes after every byte of every response ----------------

class CutTest : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(CutTest, EveryCutEndsThePollSoundly)
{
    const int response = std::get<0>(GetParam());
    const bool keepAlive = std::get<1>(GetParam());
    const std::string bytes = CompleteExchange()[response].bytes;
    // A kept connection that breaks off after answering before has ended as
    // a server may end it: the request goes again on a new connection, where
    // the service answers it whole. On its first response, or with a
    // connection per request, the cut fails the poll. A chunked response is
    // whole only at the empty line after its last chunk.
    const bool askedAgain = keepAlive && response > 0;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        std::vector<ScriptedResponse> script = CompleteExchange();
        script[response].cutAt = cut;
        if (askedAgain)
            script.insert(script.begin() + response + 1, CompleteExchange()[response]);
        PollOutcome outcome = RunPoll(script, keepAlive);
        if (askedAgain) {
            ExpectSoundEnd(outcome, Expect::FailsOrPrintsWhole);
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.requests.size(), script.size());
        } else {
            // The request whose response broke off was the last one made.
            ExpectSoundEnd(outcome, Expect::Fails);
            EXPECT_EQ(outcome.result, 1);
            EXPECT_EQ(outcome.requests.size(), static_cast<size_t>(response + 1));
        }
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Responses, CutTest, ::testing::Combine(::testing::Range(0, 5), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                             return std::string(kRequestNames[std::get<0>(info.param)]) +
                                    std::to_string(std::get<0>(info.param)) + "_" + ModeName(std::get<1>(info.param));
                         });

// ---- stalls, repeats, other statuses, wrong lengths ------------------------

struct Fault {
    std::string name;
    int response;
    std::function<void(ScriptedResponse*)> apply;
    Expect expect;
    bool secondAnswerArrivesFirst = false;  // waits for it before the next request
};

// What the poll shows once it has read the response with this index.
const DisplayEvent kShownAfterResponse[] = {ProgressEvent(3, 10), ProgressEvent(4, 10), ProgressEvent(6, 10),
                                            ProgressEvent(10, 10)};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

std::string WithStatus(const std::string& response, const std::string& statusLine)
{
    return statusLine + response.substr(response.find("\r\n"));
}

std::vector<Fault> Faults()
{
    std::vector<Fault> faults;
    for (int r = 0; r < 5; ++r) {
        const std::string at = std::string(kRequestNames[r]) + std::to_string(r);
        faults.push_back({"StallsBeforeAnswering_" + at, r,
                          [](ScriptedResponse* s) {
                              s->cutAt = 0;
                              s->stall = true;
                          },
                          Expect::Fails});
        faults.push_back({"StallsBeforeTheLastByte_" + at, r,
                          [](ScriptedResponse* s) {
                              s->cutAt = s->bytes.size() - 1;
                              s->stall = true;
                          },
                          Expect::Fails});
        faults.push_back({"StallsInsideTheHead_" + at, r,
                          [](ScriptedResponse* s) {
                              s->cutAt = 12;
                              s->stall = true;
                          },
                          Expect::Fails});
        for (const char* status : {"HTTP/1.1 404 Not Found", "HTTP/1.1 500 Internal Server Error",
                                   "HTTP/1.1 302 Found", "HTTP/1.0 403 Forbidden"}) {
            std::string code = std::string(status).substr(9, 3);
            faults.push_back({"AnswersStatus" + code + "_" + at, r,
                              [status](ScriptedResponse* s) { s->bytes = WithStatus(s->bytes, status); },
                              Expect::Fails});
        }
        faults.push_back({"AnswersOnlyContinue_" + at, r,
                          [](ScriptedResponse* s) { s->bytes = "HTTP/1.1 100 Continue\r\n\r\n"; }, Expect::Fails});
        faults.push_back({"AnswersNothingLikeHttp_" + at, r,
                          [](ScriptedResponse* s) { s->bytes = "SSH-2.0-OpenSSH\r\n\r\n"; }, Expect::Fails});
        if (r < 4) {
            // A second answer in the same write, and one that follows it.
            faults.push_back({"AnswersTwiceAtOnce_" + at, r,
                              [](ScriptedResponse* s) { s->bytes += s->bytes; }, Expect::FailsOrPrintsWhole});
            faults.push_back({"AnswersTwice_" + at, r, [](ScriptedResponse* s) { s->twice = true; },
                              Expect::FailsOrPrintsWhole, true});
        }
        if (r != 3) {
            faults.push_back({"SendsMoreThanAnnounced_" + at, r,
                              [](ScriptedResponse* s) { s->bytes += OkResponse(Complemented("XXXX")); },
                              Expect::FailsOrPrintsWhole});
            faults.push_back({"SendsLessThanAnnounced_" + at, r,
                              [](ScriptedResponse* s) {
                                  size_t field = s->bytes.find("Content-Length: ") + 16;
                                  size_t end = s->bytes.find("\r\n", field);
                                  int announced = std::stoi(s->bytes.substr(field, end - field)) + 5;
                                  s->bytes.replace(field, end - field, std::to_string(announced));
                              },
                              Expect::Fails});
        }
    }
    // The second block in one chunk whose size line says more, or less, than
    // the four bytes it carries.
    const struct {
        const char* name;
        std::string sizeLine;
        Expect expect;
    } chunks[] = {
        {"ChunkLongerThanSent_spooldata3", "8\r\n", Expect::Fails},
        {"ChunkShorterThanSent_spooldata3", "2\r\n", Expect::FailsOrPrintsWhole},
    };
    for (const auto& chunk : chunks) {
        const std::string sizeLine = chunk.sizeLine;
        faults.push_back({chunk.name, 3,
                          [sizeLine](ScriptedResponse* s) {
                              s->bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + sizeLine +
                                         Complemented(kJobBlocks[1]) + "\r\n0\r\n\r\n";
                          },
                          chunk.expect});
    }
    return faults;
}

class FaultTest : public ::testing::TestWithParam<std::tuple<Fault, bool>> {};

TEST_P(FaultTest, EndsThePollSoundly)
{
    const Fault& fault = std::get<0>(GetParam());
    std::vector<ScriptedResponse> script = CompleteExchange();
    fault.apply(&script[fault.response]);
    PollOutcome outcome = RunPoll(script, std::get<1>(GetParam()),
                                  fault.secondAnswerArrivesFirst ? &kShownAfterResponse[fault.response] : nullptr);
    ExpectSoundEnd(outcome, fault.expect);
    if (fault.expect == Expect::Fails) {
        EXPECT_EQ(outcome.result, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::Combine(::testing::ValuesIn(Faults()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Fault, bool>>& info) {
                             return std::get<0>(info.param).name + "_" + ModeName(std::get<1>(info.param));
                         });

// The same exchange unbroken prints the job, so the faults above are what
// makes each of those polls fail.
TEST(FaultInjection, TheUnbrokenExchangePrintsTheJob)
{
    for (bool keepAlive : {true, false}) {
        PollOutcome outcome = RunPoll(CompleteExchange(), keepAlive);
        ExpectSoundEnd(outcome, Expect::FailsOrPrintsWhole);
        EXPECT_EQ(outcome.result, 0) << ModeName(keepAlive);
        EXPECT_EQ(outcome.requests, std::vector<std::string>(kRequestNames, kRequestNames + 5));
    }
}

}  // namespace
