// The main window's display functions. They take no context: they find the
// window through frmMain, and do nothing while there is none. A poll's client
// gets the first three as callbacks.
#pragma once

#include <cstdint>

void OnProgress(int32_t position, int32_t maximum);
void OnStatus(const char* text);
void OnLog(const char* text);
void ClearLog();
