#include "WinApp.h"

#include "ComHandles.h"
#include "Errors.h"
#include "Log.h"
#include "Threads.h"

namespace {

const wchar_t kAppClass[] = L"TApplication";

LRESULT CALLBACK AppWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    try {
        if (msg == WM_CLOSE) {
            Application().Terminate();
            return 0;
        }
        // The session ends: the process is ended after this message, so the program's
        // ordered end runs now.
        if (msg == WM_ENDSESSION && wp) {
            HaltProgram(0);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    } catch (...) {
        Application().HandleException(L"TApplication");
        return 0;
    }
}

std::function<void()>& EndProc() {
    static std::function<void()> proc;
    return proc;
}

std::function<void(UINT)>& HaltProc() {
    static std::function<void(UINT)> proc;
    return proc;
}

// The exit code of the end under way (RunProgramEndProc's or HaltProgram's).
UINT programExitCode = 0;
// Set when the end under way has already ended the process (or called the test's halt).
bool endedAtOnce = false;

}  // namespace

TApplication& Application() {
    static TApplication app;
    return app;
}

namespace {
// Made before main, so the windows have their host from the start.
[[maybe_unused]] const TApplication& applicationAtStart = Application();
}  // namespace

TApplication::TApplication() { SetControlHost(this); }

TApplication::~TApplication() {
    // The process may end without Shutdown (tests); windows go with it.
    forms_.clear();
    SetControlHost(nullptr);
}

void TApplication::Initialize() {
    if (handle_) return;
    if (!com_) com_ = std::make_unique<ComInitialization>();
    InitSynchronizer();
    WNDCLASSW wc{};
    wc.lpfnWndProc = AppWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kAppClass;
    wc.hIcon = LoadIconW(wc.hInstance, L"MAINICON");
    RegisterClassW(&wc);
    // A hidden, zero-sized top-level window: it holds the title and never shows.
    handle_ = CreateWindowExW(0, kAppClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!handle_) RaiseLastOSError(L"TApplication.Initialize");
}

void TApplication::Run() {
    if (mainForm_ && !mainForm_->Visible()) mainForm_->Show();
    MSG msg;
    while (!terminated_) {
        const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0 || r == -1) {
            terminated_ = true;
            break;
        }
        try {
            Dispatch(msg);
        } catch (...) {
            HandleException(L"TApplication");
        }
    }
}

void TApplication::Dispatch(MSG& msg) {
    if (OnMessage && OnMessage(msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            terminated_ = true;
            // Left for the loop that waits for it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        Dispatch(msg);
    }
}

void TApplication::Terminate() {
    if (terminated_) return;
    terminated_ = true;
    PostQuitMessage(0);
}

std::wstring TApplication::Title() const {
    if (!handle_) return {};
    wchar_t buf[512] = {};
    const int n = GetWindowTextW(handle_, buf, 512);
    return std::wstring(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

void TApplication::SetTitle(const std::wstring& title) {
    if (handle_) SetWindowTextW(handle_, title.c_str());
}

void TApplication::Adopt(std::unique_ptr<TWinControl> form) {
    TWinControl* raw = form.get();
    forms_.push_back(std::move(form));
    if (!mainForm_) mainForm_ = raw;
}

void TApplication::DestroyForms() {
    while (!forms_.empty()) {
        std::unique_ptr<TWinControl> last = std::move(forms_.back());
        forms_.pop_back();
        if (last.get() == mainForm_) mainForm_ = nullptr;
        last.reset();
    }
    mainForm_ = nullptr;
}

HCURSOR TApplication::CursorHandle(int cursor) const {
    if (CursorHidden || cursor == crNone) return nullptr;
    if (cursor == crHandPoint) return LoadCursorW(nullptr, IDC_HAND);
    for (const auto& [id, handle] : cursors_)
        if (id == cursor) return handle;
    return LoadCursorW(nullptr, IDC_ARROW);
}

void TApplication::RegisterCursor(int cursor, HCURSOR handle) {
    for (auto& entry : cursors_)
        if (entry.first == cursor) {
            entry.second = handle;
            return;
        }
    cursors_.emplace_back(cursor, handle);
}

void TApplication::HandleException(const std::wstring& senderClass) noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            if (OnException) OnException(senderClass, e);
            else WriteLog(L"Application Exception: " + senderClass + L" " + ExceptionText(e), llError);
        } catch (...) {
            const Exception unknown(L"Unknown exception");
            if (OnException) OnException(senderClass, unknown);
            else WriteLog(L"Application Exception: " + senderClass + L" " + ExceptionText(unknown), llError);
        }
    } catch (...) {
        // The handler itself failed: nothing more can be reported.
    }
}

void TApplication::Shutdown() {
    DestroyForms();
    if (handle_) {
        DestroyWindow(handle_);
        handle_ = nullptr;
    }
    FinalizeSynchronizer();
    com_.reset();
}

std::wstring ExceptionClassName(const std::exception& e) {
    const std::wstring text = ExceptionText(e);
    return text.substr(0, text.find(L' '));
}

std::wstring ExceptionMessage(const std::exception& e) {
    const std::wstring text = ExceptionText(e);
    const std::size_t blank = text.find(L' ');
    return blank == std::wstring::npos ? std::wstring() : text.substr(blank + 1);
}

void SetProgramEndProc(std::function<void()> proc) { EndProc() = std::move(proc); }

void RunProgramEndProc(UINT ExitCode) {
    // Taken out first, so that a second way out (an error during the finalisation)
    // does not run it again.
    std::function<void()> proc = std::move(EndProc());
    EndProc() = nullptr;
    if (!proc) return;
    programExitCode = ExitCode;
    endedAtOnce = false;
    proc();
}

void HaltProgram(UINT exitCode) {
    programExitCode = exitCode;
    endedAtOnce = false;
    try {
        RunProgramEndProc(exitCode);
    } catch (...) {
        // The process ends anyway.
    }
    if (endedAtOnce) return;  // only with a test's halt routine
    if (HaltProc()) {
        HaltProc()(exitCode);
        return;
    }
    ExitProcess(exitCode);
}

void EndProcessAtOnce() {
    endedAtOnce = true;
    if (HaltProc()) {
        HaltProc()(programExitCode);
        return;
    }
    TerminateProcess(GetCurrentProcess(), programExitCode);
}

void SetHaltProc(std::function<void(UINT)> proc) { HaltProc() = std::move(proc); }
