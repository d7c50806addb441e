#include "tests/hardening/poll_rig.h"

#include <chrono>
#include <cstdio>

#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/hardening/process_counts.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/doubles/inventory_double.h"
#include "tests/support/doubles/spooler_double.h"
#include "transport/print_client.h"

const std::string kJobBytes = "hello job!";
const std::vector<std::string> kJobBlocks = {"hello ", "job!"};
const char* const kRequestNames[5] = {"printlist", "qryspool", "spooldata", "spooldata", "printed"};

std::string Complemented(const std::string& bytes)
{
    std::string result = bytes;
    for (char& c : result)
        c = static_cast<char>(~c);
    return result;
}

std::vector<ScriptedResponse> CompleteExchange()
{
    const std::string second = Complemented(kJobBlocks[1]);
    std::vector<std::string> responses = {
        OkResponse("OK\r\n17"),
        OkResponse("SPOOL\r\njob7.spl\r\n" + std::to_string(kJobBytes.size()) + "\r\nReport\r\nOffice Laser\r\n42"),
        OkResponse(Complemented(kJobBlocks[0])),
        ChunkedResponse({second.substr(0, 2), second.substr(2)}),
        OkResponse("OK"),
    };
    std::vector<ScriptedResponse> script;
    for (const std::string& bytes : responses) {
        ScriptedResponse response;
        response.bytes = bytes;
        script.push_back(response);
    }
    return script;
}

PollOutcome RunPoll(const std::vector<ScriptedResponse>& script, bool keepAlive, const DisplayEvent* pauseAt)
{
    KeepAlive = keepAlive;
    ComputerToken = -1;
    RegistrationCountdown = 0;
    LogCleared = false;
    snprintf(ServicePrefix, sizeof ServicePrefix, "%s", ".00010101000000000000/system/rmtprt.aspx?func=");
    TransportTimeouts = {kHeadTimeoutMilliseconds, kHeadTimeoutMilliseconds};
    display_recorder::Reset();
    spooler_double::Reset();
    inventory_double::Reset();
    inventory_double::SetPrinters({"Office Laser"});

    PollOutcome outcome;
    ForkedPeer peer(script);
    outcome.descriptorsBefore = OpenDescriptors();
    {
        PrintClient client;
        display_recorder::Attach(&client);
        if (pauseAt != nullptr) {
            display_recorder::SetHook([&client, pauseAt](const DisplayEvent& event) {
                if (event == *pauseAt)
                    WaitReadable(client.Socket, 1000);
            });
        }
        client.Setup("127.0.0.1", peer.Port(), "PC01", "cipher");
        const auto start = std::chrono::steady_clock::now();
        outcome.result = RunPollCycle(&client);
        outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        outcome.socketHeld = client.Socket != kNoSocket;
        outcome.descriptorsAfterPoll = OpenDescriptors();
    }
    outcome.descriptorsAfterClient = OpenDescriptors();
    outcome.requests = peer.Stop();
    return outcome;
}
