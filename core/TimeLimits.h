// How long one item may hold the collection thread, calls that can be abandoned, and the
// sources given up.
//
// Every wait inside a gathering routine takes its bound from the item's time limit: the
// pipeline starts the limit around each routine (TItemTimeLimit), and a WMI enumeration, an
// HTTP fetch, a command's wait or an abandonable call asks how much of it is left
// (ItemTimeLeftMs). A platform call that has no timeout of its own runs through
// RunAbandonable: on a thread of its own, which the caller stops waiting for at the bound.
//
// A source (a server, a host, the WMI service) that was given up is left alone for a while:
// until its late call has ended and its back-off has passed, every call to it fails at once
// with the error it was given up with. The back-off starts at the interval of the item that
// gave it up and doubles with each further give-up, up to kMaxBackOffMs; a call that
// answers in time ends it.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Errors.h"

// The longest time one item may hold the collection thread, in milliseconds.
constexpr DWORD kItemTimeLimitMs = 20000;
// Abandoned calls that may still run before further calls are refused at once.
constexpr int kMaxRunningAbandonableCalls = 8;
// The longest back-off of a source given up again and again.
constexpr DWORD kMaxBackOffMs = 300000;

// A wait that passed the item's time limit, or a call refused because too many earlier
// ones are still running.
VISTREL_EXCEPTION(ETimeLimit, Exception)

// The time limit of the item gathered on this thread, from construction to destruction.
// Limits nest: an inner one replaces the outer one for its life.
class TItemTimeLimit {
public:
    explicit TItemTimeLimit(DWORD LimitMs = kItemTimeLimitMs);
    ~TItemTimeLimit();
    TItemTimeLimit(const TItemTimeLimit&) = delete;
    TItemTimeLimit& operator=(const TItemTimeLimit&) = delete;

private:
    const TItemTimeLimit* outer_;
    DWORD start_;
    DWORD limit_;
    friend DWORD ItemTimeLeftMs();
    friend DWORD ItemTimeLimitMs();
};

// Milliseconds left of this thread's item time limit (0 once it is spent); outside any
// limit, the whole of kItemTimeLimitMs.
DWORD ItemTimeLeftMs();
// The whole of this thread's item time limit (kItemTimeLimitMs outside any).
DWORD ItemTimeLimitMs();
// "20 s" (whole seconds, rounded up) or "500 ms" for a limit under a second.
std::wstring TimeLimitText(DWORD LimitMs);

// The interval, in milliseconds, of the item gathered on this thread, from construction to
// destruction: the first back-off of a source given up meanwhile. They nest.
class TItemInterval {
public:
    explicit TItemInterval(DWORD IntervalMs);
    ~TItemInterval();
    TItemInterval(const TItemInterval&) = delete;
    TItemInterval& operator=(const TItemInterval&) = delete;

private:
    const TItemInterval* outer_;
    DWORD interval_;
    friend DWORD ItemIntervalMs();
};
// This thread's item interval; 0 outside any (or for an item collected once).
DWORD ItemIntervalMs();

// The back-off after the GiveUps-th give-up in a row of a source whose item has the given
// interval: the interval (the item time limit for an item without one), doubled for each
// give-up after the first, at most kMaxBackOffMs.
DWORD SourceBackOffMs(int GiveUps, DWORD IntervalMs);

// Raises ETimeLimit, with the error What was given up with, while What is not to be called:
// a call to it that was given up still runs, or its back-off has not passed.
void CheckSourceCallable(const std::wstring& What);
// For waits that are bounded without a thread of their own (a WMI enumeration): What gave
// no answer in time and was given up with Error; its back-off starts (the interval is this
// thread's item's).
void NoteSourceGivenUp(const std::wstring& What, const std::wstring& Error);
// What answered in time: its back-off ends.
void NoteSourceAnswered(const std::wstring& What);
// Forgets every source given up (tests that give sources up one after another).
void ForgetGivenUpSources();

// Abandonable calls still running (finished late or not yet finished).
int RunningAbandonableCalls();

// Called by an abandonable call once its source has begun to answer (an HTTP server sent
// its headers): a call that comes late after that did not finish, rather than gave no
// answer. Does nothing outside an abandonable call.
void MarkCallAnswering();

// The COM apartment an abandonable call's thread joins: none, or the process's
// multithreaded apartment, so that COM objects made there are the caller's to use when
// the caller is in that apartment too.
enum class TCallApartment { None, Multithreaded };

namespace time_limits_detail {
// What the caller and the call's thread share; it lives until both have let go.
struct TCallState {
    std::function<void(const std::atomic<bool>& Abandoned)> Work;
    std::atomic<bool> Abandoned{false};
    std::atomic<bool> Answering{false};
    std::exception_ptr Error;
    std::wstring What;
    TCallApartment Apartment = TCallApartment::None;
    // Under the lock of the calls that came late: the call has ended; it came late and
    // counts among them.
    bool Finished = false;
    bool Late = false;
};
// Runs State->Work on a new thread and waits for it up to TimeoutMs. Raises ETimeLimit
// when it comes late (State->Abandoned is then set, and What is given up), when the thread
// cannot be started, when too many calls still run, or, without starting it, while What
// is not to be called (CheckSourceCallable).
void RunOnOwnThread(const std::shared_ptr<TCallState>& State, DWORD TimeoutMs, const std::wstring& What);
}  // namespace time_limits_detail

// Runs Call on a thread of its own and waits for it up to TimeoutMs. Call must work only on
// what it owns (capture copies, never references to the caller's data) and on no global
// state that the program frees or rewrites: when it comes late the caller goes on, Call
// runs to its end alone and its result is dropped. What Call owns (its captures) is
// released on its own thread after it has answered; pass Call by move so that the caller
// keeps no copy. Call may watch the flag it is given,
// which turns true once it is abandoned, to stop early. Raises ETimeLimit ("<What> gave no
// answer within 20 s", or "<What> did not finish within 20 s" once Call called
// MarkCallAnswering) when Call comes late or cannot be started. A call that comes late
// gives What up: while that call still runs and until What's back-off has passed, Call is
// not started and the error What was given up with is raised at once, so that a silent
// source holds the caller once, not at every collection. A call that answers in time ends
// What's back-off. An exception of Call is raised again in the caller. With Apartment
// Multithreaded, Call's thread is in the multithreaded apartment while Call runs and until
// what it owns is released.
template <typename R>
R RunAbandonable(std::function<R(const std::atomic<bool>& Abandoned)> Call, DWORD TimeoutMs,
                 const std::wstring& What, TCallApartment Apartment = TCallApartment::None) {
    auto result = std::make_shared<std::optional<R>>();
    auto state = std::make_shared<time_limits_detail::TCallState>();
    state->Apartment = Apartment;
    state->Work = [call = std::move(Call), result](const std::atomic<bool>& abandoned) {
        *result = call(abandoned);
    };
    time_limits_detail::RunOnOwnThread(state, TimeoutMs, What);
    if (state->Error) std::rethrow_exception(state->Error);
    return std::move(**result);
}
