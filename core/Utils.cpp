#include "Utils.h"

#include <windows.h>
#include <shellapi.h>

#include <array>
#include <memory>
#include <mutex>

#include "Checked.h"
#include "Errors.h"
#include "WinHandles.h"

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = MakeCrcTable();

std::mutex& ArgsMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::wstring>& ArgsStore() {
    static std::vector<std::wstring> args = [] {
        std::vector<std::wstring> a;
        int argc = 0;
        LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        if (argv) {
            for (int i = 1; i < argc; ++i) a.emplace_back(argv[i]);
            LocalFree(argv);
        }
        return a;
    }();
    return args;
}

std::wstring SwitchForm(wchar_t lead, const std::string& name) {
    std::wstring s(1, lead);
    for (char c : LowerAscii(name)) s += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return s;
}

std::wstring MultiByteToWide(UINT cp, const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(cp, 0, s.data(), CheckedCast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string WideToMultiByte(UINT cp, const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(cp, 0, w.data(), CheckedCast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

std::uint32_t Crc32Update(std::uint8_t byte, std::uint32_t reg) {
    return kCrcTable[(reg ^ byte) & 0xFF] ^ (reg >> 8);
}

std::uint32_t StringCrc32(const std::string& s) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char c : s) reg = Crc32Update(c, reg);
    return Crc32Final(reg);
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::uint32_t EncodeUnixTime(std::uint16_t year, std::uint16_t month, std::uint16_t day,
                             std::uint16_t hour, std::uint16_t minute, std::uint16_t second) {
    static constexpr std::uint16_t kBefore[2][13] = {
        {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
        {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
    if (year < 1970 || month < 1 || month > 12 || day < 1) RaiseRangeError();
    std::uint32_t days = CheckedMul<std::uint32_t>(365, year - 1970u);
    for (unsigned y = 1970; y < year; ++y)
        if (IsLeapYear(y)) ++days;
    days = CheckedAdd<std::uint32_t>(days, kBefore[IsLeapYear(year) ? 1 : 0][month]);
    days = CheckedAdd<std::uint32_t>(days, day - 1u);
    std::uint32_t r = CheckedMul<std::uint32_t>(days, 86400);
    r = CheckedAdd<std::uint32_t>(r, CheckedMul<std::uint32_t>(hour, 3600));
    r = CheckedAdd<std::uint32_t>(r, CheckedMul<std::uint32_t>(minute, 60));
    return CheckedAdd<std::uint32_t>(r, second);
}

const std::vector<std::wstring>& ProgramArguments() {
    std::lock_guard lock(ArgsMutex());
    return ArgsStore();
}

void SetProgramArguments(std::vector<std::wstring> args) {
    std::lock_guard lock(ArgsMutex());
    ArgsStore() = std::move(args);
}

bool HasCmdLineSwitch(const std::string& name) {
    const std::wstring slash = SwitchForm(L'/', name), dash = SwitchForm(L'-', name);
    for (const auto& arg : ProgramArguments()) {
        const std::wstring a = LowerAscii(arg);
        if (a == slash || a == dash) return true;
    }
    return false;
}

std::wstring GetCmdLineSwitchValue(const std::string& name) {
    // The switch must open the argument: "/debug=C:\my-ini\v.log" carries no ini value.
    const std::wstring slash = SwitchForm(L'/', name) + L"=", dash = SwitchForm(L'-', name) + L"=";
    for (const auto& arg : ProgramArguments()) {
        const std::wstring a = LowerAscii(arg);
        if (a.compare(0, slash.size(), slash) == 0 || a.compare(0, dash.size(), dash) == 0)
            return arg.substr(slash.size());
    }
    return {};
}

std::wstring WideReplaceText(const std::wstring& Source, const std::wstring& OldPattern,
                             const std::wstring& NewText, unsigned Flags) {
    if (OldPattern.empty()) return Source;
    const bool ignoreCase = Flags & rfIgnoreCase;
    const std::wstring pattern = ignoreCase ? LowerText(OldPattern) : OldPattern;
    std::wstring searched = ignoreCase ? LowerText(Source) : Source;
    std::wstring result;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = searched.find(pattern, from);
        if (at == std::wstring::npos) break;
        result.append(Source, from, at - from);
        result += NewText;
        from = at + pattern.size();
        if (!(Flags & rfReplaceAll)) break;
    }
    result.append(Source, from, std::wstring::npos);
    return result;
}

std::wstring BoolToText(bool b) { return b ? L"True" : L"False"; }

std::wstring HtmlColorToBgr(const std::wstring& text) {
    if (text.size() != 7 || text[0] != L'#') return text;
    return text.substr(5, 2) + text.substr(3, 2) + text.substr(1, 2);
}

std::wstring FormatByteTriple(std::int32_t value) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring s;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const unsigned b = (static_cast<std::uint32_t>(value) >> shift) & 0xFF;
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    return s;
}

std::vector<std::wstring> SplitTextLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t from = 0;
    while (true) {
        const std::size_t lf = text.find(L'\n', from);
        if (lf == std::wstring::npos) break;
        std::size_t end = lf;
        if (end > from && text[end - 1] == L'\r') --end;
        lines.emplace_back(text, from, end - from);
        from = lf + 1;
    }
    lines.emplace_back(text, from, std::wstring::npos);
    return lines;
}

std::vector<std::wstring> ReadUtf8FileLines(const std::wstring& FileName) {
    if (!FileExists(FileName)) return {};
    UniqueHandle file(CreateFileW(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) RaiseLastOSError(L"Cannot open file \"" + FileName + L"\"");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) RaiseLastOSError(L"Cannot read file \"" + FileName + L"\"");
    if (size.QuadPart > 0x7FFFFFFF) throw EInOutError(L"File too large: " + FileName);
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)))
        RaiseLastOSError(L"Cannot read file \"" + FileName + L"\"");
    bytes.resize(got);
    const std::wstring text = DecodeTextBytes(bytes);
    if (text.empty()) return {};
    return SplitTextLines(text);
}

