// Files of the native system folder for tests: the folder a 64-bit program sees as
// %windir%\System32. A 32-bit process on 64-bit Windows (and under Wine in a 64-bit
// prefix) reaches it only through %windir%\Sysnative; its own System32 is SysWOW64.
#pragma once

#include <windows.h>

#include <string>

#include "NativePaths.h"
#include "TestFiles.h"

// The system folder as the process names it (GetSystemDirectoryW), without a trailing
// backslash.
inline std::wstring SystemFolder() {
    wchar_t buffer[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

// The native system folder's path for this process: Sysnative under WOW64, else the
// system folder itself.
inline std::wstring NativeSystemFolderForTests() {
    if (!RunsUnderWow64()) return SystemFolder();
    wchar_t buffer[MAX_PATH + 1];
    const UINT n = GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) + L"\\Sysnative" : std::wstring();
}

// A file put into the native system folder for the test's lifetime, under a name of its
// own (the test process's id and the given name).
class NativeSystemFile {
public:
    NativeSystemFile(const std::wstring& name, const std::string& bytes)
        : name_(L"vistrel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name),
          native_(NativeSystemFolderForTests() + L"\\" + name_) {
        made_ = WriteFileBytes(native_, bytes);
    }
    ~NativeSystemFile() { DeleteFileW(native_.c_str()); }
    NativeSystemFile(const NativeSystemFile&) = delete;
    NativeSystemFile& operator=(const NativeSystemFile&) = delete;
    bool Made() const { return made_; }
    // The path as a configuration names it: in the system folder (System32).
    std::wstring Path() const { return SystemFolder() + L"\\" + name_; }

private:
    std::wstring name_;
    std::wstring native_;
    bool made_ = false;
};

// A file put into the system folder in both views for the test's lifetime: the folder this
// process sees as System32 (SysWOW64 under WOW64) and the native one, as Windows holds
// compmgmt.msc or drivers\etc\hosts.
class SystemFileInBothViews {
public:
    SystemFileInBothViews(const std::wstring& name, const std::string& bytes)
        : native_(name, bytes), own_(native_.Path()) {
        made_ = native_.Made() && WriteFileBytes(own_, bytes);
    }
    ~SystemFileInBothViews() { DeleteFileW(own_.c_str()); }
    SystemFileInBothViews(const SystemFileInBothViews&) = delete;
    SystemFileInBothViews& operator=(const SystemFileInBothViews&) = delete;
    bool Made() const { return made_; }
    // The path as a configuration names it: in the system folder (System32).
    const std::wstring& Path() const { return own_; }

private:
    NativeSystemFile native_;
    std::wstring own_;
    bool made_ = false;
};
