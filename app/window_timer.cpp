#include "app/window_timer.h"

#include "app/single_instance.h"
#include "ui/display.h"

namespace {

const uint32_t kFirstInterval = 1000;

}  // namespace

WindowTimer::WindowTimer(HWND window) : window_(window)
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

void CALLBACK WindowTimer::Tick(HWND, UINT, UINT_PTR id, DWORD)
{
    // One poller per computer: while the service runs, this client neither
    // polls nor connects.
    if (ServiceIsPolling()) {
        OnStatus(PollingAsAServiceText());
        return;
    }
    // The timer's identifier is the timer object itself.
    Timer1Timer(*reinterpret_cast<WindowTimer*>(id));
}
