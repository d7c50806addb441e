#include "tests/ui/client_driver.h"

#include "tests/ui/test_desktop.h"
#include "ui/control_ids.h"

namespace {

const DWORD kPollStepMilliseconds = 10;

std::string Narrow(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(static_cast<size_t>(size) - 1);
    return text;
}

struct ControlSearch {
    int id;
    HWND found;
};

BOOL CALLBACK MatchControl(HWND child, LPARAM context)
{
    ControlSearch* search = reinterpret_cast<ControlSearch*>(context);
    if (GetDlgCtrlID(child) != search->id)
        return TRUE;
    search->found = child;
    return FALSE;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(kPollStepMilliseconds);
    }
    return true;
}

HWND FindClientWindow(DWORD processId)
{
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, kMainWindowClass, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

HWND FindControl(HWND window, int id)
{
    ControlSearch search = {id, nullptr};
    EnumChildWindows(window, MatchControl, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string ControlText(HWND control)
{
    const LRESULT length = SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied < 0 ? 0 : static_cast<size_t>(copied));
    return Narrow(text);
}

void SetControlText(HWND control, const std::string& text)
{
    SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string ListItemText(HWND list, int index)
{
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, index, 0);
    if (length < 0)
        return std::string();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied < 0 ? 0 : static_cast<size_t>(copied));
    return Narrow(text);
}

bool Settle(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, kClientWaitMilliseconds, &result) != 0;
}

ClientProcess::~ClientProcess()
{
    if (process_.hProcess == nullptr)
        return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, kClientWaitMilliseconds);
    }
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
}

void ClientProcess::Release()
{
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    process_ = PROCESS_INFORMATION();
}

bool ClientProcess::Launch()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<char*>(kTestDesktopName);
    std::string commandLine = std::string("\"") + executable_ + "\" " + arguments_;
    return CreateProcessA(executable_, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process_) != FALSE;
}

bool ClientProcess::Start()
{
    if (!Launch())
        return false;
    WaitForInputIdle(process_.hProcess, kClientWaitMilliseconds);
    if (!WaitUntil([this] { return (window_ = FindClientWindow(process_.dwProcessId)) != nullptr; }))
        return false;
    return Settle(window_);
}

bool ClientProcess::WaitForExit(DWORD* exitCode)
{
    if (WaitForSingleObject(process_.hProcess, kClientWaitMilliseconds) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process_.hProcess, exitCode) != 0;
}
