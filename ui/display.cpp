#include "ui/display.h"

#include "ui/main_window.h"

namespace {

const DisplayFunctions* WindowlessDisplay = nullptr;

}  // namespace

void DisplayWithoutWindow(const DisplayFunctions* functions)
{
    WindowlessDisplay = functions;
}

void OnProgress(int32_t position, int32_t maximum)
{
    if (frmMain != nullptr)
        frmMain->ShowProgress(position, maximum);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->progress(position, maximum);
}

void OnStatus(const char* text)
{
    if (frmMain != nullptr)
        frmMain->ShowStatus(text);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->status(text);
}

void OnLog(const char* text)
{
    if (frmMain != nullptr)
        frmMain->AddLogLine(text);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->log(text);
}

void ClearLog()
{
    if (frmMain != nullptr)
        frmMain->ClearLogLines();
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->clearLog();
}
