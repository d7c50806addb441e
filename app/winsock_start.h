// Windows Sockets version 2.0 for the whole process, started once at start-up.
#pragma once

#include <winsock2.h>

// The calls the start makes, so a test can stand in for the platform.
struct SocketsLibrary {
    int(WSAAPI* startup)(WORD version, LPWSADATA data);
    int(WSAAPI* cleanup)();
    int(WINAPI* messageBox)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
};

SocketsLibrary PlatformSocketsLibrary();

// 0 when version 2.0 is in use. Otherwise the user has been told in a message
// box and the result is the process exit code.
int StartWindowsSockets(const SocketsLibrary& library);
