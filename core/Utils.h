// Small stateless routines shared across the program; all may be called from any thread.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// CRC-32 of zlib and PNG (reflected, polynomial 0xEDB88320).
std::uint32_t Crc32Update(std::uint8_t byte, std::uint32_t reg);
inline std::uint32_t Crc32Final(std::uint32_t reg) { return ~reg; }
std::uint32_t StringCrc32(const std::string& s);

bool IsLeapYear(unsigned year);
// Seconds since 1970-01-01 00:00:00; EIntOverflow past 2106-02-07 06:28:15.
std::uint32_t EncodeUnixTime(std::uint16_t year, std::uint16_t month, std::uint16_t day,
                             std::uint16_t hour, std::uint16_t minute, std::uint16_t second);

// The program's arguments (without the program name). Tests may replace them.
const std::vector<std::wstring>& ProgramArguments();
void SetProgramArguments(std::vector<std::wstring> args);

// True when an argument is exactly "/name" or "-name" (ignoring ASCII case).
bool HasCmdLineSwitch(const std::string& name);
// The value of the first argument that begins with "/name=" or "-name=" (name ignoring
// ASCII case): everything after that "=", in the argument's own case.
std::wstring GetCmdLineSwitchValue(const std::string& name);

enum : unsigned { rfReplaceAll = 1, rfIgnoreCase = 2 };
// Replaces the first (or, with rfReplaceAll, every) occurrence of OldPattern. The search
// resumes behind inserted text, so a replacement that contains the pattern ends.
std::wstring WideReplaceText(const std::wstring& Source, const std::wstring& OldPattern,
                             const std::wstring& NewText, unsigned Flags);

std::wstring BoolToText(bool b);
// "#RRGGBB" becomes "BBGGRR"; any other text is returned unchanged.
std::wstring HtmlColorToBgr(const std::wstring& text);
// Bits 16-23, 8-15 and 0-7 as six upper-case hex digits.
std::wstring FormatByteTriple(std::int32_t value);

// How a text file's bytes are encoded, read as Windows programs write them: a byte-order
// mark names UTF-8 or UTF-16 in either byte order (Notepad, PowerShell 5's ">", "reg
// export"); without a mark the bytes are UTF-8 when they are valid UTF-8, else text in
// the system's 8-bit code page (what "echo ... > file" and most older tools write).
enum class TTextEncoding { Utf8, Utf16LittleEndian, Utf16BigEndian, AnsiCodePage };
struct TTextLayout {
    TTextEncoding Encoding = TTextEncoding::Utf8;
    std::size_t MarkSize = 0;  // bytes of the byte-order mark in front of the text
};
TTextLayout DetectTextEncoding(std::string_view Bytes);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF, no
// sequence cut short.
bool IsValidUtf8(std::string_view Bytes);
// The UTF-16 code units of Bytes in the given byte order; a last odd byte and a
// surrogate without its partner each become U+FFFD.
std::wstring Utf16BytesToWide(std::string_view Bytes, bool BigEndian);
// A text file's bytes as text, by DetectTextEncoding, without the byte-order mark.
std::wstring DecodeTextBytes(std::string_view Bytes);

// Reads a text file (DecodeTextBytes: UTF-8, UTF-16 or the 8-bit code page) into lines
// split at LF (a CR before the LF is dropped; a lone CR is kept). A missing file gives no
// lines; a file that cannot be read raises.
std::vector<std::wstring> ReadUtf8FileLines(const std::wstring& FileName);
// Splits decoded text into lines by the same rule.
std::vector<std::wstring> SplitTextLines(const std::wstring& text);

// %NAME% references expanded by the system; the whole expansion, whatever its length.
std::wstring ExpandEnvironmentText(const std::wstring& text);
// The system's message for the calling thread's last error, trimmed; empty if none.
std::wstring GetLastErrorText();
std::wstring SystemErrorText(unsigned long code);
// "a.b.c.d" from the file's version resource, or the system's error text.
std::wstring GetFileVersionText(const std::wstring& FileName);

// UTF-8 and the system code page, each converted in one place.
std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);
std::wstring AnsiToWide(const std::string& s);
std::string WideToAnsi(const std::wstring& s);

// Text as one argument of a command line: in double quotes, with backslashes before a
// quote (and at the end) doubled and quotes escaped, so the program receives it whole,
// blanks included.
std::wstring QuotedArgument(const std::wstring& text);

// ASCII-only case mapping (what keyword and option comparisons use).
std::wstring LowerAscii(std::wstring s);
std::string LowerAscii(std::string s);
// Case-insensitive comparison by the locale's rules (option names, variable names).
bool SameTextIgnoreCase(const std::wstring& a, const std::wstring& b);
std::wstring LowerText(const std::wstring& s);
// Text without the blanks (spaces and tabs) at its start and end.
std::wstring WithoutBlanksAround(const std::wstring& Text);
// The running program's file, and its folder with a trailing backslash.
std::wstring ProgramFilePath();
std::wstring ProgramDirectory();
bool FileExists(const std::wstring& path);
// Opens a file, program or address with the shell's "open" verb, without any message box
// of the shell's own (a missing file must not block the window thread behind a modal
// box). Returns the shell's result number: above 32 on success; the thread's last error
// tells why otherwise.
std::intptr_t ShellOpen(const std::wstring& file, const std::wstring& parameters = {},
                        const std::wstring& directory = {}, void* ownerWindow = nullptr);
