#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <vector>

#include "Errors.h"
#include "Log.h"
#include "TestFiles.h"
#include "WinApp.h"
#include "WinControls.h"
#include "WindowTests.h"

namespace {

class TClosable : public TForm {
public:
    explicit TClosable(int* destroyed = nullptr) : destroyed_(destroyed) {}
    ~TClosable() override {
        if (destroyed_) *destroyed_ = order++;
    }
    std::wstring ClassName() const override { return L"TClosable"; }
    static inline int order = 0;

private:
    int* destroyed_;
};

}  // namespace

TEST(Exceptions, ClassNameAndMessageOfEveryKind) {
    EXPECT_EQ(ExceptionClassName(EConvertError(L"bad value")), L"EConvertError");
    EXPECT_EQ(ExceptionMessage(EConvertError(L"bad value")), L"bad value");
    EXPECT_EQ(ExceptionClassName(std::out_of_range("x")), L"ERangeError");
    EXPECT_EQ(ExceptionClassName(std::runtime_error("boom")), L"Exception");
    EXPECT_EQ(ExceptionMessage(std::runtime_error("boom")), L"boom");
    EXPECT_EQ(ExceptionMessage(EConvertError(L"")), L"");
}

TEST_F(WindowTest, ClosingTheMainFormEndsTheLoopOtherFormsHide) {
    auto* main = Application().CreateForm<TClosable>();
    auto* other = Application().CreateForm<TClosable>();
    Application().SetMainForm(main);
    other->Show();
    SendMessageW(other->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(other->Visible());
    EXPECT_FALSE(Application().Terminated());
    PostMessageW(main->Handle(), WM_CLOSE, 0, 0);
    Application().Run();  // returns once the main form is closed
    EXPECT_TRUE(Application().Terminated());
}

TEST_F(WindowTest, FormsAreDestroyedNewestFirst) {
    int first = -1, second = -1;
    TClosable::order = 0;
    HWND a = Application().CreateForm<TClosable>(&first)->Handle();
    HWND b = Application().CreateForm<TClosable>(&second)->Handle();
    Application().DestroyForms();
    EXPECT_EQ(second, 0);
    EXPECT_EQ(first, 1);
    EXPECT_FALSE(IsWindow(a));
    EXPECT_FALSE(IsWindow(b));
    EXPECT_EQ(Application().MainForm(), nullptr);
}

TEST_F(WindowTest, ProcessMessagesServesTheQueueAndSeesQuit) {
    auto* form = Application().CreateForm<TClosable>();
    int clicks = 0;
    form->OnMouseDown = [&](TWinControl*, TMouseButton, unsigned, int, int) { ++clicks; };
    PostMessageW(form->Handle(), WM_LBUTTONDOWN, 0, 0);
    Application().ProcessMessages();
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(Application().Terminated());
    PostQuitMessage(0);
    Application().ProcessMessages();
    EXPECT_TRUE(Application().Terminated());
}

TEST_F(WindowTest, TitleLivesOnTheApplicationWindow) {
    Application().SetTitle(L"Vistrel");
    EXPECT_EQ(Application().Title(), L"Vistrel");
    wchar_t buf[32] = {};
    GetWindowTextW(Application().Handle(), buf, 32);
    EXPECT_EQ(std::wstring(buf), L"Vistrel");
    Application().SetTitle(L"");
    EXPECT_EQ(Application().Title(), L"");
}

TEST_F(WindowTest, HooksAreCalledOnlyWhenSetAndNotTerminating) {
    int calls = 0;
    std::function<void(int)> hook;
    CallHook(hook, 1);  // not set: nothing
    hook = [&](int v) { calls += v; };
    CallHook(hook, 2);
    EXPECT_EQ(calls, 2);
    Application().Terminate();
    CallHook(hook, 5);
    EXPECT_EQ(calls, 2);
}

TEST_F(WindowTest, UnhandledExceptionsWithoutAHandlerAreLogged) {
    TempFolder folder;
    SetLogFileName(folder.File(L"log.txt"));
    LogLevels = 1;
    try {
        throw EConvertError(L"odd");
    } catch (...) {
        Application().HandleException(L"TSomething");
    }
    EXPECT_NE(ReadLogText(folder.File(L"log.txt")).find(L"Application Exception: TSomething EConvertError odd"),
              std::wstring::npos);
}

TEST_F(WindowTest, ProgramEndRunsOnceAndTheSessionEndRunsIt) {
    int ends = 0;
    std::vector<UINT> halts;
    SetProgramEndProc([&] { ++ends; });
    SetHaltProc([&](UINT code) { halts.push_back(code); });
    SendMessageW(Application().Handle(), WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(halts, std::vector<UINT>{0});
    RunProgramEndProc();
    HaltProgram(3);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(halts, (std::vector<UINT>{0, 3}));
}

TEST_F(WindowTest, TheWindowThreadHasComWhileTheApplicationIsSetUp) {
    // The fixture set the application up on this thread: COM is there, a call only counts.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_FALSE);
    if (SUCCEEDED(hr)) CoUninitialize();
    Application().Shutdown();
    hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_OK) << "released by the shutdown";
    if (SUCCEEDED(hr)) CoUninitialize();
    Application().Initialize();
}

namespace {

class TRecording : public TForm {
public:
    std::wstring ClassName() const override { return L"TRecording"; }
    std::vector<UINT> Dispatched;

protected:
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override {
        if (msg >= WM_USER && msg < WM_USER + 10) Dispatched.push_back(msg);
        return TForm::WndProc(msg, wp, lp);
    }
};

}  // namespace

TEST_F(WindowTest, OnMessageSeesTheQueueBeforeDispatch) {
    auto* form = Application().CreateForm<TRecording>();
    std::vector<UINT> seen;
    Application().OnMessage = [&](MSG& msg) {
        if (msg.message < WM_USER || msg.message >= WM_USER + 10) return false;
        seen.push_back(msg.message);
        return msg.message == WM_USER + 1;  // handled: not dispatched
    };
    PostMessageW(form->Handle(), WM_USER + 1, 0, 0);
    PostMessageW(form->Handle(), WM_USER + 2, 0, 0);
    Application().ProcessMessages();
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
    EXPECT_EQ(form->Dispatched, std::vector<UINT>{WM_USER + 2});
    Application().OnMessage = nullptr;
}

TEST_F(WindowTest, HiddenCursorForTheWholeApplication) {
    auto* form = Application().CreateForm<TClosable>();
    form->Cursor = crHandPoint;
    EXPECT_EQ(Application().CursorHandle(form->Cursor), LoadCursorW(nullptr, IDC_HAND));
    Application().CursorHidden = true;
    EXPECT_EQ(Application().CursorHandle(form->Cursor), nullptr);
    EXPECT_EQ(Application().CursorHandle(crDefault), nullptr);
}
