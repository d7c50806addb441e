// A client wired to recording callbacks, against a scripted loopback server.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_server.h"
#include "transport/print_client.h"

struct Reports {
    static inline std::vector<std::string> status;
    static inline std::vector<std::string> log;
    static inline std::vector<std::pair<int32_t, int32_t>> progress;
    static void OnStatus(const char* text) { status.push_back(text); }
    static void OnLog(const char* text) { log.push_back(text); }
    static void OnProgress(int32_t position, int32_t maximum) { progress.emplace_back(position, maximum); }
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KeepAlive = true;
        // Short enough that a time-out test takes a fraction of a second.
        TransportTimeouts = {300, 200};
        Reports::status.clear();
        Reports::log.clear();
        Reports::progress.clear();
        client.OnProgress = Reports::OnProgress;
        client.OnStatus = Reports::OnStatus;
        client.OnLog = Reports::OnLog;
    }

    void SetUpFor(const ScriptedServer& server) { ASSERT_EQ(client.Setup("127.0.0.1", server.Port(), "PC01", "cipher"), 0); }

    // One exchange with the usual XML header; body and result kept.
    int Exchange(const char* requestBody = "<x/>")
    {
        bodyLength = -1;
        return client.httpRequest("path", "Content-Type: application/xml", requestBody, nullptr, 0, body,
                                  sizeof body, &bodyLength);
    }

    std::string Body() const { return bodyLength < 0 ? std::string() : std::string(body, static_cast<size_t>(bodyLength)); }

    PrintClient client;
    char body[65536];
    int32_t bodyLength = -1;
};

inline ScriptedHandler Answer(std::string bytes, bool closeAfter = false)
{
    return [bytes, closeAfter](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.bytes = bytes;
        answer.closeAfter = closeAfter;
        return answer;
    };
}
