// Helpers for tests that need files: a fresh temporary folder removed afterwards, and
// whole-file reads and writes.
#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the system's temporary folder; removed with its files.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return path_; }
    // Path + "\" + name.
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The folder of the test executable (the build folder), with a trailing backslash.
std::wstring TestBinaryDir();
// Runs a program with a command line and waits for it; returns its exit code.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);
