// The main window's display functions. They take no context: they find the
// window through frmMain; while there is none they go to the functions given
// to DisplayWithoutWindow (the service's event log), if any. A thread that
// may not touch the window (the tray program's poll) gives them functions of
// its own first, with DisplayOnThisThread. A poll's client gets the first
// three as callbacks.
#pragma once

#include <cstdint>

void OnProgress(int32_t position, int32_t maximum);
void OnStatus(const char* text);
void OnLog(const char* text);
void ClearLog();

struct DisplayFunctions {
    void (*progress)(int32_t position, int32_t maximum);
    void (*status)(const char* text);
    void (*log)(const char* text);
    void (*clearLog)();
};
void DisplayWithoutWindow(const DisplayFunctions* functions);

// For the calling thread alone, ahead of the window; null gives it back.
void DisplayOnThisThread(const DisplayFunctions* functions);
