#include "TimeLimits.h"

#include <process.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "ComHandles.h"
#include "WinHandles.h"

namespace {

using time_limits_detail::TCallState;

// The innermost limit of this thread; none outside an item.
thread_local const TItemTimeLimit* currentLimit = nullptr;
// The abandonable call this thread runs; none on other threads.
thread_local TCallState* currentCall = nullptr;

// Trivially destructible, so that a call thread finishing while the program ends finds it.
std::atomic<int> runningCalls{0};

// The sources given up: the calls to them that came late and still run, the error the
// last give-up named, and their back-off.
struct TGivenUp {
    int RunningLate = 0;
    std::wstring Error;
    int GiveUps = 0;       // in a row, since the source last answered in time
    DWORD GivenUpAt = 0;   // tick count of the last give-up
    DWORD BackOffMs = 0;
};
struct TGivenUpSources {
    std::mutex Lock;
    std::map<std::wstring, TGivenUp> ByName;
};
// Never freed, so that a call thread finishing while the program ends finds it.
TGivenUpSources& GivenUpSources() {
    static TGivenUpSources* const sources = new TGivenUpSources;
    return *sources;
}

// Under the lock: the source forgets its give-ups once nothing holds it back any more.
void ForgetIfClear(std::map<std::wstring, TGivenUp>& ByName, std::map<std::wstring, TGivenUp>::iterator Found) {
    if (Found->second.RunningLate <= 0 && Found->second.GiveUps == 0) ByName.erase(Found);
}

// Under the lock: one give-up more of Source, with its error.
void GiveUp(TGivenUp& Source, const std::wstring& Error) {
    ++Source.GiveUps;
    Source.Error = Error;
    Source.GivenUpAt = GetTickCount();
    Source.BackOffMs = SourceBackOffMs(Source.GiveUps, ItemIntervalMs());
}

// The call has ended: it no longer keeps its source from being called again.
void MarkCallFinished(TCallState& State) {
    TGivenUpSources& sources = GivenUpSources();
    const std::lock_guard<std::mutex> guard(sources.Lock);
    State.Finished = true;
    if (!State.Late) return;
    const auto found = sources.ByName.find(State.What);
    if (found == sources.ByName.end()) return;
    --found->second.RunningLate;
    ForgetIfClear(sources.ByName, found);
}

// Owns the thread's reference to the shared state and the event it signals when done.
struct TCallThread {
    std::shared_ptr<time_limits_detail::TCallState> State;
    std::shared_ptr<UniqueHandle> Done;
};

unsigned __stdcall CallThreadProc(void* Parameter) {
    std::unique_ptr<TCallThread> own(static_cast<TCallThread*>(Parameter));
    // Outlives everything the call owns, which is released below.
    std::optional<ComInitialization> com;
    if (own->State->Apartment == TCallApartment::Multithreaded) com.emplace(COINIT_MULTITHREADED);
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

namespace {
thread_local const TItemInterval* currentInterval = nullptr;
}  // namespace

TItemInterval::TItemInterval(DWORD IntervalMs) : outer_(currentInterval), interval_(IntervalMs) {
    currentInterval = this;
}

TItemInterval::~TItemInterval() { currentInterval = outer_; }

DWORD ItemIntervalMs() { return currentInterval ? currentInterval->interval_ : 0; }

DWORD SourceBackOffMs(int GiveUps, DWORD IntervalMs) {
    std::uint64_t backOff = IntervalMs > 0 ? IntervalMs : kItemTimeLimitMs;
    for (int i = 1; i < GiveUps && backOff < kMaxBackOffMs; ++i) backOff *= 2;
    return static_cast<DWORD>(std::min<std::uint64_t>(backOff, kMaxBackOffMs));
}

void CheckSourceCallable(const std::wstring& What) {
    TGivenUpSources& sources = GivenUpSources();
    const std::lock_guard<std::mutex> guard(sources.Lock);
    const auto found = sources.ByName.find(What);
    if (found == sources.ByName.end()) return;
    const TGivenUp& source = found->second;
    // Unsigned difference: right across the wrap of the tick count.
    const bool backingOff = source.GiveUps > 0 && GetTickCount() - source.GivenUpAt < source.BackOffMs;
    if (source.RunningLate > 0 || backingOff) throw ETimeLimit(source.Error);
}

void NoteSourceGivenUp(const std::wstring& What, const std::wstring& Error) {
    TGivenUpSources& sources = GivenUpSources();
    const std::lock_guard<std::mutex> guard(sources.Lock);
    GiveUp(sources.ByName[What], Error);
}

void NoteSourceAnswered(const std::wstring& What) {
    TGivenUpSources& sources = GivenUpSources();
    const std::lock_guard<std::mutex> guard(sources.Lock);
    const auto found = sources.ByName.find(What);
    if (found == sources.ByName.end()) return;
    found->second.GiveUps = 0;
    ForgetIfClear(sources.ByName, found);
}

void ForgetGivenUpSources() {
    TGivenUpSources& sources = GivenUpSources();
    const std::lock_guard<std::mutex> guard(sources.Lock);
    // Calls still running late keep counting; only the back-offs go.
    for (auto it = sources.ByName.begin(); it != sources.ByName.end();) {
        it->second.GiveUps = 0;
        auto next = std::next(it);
        ForgetIfClear(sources.ByName, it);
        it = next;
    }
}

int RunningAbandonableCalls() { return runningCalls.load(); }

void MarkCallAnswering() {
    if (currentCall) currentCall->Answering = true;
}

namespace time_limits_detail {

void RunOnOwnThread(const std::shared_ptr<TCallState>& State, DWORD TimeoutMs, const std::wstring& What) {
    CheckSourceCallable(What);
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
    const bool inTime = WaitForSingleObject(done->get(), TimeoutMs) == WAIT_OBJECT_0;
    TGivenUpSources& sources = GivenUpSources();
    std::wstring error;
    {
        const std::lock_guard<std::mutex> guard(sources.Lock);
        // A call that ended just as the wait did answered in time.
        if (inTime || State->Finished) {
            const auto found = sources.ByName.find(What);
            if (found != sources.ByName.end()) {
                found->second.GiveUps = 0;
                ForgetIfClear(sources.ByName, found);
            }
            return;
        }
        error = What + (State->Answering ? L" did not finish within " : L" gave no answer within ") +
                TimeLimitText(TimeoutMs);
        State->Abandoned = true;
        State->Late = true;
        TGivenUp& source = sources.ByName[What];
        ++source.RunningLate;
        GiveUp(source, error);
    }
    throw ETimeLimit(error);
}

}  // namespace time_limits_detail
