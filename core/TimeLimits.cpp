#include "TimeLimits.h"

#include <process.h>

#include <map>
#include <mutex>

#include "WinHandles.h"

namespace {

using time_limits_detail::TCallState;

// The innermost limit of this thread; none outside an item.
thread_local const TItemTimeLimit* currentLimit = nullptr;
// The abandonable call this thread runs; none on other threads.
thread_local TCallState* currentCall = nullptr;

// Trivially destructible, so that a call thread finishing while the program ends finds it.
std::atomic<int> runningCalls{0};

// The calls that came late and still run, by the name they were called with, and the
// error the last of them was given up with.
struct TLateCall {
    int Running = 0;
    std::wstring Error;
};
struct TLateCalls {
    std::mutex Lock;
    std::map<std::wstring, TLateCall> ByName;
};
// Never freed, so that a call thread finishing while the program ends finds it.
TLateCalls& LateCalls() {
    static TLateCalls* const calls = new TLateCalls;
    return *calls;
}

// The error a call named What that came late was given up with, while it still runs; ""
// when none runs.
std::wstring LateCallError(const std::wstring& What) {
    TLateCalls& late = LateCalls();
    const std::lock_guard<std::mutex> guard(late.Lock);
    const auto found = late.ByName.find(What);
    return found == late.ByName.end() ? std::wstring() : found->second.Error;
}

// The call has ended: it no longer keeps its name from being called again.
void MarkCallFinished(TCallState& State) {
    TLateCalls& late = LateCalls();
    const std::lock_guard<std::mutex> guard(late.Lock);
    State.Finished = true;
    if (!State.Late) return;
    const auto found = late.ByName.find(State.What);
    if (found != late.ByName.end() && --found->second.Running <= 0) late.ByName.erase(found);
}

// Owns the thread's reference to the shared state and the event it signals when done.
struct TCallThread {
    std::shared_ptr<time_limits_detail::TCallState> State;
    std::shared_ptr<UniqueHandle> Done;
};

unsigned __stdcall CallThreadProc(void* Parameter) {
    std::unique_ptr<TCallThread> own(static_cast<TCallThread*>(Parameter));
    currentCall = own->State.get();
    try {
        own->State->Work(own->State->Abandoned);
    } catch (...) {
        own->State->Error = std::current_exception();
    }
    currentCall = nullptr;
    MarkCallFinished(*own->State);
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

void MarkCallAnswering() {
    if (currentCall) currentCall->Answering = true;
}

namespace time_limits_detail {

void RunOnOwnThread(const std::shared_ptr<TCallState>& State, DWORD TimeoutMs, const std::wstring& What) {
    if (const std::wstring error = LateCallError(What); !error.empty()) throw ETimeLimit(error);
    if (TimeoutMs == 0) throw ETimeLimit(What + L" not called: the item's time limit is spent");
    if (runningCalls.fetch_add(1) >= kMaxRunningAbandonableCalls) {
        runningCalls.fetch_sub(1);
        throw ETimeLimit(What + L" not called: earlier calls that gave no answer still run");
    }
    State->What = What;
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
    if (WaitForSingleObject(done->get(), TimeoutMs) == WAIT_OBJECT_0) return;
    TLateCalls& late = LateCalls();
    std::wstring error;
    {
        const std::lock_guard<std::mutex> guard(late.Lock);
        if (State->Finished) return;  // it ended just as the wait did: its answer counts
        error = What + (State->Answering ? L" did not finish within " : L" gave no answer within ") +
                TimeLimitText(TimeoutMs);
        State->Abandoned = true;
        State->Late = true;
        TLateCall& call = late.ByName[What];
        ++call.Running;
        call.Error = error;
    }
    throw ETimeLimit(error);
}

}  // namespace time_limits_detail
