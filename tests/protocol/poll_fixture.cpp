#include "tests/protocol/poll_fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "protocol/service_path.h"

std::string FunctionOf(const ScriptedRequest& request)
{
    size_t equals = request.path.rfind("func=");
    return equals == std::string::npos ? std::string() : request.path.substr(equals + 5);
}

size_t OffsetOf(const ScriptedRequest& request)
{
    const size_t at = request.body.find("offset='");
    return at == std::string::npos ? 0 : std::stoul(request.body.substr(at + 8));
}

std::string ServerError()
{
    return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
}

std::string Complement(const std::string& bytes)
{
    std::string inverted = bytes;
    for (char& c : inverted)
        c = static_cast<char>(~static_cast<unsigned char>(c));
    return inverted;
}

std::string JobReply(const std::string& file, const std::string& size, const std::string& document,
                     const std::string& printer, const std::string& jobId)
{
    return "SPOOL\r\n" + file + "\r\n" + size + "\r\n" + document + "\r\n" + printer + "\r\n" + jobId;
}

void PollTest::SetUp()
{
    ComputerToken = -1;
    RegistrationCountdown = 0;
    LogCleared = false;
    ServicePrefix[0] = 0;
    KeepAlive = true;
    TransportTimeouts = {200, 100};
    spooler_double::Reset();
    inventory_double::Reset();
    inventory_double::SetPrinters({"Office Laser"});
    display_recorder::Reset();

    Script("ping", "");
    Script("printlist", "OK\r\n17");
    Script("qryspool", "EMPTY");
    Script("printed", "OK");
    server_.reset(new ScriptedServer([this](const ScriptedRequest& request) { return Answer(request); }));
}

void PollTest::TearDown()
{
    client_.reset();
    server_.reset();
    TransportTimeouts = {15000, 3000};
    KeepAlive = true;
}

void PollTest::Script(const std::string& function, std::vector<ScriptedAnswer> answers)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_[function] = std::move(answers);
    served_[function] = 0;
}

void PollTest::Script(const std::string& function, const std::string& okBody)
{
    ScriptedAnswer answer;
    answer.bytes = OkResponse(okBody);
    Script(function, std::vector<ScriptedAnswer>{answer});
}

void PollTest::ServeBlocks(const std::string& data, const std::vector<size_t>& sizes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    spoolFile_ = data;
    size_t offset = 0;
    for (size_t size : sizes) {
        blockSizes_[offset] = size;
        offset += size;
    }
}

void PollTest::CloseAfter(const std::string& function, int request, bool announced, bool reset)
{
    std::lock_guard<std::mutex> lock(mutex_);
    closingFunction_ = function;
    closingRequest_ = request;
    closeAnnounced_ = announced;
    closeResets_ = reset;
}

void PollTest::ShapeBlocks(void (*shape)(ScriptedAnswer* answer))
{
    std::lock_guard<std::mutex> lock(mutex_);
    shapeBlocks_ = shape;
}

void PollTest::AwaitSilentClose()
{
    if (silentCloseGiven_.exchange(false))
        WaitReadable(client_->Socket, 1000);
    if (resetGiven_.exchange(false)) {
        for (int waited = 0; server_->ResetByServer() == 0 && waited < 1000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ScriptedAnswer PollTest::Answer(const ScriptedRequest& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string function = FunctionOf(request);
    ScriptedAnswer answer;
    size_t& served = served_[function];
    auto answers = script_.find(function);
    if (function == "spooldata" && !spoolFile_.empty()) {
        const size_t offset = std::min(OffsetOf(request), spoolFile_.size());
        auto size = blockSizes_.find(offset);
        const size_t length = size != blockSizes_.end() ? size->second : 4096;
        answer.bytes = OkResponse(Complement(spoolFile_.substr(offset, length)));
        if (shapeBlocks_ != nullptr)
            shapeBlocks_(&answer);
    } else if (answers == script_.end() || answers->second.empty()) {
        answer.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    } else {
        answer = answers->second[std::min(served, answers->second.size() - 1)];
    }
    if (++served == static_cast<size_t>(closingRequest_) && function == closingFunction_) {
        answer.closeAfter = true;
        answer.reset = closeResets_;
        if (closeAnnounced_)
            answer.bytes.insert(answer.bytes.find("\r\n") + 2, "connection: CLOSE\r\n");
        silentCloseGiven_ = !closeAnnounced_ && !closeResets_;
        resetGiven_ = closeResets_;
    }
    return answer;
}

int PollTest::Poll()
{
    client_.reset(new PrintClient);
    client_->Setup("127.0.0.1", server_->Port(), "PC01", kCipher);
    client_->BlocksInFlight = blocksInFlight;
    client_->LongPoll = longPoll;
    display_recorder::Attach(client_.get());
    return RunPollCycle(client_.get(), &outcome);
}

int PollTest::PollUnreachable()
{
    uint16_t closedPort;
    {
        ScriptedServer gone([](const ScriptedRequest&) { return ScriptedAnswer(); });
        closedPort = gone.Port();
    }
    client_.reset(new PrintClient);
    client_->Setup("127.0.0.1", closedPort, "PC01", kCipher);
    display_recorder::Attach(client_.get());
    return RunPollCycle(client_.get());
}

std::vector<ScriptedRequest> PollTest::RequestsFor(const std::string& function)
{
    std::vector<ScriptedRequest> matching;
    for (const ScriptedRequest& request : server_->Requests()) {
        if (FunctionOf(request) == function)
            matching.push_back(request);
    }
    return matching;
}

std::vector<DisplayEvent> PollTest::NewEvents()
{
    const std::vector<DisplayEvent>& all = display_recorder::Events();
    std::vector<DisplayEvent> fresh(all.begin() + static_cast<long>(eventsSeen_), all.end());
    eventsSeen_ = all.size();
    return fresh;
}
