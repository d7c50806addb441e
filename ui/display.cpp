#include "ui/display.h"

#include "ui/main_window.h"

namespace {

const DisplayFunctions* WindowlessDisplay = nullptr;
thread_local const DisplayFunctions* ThreadDisplay = nullptr;

}  // namespace

void DisplayWithoutWindow(const DisplayFunctions* functions)
{
    WindowlessDisplay = functions;
}

void DisplayOnThisThread(const DisplayFunctions* functions)
{
    ThreadDisplay = functions;
}

void OnProgress(int32_t position, int32_t maximum)
{
    if (ThreadDisplay != nullptr)
        ThreadDisplay->progress(position, maximum);
    else if (frmMain != nullptr)
        frmMain->ShowProgress(position, maximum);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->progress(position, maximum);
}

void OnStatus(const char* text)
{
    if (ThreadDisplay != nullptr)
        ThreadDisplay->status(text);
    else if (frmMain != nullptr)
        frmMain->ShowStatus(text);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->status(text);
}

void OnLog(const char* text)
{
    if (ThreadDisplay != nullptr)
        ThreadDisplay->log(text);
    else if (frmMain != nullptr)
        frmMain->AddLogLine(text);
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->log(text);
}

void ClearLog()
{
    if (ThreadDisplay != nullptr)
        ThreadDisplay->clearLog();
    else if (frmMain != nullptr)
        frmMain->ClearLogLines();
    else if (WindowlessDisplay != nullptr)
        WindowlessDisplay->clearLog();
}
