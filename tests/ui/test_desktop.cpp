#include "tests/ui/test_desktop.h"

#include <windows.h>

namespace {

bool Enter()
{
    HKEY sizes = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &sizes, nullptr) == ERROR_SUCCESS) {
        const char size[] = "1024x768";
        RegSetValueExA(sizes, kTestDesktopName, 0, REG_SZ, reinterpret_cast<const BYTE*>(size), sizeof(size));
        RegCloseKey(sizes);
    }
    HDESK desktop = CreateDesktopA(kTestDesktopName, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop == nullptr || !SetThreadDesktop(desktop))
        return false;
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (probe == nullptr)
        return false;
    DestroyWindow(probe);
    return true;
}

}  // namespace

bool EnterTestDesktop()
{
    static const bool entered = Enter();
    return entered;
}
