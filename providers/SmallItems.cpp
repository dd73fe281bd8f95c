// UNREADMAIL, TEXT, ENVVAR, IF, CONTROL, SET and CMD, the placement of user controls,
// and the registration of the whole family.
#include "SmallItems.h"

#include <shellapi.h>

#include <cmath>

#include "Checked.h"
#include "ColorButton.h"
#include "Collector.h"
#include "DisplayModes.h"
#include "Includes.h"
#include "ItemControl.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "NativePaths.h"
#include "Painting.h"
#include "Pipeline.h"
#include "StaticTextW.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Utils.h"
#include "WinApp.h"
#include "WinHandles.h"

namespace {

const char kUnreadMailKey[] = "\\Software\\Microsoft\\Windows\\CurrentVersion\\UnreadMail";

// ---- platform -------------------------------------------------------------------------

UniqueKey OpenReadKey(HKEY Root, const std::string& Path) {
    // The registry refuses paths that start with a backslash.
    const std::size_t first = Path.find_first_not_of('\\');
    const std::string relative = first == std::string::npos ? std::string() : Path.substr(first);
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root, relative.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return UniqueKey();
    return UniqueKey(key);
}

std::int32_t ReadIntegerValue(HKEY Key, const char* Name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(Key, Name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        throw ERegistryException(L"Invalid data type for '" + AnsiToWide(Name) + L"'");
    return static_cast<std::int32_t>(value);
}

// ---- helpers ---------------------------------------------------------------------------

std::wstring OptionText(const TItemOptionArray& Options, const wchar_t* Name, const wchar_t* Default) {
    return GetItemOption(Options, Name, Variant(Default)).ToText();
}

std::wstring TrimBlanks(const std::wstring& s) {
    const std::size_t b = s.find_first_not_of(L' ');
    if (b == std::wstring::npos) return {};
    return s.substr(b, s.find_last_not_of(L' ') - b + 1);
}

// The started program's working folder. Sysnative exists for 32-bit processes only: a
// 64-bit program started there from a 32-bit one under WOW64 cannot enter it, while it
// sees System32 as the real system folder. So a folder this process finds as written
// (System32 itself among them) is passed on as it is; only one it does not find, a folder
// of the native system folder alone, goes through Sysnative, so that the start is not
// refused for it.
std::wstring StartDirectory(const std::wstring& Directory) {
    if (Directory.empty()) return Directory;
    const DWORD attrs = GetFileAttributesW(Directory.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return Directory;
    return NativeSystemPath(Directory);
}

// A text that reads as a number written with DecimalSeparator (and no other), as a
// count of ten-thousandths.
bool FixedPointOf(const std::wstring& Text, wchar_t DecimalSeparator, std::int64_t& Value) {
    std::wstring text = Text;
    for (wchar_t& c : text) {
        if (c == DecimalSeparator)
            c = L'.';
        else if (c == L'.')
            return false;  // a full stop where the locale writes another separator
    }
    long double v = 0;
    if (!TryTextToDouble(text, v) || !std::isfinite(v)) return false;
    const long double scaled = std::roundl(v * 10000.0L);
    if (scaled < -9.2e18L || scaled > 9.2e18L) RaiseIntOverflow();
    Value = static_cast<std::int64_t>(scaled);
    return true;
}

template <typename T>
bool Ordered(const std::wstring& op, const T& a, const T& b) {
    if (op == L"eq") return a == b;
    if (op == L"ne") return a != b;
    if (op == L"gt") return a > b;
    if (op == L"lt") return a < b;
    if (op == L"ge") return a >= b;
    return a <= b;  // le
}

// The system's lower-casing of 8-bit text.
std::string LowerAnsi(std::string Text) {
    if (!Text.empty()) CharLowerBuffA(Text.data(), static_cast<DWORD>(Text.size()));
    return Text;
}

}  // namespace

// ---- interpretation -------------------------------------------------------------------

bool SumUnreadMail(HKEY Root, const std::string& KeyPath, std::int32_t& Total) {
    const UniqueKey key = OpenReadKey(Root, KeyPath);
    if (!key.valid()) return false;
    std::int32_t total = 0;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        const LONG rc = RegEnumKeyExA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        HKEY account = nullptr;
        if (RegOpenKeyExA(key.get(), name, 0, KEY_READ, &account) != ERROR_SUCCESS) continue;
        const UniqueKey accountKey(account);
        total = CheckedAdd(total, ReadIntegerValue(accountKey.get(), "MessageCount"));
    }
    Total = total;
    return true;
}

std::wstring IfFieldName(const std::wstring& Comparator) {
    return Comparator == L"le" || Comparator == L"cle" ? L"neqs" : Comparator;
}

bool CompareValues(const std::wstring& Comparator, const std::wstring& Value1, const std::wstring& Value2,
                   bool& Result) {
    return CompareValues(Comparator, Value1, Value2, LocaleNumberFormat().DecimalSeparator, Result);
}

bool CompareValues(const std::wstring& Comparator, const std::wstring& Value1, const std::wstring& Value2,
                   wchar_t DecimalSeparator, bool& Result) {
    const std::wstring& op = Comparator;
    if (op == L"contains" || op == L"notcontains") {
        const bool holds = LowerText(Value1).find(LowerText(Value2)) != std::wstring::npos;
        Result = op == L"contains" ? holds : !holds;
        return true;
    }
    if (op == L"ccontains" || op == L"cnotcontains") {
        const bool holds = Value1.find(Value2) != std::wstring::npos;
        Result = op == L"ccontains" ? holds : !holds;
        return true;
    }
    static const wchar_t* const kOrdered[] = {L"eq", L"ne", L"gt", L"lt", L"ge", L"le"};
    const bool caseSensitive = op.size() == 3 && op[0] == L'c';
    const std::wstring base = caseSensitive ? op.substr(1) : op;
    bool known = false;
    for (const wchar_t* name : kOrdered) known = known || base == name;
    if (!known) return false;
    // As 8-bit texts, byte by byte (unsigned), the plain forms after the system's
    // lower-casing.
    const std::string text1 = WideToAnsi(Value1), text2 = WideToAnsi(Value2);
    bool result = caseSensitive ? Ordered(base, text1, text2) : Ordered(base, LowerAnsi(text1), LowerAnsi(text2));
    std::int64_t n1 = 0, n2 = 0;
    if (FixedPointOf(Value1, DecimalSeparator, n1) && FixedPointOf(Value2, DecimalSeparator, n2))
        result = Ordered(base, n1, n2);
    Result = result;
    return true;
}

TCmdResult RunShellCommand(const std::wstring& File, const std::wstring& Parameters, const std::wstring& Directory,
                           int ShowWindow, DWORD WaitMs) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = 0x10440;  // includes SEE_MASK_NOCLOSEPROCESS and SEE_MASK_FLAG_NO_UI
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = File.c_str();
    info.lpParameters = Parameters.empty() ? nullptr : Parameters.c_str();
    info.lpDirectory = Directory.empty() ? nullptr : Directory.c_str();
    info.nShow = ShowWindow;
    // The error code then tells about this start and wait only.
    SetLastError(0);
    TCmdResult result;
    result.Started = ShellExecuteExW(&info) != FALSE;
    const UniqueHandle process(info.hProcess);
    bool waitFailed = false;
    // No process to wait for (a failed start, or a document handed to a running program):
    // waiting on no handle would only report an invalid handle.
    if (process.valid()) waitFailed = WaitForSingleObject(process.get(), WaitMs) == WAIT_FAILED;
    result.LastError = static_cast<std::uint16_t>(CmdLastError(result.Started, waitFailed, GetLastError()) & 0xFFFF);
    DWORD exitCode = 0;
    if (process.valid() && GetExitCodeProcess(process.get(), &exitCode))
        result.ExitCode = static_cast<std::uint16_t>(exitCode & 0xFFFF);
    return result;
}

