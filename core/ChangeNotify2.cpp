#include "ChangeNotify2.h"

#include <algorithm>

#include "Checked.h"
#include "Errors.h"
#include "Log.h"

namespace {

constexpr UINT kNotifyMessage = WM_APP + 0x52;
const wchar_t kCourierClass[] = L"VistrelChangeNotify2";
// How often a waiting watcher looks whether it was told to end.
constexpr DWORD kPollStepMs = 100;

std::uint64_t FileTimeValue(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool SumInto(const std::wstring& path, const std::function<bool()>& stop, std::int64_t& sum) {
    std::wstring base = path;
    if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
    WIN32_FIND_DATAW fd{};
    UniqueFindHandle find(FindFirstFileW((base + L"*.*").c_str(), &fd));
    if (!find.valid()) return true;
    do {
        if (stop && stop()) return false;
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        // A link or junction leads to files counted elsewhere, or back up the tree.
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!SumInto(base + name, stop, sum)) return false;
        } else {
            const std::int64_t size =
                static_cast<std::int64_t>((static_cast<std::uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
            sum = CheckedAdd<std::int64_t>(sum, size);
        }
    } while (FindNextFileW(find.get(), &fd));
    return true;
}

// One handed-over call: the watcher waits for Done or for its own end.
struct TCall {
    UniqueHandle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
using TCallBox = std::shared_ptr<TCall>;

// Drops the calls still posted to a courier window with their records. A filtered
// PeekMessage also takes a waiting quit request, whatever the filter: that goes back to
// the queue for the message loop that waits for it.
void DropPostedCalls(HWND Courier) {
    MSG msg;
    while (PeekMessageW(&msg, Courier, kNotifyMessage, kNotifyMessage, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        delete reinterpret_cast<TCallBox*>(msg.lParam);
    }
}

void RegisterCourierClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kCourierClass;
    RegisterClassW(&wc);
    registered = true;
}

}  // namespace

bool FileCheckReports(std::int32_t Flags, std::int64_t NewSize, std::uint64_t WriteTime, std::uint64_t AccessTime,
                      std::int64_t LastSize, std::uint64_t LastWrite, std::uint64_t LastAccess) {
    if (NewSize != LastSize) return true;
    if ((Flags & cnLastWrite) && WriteTime != LastWrite) return true;
    if ((Flags & cnLastAccess) && AccessTime != LastAccess) return true;
    return false;
}

TDirCheck DirectoryCheckRule(std::int32_t Flags, std::int64_t DirSize, std::uint64_t WriteTime,
                             std::uint64_t AccessTime, std::int64_t LastSize, std::uint64_t LastWrite,
                             std::uint64_t LastAccess) {
    if (Flags & cnSize) return DirSize != LastSize ? TDirCheck::Size : TDirCheck::None;
    if ((Flags & cnLastWrite) && WriteTime != LastWrite) return TDirCheck::Times;
    if ((Flags & cnLastAccess) && AccessTime != LastAccess) return TDirCheck::Times;
    return TDirCheck::None;
}

std::int64_t SumDirectorySize(const std::wstring& Path, const std::function<bool()>& Stop) {
    std::int64_t sum = 0;
    SumInto(Path, Stop, sum);
    return sum;
}

TChangeNotify2::TChangeNotify2(bool CreateSuspended)
    : resumed_(CreateEventW(nullptr, TRUE, TRUE, nullptr)), alive_(std::make_shared<std::atomic<bool>>(true)) {
    if (!resumed_.valid()) RaiseLastOSError(L"TChangeNotify2");
    RegisterCourierClass();
    // The handlers run on the thread that owns this window: the creating thread.
    courier_ = CreateWindowExW(0, kCourierClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!courier_) RaiseLastOSError(L"TChangeNotify2");
    SetWindowLongPtrW(courier_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(courier_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TChangeNotify2::CourierProc));
    if (!CreateSuspended) Resume();
}

TChangeNotify2::~TChangeNotify2() {
    StopHandlers();
    if (GetCurrentThreadId() == ThreadId()) {
        // Freed by its own thread, which Free left to end on its own: the owner's thread
        // destroys the courier window (and drops what is still posted to it).
        PostMessageW(courier_, WM_CLOSE, 0, 0);
        return;
    }
    // The thread never blocks on its own call: it stops waiting for it once told to end,
    // so this wait also ends when the free comes from inside one of its handlers.
    WaitFor(INFINITE);
    // Calls posted but not yet served are dropped with their records.
    DropPostedCalls(courier_);
    DestroyWindow(courier_);
}

void TChangeNotify2::StopHandlers() {
    *alive_ = false;
    SetWindowLongPtrW(courier_, GWLP_USERDATA, 0);
    Terminate();
    SetEvent(resumed_.get());
}

bool TChangeNotify2::Free(std::unique_ptr<TChangeNotify2> Watcher) {
    std::vector<std::unique_ptr<TChangeNotify2>> one;
    one.push_back(std::move(Watcher));
    return FreeAll(std::move(one));
}

bool TChangeNotify2::FreeAll(std::vector<std::unique_ptr<TChangeNotify2>> Watchers) {
    // All are told first, so that their ends overlap: one bound for them all.
    for (const auto& watcher : Watchers)
        if (watcher) watcher->StopHandlers();
    const DWORD start = GetTickCount();
    const DWORD bound = StopWaitMs;
    bool allEnded = true;
    for (auto& watcher : Watchers) {
        if (!watcher) continue;
        const DWORD spent = GetTickCount() - start;
        if (watcher->WaitFor(spent >= bound ? 0 : bound - spent, ServeWhileFreeing)) {
            watcher.reset();
            continue;
        }
        WriteLog(L"TChangeNotify2: the watcher of " + watcher->FileName() + L" is still busy; it ends on its own", llWarn);
        watcher.release()->Detach();
        allEnded = false;
    }
    return allEnded;
}

std::wstring TChangeNotify2::FileName() const {
    std::lock_guard lock(nameLock_);
    return fileName_;
}

void TChangeNotify2::SetFileName(const std::wstring& Name) {
    std::lock_guard lock(nameLock_);
    fileName_ = Name;
}

void TChangeNotify2::Resume() {
    if (!started_) {
        started_ = true;
        paused_ = false;
        SetEvent(resumed_.get());
        Start();
        return;
    }
    paused_ = false;
    SetEvent(resumed_.get());
}

void TChangeNotify2::Pause() {
    paused_ = true;
    ResetEvent(resumed_.get());
}

bool TChangeNotify2::Paused() const { return !started_ || paused_; }

std::int64_t TChangeNotify2::GetDirectorySize(const std::wstring& Path) {
    return SumDirectorySize(Path, [this] { return Terminated(); });
}

void TChangeNotify2::Execute() {
    LastWriteTime = 0;
    LastAccessTime = 0;
    Size = kSizeUnchecked;
    localWrite_ = localAccess_ = 0;
    while (!Terminated()) {
        // A paused watcher holds nothing: it only waits to be resumed or ended.
        while (paused_ && !Terminated()) WaitForSingleObject(resumed_.get(), kPollStepMs);
        if (Terminated()) break;
        Check();
        const std::int32_t interval = Interval;
        if (interval <= 0) break;
        std::int64_t left = static_cast<std::int64_t>(interval) * 1000;
        while (left > 0) {
            const DWORD step = static_cast<DWORD>(std::min<std::int64_t>(left, 3600000));
            if (!SleepUnlessTerminated(step)) return;
            left -= step;
        }
    }
}

void TChangeNotify2::Check() {
    const std::wstring name = FileName();
    if (void (*before)(const std::wstring&) = BeforeCheck) before(name);
    const DWORD attrs = name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        UniqueHandle file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        FILETIME access{}, write{};
        if (!file.valid() || !GetFileSizeEx(file.get(), &size) || !GetFileTime(file.get(), nullptr, &access, &write)) {
            Notify(localWrite_, localAccess_, kSizeUnreadable);
            return;
        }
        file.reset();
        localWrite_ = FileTimeValue(write);
        localAccess_ = FileTimeValue(access);
        if (FileCheckReports(Flags, size.QuadPart, localWrite_, localAccess_, Size, LastWriteTime, LastAccessTime))
            Notify(localWrite_, localAccess_, size.QuadPart);
    } else if (attrs != INVALID_FILE_ATTRIBUTES) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) {
            localWrite_ = FileTimeValue(data.ftLastWriteTime);
            localAccess_ = FileTimeValue(data.ftLastAccessTime);
        }
        const std::int32_t flags = Flags;
        const std::int64_t dirSize = (flags & cnSize) ? GetDirectorySize(name) : 0;
        switch (DirectoryCheckRule(flags, dirSize, localWrite_, localAccess_, Size, LastWriteTime, LastAccessTime)) {
            case TDirCheck::Size:
                Notify(localWrite_, localAccess_, dirSize);
                break;
            case TDirCheck::Times:
                Notify(localWrite_, localAccess_, Size);
                break;
            case TDirCheck::None:
                break;
        }
    } else {
        // Reported on every check while the path is missing.
        Notify(localWrite_, localAccess_, kSizeUnreadable);
    }
}

