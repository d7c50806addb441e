// Builds the printer list document from hostile computer, user and printer
// names, into a buffer of exactly the size given, and reads it back: the
// document always fits with its NUL, ends with "</list>", and every printer
// line names a printer of the inventory, in order, whose escaped name decodes
// back to the name itself (control characters as blanks).
//
// Input: one flags byte, one byte that picks the capacity, then NUL-separated
// texts: the computer name, the user name, the printer names. Flags: bit 0
// makes creating a missing hide flag fail; bit 1 marks every other printer
// hidden.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/printer_list.h"
#include "protocol/reply_fields.h"
#include "tests/support/doubles/inventory_double.h"
#include "transport/print_client.h"

namespace {

void CheckText(const char* text)
{
    if (strlen(text) > 65535)
        abort();
}

void IgnoreProgress(int32_t, int32_t) {}

std::string Blanked(const std::string& name)
{
    std::string blanked = name;
    for (char& c : blanked) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    return blanked;
}

// The escaped form holds no character that could end the attribute or
// start markup; an ampersand only ever begins one of the five entities.
void CheckEscaped(const char* escaped)
{
    for (const char* c = escaped; *c != 0; ++c) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == '\'' || byte == '"' || byte == '<' || byte == '>')
            abort();
        if (byte == '&' && strncmp(c, "&amp;", 5) != 0 && strncmp(c, "&lt;", 4) != 0 && strncmp(c, "&gt;", 4) != 0 &&
            strncmp(c, "&apos;", 6) != 0 && strncmp(c, "&quot;", 6) != 0)
            abort();
    }
}

// XmlUnescape undoes XmlEscape, apart from control characters.
void CheckRoundTrip(const std::string& name)
{
    std::vector<char> escaped(name.size() * 6 + 1);
    XmlEscape(escaped.data(), name.c_str());
    CheckEscaped(escaped.data());
    XmlUnescape(escaped.data(), escaped.data());
    if (Blanked(name) != escaped.data())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 16384)
        return 0;
    const uint8_t flags = data[0];
    // From a handful of bytes up to the poll's 8192.
    const int32_t capacity = data[1] == 0 ? 8192 : data[1] * 32;
    std::vector<std::string> texts(1);
    for (size_t i = 2; i < size; ++i) {
        if (data[i] == 0)
            texts.emplace_back();
        else
            texts.back().push_back(static_cast<char>(data[i]));
    }
    std::string computer = texts[0].substr(0, kComputerNameCapacity - 1);
    std::string user = texts.size() > 1 ? texts[1] : std::string();
    std::vector<std::string> printers;
    if (texts.size() > 2)
        printers.assign(texts.begin() + 2, texts.end());

    inventory_double::Reset();
    inventory_double::SetUser(user);
    inventory_double::SetPrinters(printers);
    inventory_double::FailFlagWrites((flags & 1) != 0);
    for (size_t i = 0; i < printers.size(); ++i) {
        if ((flags & 2) != 0 && i % 2 == 1)
            inventory_double::SetFlag("Printer:" + printers[i], 1);
    }
    for (const std::string& name : printers)
        CheckRoundTrip(name);

    PrintClient client;
    client.OnProgress = IgnoreProgress;
    client.OnStatus = CheckText;
    client.OnLog = CheckText;
    if (client.Setup("127.0.0.1", 7000, computer.c_str(), "cipher") != 0)
        abort();

    // Exactly the capacity, so ASan sees any byte written past it.
    std::vector<char> out(static_cast<size_t>(capacity));
    if (BuildPrinterList(&client, out.data(), capacity) != 0)
        return 0;
    const char* document = out.data();
    const size_t length = strnlen(document, out.size());
    if (length == out.size())
        abort();
    const std::string text(document, length);
    const std::string opening = "<list cpu='" + computer + "' user='" + user + "'>\r\n";
    if (text.compare(0, opening.size(), opening) != 0)
        abort();
    if (text.size() < opening.size() + 7 || text.compare(text.size() - 7, 7, "</list>") != 0)
        abort();

    // The printer lines between the opening and the closing, in list order.
    size_t next = 0;
    size_t position = opening.size();
    const size_t closing = text.size() - 7;
    while (position < closing) {
        const std::string prefix = " <printer name='";
        size_t lineEnd = text.find("/>\r\n", position);
        if (text.compare(position, prefix.size(), prefix) != 0 || lineEnd == std::string::npos || lineEnd > closing)
            abort();
        size_t nameEnd = text.rfind("' hide='", lineEnd);
        if (nameEnd == std::string::npos || nameEnd < position + prefix.size() || nameEnd + 10 != lineEnd)
            abort();
        std::string escaped = text.substr(position + prefix.size(), nameEnd - position - prefix.size());
        std::vector<char> decoded(escaped.begin(), escaped.end());
        decoded.push_back(0);
        XmlUnescape(decoded.data(), decoded.data());
        while (next < printers.size() && Blanked(printers[next]) != decoded.data())
            ++next;
        if (next == printers.size())
            abort();
        const char hide = text[nameEnd + 8];
        if (hide != '0' && hide != '1')
            abort();
        ++next;
        position = lineEnd + 4;
    }
    return 0;
}