DWORD CmdLastError(bool Started, bool WaitFailed, DWORD ErrorAfter) {
    return Started && !WaitFailed ? 0 : ErrorAfter;
}

DWORD CmdWaitMs(std::int64_t WaitTime, DWORD TimeLeftMs) {
    // A negative wait would read as INFINITE; a wait of days would hold the collection
    // thread for days.
    if (WaitTime <= 0) return 0;
    return static_cast<DWORD>(std::min<std::int64_t>(WaitTime, TimeLeftMs));
}

// ---- the gathering routines -------------------------------------------------------------

void GetUnreadMail(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    try {
        std::int32_t total = 0;
        if (SumUnreadMail(HKEY_CURRENT_USER, kUnreadMailKey, total))
            StoreSingleRow(Options, Data, Display, {L"unread email"}, {Variant(total)}, nullptr);
    } catch (const std::exception& e) {
        Display.clear();
        WriteLog(L"GetUnreadMail: " + ExceptionText(e), llError);
    }
    WriteLog(L"GetUnreadMail: " + Display, llData);
}

void GetText(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring text = OptionText(Options, L"display", L"%1");
    if (!text.empty()) Display = text;
}

void GetEnvVariable(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::string name = WideToAnsi(OptionText(Options, L"key", L""));
    DWORD length = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (length > 0) {
        std::string value;
        // The variable may grow between the two calls: ask again until it fits.
        for (;;) {
            value.assign(length, '\0');
            const DWORD got = GetEnvironmentVariableA(name.c_str(), value.data(), length);
            if (got < length) {
                value.resize(got);
                break;
            }
            length = got;
        }
        StoreSingleRow(Options, Data, Display, {L"var", L"value"}, {Variant(AnsiToWide(value))}, nullptr);
    }
    WriteLog(L"GetEnvVariable: " + Display, llData);
}

