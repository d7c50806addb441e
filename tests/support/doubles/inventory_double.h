// The installed printers, the user and the hide flags, as tests set them.
#pragma once

#include <string>
#include <vector>

namespace inventory_double {

// No printers, the user JSMITH, no flags, flag writes and listing succeed.
void Reset();

void SetPrinters(const std::vector<std::string>& names);
void SetUser(const std::string& name);
// Stores a flag as the settings would hold it; any non-zero value is hidden.
void SetFlag(const std::string& valueName, int value);
// Creating a missing flag fails from now on.
void FailFlagWrites(bool fail);
// The printers cannot be listed at all from now on (a scheduler that is down).
void FailListing(bool fail);

bool HasFlag(const std::string& valueName);
int FlagValue(const std::string& valueName);
// The value names of the flags created as 0, in order.
const std::vector<std::string>& CreatedFlags();

}  // namespace inventory_double