TTextLayout DetectTextEncoding(std::string_view Bytes) {
    if (Bytes.substr(0, 3) == "\xEF\xBB\xBF") return {TTextEncoding::Utf8, 3};
    if (Bytes.substr(0, 2) == "\xFF\xFE") return {TTextEncoding::Utf16LittleEndian, 2};
    if (Bytes.substr(0, 2) == "\xFE\xFF") return {TTextEncoding::Utf16BigEndian, 2};
    return {IsValidUtf8(Bytes) ? TTextEncoding::Utf8 : TTextEncoding::AnsiCodePage, 0};
}

bool IsValidUtf8(std::string_view Bytes) {
    const std::size_t n = Bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(Bytes[k]); };
    std::size_t i = 0;
    while (i < n) {
        const unsigned lead = at(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The range of the second byte depends on the lead; the further bytes are 80..BF.
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {  // C0 and C1 would only start longer forms
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // shortest forms only
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // shortest forms only
            if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
        } else {
            return false;
        }
        if (n - i < length) return false;
        if (at(i + 1) < low || at(i + 1) > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if (at(i + k) < 0x80 || at(i + k) > 0xBF) return false;
        i += length;
    }
    return true;
}

std::wstring Utf16BytesToWide(std::string_view Bytes, bool BigEndian) {
    constexpr wchar_t Replacement = 0xFFFD;
    std::wstring units;
    units.reserve(Bytes.size() / 2 + 1);
    for (std::size_t i = 0; i + 1 < Bytes.size(); i += 2) {
        const unsigned first = static_cast<unsigned char>(Bytes[i]), second = static_cast<unsigned char>(Bytes[i + 1]);
        units += static_cast<wchar_t>(BigEndian ? (first << 8) | second : (second << 8) | first);
    }
    const auto isHigh = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto isLow = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (isHigh(units[i]) && i + 1 < units.size() && isLow(units[i + 1])) {
            ++i;  // a whole pair
        } else if (isHigh(units[i]) || isLow(units[i])) {
            units[i] = Replacement;
        }
    }
    if (Bytes.size() % 2 != 0) units += Replacement;
    return units;
}

