#include "app/window_timer.h"

#include "app/single_instance.h"
#include "ui/display.h"

namespace {

const uint32_t kFirstInterval = 1000;

}  // namespace

WindowTimer::WindowTimer(HWND window, PollThread::Poll poll)
    : window_(window), polls_(poll, [this](int result) { PollEnded(result); })
{
    SetInterval(kFirstInterval);
}

WindowTimer::~WindowTimer()
{
    KillTimer(window_, reinterpret_cast<UINT_PTR>(this));
}

uint32_t WindowTimer::Interval()
{
    return interval_;
}

void WindowTimer::SetInterval(uint32_t milliseconds)
{
    // Setting the timer again restarts its period. The platform caps the
    // period at about 24.8 days; Interval still tells the value asked for, so
    // a tick does not restart the timer again for it.
    interval_ = milliseconds;
    SetTimer(window_, reinterpret_cast<UINT_PTR>(this), milliseconds, Tick);
}

void WindowTimer::StartPoll(const SettingsValues& settings)
{
    if (!polls_.Start(settings))
        OnStatus("CreateThread failed");
}

bool WindowTimer::EndPoll(DWORD milliseconds)
{
    return polls_.Stop(milliseconds);
}

void CALLBACK WindowTimer::Tick(HWND, UINT, UINT_PTR id, DWORD)
{
    // The timer's identifier is the timer object itself.
    reinterpret_cast<WindowTimer*>(id)->TickUnlessPolling();
}

void WindowTimer::TickUnlessPolling()
{
    // A tick never starts a poll while one runs. It comes again as soon as
    // that poll has ended, as it did when the poll held this thread and the
    // message loop delivered the tick that had fallen due meanwhile.
    if (polls_.Running()) {
        tickWaiting_ = true;
        return;
    }
    // One poller per computer: while the service runs, this client neither
    // polls nor connects.
    if (ServiceIsPolling()) {
        OnStatus(PollingAsAServiceText());
        return;
    }
    Timer1Timer(*this);
}

void WindowTimer::PollEnded(int atOnce)
{
    // Where a poll's end decides when the next one starts: at once for a
    // tick that came while it ran or a poll that asks for it (RunPoll), else
    // at the timer's next tick.
    if (tickWaiting_ || atOnce != 0) {
        tickWaiting_ = false;
        TickUnlessPolling();
    }
}
