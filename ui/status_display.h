// The progress labels, the progress bar and the status bar as the display
// functions change them. Every control change costs tens of microseconds under
// Wine, as much per block as the block's network exchange, so a report changes
// only what would look different: a label whose text differs, the bar's range
// when its maximum changes, its position when the fill moves by a pixel or the
// percentage changes, the status text when it differs. The end of a job (its
// full bar, its 100%, its last status) therefore always shows.
//
// The window spends most of its life hidden in the tray, where control changes
// show nothing. While it is hidden the latest report is only kept, and it is
// put on the controls when the window is shown, before it paints.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class StatusDisplay {
public:
    // Takes the controls as the window's resource leaves them: "0", "0 %",
    // a bar from 0 to 100 at 0, and no status text. The controls are changed
    // only while window, their top-level window, is visible.
    void Attach(HWND window, HWND sizeLabel, HWND percentLabel, HWND bar, HWND statusBar);

    void ShowProgress(int32_t position, int32_t maximum);
    void ShowStatus(const char* text);

    // The window is about to be shown: the controls take the latest report.
    void WindowShowing();

private:
    struct State {
        char size[16] = "0";
        char percent[24] = "0 %";
        int32_t barMaximum = 100;
        // Within the bar's range, as the control holds it.
        int32_t barPosition = 0;
        std::string status;
    };

    bool WindowVisible() const;
    // Changes the controls that show other than latest_.
    void Apply();
    // The bar's filled width in pixels at a position within its range.
    int64_t FilledPixels(int32_t position) const;

    HWND window_ = nullptr;
    HWND sizeLabel_ = nullptr;
    HWND percentLabel_ = nullptr;
    HWND bar_ = nullptr;
    HWND statusBar_ = nullptr;
    int barWidth_ = 0;
    State latest_;  // what the last reports say
    State shown_;   // what the controls show now
};
