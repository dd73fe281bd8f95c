// The user's manual, "Vistrel Manual.pdf" in the program's folder: opened with the
// program Windows has for PDF files, and what the user is told when it cannot be.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t kManualFileName[] = L"Vistrel Manual.pdf";

// The message for a manual at Path that could not be opened: the file is missing (not
// FileFound), no program opens PDF files (Error ERROR_NO_ASSOCIATION), or the system's
// text of Error.
std::wstring ManualUnavailableText(const std::wstring& Path, bool FileFound, DWORD Error);

// Opens the manual in Folder (which ends with a backslash) through the shell, without the
// shell's own error boxes. When that fails: an ERROR line, Tag followed by the path and
// the system's text of the error, and a message box owned by Owner that tells the user
// why (it returns when the user closes it). True when the shell opened the manual.
bool OpenManual(HWND Owner, const std::wstring& Folder, const std::wstring& Tag);
