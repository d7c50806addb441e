#include "app/winsock_start.h"

#include "app/exit_codes.h"

SocketsLibrary PlatformSocketsLibrary()
{
    return SocketsLibrary{WSAStartup, WSACleanup, MessageBoxA};
}

int StartWindowsSockets(const SocketsLibrary& library)
{
    WSADATA data;
    // No owner and no caption of its own: the system's "Error" caption.
    if (library.startup(MAKEWORD(2, 0), &data) != 0) {
        library.messageBox(nullptr, "Unable to find usable WinSock DLL", nullptr, MB_OK);
        return kExitStartUpFailure;
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 0) {
        library.cleanup();
        library.messageBox(nullptr, "Unable to select version 2.0 WinSock DLL", nullptr, MB_OK);
        return kExitStartUpFailure;
    }
    return kExitNormal;
}
