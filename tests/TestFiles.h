// Helpers for tests that need files: a fresh temporary folder removed afterwards, and
// whole-file reads and writes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A new empty folder under the system's temporary folder; removed with its files.
class TempFolder {
public:
    explicit TempFolder(const std::wstring& tag = L"vistrel-test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // The folder, ending in a backslash.
    const std::wstring& Path() const { return pathWithSlash_; }
    // The folder without the trailing backslash.
    const std::wstring& Dir() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }
    std::wstring operator/(const std::wstring& name) const { return File(name); }

private:
    std::wstring path_;
    std::wstring pathWithSlash_;
};

std::string ReadFileBytes(const std::wstring& path);
// False when the file cannot be created or written whole.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// A file or a folder.
bool PathExists(const std::wstring& path);
// Splits at CR LF only; the part after the last CR LF is the last element.
std::vector<std::string> SplitCrLf(const std::string& bytes);
// The folder of the test executable (the build folder), with a trailing backslash.
std::wstring TestBinaryDir();
// Runs a program with a command line and waits for it; returns its exit code.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);
