// The longest texts a poll's client can hold. A longer setting is refused on
// OK and never polled with a cut value: a cut host or computer name would
// reach another server or register under another name.
#pragma once

#include <cstddef>
#include <string>

struct SettingsValues;

constexpr size_t kServerNameLimit = 63;
constexpr size_t kComputerNameLimit = 63;
constexpr size_t kCipherLimit = 255;

// Empty when every text fits; otherwise names the first text that does not
// (server name, computer name, cipher) and its limit, for example
// "Server name longer than 63 characters".
std::string OverlongSetting(const SettingsValues& settings);
