#include "VrThreads.h"

#include "Errors.h"
#include "WinApp.h"

namespace {
constexpr UINT_PTR kTimerId = 1;
}

int ThreadPriorityValue(TThreadPriority priority) {
    switch (priority) {
        case TThreadPriority::tpIdle: return THREAD_PRIORITY_IDLE;
        case TThreadPriority::tpLowest: return THREAD_PRIORITY_LOWEST;
        case TThreadPriority::tpLower: return THREAD_PRIORITY_BELOW_NORMAL;
        case TThreadPriority::tpNormal: return THREAD_PRIORITY_NORMAL;
        case TThreadPriority::tpHigher: return THREAD_PRIORITY_ABOVE_NORMAL;
        case TThreadPriority::tpHighest: return THREAD_PRIORITY_HIGHEST;
        case TThreadPriority::tpTimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

// ---- TVrTimerThread

TVrTimerThread::TVrTimerThread(TVrTimer* owner) : owner_(owner), event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!event_.valid()) RaiseLastOSError(L"TVrTimerThread");
}

TVrTimerThread::~TVrTimerThread() {
    Stop();
    WaitFor(INFINITE);
}

void TVrTimerThread::Pause() {
    running_ = false;
    SetEvent(event_.get());
}

void TVrTimerThread::Run() {
    running_ = true;
    Start();
    SetEvent(event_.get());
}

void TVrTimerThread::Stop() {
    Terminate();
    SetEvent(event_.get());
}

void TVrTimerThread::Execute() {
    while (!Terminated()) {
        if (!running_) {
            WaitForSingleObject(event_.get(), INFINITE);
            continue;
        }
        // Only a time-out fires; a signal means stop, pause or new settings.
        if (WaitForSingleObject(event_.get(), interval_) != WAIT_TIMEOUT) continue;
        if (Terminated() || !running_ || Application().Terminated()) continue;
        owner_->TickArrived();
        if (owner_->SyncEvent) {
            try {
                Synchronize([this] { DoTimer(); });
            } catch (...) {
            }
        } else {
            DoTimer();
        }
    }
}

void TVrTimerThread::DoTimer() { owner_->Timer(); }

// ---- TVrTimer

TVrTimer::TVrTimer() = default;

TVrTimer::~TVrTimer() {
    enabled_ = false;
    OnTimer = nullptr;
    DestroyTimer();
}

void TVrTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    if (enabled_) UpdateTimer();
}

void TVrTimer::SetInterval(unsigned value) {
    if (value == interval_) return;
    interval_ = value;
    if (enabled_) UpdateTimer();
}

void TVrTimer::SetTimerType(TVrTimerType value) {
    if (value == timerType_) return;
    DestroyTimer();
    timerType_ = value;
    if (enabled_) UpdateTimer();
}

void TVrTimer::SetPriority(TThreadPriority value) {
    if (value == priority_) return;
    priority_ = value;
    if (timerType_ == TVrTimerType::ttThread && enabled_) UpdateTimer();
}

void TVrTimer::CreateTimer() {
    if (timerType_ == TVrTimerType::ttSystem)
        window_ = VrAllocateWindow([this](HWND h, UINT m, WPARAM w, LPARAM l) { return WndProc(h, m, w, l); });
    else
        thread_ = std::make_unique<TVrTimerThread>(this);
    created_ = true;
}

void TVrTimer::DestroyTimer() {
    if (!created_) return;
    if (window_) {
        KillTimer(window_, kTimerId);
        VrDeallocateWindow(window_);
        window_ = nullptr;
    }
    if (thread_) {
        thread_->Stop();
        thread_.reset();  // waits for it
    }
    created_ = false;
}

void TVrTimer::UpdateTimer() {
    if (!created_) CreateTimer();
    const bool fire = interval_ != 0 && enabled_ && OnTimer;
    if (timerType_ == TVrTimerType::ttSystem) {
        KillTimer(window_, kTimerId);
        if (fire && !SetTimer(window_, kTimerId, interval_, nullptr))
            throw EOutOfResources(L"No timer resources left.");
    } else {
        thread_->Pause();
        thread_->SetInterval(interval_);
        if (fire) {
            thread_->Run();
            if (thread_->Handle()) SetThreadPriority(thread_->Handle(), ThreadPriorityValue(priority_));
        }
    }
}

LRESULT TVrTimer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) {
        TickArrived();
        Timer();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void TVrTimer::Timer() {
    if (!enabled_ || !OnTimer) return;
    try {
        OnTimer(this);
    } catch (...) {
        Application().HandleException(L"TVrTimer");
    }
}
