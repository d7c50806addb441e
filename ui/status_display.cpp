#include "ui/status_display.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "ui/progress_labels.h"
#include "ui/window_builder.h"

namespace {

// Sets a label's text unless it already reads so; true when it was set.
bool ChangeLabel(HWND label, char* shown, size_t capacity, const char* text)
{
    if (strcmp(shown, text) == 0)
        return false;
    SetLabelText(label, text);
    snprintf(shown, capacity, "%s", text);
    return true;
}

}  // namespace

void StatusDisplay::Attach(HWND sizeLabel, HWND percentLabel, HWND bar, HWND statusBar)
{
    sizeLabel_ = sizeLabel;
    percentLabel_ = percentLabel;
    bar_ = bar;
    statusBar_ = statusBar;
    // The window cannot be resized, so the bar keeps this width.
    RECT rect = {};
    GetClientRect(bar, &rect);
    barWidth_ = rect.right - rect.left;
}

int64_t StatusDisplay::FilledPixels(int32_t position) const
{
    return barMaximum_ > 0 ? static_cast<int64_t>(position) * barWidth_ / barMaximum_ : 0;
}

void StatusDisplay::ShowProgress(int32_t position, int32_t maximum)
{
    const ProgressLabels labels = ProgressLabelsFor(position, maximum);
    ChangeLabel(sizeLabel_, size_, sizeof size_, labels.size);
    const bool percentChanged = ChangeLabel(percentLabel_, percent_, sizeof percent_, labels.percent);

    // The bar holds its position within its range, as the control does.
    bool moveBar = false;
    if (labels.barMaximum != barMaximum_) {
        SendMessageA(bar_, PBM_SETRANGE32, 0, labels.barMaximum);
        barMaximum_ = labels.barMaximum;
        // A new range clamps and rescales what the bar shows.
        moveBar = true;
    }
    const int32_t barPosition = position < 0 ? 0 : position > barMaximum_ ? barMaximum_ : position;
    if (barPosition != barPosition_) {
        // The ends of the range always show, so a job ends with a full bar.
        moveBar = moveBar || percentChanged || barPosition == 0 || barPosition == barMaximum_ ||
                  FilledPixels(barPosition) != FilledPixels(barPosition_);
    }
    if (moveBar) {
        SendMessageA(bar_, PBM_SETPOS, barPosition, 0);
        barPosition_ = barPosition;
    }
}

void StatusDisplay::ShowStatus(const char* text)
{
    if (status_ == text)
        return;
    SendMessageA(statusBar_, SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(text));
    status_ = text;
}
