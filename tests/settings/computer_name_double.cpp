#include "settings/computer_name.h"
#include "tests/settings/settings_doubles.h"

std::string ThisComputerName = "OFFICE-PC";

std::string ComputerNameOfThisPc()
{
    return ThisComputerName;
}
