#include "ui/progress_labels.h"

#include <cinttypes>
#include <cstdio>

ProgressLabels ProgressLabelsFor(int32_t position, int32_t maximum)
{
    ProgressLabels labels;
    const int64_t percent = maximum > 0 ? static_cast<int64_t>(position) * 100 / maximum : 0;
    std::snprintf(labels.size, sizeof(labels.size), "%" PRId32, maximum);
    std::snprintf(labels.percent, sizeof(labels.percent), "%" PRId64 "%%", percent);
    labels.barMaximum = maximum > 0 ? maximum : 0;
    return labels;
}
