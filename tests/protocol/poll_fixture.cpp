#include "tests/protocol/poll_fixture.h"

#include <algorithm>

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
    std::vector<ScriptedAnswer> answers;
    size_t offset = 0;
    for (size_t size : sizes) {
        ScriptedAnswer answer;
        answer.bytes = OkResponse(Complement(data.substr(offset, size)));
        answers.push_back(answer);
        offset += size;
    }
    Script("spooldata", answers);
}

void PollTest::ServeSpoolFile(const std::string& data, const std::map<size_t, size_t>& shortBlocks)
{
    std::lock_guard<std::mutex> lock(mutex_);
    spoolFile_ = data;
    shortBlocks_ = shortBlocks;
}

void PollTest::CloseAfter(const std::string& function, int request, bool announced)
{
    std::lock_guard<std::mutex> lock(mutex_);
    closingFunction_ = function;
    closingRequest_ = request;
    closeAnnounced_ = announced;
}

void PollTest::AwaitSilentClose()
{
    if (silentCloseGiven_.exchange(false))
        WaitReadable(client_->Socket, 1000);
}

ScriptedAnswer PollTest::Answer(const ScriptedRequest& request)
{
    ScriptedAnswer answer = ScriptedAnswerTo(request);
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string function = FunctionOf(request);
    if (function == closingFunction_ && ++requestsSeen_[function] == closingRequest_) {
        answer.closeAfter = true;
        if (closeAnnounced_)
            answer.bytes.insert(answer.bytes.find("\r\n") + 2, "connection: CLOSE\r\n");
        else
            silentCloseGiven_ = true;
    }
    return answer;
}

ScriptedAnswer PollTest::ScriptedAnswerTo(const ScriptedRequest& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spoolFile_.empty() && FunctionOf(request) == "spooldata") {
        const size_t offset = OffsetOf(request);
        auto shortBlock = shortBlocks_.find(offset);
        const size_t length = shortBlock != shortBlocks_.end() ? shortBlock->second : size_t{4096};
        ScriptedAnswer block;
        block.bytes = OkResponse(Complement(spoolFile_.substr(std::min(offset, spoolFile_.size()), length)));
        return block;
    }
    auto answers = script_.find(FunctionOf(request));
    if (answers == script_.end() || answers->second.empty()) {
        ScriptedAnswer missing;
        missing.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        return missing;
    }
    size_t& served = served_[answers->first];
    size_t index = served < answers->second.size() ? served : answers->second.size() - 1;
    ++served;
    return answers->second[index];
}

int PollTest::Poll()
{
    client_.reset(new PrintClient);
    client_->Setup("127.0.0.1", server_->Port(), "PC01", kCipher);
    client_->BlocksInFlight = blocksInFlight;
    display_recorder::Attach(client_.get());
    return RunPollCycle(client_.get());
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
