#include "tests/settings/poll_doubles.h"

#include "protocol/poll_cycle.h"
#include "transport/print_client.h"
#include "ui/display.h"

TickRecord Ticks;

PrintClient::PrintClient()
    : Socket(kNoSocket), Head(), Cipher(), ComputerName(), Host(), Port(0),
      OnProgress(nullptr), OnStatus(nullptr), OnLog(nullptr), UseTls(false), Channel(nullptr), ProxyHost(),
      ProxyPort(0)
{
    ++Ticks.clientsCreated;
}

PrintClient::~PrintClient()
{
    ++Ticks.clientsDestroyed;
}

int PrintClient::Setup(const char* host, int32_t port, const char* computerName, const char* cipher)
{
    Ticks.setups.push_back({host, port, computerName, cipher, ""});
    return 0;
}

int PrintClient::SetProxy(const char* host, int32_t port)
{
    Ticks.setups.back().proxy = std::string(host) + ":" + std::to_string(port);
    return 0;
}

int RunPollCycle(PrintClient* client, PollEnd* outcome)
{
    *outcome = Ticks.outcome;
    Ticks.longPolls.push_back(client->LongPoll);
    const bool display = client->OnProgress == &::OnProgress && client->OnStatus == &::OnStatus &&
                         client->OnLog == &::OnLog;
    Ticks.polls.push_back({display, Ticks.clientsCreated - Ticks.clientsDestroyed,
                           Ticks.setups.size() == Ticks.polls.size() + 1});
    return 1;
}

void OnProgress(int32_t, int32_t) {}
void OnStatus(const char* text) { Ticks.statusTexts.push_back(text); }
void OnLog(const char*) {}
void ClearLog() {}
