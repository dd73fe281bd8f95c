#include "WindowTests.h"

#include "DisplayModes.h"
#include "Log.h"
#include "TestFiles.h"
#include "WinApp.h"

void PumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(1);
    } while (GetTickCount() - start < ms);
}

namespace {

struct ClassSearch {
    const wchar_t* name;
    HWND found;
};

BOOL CALLBACK MatchClass(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<ClassSearch*>(p);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (std::wstring(cls) == s->name) s->found = w;
    return TRUE;
}

}  // namespace

HWND WindowOfOwnClass(const wchar_t* ClassName, WNDPROC Proc, DWORD ExStyle, DWORD Style, RECT Bounds, HWND Parent) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = ClassName;
    RegisterClassW(&wc);  // fails harmlessly once the class is there
    return CreateWindowExW(ExStyle, ClassName, L"", Style, Bounds.left, Bounds.top, Bounds.right - Bounds.left,
                           Bounds.bottom - Bounds.top, Parent, nullptr, wc.hInstance, nullptr);
}

HWND ThreadWindowOfClass(const wchar_t* className) {
    ClassSearch search{className, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring ReadLogText(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return text;
}

void WindowTest::SetUp() {
    Application().Initialize();
    Application().ResetTerminated();
    Application().OnException = nullptr;
    Application().CursorHidden = false;
    DisplayMode = dmWindow;
}

void WindowTest::TearDown() {
    Application().DestroyForms();
    Application().OnException = nullptr;
    Application().ResetTerminated();
    MainForm = nullptr;
    BackdropForm = nullptr;
    SetHaltProc(nullptr);
    SetProgramEndProc(nullptr);
    SetLogFileName(L"");
    PumpFor(1);
}
