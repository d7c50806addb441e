#include "app/event_log.h"

#include <windows.h>

#include "event_messages.h"

namespace {

WORD EventType(LogLevel level)
{
    switch (level) {
    case LogLevel::Error:
        return EVENTLOG_ERROR_TYPE;
    case LogLevel::Warning:
        return EVENTLOG_WARNING_TYPE;
    case LogLevel::Info:
        break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

}  // namespace

void WriteEvent(LogLevel level, const std::string& text)
{
    // Registered once for the life of the process; a source that is not
    // registered still takes events, only shown without the message table.
    static const HANDLE source = RegisterEventSourceA(nullptr, "webprint");
    if (source == nullptr)
        return;
    const std::string line = OneLine(text);
    const char* strings[] = {line.c_str()};
    ReportEventA(source, EventType(level), 0, kEventText, nullptr, 1, 0, strings, nullptr);
}
