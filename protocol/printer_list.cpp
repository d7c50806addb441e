#include "protocol/printer_list.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "protocol/printer_inventory.h"
#include "settings/settings_store.h"
#include "transport/print_client.h"

namespace {

constexpr char kClosing[] = "</list>";

// Formats at out + *length when the text fits with the closing and its NUL
// still behind it; otherwise keeps nothing and returns false.
bool AppendKeepingRoomForClosing(char* out, int32_t capacity, int32_t* length, const char* format, ...)
{
    // The formatted NUL may land on the closing's first byte: it is rewritten.
    int32_t room = capacity - *length - static_cast<int32_t>(sizeof kClosing - 1);
    if (room <= 0)
        return false;
    va_list arguments;
    va_start(arguments, format);
    int added = vsnprintf(out + *length, static_cast<size_t>(room), format, arguments);
    va_end(arguments);
    if (added < 0 || added >= room)
        return false;
    *length += added;
    return true;
}

// The printer stays installed and usable locally, but the service will not
// know it: the user has to be told. Printers left out for the same reason are
// told in one line, however many there are.
void LeaveOut(PrintClient* client, const char* name, int32_t more, const char* reason)
{
    char text[128 + kMaxPrinterNameLength];
    if (more == 0)
        snprintf(text, sizeof text, "Printer left out of the printer list: %s (%s)", name, reason);
    else
        snprintf(text, sizeof text, "Printer left out of the printer list: %s and %d more (%s)", name,
                 static_cast<int>(more), reason);
    client->OnLog(text);
}

// A printer's hide flag as it stands; a missing one is created as 0
// (exposed), and createFailed tells when that creation failed.
struct HideFlag {
    char valueName[sizeof kPrinterFlagPrefix + kMaxPrinterNameLength];
    bool hidden;
    bool createFailed;
};

// The name is no longer than kMaxPrinterNameLength.
HideFlag ReadHideFlagOf(const char* name)
{
    HideFlag flag = {};
    snprintf(flag.valueName, sizeof flag.valueName, "%s%s", kPrinterFlagPrefix, name);
    flag.hidden = IsPrinterHidden(flag.valueName, &flag.createFailed);
    return flag;
}

}  // namespace

char* XmlEscape(char* out, const char* text)
{
    char* write = out;
    for (const unsigned char* read = reinterpret_cast<const unsigned char*>(text); *read != 0; ++read) {
        // Unsigned, so bytes 0x80-0xFF are copied as they are and only real
        // control characters become blanks.
        unsigned char c = *read < 0x20 ? ' ' : *read;
        const char* entity = nullptr;
        switch (c) {
        case '"': entity = "&quot;"; break;
        case '&': entity = "&amp;"; break;
        case '\'': entity = "&apos;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        default: break;
        }
        if (entity == nullptr) {
            *write++ = static_cast<char>(c);
            continue;
        }
        size_t length = strlen(entity);
        memcpy(write, entity, length);
        write += length;
    }
    *write = 0;
    return out;
}

int BuildPrinterList(PrintClient* client, char* out, int32_t capacity)
{
    PrinterNameList printers = ListInstalledPrinters();
    // The service keeps the list it has rather than learn of no printers.
    if (printers.failed) {
        client->ReportError("Printer list not read: registration skipped");
        return 1;
    }
    int32_t length = 0;
    // The computer and user names go in unescaped, as the service has always
    // received them.
    if (!AppendKeepingRoomForClosing(out, capacity, &length, "<list cpu='%s' user='%s'>\r\n",
                                     client->ComputerName, WindowsUserName())) {
        client->ReportError("Printer list does not fit");
        return 1;
    }

    const char* firstLeftOut = nullptr;
    int32_t leftOut = 0;
    for (int32_t i = 0; i < printers.count; ++i) {
        const char* name = printers.names[i];
        if (strlen(name) > static_cast<size_t>(kMaxPrinterNameLength)) {
            LeaveOut(client, name, 0, "name too long");
            continue;
        }
        const HideFlag flag = ReadHideFlagOf(name);
        if (flag.createFailed) {
            client->ReportError(FailedWriteText(flag.valueName).c_str());
            return 1;
        }
        char escaped[kEscapedNameCapacity];
        XmlEscape(escaped, name);
        if (!AppendKeepingRoomForClosing(out, capacity, &length, " <printer name='%s' hide='%d'/>\r\n", escaped,
                                         flag.hidden ? 1 : 0) &&
            leftOut++ == 0)
            firstLeftOut = name;
    }
    if (leftOut > 0)
        LeaveOut(client, firstLeftOut, leftOut - 1, "list full");

    memcpy(out + length, kClosing, sizeof kClosing);
    return 0;
}

bool CheckExposedPrinter(PrintClient* client, const char* name)
{
    const PrinterNameList printers = ListInstalledPrinters();
    bool installed = false;
    for (int32_t i = 0; i < printers.count && !installed; ++i)
        installed = strcmp(printers.names[i], name) == 0;
    // A flag that could not be created is missing, which exposes.
    if (installed && strlen(name) <= static_cast<size_t>(kMaxPrinterNameLength) && !ReadHideFlagOf(name).hidden)
        return true;
    // The name comes from the service, with no control character in it (they
    // end a reply field); the longest a real one can be is shown.
    char text[kMaxPrinterNameLength + 64];
    snprintf(text, sizeof text, "OpenPrinter refused: \"%.*s\" is not an exposed printer", kMaxPrinterNameLength, name);
    client->ReportError(text);
    return false;
}
