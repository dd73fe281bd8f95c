// A non-visual timer that fires its OnTimer event every Interval milliseconds, either
// from a worker thread of its own (ttThread) or from a window timer on a hidden utility
// window (ttSystem). The worker is paused and resumed through an event it waits on, never
// by suspending it: a suspended thread may hold the heap lock or sit in a synchronised
// call.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>

#include "Errors.h"
#include "Threads.h"
#include "VrControls.h"
#include "WinHandles.h"

VISTREL_EXCEPTION(EOutOfResources, Exception)  // "No timer resources left."

enum class TVrTimerType { ttThread, ttSystem };
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TVrTimer;

// The worker of a thread timer: waits Interval ms on its event and fires on a time-out.
// While paused it waits on the event without a time-out.
class TVrTimerThread : public TThread {
public:
    explicit TVrTimerThread(TVrTimer* owner);
    ~TVrTimerThread() override;
    void SetInterval(DWORD ms) { interval_ = ms; }
    DWORD Interval() const { return interval_; }
    // Pausing and running take effect at once: the event wakes the wait.
    void Pause();
    void Run();
    bool Running() const { return running_; }
    // Ends the thread: terminate flag, then the event.
    void Stop();

protected:
    void Execute() override;

private:
    void DoTimer();

    TVrTimer* owner_;
    UniqueHandle event_;  // auto-reset, unnamed
    std::atomic<DWORD> interval_{1000};
    std::atomic<bool> running_{false};
};

class TVrTimer : public TVrComponent {
public:
    TVrTimer();
    ~TVrTimer() override;
    TVrTimer(const TVrTimer&) = delete;
    TVrTimer& operator=(const TVrTimer&) = delete;

    bool Enabled() const { return enabled_; }
    // Switching on starts the timer; switching off only stops the firing (see Timer).
    void SetEnabled(bool value);
    unsigned Interval() const { return interval_; }
    // 0 stops the timer.
    void SetInterval(unsigned value);
    bool SyncEvent = true;  // thread timers fire on the window thread by a synchronised call
    TVrTimerType TimerType() const { return timerType_; }
    void SetTimerType(TVrTimerType value);
    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);
    std::function<void(TVrTimer*)> OnTimer;

    // Applies the settings once the timer is set up (OnTimer is a plain field).
    void Loaded() { UpdateTimer(); }
    // Runs OnTimer when enabled and set; an exception goes to the application's handler.
    virtual void Timer();

    // What exists right now (tests read it): the timer resources, the utility window and
    // the worker; ticks that arrived, fired or not.
    bool Created() const { return created_; }
    HWND Window() const { return window_; }
    TVrTimerThread* Thread() const { return thread_.get(); }
    long ArrivedTicks() const { return arrived_; }
    void TickArrived() { ++arrived_; }

private:
    void UpdateTimer();
    void CreateTimer();
    void DestroyTimer();
    LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    bool enabled_ = true;
    unsigned interval_ = 1000;
    TVrTimerType timerType_ = TVrTimerType::ttThread;
    TThreadPriority priority_ = TThreadPriority::tpNormal;
    bool created_ = false;
    HWND window_ = nullptr;
    std::unique_ptr<TVrTimerThread> thread_;
    std::atomic<long> arrived_{0};
};

// The Windows priority of a thread priority.
int ThreadPriorityValue(TThreadPriority priority);
