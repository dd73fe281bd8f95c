#include "TimeLimits.h"

#include <process.h>

#include "WinHandles.h"

namespace {

// The innermost limit of this thread; none outside an item.
thread_local const TItemTimeLimit* currentLimit = nullptr;

// Trivially destructible, so that a call thread finishing while the program ends finds it.
std::atomic<int> runningCalls{0};

// Owns the thread's reference to the shared state and the event it signals when done.
struct TCallThread {
    std::shared_ptr<time_limits_detail::TCallState> State;
    std::shared_ptr<UniqueHandle> Done;
};

unsigned __stdcall CallThreadProc(void* Parameter) {
    std::unique_ptr<TCallThread> own(static_cast<TCallThread*>(Parameter));
    try {
        own->State->Work(own->State->Abandoned);
    } catch (...) {
        own->State->Error = std::current_exception();
    }
    SetEvent(own->Done->get());
    // What the call owns is released here, on its own thread, after its answer: the caller
    // never waits for that, and never frees anything the call still uses.
    own->State->Work = nullptr;
    own.reset();
    runningCalls.fetch_sub(1);
    return 0;
}

}  // namespace

TItemTimeLimit::TItemTimeLimit(DWORD LimitMs) : outer_(currentLimit), start_(GetTickCount()), limit_(LimitMs) {
    currentLimit = this;
}

TItemTimeLimit::~TItemTimeLimit() { currentLimit = outer_; }

DWORD ItemTimeLeftMs() {
    const TItemTimeLimit* limit = currentLimit;
    if (!limit) return kItemTimeLimitMs;
    // Unsigned difference: correct across the wrap of the tick count.
    const DWORD spent = GetTickCount() - limit->start_;
    return spent >= limit->limit_ ? 0 : limit->limit_ - spent;
}

DWORD ItemTimeLimitMs() { return currentLimit ? currentLimit->limit_ : kItemTimeLimitMs; }

std::wstring TimeLimitText(DWORD LimitMs) {
    if (LimitMs < 1000) return std::to_wstring(LimitMs) + L" ms";
    return std::to_wstring(LimitMs / 1000 + (LimitMs % 1000 ? 1 : 0)) + L" s";
}

int RunningAbandonableCalls() { return runningCalls.load(); }

namespace time_limits_detail {

bool RunOnOwnThread(const std::shared_ptr<TCallState>& State, DWORD TimeoutMs, const std::wstring& What) {
    if (TimeoutMs == 0) throw ETimeLimit(What + L" not called: the item's time limit is spent");
    if (runningCalls.fetch_add(1) >= kMaxRunningAbandonableCalls) {
        runningCalls.fetch_sub(1);
        throw ETimeLimit(What + L" not called: earlier calls that gave no answer still run");
    }
    auto done = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto thread = std::make_unique<TCallThread>(TCallThread{State, done});
    // _beginthreadex, so that the C runtime is set up for the call's thread.
    const uintptr_t handle = done->valid() ? _beginthreadex(nullptr, 0, CallThreadProc, thread.get(), 0, nullptr) : 0;
    if (handle == 0) {
        runningCalls.fetch_sub(1);
        throw ETimeLimit(What + L" not called: no thread could be started");
    }
    thread.release();  // the thread owns it now
    const UniqueHandle threadHandle(reinterpret_cast<HANDLE>(handle));
    if (WaitForSingleObject(done->get(), TimeoutMs) == WAIT_OBJECT_0) return true;
    State->Abandoned = true;
    return false;
}

}  // namespace time_limits_detail
