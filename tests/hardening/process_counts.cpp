#include "tests/hardening/process_counts.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The number after "name:" in /proc/self/status; -1 when missing.
long StatusValue(const char* name)
{
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    const size_t length = strlen(name);
    char line[256];
    long value = -1;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, name, length) == 0 && line[length] == ':')
            value = atol(line + length + 1);
    }
    fclose(status);
    return value;
}

}  // namespace

int OpenDescriptors()
{
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(directory);
    return count;
}

int Threads()
{
    return static_cast<int>(StatusValue("Threads"));
}

long ResidentKilobytes()
{
    return StatusValue("VmRSS");
}
