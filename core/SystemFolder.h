// The system folder as a 32-bit program on 64-bit Windows reaches it. Under WOW64 the
// file calls and shell starts of a 32-bit process that name %windir%\System32 are
// redirected to %windir%\SysWOW64, where 64-bit-only files (drivers, wsl.exe, ssh.exe,
// bash.exe...) are missing; %windir%\Sysnative names the real system folder for such a
// process. A 64-bit process and 32-bit Windows have no such redirection (and no
// Sysnative folder).
#pragma once

#include <string>

// Path as a process reaches the native system folder through it: when Wow64 is set and
// Path lies below SystemDir (compared ignoring ASCII case, "\" and "/" both separating),
// the same path through the Sysnative folder beside SystemDir; otherwise Path unchanged.
std::wstring ThroughSysnative(const std::wstring& Path, const std::wstring& SystemDir, bool Wow64);

// ThroughSysnative with this process's facts: whether it runs under WOW64
// (IsWow64Process) and the system folder (GetSystemDirectoryW), both read once.
std::wstring NativeSystemPath(const std::wstring& Path);
