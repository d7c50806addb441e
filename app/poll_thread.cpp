#include "app/poll_thread.h"

#include <atomic>
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
    kProgressHeld,  // a report is held back (HeldProgress)
    kPollEnded,     // wParam the poll's result, lParam its number
};

const char kWindowClass[] = "WebprintPollThread";
// How long the destructor waits for a poll still running.
const DWORD kEndMilliseconds = 1500;

// Progress reports closer together than this come to the window as the last
// of them: a job reports every block, and a message per block would cost the
// poll as much again as its block under Wine, where the window could not
// show the reports apart anyway. A job's first and last report, and one with
// a new maximum, always come.
const DWORD kProgressGapMilliseconds = 15;
const UINT_PTR kHeldProgressTimer = 1;

int64_t Pack(int32_t position, int32_t maximum)
{
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(maximum)) << 32 |
                                static_cast<uint32_t>(position));
}

int32_t PositionOf(int64_t report)
{
    return static_cast<int32_t>(static_cast<uint32_t>(report));
}

int32_t MaximumOf(int64_t report)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(report) >> 32));
}

}  // namespace

// The latest progress report a poll thread held back. It goes to the window
// with the poll's next message, or from the window's thread a moment later
// if the poll shows nothing more meanwhile (a block that is slow to come);
// whichever takes it first shows it.
struct HeldProgress {
    std::atomic<bool> held{false};
    std::atomic<int64_t> report{0};
};

namespace {

struct PollStart {
    PollThread::Poll poll;
    SettingsValues settings;
    HWND window;
    LONG number;
    std::shared_ptr<HeldProgress> held;
};

// The poll thread's own: the window it posts to, and its progress reports.
thread_local HWND PostTo = nullptr;
thread_local HeldProgress* Held = nullptr;
thread_local DWORD ProgressPostedAt = 0;
thread_local int32_t ReportedMaximum = 0;

std::unique_ptr<std::string> TextOf(LPARAM lParam)
{
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(lParam));
}

void SendProgress(int32_t position, int32_t maximum)
{
    Held->held = false;
    PostMessageA(PostTo, kShowProgress, static_cast<WPARAM>(position), static_cast<LPARAM>(maximum));
    ProgressPostedAt = GetTickCount();
}

// Whatever the poll shows next comes after the progress it reported last.
void PostHeldProgress()
{
    if (Held->held.exchange(false)) {
        const int64_t report = Held->report;
        SendProgress(PositionOf(report), MaximumOf(report));
    }
}

void PostProgress(int32_t position, int32_t maximum)
{
    const bool due = GetTickCount() - ProgressPostedAt >= kProgressGapMilliseconds;
    const bool always = position == 0 || position == maximum || maximum != ReportedMaximum;
    ReportedMaximum = maximum;
    if (due || always) {
        SendProgress(position, maximum);
        return;
    }
    Held->report = Pack(position, maximum);
    if (!Held->held.exchange(true))
        PostMessageA(PostTo, kProgressHeld, 0, 0);
}

void PostText(UINT message, const char* text)
{
    PostHeldProgress();
    std::string* copy = new std::string(text);
    // Refused only once the window is gone, when nothing shows any more.
    if (PostMessageA(PostTo, message, 0, reinterpret_cast<LPARAM>(copy)) == FALSE)
        delete copy;
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
    PostHeldProgress();
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
    held_ = std::make_shared<HeldProgress>();
    std::unique_ptr<PollStart> start(new PollStart{poll_, settings, messages_, ++number_, held_});
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
    Held = start->held.get();
    DisplayOnThisThread(&kPostedDisplay);
    const int result = start->poll(start->settings);
    PostHeldProgress();
    PostMessageA(start->window, kPollEnded, static_cast<WPARAM>(result), start->number);
    return 0;
}

void PollThread::ShowHeldProgress()
{
    if (held_ != nullptr && held_->held.exchange(false)) {
        const int64_t report = held_->report;
        OnProgress(PositionOf(report), MaximumOf(report));
    }
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
    case kProgressHeld:
        SetTimer(window, kHeldProgressTimer, kProgressGapMilliseconds, nullptr);
        return 0;
    }
    PollThread* polls = reinterpret_cast<PollThread*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (polls != nullptr && message == WM_TIMER && wParam == kHeldProgressTimer) {
        KillTimer(window, kHeldProgressTimer);
        polls->ShowHeldProgress();
        return 0;
    }
    if (polls != nullptr && message == kPollEnded) {
        polls->PollEnded(static_cast<LONG>(lParam), static_cast<int>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
