#include "tests/support/doubles/display_recorder.h"

#include "transport/print_client.h"
#include "ui/display.h"

namespace {

std::vector<DisplayEvent> Recorded;
std::function<void(const DisplayEvent&)> Hook;

void Record(const DisplayEvent& event)
{
    Recorded.push_back(event);
    if (Hook)
        Hook(event);
}

}  // namespace

bool DisplayEvent::operator==(const DisplayEvent& other) const
{
    return kind == other.kind && position == other.position && maximum == other.maximum && text == other.text;
}

DisplayEvent ProgressEvent(int32_t position, int32_t maximum)
{
    return DisplayEvent{DisplayEvent::Progress, position, maximum, ""};
}

DisplayEvent StatusEvent(const std::string& text)
{
    return DisplayEvent{DisplayEvent::Status, 0, 0, text};
}

DisplayEvent LogEvent(const std::string& text)
{
    return DisplayEvent{DisplayEvent::Log, 0, 0, text};
}

DisplayEvent ClearLogEvent()
{
    return DisplayEvent{DisplayEvent::ClearLog, 0, 0, ""};
}

void PrintTo(const DisplayEvent& event, std::ostream* out)
{
    switch (event.kind) {
    case DisplayEvent::Progress:
        *out << "Progress(" << event.position << ", " << event.maximum << ")";
        break;
    case DisplayEvent::Status:
        *out << "Status(\"" << event.text << "\")";
        break;
    case DisplayEvent::Log:
        *out << "Log(\"" << event.text << "\")";
        break;
    case DisplayEvent::ClearLog:
        *out << "ClearLog()";
        break;
    }
}

namespace display_recorder {

void Reset()
{
    Recorded.clear();
    Hook = nullptr;
}

const std::vector<DisplayEvent>& Events()
{
    return Recorded;
}

void SetHook(std::function<void(const DisplayEvent&)> hook)
{
    Hook = std::move(hook);
}

void Attach(PrintClient* client)
{
    client->OnProgress = OnProgress;
    client->OnStatus = OnStatus;
    client->OnLog = OnLog;
}

}  // namespace display_recorder

void OnProgress(int32_t position, int32_t maximum)
{
    Record(ProgressEvent(position, maximum));
}

void OnStatus(const char* text)
{
    Record(StatusEvent(text));
}

void OnLog(const char* text)
{
    Record(LogEvent(text));
}

void ClearLog()
{
    Record(ClearLogEvent());
}