std::wstring DecodeTextBytes(std::string_view Bytes) {
    const TTextLayout layout = DetectTextEncoding(Bytes);
    const std::string_view text = Bytes.substr(layout.MarkSize);
    switch (layout.Encoding) {
    case TTextEncoding::Utf16LittleEndian: return Utf16BytesToWide(text, false);
    case TTextEncoding::Utf16BigEndian: return Utf16BytesToWide(text, true);
    case TTextEncoding::AnsiCodePage: return AnsiToWide(std::string(text));
    case TTextEncoding::Utf8: break;
    }
    return Utf8ToWide(std::string(text));
}

std::wstring ExpandEnvironmentText(const std::wstring& text) {
    std::wstring buf(260, L'\0');
    DWORD n = ExpandEnvironmentStringsW(text.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
    if (n > buf.size()) {
        buf.assign(n, L'\0');
        n = ExpandEnvironmentStringsW(text.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
    }
    if (n == 0 || n > buf.size()) return text;
    return std::wstring(buf.c_str());
}

std::wstring SystemErrorText(unsigned long code) {
    wchar_t buf[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 512, nullptr);
    std::wstring s(buf, n);
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] <= L' ') ++b;
    while (e > b && s[e - 1] <= L' ') --e;
    return s.substr(b, e - b);
}

std::wstring GetLastErrorText() { return SystemErrorText(GetLastError()); }

std::wstring GetFileVersionText(const std::wstring& FileName) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(FileName.c_str(), &handle);
    if (size == 0) return GetLastErrorText();
    std::vector<std::uint8_t> block(size);
    if (!GetFileVersionInfoW(FileName.c_str(), 0, size, block.data())) return GetLastErrorText();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info) return {};
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring Utf8ToWide(const std::string& s) { return MultiByteToWide(CP_UTF8, s); }
std::string WideToUtf8(const std::wstring& s) { return WideToMultiByte(CP_UTF8, s); }
std::wstring AnsiToWide(const std::string& s) { return MultiByteToWide(CP_ACP, s); }
std::string WideToAnsi(const std::wstring& s) { return WideToMultiByte(CP_ACP, s); }

std::wstring LowerAscii(std::wstring s) {
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

std::string LowerAscii(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::wstring LowerText(const std::wstring& s) {
    if (s.empty()) return s;
    std::wstring r = s;
    CharLowerBuffW(r.data(), static_cast<DWORD>(r.size()));
    return r;
}

std::wstring WithoutBlanksAround(const std::wstring& Text) {
    std::size_t b = 0, e = Text.size();
    while (b < e && (Text[b] == L' ' || Text[b] == L'\t')) ++b;
    while (e > b && (Text[e - 1] == L' ' || Text[e - 1] == L'\t')) --e;
    return Text.substr(b, e - b);
}

bool SameTextIgnoreCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && LowerText(a) == LowerText(b);
}

std::wstring ProgramFilePath() {
    std::wstring buf(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::wstring ProgramDirectory() {
    const std::wstring buf = ProgramFilePath();
    const std::size_t slash = buf.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : buf.substr(0, slash + 1);
}

bool FileExists(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring QuotedArgument(const std::wstring& text) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote.
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

std::intptr_t ShellOpen(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory,
                        void* ownerWindow) {
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_FLAG_NO_UI;
    sei.hwnd = static_cast<HWND>(ownerWindow);
    sei.lpVerb = L"open";
    sei.lpFile = file.c_str();
    sei.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    sei.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei)) {
        const DWORD error = GetLastError();
        const auto result = reinterpret_cast<std::intptr_t>(sei.hInstApp);
        SetLastError(error);
        return result > 32 ? 0 : result;
    }
    const auto result = reinterpret_cast<std::intptr_t>(sei.hInstApp);
    return result > 32 ? result : 33;
}