void TChangeNotify2::Notify(std::uint64_t WriteTime, std::uint64_t AccessTime, std::int64_t NewSize) {
    LastWriteTime = WriteTime;
    LastAccessTime = AccessTime;
    Size = NewSize;
    if (!(FirstCheck && !NotifyOnStart)) {
        if (SleepUnlessTerminated(10)) CallOnOwnerThread();
    }
    FirstCheck = false;
}

void TChangeNotify2::CallOnOwnerThread() {
    auto call = std::make_shared<TCall>();
    auto* box = new TCallBox(call);
    if (!PostMessageW(courier_, kNotifyMessage, 0, reinterpret_cast<LPARAM>(box))) {
        delete box;
        return;
    }
    // Waits for the handlers, but never past its own end: an owner that frees the
    // watcher while the call is pending (even from inside a handler) is not blocked.
    while (WaitForSingleObject(call->Done.get(), kPollStepMs) == WAIT_TIMEOUT)
        if (Terminated()) return;
}

void TChangeNotify2::DoNotify() {
    const auto alive = alive_;
    if (OnChange) OnChange(this);
    if (!*alive) return;  // freed by the first handler
    if (OnChangeProc) OnChangeProc(this);
}

LRESULT CALLBACK TChangeNotify2::CourierProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) {
        // Calls still posted to a window whose watcher is gone go with it.
        DropPostedCalls(hwnd);
    }
    if (msg != kNotifyMessage) return DefWindowProcW(hwnd, msg, wp, lp);
    const std::unique_ptr<TCallBox> box(reinterpret_cast<TCallBox*>(lp));
    const TCallBox call = *box;
    auto* self = reinterpret_cast<TChangeNotify2*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) {
        // No exception may cross the window procedure.
        try {
            self->DoNotify();
        } catch (const std::exception& e) {
            WriteLog(L"TChangeNotify2: " + ExceptionText(e), llError);
        } catch (...) {
            WriteLog(L"TChangeNotify2: unknown exception", llError);
        }
    }
    SetEvent(call->Done.get());
    return 0;
}
