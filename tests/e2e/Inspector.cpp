#include "Inspector.h"

#include <cstdint>
#include <cstdlib>
#include <vector>
#include <stdexcept>

#include "Gdi.h"

std::wstring Utf16File(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return text;
}

VistrelProcess::VistrelProcess(const std::wstring& arguments, bool debugLog,
                               const std::function<void(const TempFolder&)>& Prepare,
                               const std::wstring& ProgramName) {
    Start(arguments, debugLog, Prepare, ProgramName);
}

VistrelProcess::VistrelProcess(const std::wstring& arguments, const std::wstring& logFile) : logFile_(logFile) {
    Start(arguments, true, nullptr, L"Vistrel.exe");
}

void VistrelProcess::Start(const std::wstring& arguments, bool debugLog,
                           const std::function<void(const TempFolder&)>& Prepare, const std::wstring& ProgramName) {
    const std::wstring exe = folder_.File(ProgramName);
    if (!CopyFileW((TestBinaryDir() + L"Vistrel.exe").c_str(), exe.c_str(), FALSE))
        throw std::runtime_error("cannot copy Vistrel.exe");
    if (Prepare) Prepare(folder_);
    std::wstring cmd = L"\"" + exe + L"\"";
    if (debugLog) cmd += L" /debug=" + logFile_;
    if (!arguments.empty()) cmd += L" " + arguments;
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder_.Path().c_str(), &si, &pi_))
        throw std::runtime_error("cannot start Vistrel.exe");
}

VistrelProcess::~VistrelProcess() {
    if (Running()) {
        TerminateProcess(pi_.hProcess, 998);
        WaitForSingleObject(pi_.hProcess, 5000);
    }
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
}

bool VistrelProcess::Running() const { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

DWORD VistrelProcess::WaitExit(DWORD ms) {
    const DWORD start = GetTickCount();
    while (Running()) {
        if (GetTickCount() - start >= ms) return 999;
        ServeMessages(20);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
}

std::wstring VistrelProcess::LogText() const { return Utf16File(logFile_); }

bool VistrelProcess::WaitForLog(const std::wstring& text, DWORD ms) const {
    const DWORD start = GetTickCount();
    while (LogText().find(text) == std::wstring::npos) {
        if (GetTickCount() - start >= ms) return false;
        ServeMessages(20);
    }
    return true;
}

std::size_t Count(const std::wstring& text, const std::wstring& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

bool WaitForCount(const VistrelProcess& v, const std::wstring& part, std::size_t n, DWORD ms) {
    const DWORD start = GetTickCount();
    while (Count(v.LogText(), part) < n) {
        if (GetTickCount() - start >= ms) return false;
        ServeMessages(50);
    }
    return true;
}

void Quit(VistrelProcess& v, HWND form) {
    PostMessageW(form, WM_CLOSE, 0, 0);
    v.WaitExit(10000);
}

namespace {

struct WindowSearch {
    DWORD pid;
    const std::wstring* cls;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<WindowSearch*>(lp);
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == s->pid && WindowClass(w) == *s->cls && (!s->visibleOnly || IsWindowVisible(w))) s->found.push_back(w);
    return TRUE;
}

}  // namespace

std::vector<HWND> WindowsOf(DWORD pid, const std::wstring& className, bool visibleOnly) {
    WindowSearch search{pid, &className, visibleOnly, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(DWORD pid, const std::wstring& className, DWORD ms) {
    const DWORD start = GetTickCount();
    while (true) {
        const auto found = WindowsOf(pid, className, true);
        if (!found.empty()) return found.front();
        if (GetTickCount() - start >= ms) return nullptr;
        ServeMessages(20);
    }
}

std::wstring WindowClass(HWND w) {
    wchar_t buf[256] = {};
    const int n = GetClassNameW(w, buf, 256);
    return std::wstring(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring WindowText(HWND w) {
    wchar_t buf[512] = {};
    const int n = GetWindowTextW(w, buf, 512);
    return std::wstring(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

LONG_PTR StyleOf(HWND w) { return GetWindowLongPtrW(w, GWL_STYLE); }
LONG_PTR ExStyleOf(HWND w) { return GetWindowLongPtrW(w, GWL_EXSTYLE); }

RECT WindowRect(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    return r;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

LayeredAttributes LayeredOf(HWND w) {
    LayeredAttributes a;
    a.ok = GetLayeredWindowAttributes(w, &a.key, &a.alpha, &a.flags) != FALSE;
    return a;
}

int ZOrderIndex(HWND w) {
    int i = 0;
    for (HWND h = GetTopWindow(nullptr); h; h = GetWindow(h, GW_HWNDNEXT), ++i)
        if (h == w) return i;
    return -1;
}

void ServeMessages(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

ScreenShot CaptureScreen(const RECT& area) {
    ScreenShot shot;
    shot.Area = area;
    const int w = shot.Width(), h = shot.Height();
    if (w <= 0 || h <= 0) return shot;
    DibSection dib = CreateDibSection(w, h);
    UniqueWindowDC screen(nullptr);
    UniqueMemoryDC memory(CreateCompatibleDC(screen.get()));
    {
        SelectedObject selected(memory.get(), dib.Bitmap.get());
        BitBlt(memory.get(), 0, 0, w, h, screen.get(), area.left, area.top, SRCCOPY);
        GdiFlush();
    }
    shot.Pixels.resize(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < shot.Pixels.size(); ++i) {
        const std::uint32_t p = dib.Bits[i];
        shot.Pixels[i] = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    return shot;
}

namespace {

// The Linux path of a file (Wine's own conversion); empty when there is none.
std::string UnixPath(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return {};
    char* unix = convert(path.c_str());
    if (!unix) return {};
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

}  // namespace

int XdoTool(const std::string& arguments, DWORD ms) {
    TempFolder folder(L"vistrel-xdo");
    const std::wstring done = folder.File(L"done");
    const std::string marker = UnixPath(done);
    if (marker.empty()) return -1;
    // The exit code goes into a file that appears whole: Wine gives no handle to wait on
    // for a Linux process.
    const std::string script = "if command -v xdotool >/dev/null; then xdotool " + arguments +
                               "; r=$?; else r=127; fi; echo $r > '" + marker + ".tmp'; mv '" + marker + ".tmp' '" +
                               marker + "'";
    std::wstring cmd = L"Z:\\bin\\sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start >= ms) return -1;
        ServeMessages(20);
    }
    return std::atoi(ReadFileBytes(done).c_str());
}
