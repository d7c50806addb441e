// The Linux daemon's settings file, which it only ever reads:
//
//   # comment              (also ; at the start of a line)
//   Url = print.example.com
//   Port = 7000            # a "#" after a blank starts a comment on any line
//   [printers]
//   Office Laser = 1       (non-zero hides the printer, 0 exposes it)
//
// The settings have the registry's names, matched without regard to letter
// case as in the registry, and the installers' rules for their values: a
// port, poll frequency or blocks in flight as a decimal number in its range,
// a host name or address without scheme, port or path. A value runs from the
// first non-blank after "=" to the last non-blank before the line's end or
// its comment, so no value holds a blank followed by "#". A printer's
// name runs to the line's last "=", since queue names may hold one; its flag
// is any number. A UTF-8 byte order mark before the first line is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings_store.h"

class ConfFile final : public SettingsStore {
public:
    // False at the first line that cannot be taken, with its number (from 1)
    // and what is wrong with it. The store is left empty then.
    bool Parse(const std::string& text, int* badLine, std::string* problem);

    // Whether both hide the same printers (a printer missing counts as 0).
    bool HidesTheSamePrinters(const ConfFile& other) const;

    bool ReadInteger(const char* name, int32_t* value) override;
    std::string ReadText(const char* name) override;
    // The file is the administrator's: a value the rules would write back is
    // taken as written and kept nowhere, so a missing value keeps its default.
    bool WriteInteger(const char*, int32_t) override { return true; }
    bool WriteText(const char*, const std::string&) override { return true; }

private:
    struct Entry {
        std::string name;  // a setting's, or "Printer:" and the printer's
        std::string text;
        int32_t number;
        bool isNumber;
        int line;
    };
    const Entry* Find(const std::string& name) const;
    bool HiddenAlsoIn(const ConfFile& other) const;
    bool TakeLine(const std::string& line, int number, bool* inPrinters, std::string* problem);
    bool Take(const std::string& key, const std::string& value, bool inPrinters, int line, std::string* problem);

    std::vector<Entry> entries_;
};

// Reads and parses the file. False with message set to "PATH:LINE: problem",
// or "PATH: problem" when the file cannot be read.
bool LoadConfFile(const char* path, ConfFile* conf, std::string* message);
