#include "Threads.h"

#include <exception>
#include <mutex>

#include "Errors.h"

namespace {

constexpr UINT kSyncMessage = WM_APP + 0x51;
constexpr UINT kPostedMessage = WM_APP + 0x52;
const wchar_t kSyncClass[] = L"VistrelSynchronizer";

std::mutex syncMutex;
HWND syncWindow = nullptr;  // guarded by syncMutex for reads from workers
DWORD windowThreadId = 0;

struct SyncCall {
    const std::function<void()>* fn;
    std::exception_ptr error;
};

LRESULT CALLBACK SyncWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kSyncMessage) {
        auto* call = reinterpret_cast<SyncCall*>(lp);
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
        return 1;
    }
    if (msg == kPostedMessage) {
        try {
            reinterpret_cast<void (*)()>(lp)();
        } catch (...) {
            // Nobody waits for a posted call: a C++ exception must not reach user32.
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

void InitSynchronizer() {
    std::lock_guard lock(syncMutex);
    if (syncWindow) return;
    WNDCLASSW wc{};
    wc.lpfnWndProc = SyncWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kSyncClass;
    RegisterClassW(&wc);
    // A message-only window: it needs no display.
    syncWindow = CreateWindowExW(0, kSyncClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (!syncWindow) RaiseLastOSError(L"InitSynchronizer");
    windowThreadId = GetCurrentThreadId();
}

void FinalizeSynchronizer() {
    HWND window;
    {
        std::lock_guard lock(syncMutex);
        window = syncWindow;
        syncWindow = nullptr;
        windowThreadId = 0;
    }
    if (window) DestroyWindow(window);
}

bool IsWindowThread() { return windowThreadId != 0 && GetCurrentThreadId() == windowThreadId; }

bool Synchronize(const std::function<void()>& fn) {
    if (IsWindowThread()) {
        fn();
        return true;
    }
    HWND window;
    {
        std::lock_guard lock(syncMutex);
        window = syncWindow;
    }
    if (!window) return false;
    SyncCall call{&fn, nullptr};
    if (SendMessageW(window, kSyncMessage, 0, reinterpret_cast<LPARAM>(&call)) == 0) return false;
    if (call.error) std::rethrow_exception(call.error);
    return true;
}

bool PostToWindowThread(void (*Fn)()) {
    if (!Fn) return false;
    HWND window;
    {
        std::lock_guard lock(syncMutex);
        window = syncWindow;
    }
    return window && PostMessageW(window, kPostedMessage, 0, reinterpret_cast<LPARAM>(Fn));
}

bool WaitServingCalls(HANDLE handle, DWORD timeoutMs, TServeStep Serve) {
    const DWORD start = GetTickCount();
    // What was queued before the wait (a repaint, say) is served at once.
    DWORD wake = QS_SENDMESSAGE;
    if (Serve && WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) wake |= Serve();
    while (true) {
        DWORD left = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
            left = timeoutMs - spent;
        }
        // Only messages that arrive after the last look wake the wait, and only of the
        // kinds the serve step takes: what it leaves queued (a quit request, input it does
        // not take) does not wake it again.
        const DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, left, wake);
        if (r == WAIT_OBJECT_0) return true;
        if (r == WAIT_OBJECT_0 + 1) {
            // Serve the calls sent to this thread's windows; posted messages stay queued
            // unless Serve takes them.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            if (Serve) wake = QS_SENDMESSAGE | Serve();
            continue;
        }
        return false;
    }
}

TThread::TThread() : wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!wake_.valid()) RaiseLastOSError(L"TThread");
}

TThread::~TThread() {
    // An owner that deletes a running thread ends it first.
    if (started_ && state_.load() == 0) {
        Terminate();
        WaitFor(INFINITE);
    }
}

void TThread::Start() {
    if (started_) return;
    started_ = true;
    HANDLE h = CreateThread(nullptr, 0, ThreadProc, this, 0, &threadId_);
    if (!h) {
        started_ = false;
        RaiseLastOSError(L"TThread.Start");
    }
    handle_.reset(h);
}

void TThread::Terminate() {
    terminated_ = true;
    SetEvent(wake_.get());
}

bool TThread::WaitFor(DWORD timeoutMs, TServeStep Serve) {
    if (!started_ || !handle_.valid()) return true;
    if (GetCurrentThreadId() == threadId_) return false;
    return WaitServingCalls(handle_.get(), timeoutMs, Serve);
}

void TThread::Detach() {
    if (!started_) {
        delete this;
        return;
    }
    if (state_.fetch_or(kDetached) & kFinished) delete this;
}

bool TThread::SleepUnlessTerminated(DWORD ms) {
    if (terminated_) return false;
    return WaitForSingleObject(wake_.get(), ms) == WAIT_TIMEOUT && !terminated_;
}

bool TThread::SleepUnlessTerminated(DWORD ms, HANDLE Also) {
    if (terminated_) return false;
    if (!Also) return SleepUnlessTerminated(ms);
    const HANDLE handles[2] = {wake_.get(), Also};
    WaitForMultipleObjects(2, handles, FALSE, ms);
    return !terminated_;
}

DWORD WINAPI TThread::ThreadProc(void* p) {
    auto* self = static_cast<TThread*>(p);
    try {
        self->Execute();
    } catch (...) {
        // A thread body that raises ends the thread, not the process.
    }
    try {
        self->DoTerminate();
    } catch (...) {
    }
    // Marked last: from here on the owner may delete the object.
    if (self->state_.fetch_or(kFinished) & kDetached) delete self;
    return 0;
}
