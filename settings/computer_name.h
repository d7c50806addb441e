// The name of this computer, behind a link-time seam: the program asks the
// platform, the tests give a name of their own.
#pragma once

#include <string>

// Empty when the platform cannot tell it.
std::string ComputerNameOfThisPc();
