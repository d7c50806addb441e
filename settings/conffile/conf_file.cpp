#include "settings/conffile/conf_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings/client_settings.h"
#include "settings/integer_text.h"
#include "settings/setting_limits.h"
#include "transport/ascii.h"

namespace {

enum class Kind { Text, Number, Switch };

struct KeyRule {
    const char* name;
    Kind kind;
    std::string SettingsValues::*text;  // where a text's length limit applies
};

const KeyRule kKeys[] = {
    {"Url", Kind::Text, &SettingsValues::Url},
    {"Port", Kind::Number, nullptr},
    {"PollFreq", Kind::Number, nullptr},
    {"ComputerName", Kind::Text, &SettingsValues::ComputerName},
    {"Cipher", Kind::Text, &SettingsValues::Cipher},
    {"UseTls", Kind::Switch, nullptr},
};

bool EqualNoCase(const std::string& a, const char* b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(static_cast<unsigned char>(a[i])) != LowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
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
    for (size_t start = 0; start < text.size();) {
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
    const std::string content = Trim(line);
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
    const KeyRule* rule = nullptr;
    for (const KeyRule& candidate : kKeys)
        if (!inPrinters && EqualNoCase(key, candidate.name))
            rule = &candidate;
    if (!inPrinters && rule == nullptr) {
        *problem = "unknown setting " + Quoted(key) + " (printers go under [printers])";
        return false;
    }
    Entry entry{inPrinters ? kPrinterFlagPrefix + key : rule->name, value, 0, false, line};
    if (const Entry* earlier = Find(entry.name)) {
        *problem = Quoted(key) + " is set again; it was set on line " + std::to_string(earlier->line);
        return false;
    }

    if (inPrinters || rule->kind != Kind::Text) {
        entry.isNumber = true;
        if (!ParseIntegerText(value, &entry.number)) {
            *problem = Quoted(key) + " needs a number, not " + Quoted(value);
            return false;
        }
        if (rule != nullptr && rule->kind == Kind::Switch && entry.number != 0 && entry.number != 1) {
            *problem = Quoted(key) + " must be 0 or 1";
            return false;
        }
    } else {
        // Longer texts than the client holds are refused here, with their
        // line, rather than found at every poll.
        SettingsValues probe;
        probe.*(rule->text) = value;
        const std::string overlong = OverlongSetting(probe);
        if (!overlong.empty()) {
            *problem = overlong;
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
