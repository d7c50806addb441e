// The progress labels, the progress bar and the status bar as the display
// functions change them. Every control change costs tens of microseconds under
// Wine, as much per block as the block's network exchange, so a report changes
// only what would look different: a label whose text differs, the bar's range
// when its maximum changes, its position when the fill moves by a pixel or the
// percentage changes, the status text when it differs. The end of a job (its
// full bar, its 100%, its last status) therefore always shows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class StatusDisplay {
public:
    // Takes the controls as the window's resource leaves them: "0", "0 %",
    // a bar from 0 to 100 at 0, and no status text.
    void Attach(HWND sizeLabel, HWND percentLabel, HWND bar, HWND statusBar);

    void ShowProgress(int32_t position, int32_t maximum);
    void ShowStatus(const char* text);

private:
    // The bar's filled width in pixels at a position within its range.
    int64_t FilledPixels(int32_t position) const;

    HWND sizeLabel_ = nullptr;
    HWND percentLabel_ = nullptr;
    HWND bar_ = nullptr;
    HWND statusBar_ = nullptr;
    int barWidth_ = 0;
    // What the controls show now.
    char size_[16] = "0";
    char percent_[24] = "0 %";
    int32_t barMaximum_ = 100;
    int32_t barPosition_ = 0;
    std::string status_;
};
