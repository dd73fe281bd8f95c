// The 64-bit system folder seen from the 32-bit program. On 64-bit Windows a 32-bit
// process's file calls and shell starts under the system folder (%windir%\System32) are
// redirected to the 32-bit one (SysWOW64): a 64-bit-only file there (a driver, wsl.exe,
// ssh.exe) is not found. The virtual folder %windir%\Sysnative reaches the real one.
#pragma once

#include <string>

// Path rewritten to reach the 64-bit system folder: when UnderWow64 and Path lies in
// SystemFolder or a folder below it (compared ignoring case, "\" or "/" after the folder),
// the system folder part becomes WindowsFolder\Sysnative; any other path, and every path
// when not UnderWow64, comes back as it is.
std::wstring SysnativePath(const std::wstring& Path, bool UnderWow64, const std::wstring& WindowsFolder,
                           const std::wstring& SystemFolder);

// Whether this process is a 32-bit one on 64-bit Windows (IsWow64Process); false in a
// 64-bit process, on 32-bit Windows and when the call fails.
bool RunsUnderWow64();

// SysnativePath with this process's facts: for the file tests and reads of paths that
// users name.
std::wstring NativeSystemPath(const std::wstring& Path);

// The path to hand the shell for a target that users name (a program, a document, a
// folder): as written when this process finds it there (FoundAsWritten), since the
// program that opens a document or a folder may be a 64-bit one, which has no Sysnative;
// only a path this process does not find goes through SysnativePath (a file of the
// 64-bit system folder alone, such as wsl.exe).
std::wstring ShellTargetPath(const std::wstring& Path, bool FoundAsWritten, bool UnderWow64,
                             const std::wstring& WindowsFolder, const std::wstring& SystemFolder);

// ShellTargetPath with this process's facts: whether a file or folder exists at Path as
// written, and its folders.
std::wstring NativeShellTarget(const std::wstring& Path);
