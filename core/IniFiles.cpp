#include "IniFiles.h"

#include <windows.h>

#include "Errors.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

bool StartsWith(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Whether the line is the entry of Key: the key (letter case ignored) followed by "=".
bool IsEntryOf(const std::wstring& line, const std::wstring& lowerKey) {
    if (line.size() <= lowerKey.size() || line[lowerKey.size()] != L'=') return false;
    return LowerText(line.substr(0, lowerKey.size())) == lowerKey;
}

// The file's lines, or nothing when it cannot be read or decodes to no text.
bool ReadLines(const std::wstring& fileName, TWideStringArray& lines) {
    std::string bytes;
    if (!ReadWholeFile(fileName, bytes)) return false;
    const std::wstring text = DecodeTextBytes(bytes);
    if (text.empty()) return false;
    lines = SplitTextLines(text);
    return true;
}

// A section header, "[" name "]", may have blanks around it: an editor or a copied line
// leaves them, and the user cannot see them.
bool IsSectionLine(const std::wstring& Line) {
    for (const wchar_t c : Line) {
        if (c == L'[') return true;
        if (c != L' ' && c != L'\t') return false;
    }
    return false;
}

// Whether Line is the header LowerHeader ("[name]" in lower case).
bool IsHeader(const std::wstring& Line, const std::wstring& LowerHeader) {
    return IsSectionLine(Line) && LowerText(WithoutBlanksAround(Line)) == LowerHeader;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

bool ReadWholeFile(const std::wstring& FileName, std::string& Bytes) {
    Bytes.clear();
    UniqueHandle file(CreateFileW(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7FFFFFFF) return false;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
        return false;
    bytes.resize(got);
    Bytes = std::move(bytes);
    return true;
}

bool TryIniToInt32(const std::wstring& Text, std::int32_t& Value) {
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == L' ' || Text[i] == L'\t')) ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == L'+' || Text[i] == L'-')) negative = Text[i++] == L'-';
    bool hex = false;
    if (i < Text.size() && Text[i] == L'$') {
        hex = true;
        ++i;
    } else if (i + 1 < Text.size() && Text[i] == L'0' && (Text[i + 1] == L'x' || Text[i + 1] == L'X')) {
        hex = true;
        i += 2;
    }
    if (i >= Text.size()) return false;
    std::uint64_t v = 0;
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < Text.size(); ++i) {
        int d = -1;
        if (hex)
            d = HexDigit(Text[i]);
        else if (Text[i] >= L'0' && Text[i] <= L'9')
            d = Text[i] - L'0';
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
        if (v > limit) return false;
    }
    std::int64_t signedValue = hex ? static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)))
                                   : static_cast<std::int64_t>(v);
    if (negative) signedValue = -signedValue;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) {
        // "-$80000000" and the like: hexadecimal wraps within 32 bits.
        signedValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(signedValue & 0xFFFFFFFF));
    }
    Value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::int32_t IniTextToColor(const std::wstring& Text, std::int32_t Default) {
    if (Text.size() != 6) return Default;
    std::int32_t result = 0;
    for (std::size_t pair = 0; pair < 3; ++pair) {
        const int hi = HexDigit(Text[pair * 2]), lo = HexDigit(Text[pair * 2 + 1]);
        const int byte = (hi < 0 || lo < 0) ? 0 : hi * 16 + lo;
        result = result * 256 + byte;
    }
    return result;
}

TIniValue TInfoFile::ReadValue(const std::wstring& Section, const std::wstring& Key, const std::wstring& Default) const {
    TIniValue result{Default, -1};
    TWideStringArray lines;
    if (!ReadLines(fileName_, lines)) return result;
    const std::wstring header = LowerText(L"[" + Section + L"]");
    const std::wstring key = LowerText(Key);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!IsHeader(lines[i], header)) continue;
        // Only the first section of that name is searched.
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            const std::wstring& line = lines[j];
            if (IsSectionLine(line)) break;
            if (IsEntryOf(line, key)) {
                result.Text = line.substr(key.size() + 1);
                result.Line = static_cast<int>(j);
                return result;
            }
        }
        break;
    }
    return result;
}

std::wstring TInfoFile::ReadString(const std::wstring& Section, const std::wstring& Key,
                                   const std::wstring& Default) const {
    return ReadValue(Section, Key, Default).Text;
}

std::int32_t TInfoFile::ReadInteger(const std::wstring& Section, const std::wstring& Key, std::int32_t Default) const {
    const TIniValue v = ReadValue(Section, Key, {});
    std::int32_t n = 0;
    if (v.Line < 0 || !TryIniToInt32(v.Text, n)) return Default;
    return n;
}

std::int32_t TInfoFile::ReadColor(const std::wstring& Section, const std::wstring& Key, std::int32_t Default) const {
    const TIniValue v = ReadValue(Section, Key, {});
    if (v.Line < 0) return Default;
    return IniTextToColor(v.Text, Default);
}

bool TInfoFile::ReadBool(const std::wstring& Section, const std::wstring& Key, bool Default) const {
    const TIniValue v = ReadValue(Section, Key, {});
    std::int32_t n = 0;
    if (v.Line < 0 || v.Text.empty() || !TryIniToInt32(v.Text, n)) return Default;
    return n != 0;
}

std::wstring TInfoFile::ReadHeader() const {
    TWideStringArray lines;
    if (!ReadLines(fileName_, lines)) return {};
    std::size_t end = 0;
    while (end < lines.size() && !IsSectionLine(lines[end])) ++end;
    while (end > 0 && lines[end - 1].empty()) --end;
    std::wstring header;
    for (std::size_t i = 0; i < end; ++i) {
        if (i > 0) header += L"\r\n";
        header += lines[i];
    }
    return header;
}

TWideStringArray TInfoFile::ReadSection(const std::wstring& Section) const {
    TWideStringArray result;
    TWideStringArray lines;
    if (!ReadLines(fileName_, lines)) return result;
    // Section names match in any letter case, as ReadValue and SectionExists match them.
    const std::wstring header = LowerText(L"[" + Section + L"]");
    auto isHeader = [&](const std::wstring& line) {
        const std::wstring text = WithoutBlanksAround(line);
        return IsSectionLine(line) && StartsWith(LowerText(text.substr(0, header.size())), header);
    };
    std::size_t i = 0;
    while (i < lines.size() && !isHeader(lines[i])) ++i;
    for (++i; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        if (IsSectionLine(line)) break;
        if (line.empty() || line[0] == L'#') continue;
        result.push_back(line);
    }
    return result;
}

bool TInfoFile::SectionExists(const std::wstring& Section) const {
    std::string bytes;
    if (!ReadWholeFile(fileName_, bytes)) throw EInOutError(L"File access denied: " + fileName_);
    const std::wstring header = LowerText(L"[" + Section + L"]");
    for (const auto& line : SplitTextLines(DecodeTextBytes(bytes)))
        if (IsHeader(line, header)) return true;
    return false;
}
