// The process exit codes.
#pragma once

constexpr int kExitNormal = 0;
// A fatal start-up problem, shown to the user in a message box first.
constexpr int kExitStartUpFailure = 100;
