// The printer list document posted to register the computer.
#pragma once

#include <cstdint>

struct PrintClient;

// Longest printer name the platform allows, and its worst-case escaped form.
constexpr int kMaxPrinterNameLength = 255;
constexpr int kEscapedNameCapacity = kMaxPrinterNameLength * 6 + 1;

// Copies text to out with control characters as blanks and the five XML
// special characters as entities. out needs six bytes per input byte plus one.
char* XmlEscape(char* out, const char* text);

// Writes the document and its NUL into out. A printer whose line does not fit
// is left out and named in the event list. Returns 0, or 1 when a missing hide
// flag could not be stored or not even the opening line fits (reported through
// the client).
int BuildPrinterList(PrintClient* client, char* out, int32_t capacity);

// Whether a job may go to the printer the service names: only to an installed
// printer (as listed now) whose hide flag, as it stands now, exposes it. Any
// other name (a printer on another computer, which the spooler would reach
// with this computer's account, or a hidden one) is refused with a failure
// that names it, reported through the client.
bool CheckExposedPrinter(PrintClient* client, const char* name);
