#include "app/poll_thread.h"

#include <cstdint>
#include <memory>
#include <string>

#include "transport/socket_shim.h"
#include "ui/display.h"

namespace {

// What a poll thread posts to the window's thread.
enum : UINT {
    kShowProgress = WM_APP + 1,  // wParam the position, lParam the maximum
    kShowStatus,                 // lParam a copy of the text, freed by the receiver
    kShowLog,                    // the same
    kClearLog,
    kPollEnded,  // wParam the poll's result, lParam its number
};

const char kWindowClass[] = "WebprintPollThread";
// How long the destructor waits for a poll still running.
const DWORD kEndMilliseconds = 1500;

struct PollStart {
    PollThread::Poll poll;
    SettingsValues settings;
    HWND window;
    LONG number;
};

// The window a poll thread posts to.
thread_local HWND PostTo = nullptr;

std::unique_ptr<std::string> TextOf(LPARAM lParam)
{
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(lParam));
}

void PostText(UINT message, const char* text)
{
    std::string* copy = new std::string(text);
    // Refused only once the window is gone, when nothing shows any more.
    if (PostMessageA(PostTo, message, 0, reinterpret_cast<LPARAM>(copy)) == FALSE)
        delete copy;
}

void PostProgress(int32_t position, int32_t maximum)
{
    PostMessageA(PostTo, kShowProgress, static_cast<WPARAM>(position), static_cast<LPARAM>(maximum));
}

void PostStatus(const char* text)
{
    PostText(kShowStatus, text);
}

void PostLog(const char* text)
{
    PostText(kShowLog, text);
}

void PostClearLog()
{
    PostMessageA(PostTo, kClearLog, 0, 0);
}

const DisplayFunctions kPostedDisplay = {PostProgress, PostStatus, PostLog, PostClearLog};

}  // namespace

PollThread::PollThread(Poll poll, Ended ended) : poll_(poll), ended_(std::move(ended))
{
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    // Refused when an earlier poll thread of the process registered it.
    RegisterClassA(&windowClass);
    messages_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (messages_ != nullptr)
        SetWindowLongPtrA(messages_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWaitsEnded(false);
}

PollThread::~PollThread()
{
    // A thread that does not end in time goes on alone: it holds nothing of
    // this object, and what it posts later is refused.
    if (!Stop(kEndMilliseconds))
        Forget();
    MSG message;
    while (PeekMessageA(&message, messages_, kShowStatus, kShowLog, PM_REMOVE))
        TextOf(message.lParam);
    DestroyWindow(messages_);
}

bool PollThread::Start(const SettingsValues& settings)
{
    if (Running() || messages_ == nullptr)
        return false;
    std::unique_ptr<PollStart> start(new PollStart{poll_, settings, messages_, ++number_});
    thread_ = CreateThread(nullptr, 0, ThreadMain, start.get(), 0, nullptr);
    if (thread_ == nullptr)
        return false;
    start.release();
    return true;
}

bool PollThread::Stop(DWORD milliseconds)
{
    SetWaitsEnded(true);
    if (thread_ == nullptr)
        return true;
    if (WaitForSingleObject(thread_, milliseconds) != WAIT_OBJECT_0)
        return false;
    Forget();
    return true;
}

void PollThread::Forget()
{
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI PollThread::ThreadMain(void* argument)
{
    const std::unique_ptr<PollStart> start(static_cast<PollStart*>(argument));
    PostTo = start->window;
    DisplayOnThisThread(&kPostedDisplay);
    const int result = start->poll(start->settings);
    PostMessageA(start->window, kPollEnded, static_cast<WPARAM>(result), start->number);
    return 0;
}

void PollThread::PollEnded(LONG number, int result)
{
    // The end of a poll that Stop has dealt with already.
    if (number != number_ || thread_ == nullptr)
        return;
    Forget();
    if (ended_)
        ended_(result);
}

LRESULT CALLBACK PollThread::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kShowProgress:
        OnProgress(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
        return 0;
    case kShowStatus:
        OnStatus(TextOf(lParam)->c_str());
        return 0;
    case kShowLog:
        OnLog(TextOf(lParam)->c_str());
        return 0;
    case kClearLog:
        ClearLog();
        return 0;
    case kPollEnded: {
        PollThread* polls = reinterpret_cast<PollThread*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (polls != nullptr)
            polls->PollEnded(static_cast<LONG>(lParam), static_cast<int>(wParam));
        return 0;
    }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