void GetIf(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring value1 = ExpandUserFunctions(ExpandVariables(OptionText(Options, L"value1", L"")));
    const std::wstring value2 = ExpandUserFunctions(ExpandVariables(OptionText(Options, L"value2", L"")));
    const std::wstring comparator = OptionText(Options, L"comparator", L"");
    bool result = false;
    if (!CompareValues(comparator, value1, value2, result)) return;
    StoreSingleRow(Options, Data, Display, {IfFieldName(comparator)}, {Variant(result)}, L"GetIf: ");
}

void GetControl(TItemOptionArray, TItemData&, std::wstring&) {}

void GetCmd(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring file = OptionText(Options, L"file", L"");
    const std::wstring directory = TrimBlanks(OptionText(Options, L"directory", L""));
    const std::wstring parameters = OptionText(Options, L"parameters", L"");
    const std::int64_t waitMs = GetItemOption(Options, L"wait-time", Variant(std::int32_t{3000})).ToInt64();
    const std::int32_t show = GetItemOption(Options, L"show-window", Variant(std::int32_t{0})).ToInt32();
    const TCmdResult r = RunShellCommand(NativeShellTarget(file), parameters, StartDirectory(directory), show,
                                         CmdWaitMs(waitMs, ItemTimeLeftMs()));
    SetFieldNames(Data.Names, {L"execute result", L"last error", L"exit code"});
    AddDataRow(Data.Data,
               {Variant(r.Started), Variant(static_cast<std::int32_t>(r.LastError)),
                Variant(static_cast<std::int32_t>(r.ExitCode))},
               false);
    Display = FillDisplayTemplate(OptionText(Options, L"display", L"%1 %2 %3"), Data.Data.front());
    WriteLog(L"GetCmd: " + Display, llData);
}

void GetSet(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring key = OptionText(Options, L"key", L"");
    const std::wstring value = OptionText(Options, L"value", L"");
    SetVariable(key, value);
    Display = key + L"=" + value;
}

// ---- user controls ----------------------------------------------------------------------

void SetupUserControl(TConfigItem& Item, TVistrelMainForm* Form, int Top, int Left, int Right, bool RightToLeft) {
    if (!Item.Control || !Form) return;
    const std::wstring caption = ExpandVariables(OptionText(Item.Options, L"display", L"%1"));
    const std::wstring target = ExpandVariables(OptionText(Item.Options, L"uri", L""));
    const std::wstring args = ExpandVariables(OptionText(Item.Options, L"args", L""));
    TItemControl* control = Item.Control;
    control->SetHint(target);
    // A click of either kind goes through the main form, which logs a target that fails.
    control->OnClick = [Form](TWinControl* sender) { Form->UserControlClick(sender); };
    if (auto* button = dynamic_cast<TColorButton*>(control)) {
        TCanvas& canvas = Form->Canvas();
        canvas.Font().SetName(Item.FontFace);
        canvas.Font().SetSize(Item.FontSize);
        RECT r{0, 0, 0, 0};
        // Measured as the button draws it: an "&" counts as a character.
        canvas.DrawText(caption, r, DT_CALCRECT | button->PrefixFlags());
        button->SetCaptionW(caption);
        button->SetBounds(Left, Top, CheckedAdd<int>(r.right - r.left, 4), CheckedAdd<int>(r.bottom - r.top, 1));
    } else if (auto* link = dynamic_cast<TStaticTextW*>(control)) {
        link->SetCaption(caption);
        link->LinkTarget = target;
        link->LinkParameters = args;
        link->SetRightToLeft(RightToLeft);
        link->SetBounds(Left, Top, link->Width(), link->Height());
        // Its size follows the caption; known now, so it can be aligned.
        link->UpdateTextSize();
    }
    if (RightToLeft) control->SetLeft(CheckedSub(Right, control->Width()));
    if (!control->Visible()) control->Show();
    control->Repaint();
}

// ---- registration -----------------------------------------------------------------------

void RegisterSmallItemProviders() {
    RegisterGatherProc("UNREADMAIL", GetUnreadMail);
    RegisterGatherProc("TEXT", GetText);
    RegisterGatherProc("ENVVAR", GetEnvVariable);
    RegisterGatherProc("IF", GetIf);
    RegisterGatherProc("CONTROL", GetControl);
    RegisterGatherProc("SNAPSHOT", GetSnapshot);
    RegisterGatherProc("CMD", GetCmd);
    RegisterGatherProc("SET", GetSet);
    RegisterGatherProc("CORETEMP", GetCoreTemp);
    SetupUserControlHook = SetupUserControl;
    // SNAPSHOT finds the main window through this address (its "mainform" option).
    if (!CollectorMainFormAddress) CollectorMainFormAddress = &MainForm;
}
