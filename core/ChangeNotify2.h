// A polling watcher of one file or one directory: every Interval seconds its thread reads
// the size, the last-write time and the last-access time and, when a watched property
// changed, calls the owner's handlers on the window thread while it waits.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Threads.h"
#include "WinHandles.h"

// Watched properties, with the values of the FILE_NOTIFY_CHANGE constants.
enum : std::int32_t { cnSize = 0x08, cnLastWrite = 0x10, cnLastAccess = 0x20 };

// Size before the first check and for a path that cannot be read.
constexpr std::int64_t kSizeUnchecked = -2;
constexpr std::int64_t kSizeUnreadable = -1;

class TChangeNotify2;
using TChangeNotifyProc = void (*)(TChangeNotify2* Sender);

class TChangeNotify2 : public TThread {
public:
    // Owners create it suspended, set the file name, Flags, Interval, the handlers and
    // NotifyOnStart, then Resume it. Must be created and freed on the window thread: the
    // handlers run on the thread that created it.
    explicit TChangeNotify2(bool CreateSuspended);
    // Tells the thread to end and waits for it. Safe also from inside one of its own
    // handlers: the thread gives up waiting for the call and ends. Owners free a watcher
    // with Free, whose wait is bounded.
    ~TChangeNotify2() override;

    // Frees Watcher (nothing without one): tells its thread to end and waits for it up to
    // StopWaitMs, serving synchronised calls and, with ServeWhileFreeing, the window. A
    // thread still inside a file call after that (a network file that does not answer) is
    // left to end on its own, freeing the watcher then; no handler runs from the moment of
    // the call. True when it had ended.
    static bool Free(std::unique_ptr<TChangeNotify2> Watcher);
    // Frees them all as Free does one: every thread is told to end first, and all are
    // waited for within one StopWaitMs, however many there are. True when all had ended.
    static bool FreeAll(std::vector<std::unique_ptr<TChangeNotify2>> Watchers);
    // The bound of Free: that of the collection thread's stop.
    static inline std::atomic<DWORD> StopWaitMs{3000};
    // Serves the window while Free waits (none: only synchronised calls are served).
    static inline TServeStep ServeWhileFreeing = nullptr;
    // Runs on the watcher's thread before each check, with the watched name (tests stand
    // in a file call that does not return with it). None: nothing runs.
    static inline void (*BeforeCheck)(const std::wstring& Name) = nullptr;

    // The watched path; a running thread takes a new name at its next check.
    std::wstring FileName() const;
    void SetFileName(const std::wstring& Name);

    std::function<void(TChangeNotify2* Sender)> OnChange;  // first handler
    TChangeNotifyProc OnChangeProc = nullptr;             // then this one
    std::atomic<std::int32_t> Flags{0};
    // Seconds between checks; 0 or less checks once and ends.
    std::atomic<std::int32_t> Interval{0};
    bool NotifyOnStart = true;

    // Last seen values (file times as 64-bit counts; Size in bytes, kSizeUnchecked before
    // the first check, kSizeUnreadable when the path was missing or could not be opened).
    // Written by the thread only; the handlers read them while the thread waits.
    std::atomic<std::uint64_t> LastWriteTime{0};
    std::atomic<std::uint64_t> LastAccessTime{0};
    std::atomic<std::int64_t> Size{0};
    std::atomic<bool> FirstCheck{true};

    // Starts a suspended watcher, or lets a paused one check again with its last seen
    // values. Pause stops the checks after the one under way; a paused thread only waits.
    void Resume();
    void Pause();
    bool Paused() const;

    // The sum of the sizes of all files below Path, stopping early when the thread is
    // told to end.
    std::int64_t GetDirectorySize(const std::wstring& Path);

protected:
    void Execute() override;

private:
    // No handler runs from here on, and the thread is told to end.
    void StopHandlers();
    void Check();
    void Notify(std::uint64_t WriteTime, std::uint64_t AccessTime, std::int64_t NewSize);
    void DoNotify();
    void CallOnOwnerThread();
    static LRESULT CALLBACK CourierProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    mutable std::mutex nameLock_;
    std::wstring fileName_;
    bool started_ = false;  // owner's thread only
    std::atomic<bool> paused_{false};
    UniqueHandle resumed_;  // set while not paused
    HWND courier_ = nullptr;  // message-only window of the owner's thread
    std::shared_ptr<std::atomic<bool>> alive_;
    std::uint64_t localWrite_ = 0, localAccess_ = 0;
};

// The check rules as plain functions of values.
// A file: a size change always reports; the times only when their flag is set.
bool FileCheckReports(std::int32_t Flags, std::int64_t NewSize, std::uint64_t WriteTime, std::uint64_t AccessTime,
                      std::int64_t LastSize, std::uint64_t LastWrite, std::uint64_t LastAccess);
// A directory: with the size flag only its summed size counts; else the write time with
// its flag, else the access time with its flag; without a flag nothing reports.
// DirSize is read only when Flags has the size flag.
enum class TDirCheck { None, Size, Times };
TDirCheck DirectoryCheckRule(std::int32_t Flags, std::int64_t DirSize, std::uint64_t WriteTime,
                             std::uint64_t AccessTime, std::int64_t LastSize, std::uint64_t LastWrite,
                             std::uint64_t LastAccess);

// The recursive sum behind GetDirectorySize: every file below Path, not entering "." and
// "..", and skipping reparse points (a link or junction would be counted again, or loop).
// Stop is asked before each entry; true ends the walk with the sum so far.
std::int64_t SumDirectorySize(const std::wstring& Path, const std::function<bool()>& Stop);
