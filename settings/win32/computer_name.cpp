#include "settings/computer_name.h"

#include <windows.h>

std::string ComputerNameOfThisPc()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return std::string();
    // On success size is the name's length without its NUL.
    return std::string(name, size < sizeof name ? size : sizeof name - 1);
}
