#include "app/command_line.h"

#include <string.h>

namespace {

bool IsBlank(char character) { return character == ' ' || character == '\t'; }

}  // namespace

bool CommandLineIs(const char* commandLine, const char* switchText)
{
    if (commandLine == nullptr)
        return false;
    while (IsBlank(*commandLine))
        ++commandLine;
    const size_t length = strlen(switchText);
    // Stops at the end of a shorter command line.
    if (_strnicmp(commandLine, switchText, length) != 0)
        return false;
    commandLine += length;
    while (IsBlank(*commandLine))
        ++commandLine;
    return *commandLine == '\0';
}
