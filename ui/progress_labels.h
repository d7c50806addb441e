// What the Status page shows for a progress report: the maximum, the
// percentage and the progress bar's range.
#pragma once

#include <cstdint>

struct ProgressLabels {
    char size[16];     // the maximum in decimal
    char percent[24];  // e.g. "40%"; 64-bit, so any position fits
    int32_t barMaximum;
};

// The percentage is position x 100 / maximum, truncated toward zero and
// formed in 64 bits, or 0 when maximum is 0 or less. A negative maximum lies
// below the bar's minimum of 0, so the bar then shows an empty range.
ProgressLabels ProgressLabelsFor(int32_t position, int32_t maximum);
