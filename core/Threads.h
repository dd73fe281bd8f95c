// Worker threads and synchronised calls: a worker asks the window thread to run a
// function and waits for it, as the collection thread and the watchers do.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "WinHandles.h"

// Creates the hidden window through which synchronised calls reach the window thread.
// Call once on the window thread before any worker uses Synchronize.
void InitSynchronizer();
void FinalizeSynchronizer();
// True on the thread that called InitSynchronizer.
bool IsWindowThread();

// Runs fn on the window thread and waits for it. On the window thread itself it runs at
// once. Exceptions thrown by fn are raised again in the caller. When no window thread
// serves calls (never set up, or already finalised), fn is not run and false is returned.
bool Synchronize(const std::function<void()>& fn);

// Queues Fn to run on the window thread without waiting for it. False when no window
// thread serves calls. Fn must not raise (anything it raises is dropped).
bool PostToWindowThread(void (*Fn)());

// A serve step of a wait: handles the messages queued for this thread that it takes, and
// answers the kinds of message (QS_ flags) whose arrival is to call it again. A step that
// takes only repaints answers QS_PAINT, so that queued input it leaves alone does not wake
// the wait over and over.
using TServeStep = DWORD (*)();

// Waits for a handle while serving synchronised calls sent to this thread, so a window
// thread that waits for a worker never deadlocks against the worker's call. Returns true
// when the handle was signalled within timeoutMs (INFINITE waits without bound). Serve runs
// at the start and whenever a message of the kinds it answered arrives (none: other
// messages stay queued).
bool WaitServingCalls(HANDLE handle, DWORD timeoutMs, TServeStep Serve = nullptr);

// A thread running Execute. Created idle; Start runs it. The owner ends it with
// Terminate and WaitFor, or lets it go with Detach (it then frees itself when done).
class TThread {
public:
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    void Terminate();
    bool Terminated() const { return terminated_; }
    // Waits for Execute to end, serving synchronised calls on the window thread, and with
    // Serve the thread's other messages too (WaitServingCalls).
    bool WaitFor(DWORD timeoutMs = INFINITE, TServeStep Serve = nullptr);
    // Gives up ownership of a started thread: it deletes itself when Execute ends.
    // Only for objects made with new.
    void Detach();
    bool Finished() const { return (state_.load() & kFinished) != 0; }
    HANDLE Handle() const { return handle_.get(); }
    DWORD ThreadId() const { return threadId_; }

protected:
    virtual void Execute() = 0;
    // Runs on the thread after Execute, also when Execute raised.
    virtual void DoTerminate() {}
    // Sleeps up to ms milliseconds, waking early when the thread is told to terminate.
    // Returns false when it was woken by Terminate.
    bool SleepUnlessTerminated(DWORD ms);
    // As SleepUnlessTerminated, also waking early when Also is signalled.
    bool SleepUnlessTerminated(DWORD ms, HANDLE Also);

private:
    static DWORD WINAPI ThreadProc(void* self);

    UniqueHandle handle_;
    UniqueHandle wake_;  // signalled by Terminate
    DWORD threadId_ = 0;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> started_{false};
    // The thread's end and its owner's Detach meet here; whichever comes second deletes.
    static constexpr int kFinished = 1, kDetached = 2;
    std::atomic<int> state_{0};
};
