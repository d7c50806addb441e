#include "settings/conffile/conf_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings/integer_text.h"
#include "settings/setting_limits.h"
#include "settings/setting_rules.h"
#include "transport/ascii.h"

namespace {

enum class Kind { Text, Number };

// Empty for a good value, else one sentence naming it as "Name = value": the
// installers' rules in the installers' words.
using ValueRule = std::string (*)(const std::string& shown, const std::string& value);

struct KeyRule {
    const char* name;
    Kind kind;
    ValueRule problem;
};

std::string InRange(const std::string& shown, const std::string& value, int32_t minimum, int32_t maximum)
{
    return NumberProblem(shown, value, static_cast<unsigned long>(minimum), static_cast<unsigned long>(maximum));
}

const KeyRule kKeys[] = {
    {"Url", Kind::Text,
     [](const std::string& shown, const std::string& value) {
         const std::string problem = HostProblem(shown, value);
         return problem.empty() ? LengthProblem("Url", value, kServerNameLimit) : problem;
     }},
    {"Port", Kind::Number,
     [](const std::string& shown, const std::string& value) {
         return InRange(shown, value, kPortMinimum, kPortMaximum);
     }},
    {"PollFreq", Kind::Number,
     [](const std::string& shown, const std::string& value) {
         return InRange(shown, value, kPollMinimum, kPollMaximum);
     }},
    {"ComputerName", Kind::Text,
     [](const std::string&, const std::string& value) {
         return LengthProblem("ComputerName", value, kComputerNameLimit);
     }},
    {"Cipher", Kind::Text,
     [](const std::string&, const std::string& value) { return LengthProblem("Cipher", value, kCipherLimit); }},
    {"UseTls", Kind::Number,
     [](const std::string& shown, const std::string& value) {
         return value == "0" || value == "1" ? std::string() : shown + value + " is not 0 or 1.";
     }},
    {"BlocksInFlight", Kind::Number,
     [](const std::string& shown, const std::string& value) {
         return InRange(shown, value, kBlocksInFlightMinimum, kBlocksInFlightMaximum);
     }},
    {"Proxy", Kind::Text, ProxyProblem},
    {"LongPoll", Kind::Number,
     [](const std::string& shown, const std::string& value) {
         return InRange(shown, value, kLongPollMinimum, kLongPollMaximum);
     }},
};

// What Notepad and some other editors put before the first line.
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

bool EqualNoCase(const std::string& a, const char* b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(static_cast<unsigned char>(a[i])) != LowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const KeyRule* FindRule(const std::string& key)
{
    for (const KeyRule& rule : kKeys)
        if (EqualNoCase(key, rule.name))
            return &rule;
    return nullptr;
}

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A "#" after a blank starts a comment on every line, after a setting's value
// as after a printer's flag (CUPS queue names hold neither blanks nor "#").
std::string WithoutComment(const std::string& line)
{
    for (size_t hash = line.find('#', 1); hash != std::string::npos; hash = line.find('#', hash + 1))
        if (line[hash - 1] == ' ' || line[hash - 1] == '\t')
            return line.substr(0, hash);
    return line;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

}  // namespace

bool ConfFile::Parse(const std::string& text, int* badLine, std::string* problem)
{
    entries_.clear();
    bool inPrinters = false;
    int number = 0;
    size_t start = text.compare(0, sizeof kUtf8ByteOrderMark - 1, kUtf8ByteOrderMark) == 0
                       ? sizeof kUtf8ByteOrderMark - 1
                       : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++number;
        if (!TakeLine(text.substr(start, end - start), number, &inPrinters, problem)) {
            entries_.clear();
            *badLine = number;
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool ConfFile::TakeLine(const std::string& line, int number, bool* inPrinters, std::string* problem)
{
    // Texts reach the client as C strings: a NUL would cut them silently.
    if (line.find('\0') != std::string::npos) {
        *problem = "the line holds a NUL byte";
        return false;
    }
    const std::string content = Trim(WithoutComment(line));
    if (content.empty() || content[0] == '#' || content[0] == ';')
        return true;
    if (content[0] == '[') {
        const std::string section = Trim(content.substr(1, content.size() - 1 - (content.back() == ']')));
        if (content.back() != ']' || !EqualNoCase(section, "printers")) {
            *problem = "unknown section " + Quoted(content) + "; the one section is [printers]";
            return false;
        }
        *inPrinters = true;
        return true;
    }
    const size_t equals = *inPrinters ? content.rfind('=') : content.find('=');
    if (equals == std::string::npos) {
        *problem = "expected \"Name = value\"";
        return false;
    }
    const std::string key = Trim(content.substr(0, equals));
    if (key.empty()) {
        *problem = "no name before \"=\"";
        return false;
    }
    return Take(key, Trim(content.substr(equals + 1)), *inPrinters, number, problem);
}

bool ConfFile::Take(const std::string& key, const std::string& value, bool inPrinters, int line,
                    std::string* problem)
{
    const KeyRule* rule = FindRule(key);
    // The shipped file ends with [printers]: a setting appended to it would
    // otherwise become the hide flag of a printer that does not exist.
    if (inPrinters && rule != nullptr) {
        *problem = Quoted(key) + " is a setting, not a printer: settings go above the line [printers]";
        return false;
    }
    if (!inPrinters && rule == nullptr) {
        *problem = "unknown setting " + Quoted(key) + " (printers go under [printers])";
        return false;
    }
    Entry entry{inPrinters ? kPrinterFlagPrefix + key : rule->name, value, 0, false, line};
    if (const Entry* earlier = Find(entry.name)) {
        *problem = Quoted(key) + " is set again; it was set on line " + std::to_string(earlier->line);
        return false;
    }

    if (rule != nullptr) {
        const std::string refusal = rule->problem(std::string(rule->name) + " = ", value);
        if (!refusal.empty()) {
            *problem = refusal;
            return false;
        }
    }
    if (inPrinters || rule->kind == Kind::Number) {
        entry.isNumber = true;
        if (!ParseIntegerText(value, &entry.number)) {
            *problem = Quoted(key) + " needs a number, not " + Quoted(value);
            return false;
        }
    }
    entries_.push_back(entry);
    return true;
}

const ConfFile::Entry* ConfFile::Find(const std::string& name) const
{
    for (const Entry& entry : entries_)
        if (EqualNoCase(entry.name, name.c_str()))
            return &entry;
    return nullptr;
}

bool ConfFile::HidesTheSamePrinters(const ConfFile& other) const
{
    return HiddenAlsoIn(other) && other.HiddenAlsoIn(*this);
}

bool ConfFile::HiddenAlsoIn(const ConfFile& other) const
{
    for (const Entry& entry : entries_) {
        // Only the hide flags are numbers named with the prefix.
        if (entry.name.compare(0, sizeof kPrinterFlagPrefix - 1, kPrinterFlagPrefix) != 0 || entry.number == 0)
            continue;
        const Entry* same = other.Find(entry.name);
        if (same == nullptr || same->number == 0)
            return false;
    }
    return true;
}

bool ConfFile::ReadInteger(const char* name, int32_t* value)
{
    const Entry* entry = Find(name);
    if (entry == nullptr || !entry->isNumber)
        return false;
    *value = entry->number;
    return true;
}

std::string ConfFile::ReadText(const char* name)
{
    const Entry* entry = Find(name);
    return entry != nullptr && !entry->isNumber ? entry->text : std::string();
}

bool LoadConfFile(const char* path, ConfFile* conf, std::string* message)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        *message = std::string(path) + ": cannot be read: " + strerror(errno);
        return false;
    }
    std::string text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    const bool readFailed = ferror(file) != 0;
    fclose(file);
    if (readFailed) {
        *message = std::string(path) + ": cannot be read";
        return false;
    }
    int line = 0;
    std::string problem;
    if (!conf->Parse(text, &line, &problem)) {
        *message = std::string(path) + ":" + std::to_string(line) + ": " + problem;
        return false;
    }
    return true;
}
