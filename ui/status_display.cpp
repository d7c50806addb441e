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

void StatusDisplay::Attach(HWND window, HWND sizeLabel, HWND percentLabel, HWND bar, HWND statusBar)
{
    window_ = window;
    sizeLabel_ = sizeLabel;
    percentLabel_ = percentLabel;
    bar_ = bar;
    statusBar_ = statusBar;
    // The window cannot be resized, so the bar keeps this width.
    RECT rect = {};
    GetClientRect(bar, &rect);
    barWidth_ = rect.right - rect.left;
}

bool StatusDisplay::WindowVisible() const
{
    // A top-level window's own style says whether it shows; reading it asks
    // nothing of Wine's server, unlike IsWindowVisible.
    return (GetWindowLongA(window_, GWL_STYLE) & WS_VISIBLE) != 0;
}

int64_t StatusDisplay::FilledPixels(int32_t position) const
{
    return shown_.barMaximum > 0 ? static_cast<int64_t>(position) * barWidth_ / shown_.barMaximum : 0;
}

void StatusDisplay::ShowProgress(int32_t position, int32_t maximum)
{
    const ProgressLabels labels = ProgressLabelsFor(position, maximum);
    snprintf(latest_.size, sizeof latest_.size, "%s", labels.size);
    snprintf(latest_.percent, sizeof latest_.percent, "%s", labels.percent);
    latest_.barMaximum = labels.barMaximum;
    latest_.barPosition = position < 0 ? 0 : position > labels.barMaximum ? labels.barMaximum : position;
    if (WindowVisible())
        Apply();
}

void StatusDisplay::ShowStatus(const char* text)
{
    latest_.status = text;
    if (WindowVisible())
        Apply();
}

void StatusDisplay::WindowShowing()
{
    Apply();
}

void StatusDisplay::Apply()
{
    ChangeLabel(sizeLabel_, shown_.size, sizeof shown_.size, latest_.size);
    const bool percentChanged = ChangeLabel(percentLabel_, shown_.percent, sizeof shown_.percent, latest_.percent);

    bool moveBar = false;
    if (latest_.barMaximum != shown_.barMaximum) {
        SendMessageA(bar_, PBM_SETRANGE32, 0, latest_.barMaximum);
        shown_.barMaximum = latest_.barMaximum;
        // A new range clamps and rescales what the bar shows.
        moveBar = true;
    }
    const int32_t barPosition = latest_.barPosition;
    if (barPosition != shown_.barPosition) {
        // The ends of the range always show, so a job ends with a full bar.
        moveBar = moveBar || percentChanged || barPosition == 0 || barPosition == shown_.barMaximum ||
                  FilledPixels(barPosition) != FilledPixels(shown_.barPosition);
    }
    if (moveBar) {
        SendMessageA(bar_, PBM_SETPOS, barPosition, 0);
        shown_.barPosition = barPosition;
    }

    if (shown_.status != latest_.status) {
        SendMessageA(statusBar_, SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(latest_.status.c_str()));
        shown_.status = latest_.status;
    }
}
