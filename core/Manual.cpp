#include "Manual.h"

#include <shellapi.h>

#include "Log.h"
#include "Utils.h"

std::wstring ManualUnavailableText(const std::wstring& Path, bool FileFound, DWORD Error) {
    if (!FileFound)
        return L"The manual cannot be opened: " + Path + L" is missing.\n\nIt comes with Vistrel in its ZIP file: put \"" +
               kManualFileName + L"\" beside Vistrel.exe.";
    if (Error == ERROR_NO_ASSOCIATION)
        return L"The manual " + Path +
               L" cannot be opened: no program on this computer opens PDF files.\n\nInstall a PDF viewer, or open the "
               L"file with a web browser.";
    return L"The manual " + Path + L" cannot be opened: " + SystemErrorText(Error) + L" (error " +
           std::to_wstring(Error) + L").";
}

bool OpenManual(HWND Owner, const std::wstring& Folder, const std::wstring& Tag) {
    const std::wstring path = Folder + kManualFileName;
    const std::intptr_t result = ShellOpen(path, {}, {}, Owner);
    if (result > 32) return true;
    DWORD error = GetLastError();
    // The shell's own code for a document type that no program opens.
    if (result == SE_ERR_NOASSOC) error = ERROR_NO_ASSOCIATION;
    WriteLog(Tag + path + L" " + SystemErrorText(error), llError);
    MessageBoxW(Owner, ManualUnavailableText(path, FileExists(path), error).c_str(), L"Vistrel",
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
    return false;
}
