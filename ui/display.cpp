#include "ui/display.h"

#include "ui/main_window.h"

void OnProgress(int32_t position, int32_t maximum)
{
    if (frmMain != nullptr)
        frmMain->ShowProgress(position, maximum);
}

void OnStatus(const char* text)
{
    if (frmMain != nullptr)
        frmMain->ShowStatus(text);
}

void OnLog(const char* text)
{
    if (frmMain != nullptr)
        frmMain->AddLogLine(text);
}

void ClearLog()
{
    if (frmMain != nullptr)
        frmMain->ClearLogLines();
}
