#include "settings/computer_name.h"

#include <unistd.h>

#include <cstring>

#include "transport/ascii.h"

std::string ComputerNameOfThisPc()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    // The host name's first label in capitals, as Windows names a computer.
    std::string label(name, strcspn(name, "."));
    for (char& c : label)
        c = static_cast<char>(UpperAscii(static_cast<unsigned char>(c)));
    return label;
}
