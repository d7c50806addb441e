// Records the display functions (progress, status, log, and the emptying of
// the event list) in one ordered list, so tests compare whole sequences.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct PrintClient;

struct DisplayEvent {
    enum Kind { Progress, Status, Log, ClearLog } kind;
    int32_t position;
    int32_t maximum;
    std::string text;

    bool operator==(const DisplayEvent& other) const;
};

DisplayEvent ProgressEvent(int32_t position, int32_t maximum);
DisplayEvent StatusEvent(const std::string& text);
DisplayEvent LogEvent(const std::string& text);
DisplayEvent ClearLogEvent();

// Readable failure messages in GoogleTest.
void PrintTo(const DisplayEvent& event, std::ostream* out);

namespace display_recorder {

// Forgets the events and the hook.
void Reset();
const std::vector<DisplayEvent>& Events();
// Called with each event as it is recorded, on the thread that displays it.
void SetHook(std::function<void(const DisplayEvent&)> hook);
// Wires the client's three callbacks to the recorder.
void Attach(PrintClient* client);

}  // namespace display_recorder
