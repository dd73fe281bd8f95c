// The application object: the window thread's message loop, the terminate flag, the
// title, the forms it owns, the cursor rules and the application-level error handler.
// Window thread only.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "WinControls.h"

class ComInitialization;

// The host of the windows (TControlHost): it installs itself when it is made.
class TApplication final : public TControlHost {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Sets up the window thread: COM (the shell opens documents and links through it),
    // synchronised calls and the application's own hidden window.
    void Initialize();
    bool Initialized() const { return handle_ != nullptr; }
    // Shows the main form and serves messages until Terminate.
    void Run();
    // Serves the messages already queued; a quit message sets the terminate flag.
    void ProcessMessages();
    void Terminate() override;
    bool Terminated() const override { return terminated_; }
    // Clears the terminate flag (tests run several loops in one process).
    void ResetTerminated() { terminated_ = false; }

    // The application's own window, which carries the title.
    HWND Handle() const { return handle_; }
    std::wstring Title() const;
    void SetTitle(const std::wstring& title);

    // Forms are owned here and destroyed, newest first, by DestroyForms.
    template <typename F, typename... A>
    F* CreateForm(A&&... args) {
        auto form = std::make_unique<F>(std::forward<A>(args)...);
        F* raw = form.get();
        Adopt(std::move(form));
        return raw;
    }
    void Adopt(std::unique_ptr<TWinControl> form);
    void DestroyForms();
    // The form whose closing ends the program; shown by Run.
    TWinControl* MainForm() const { return mainForm_; }
    void SetMainForm(TWinControl* form) { mainForm_ = form; }
    bool IsMainForm(const TWinControl* form) const override { return form && form == mainForm_; }

    // The cursor for a control's cursor number; crNone for the whole application while
    // CursorHidden is set.
    HCURSOR CursorHandle(int cursor) const override;
    void RegisterCursor(int cursor, HCURSOR handle);
    bool CursorHidden = false;

    // The error handler: what happens to an exception that no routine caught. Given the
    // class name of the object whose message was being handled.
    using TExceptionEvent = std::function<void(const std::wstring& senderClass, const std::exception& e)>;
    TExceptionEvent OnException;
    // Call only inside a catch block: hands the exception being handled to OnException
    // (without one it is logged). Never raises.
    void HandleException(const std::wstring& senderClass) noexcept override;

    // Sees every message the window thread's loops take from the queue, for any of the
    // thread's windows, before it is dispatched; true when it handled the message (it is
    // then not dispatched).
    std::function<bool(MSG& msg)> OnMessage;

    // Destroys the forms and the application window, stops synchronised calls and
    // releases COM.
    void Shutdown();

private:
    // Translates and dispatches a message unless OnMessage handled it.
    void Dispatch(MSG& msg);

    HWND handle_ = nullptr;
    std::unique_ptr<ComInitialization> com_;
    bool terminated_ = false;
    TWinControl* mainForm_ = nullptr;
    std::vector<std::unique_ptr<TWinControl>> forms_;
    std::vector<std::pair<int, HCURSOR>> cursors_;
};

// The one application object of the process.
TApplication& Application();

// The class name and the message of an exception, as log lines show them.
std::wstring ExceptionClassName(const std::exception& e);
std::wstring ExceptionMessage(const std::exception& e);

// Ending the program: the routine given here runs once (the program's ordered end), then
// the process ends with the exit code. Every way the program ends goes through here.
void SetProgramEndProc(std::function<void()> proc);
// Runs the program-end routine if it has not run yet: the normal end of the main block,
// which then returns ExitCode.
void RunProgramEndProc(UINT ExitCode = 0);
// Runs the program-end routine, then ends the process at once. Tests replace the final
// step with SetHaltProc, so that HaltProgram returns.
void HaltProgram(UINT exitCode);
void SetHaltProc(std::function<void(UINT)> proc);
// Ends the process now with the exit code of the end under way, running nothing more:
// neither the program's clean-up nor the system libraries'. For an end that must neither
// wait for nor free anything under a thread that is still running. With SetHaltProc it
// calls that routine instead and returns; HaltProgram then does not call it again.
void EndProcessAtOnce();
