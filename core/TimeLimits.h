// How long one item may hold the collection thread, and calls that can be abandoned.
//
// Every wait inside a gathering routine takes its bound from the item's time limit: the
// pipeline starts the limit around each routine (TItemTimeLimit), and a WMI enumeration, an
// HTTP fetch, a command's wait or an abandonable call asks how much of it is left
// (ItemTimeLeftMs). A platform call that has no timeout of its own runs through
// RunAbandonable: on a thread of its own, which the caller stops waiting for at the bound.
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

// Abandonable calls still running (finished late or not yet finished).
int RunningAbandonableCalls();

// Called by an abandonable call once its source has begun to answer (an HTTP server sent
// its headers): a call that comes late after that did not finish, rather than gave no
// answer. Does nothing outside an abandonable call.
void MarkCallAnswering();

namespace time_limits_detail {
// What the caller and the call's thread share; it lives until both have let go.
struct TCallState {
    std::function<void(const std::atomic<bool>& Abandoned)> Work;
    std::atomic<bool> Abandoned{false};
    std::atomic<bool> Answering{false};
    std::exception_ptr Error;
    std::wstring What;
    // Under the lock of the calls that came late: the call has ended; it came late and
    // counts among them.
    bool Finished = false;
    bool Late = false;
};
// Runs State->Work on a new thread and waits for it up to TimeoutMs. Raises ETimeLimit
// when it comes late (State->Abandoned is then set), when the thread cannot be started,
// when too many calls still run, or, without starting it, while an earlier call of the
// same What that came late still runs.
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
// MarkCallAnswering) when Call comes late or cannot be started. While a call of the same
// What that came late still runs, Call is not started: the error that call was given up
// with is raised at once, so that a silent source holds the caller once, not at every
// collection. An exception of Call is raised again in the caller.
template <typename R>
R RunAbandonable(std::function<R(const std::atomic<bool>& Abandoned)> Call, DWORD TimeoutMs,
                 const std::wstring& What) {
    auto result = std::make_shared<std::optional<R>>();
    auto state = std::make_shared<time_limits_detail::TCallState>();
    state->Work = [call = std::move(Call), result](const std::atomic<bool>& abandoned) {
        *result = call(abandoned);
    };
    time_limits_detail::RunOnOwnThread(state, TimeoutMs, What);
    if (state->Error) std::rethrow_exception(state->Error);
    return std::move(**result);
}
