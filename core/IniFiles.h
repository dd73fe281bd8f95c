// The program's read-only reader of ini files (main ini, language files, OEMInfo.ini).
// It keeps no parsed state: every read opens the file, reads and decodes it whole and
// searches it, so a value always reflects what is on disk at that moment.
//
// Format: the encodings of DecodeTextBytes (UTF-8 or UTF-16 by their byte-order mark,
// UTF-8 without one, else the system's 8-bit code page); lines end in CR LF or in LF
// alone (a lone CR is part of the line); a section starts at a line "[name]" and runs to
// the next line that starts with "["; an entry is a line that starts with its key
// followed at once by "=", its value is the rest of the line, untrimmed.
#pragma once

#include <cstdint>
#include <string>

#include "ItemTypes.h"

// A value as read, with the 0-based number of its line in the file (-1 when not found).
struct TIniValue {
    std::wstring Text;
    int Line = -1;
};

class TInfoFile {
public:
    explicit TInfoFile(std::wstring FileName) : fileName_(std::move(FileName)) {}

    const std::wstring& FileName() const { return fileName_; }

    // The first value of Key in the first section of that name (section and key matched
    // ignoring letter case); Default with line -1 when there is none or the file cannot
    // be read.
    TIniValue ReadValue(const std::wstring& Section, const std::wstring& Key, const std::wstring& Default) const;
    std::wstring ReadString(const std::wstring& Section, const std::wstring& Key, const std::wstring& Default) const;
    // Decimal, or hexadecimal after "$" or "0x"; Default when absent or not a number.
    std::int32_t ReadInteger(const std::wstring& Section, const std::wstring& Key, std::int32_t Default) const;
    // Exactly six characters read as one hexadecimal number, a pair that is not
    // hexadecimal counting as 0; Default for any other length.
    std::int32_t ReadColor(const std::wstring& Section, const std::wstring& Key, std::int32_t Default) const;
    // Default when absent, empty or not an integer; otherwise any non-zero integer is true.
    bool ReadBool(const std::wstring& Section, const std::wstring& Key, bool Default) const;
    // The lines before the first section (a language file's comment header), joined by
    // CR LF, trailing empty lines removed; empty when the file starts with a section.
    std::wstring ReadHeader() const;
    // The section's lines in file order, without empty lines and lines that start with
    // "#". The section name is matched ignoring letter case.
    TWideStringArray ReadSection(const std::wstring& Section) const;
    // Whether a header line of that section exists (letter case ignored). Raises
    // EInOutError when the file cannot be opened.
    bool SectionExists(const std::wstring& Section) const;

private:
    std::wstring fileName_;
};

// Reads a whole file, sharing read and write access with others. False when the file
// cannot be opened or read.
bool ReadWholeFile(const std::wstring& FileName, std::string& Bytes);
// Decimal or hexadecimal ("$1F", "0x1F") 32-bit integer with optional leading blanks and
// sign; hexadecimal takes up to 32 bits (so "$FFFFFFFF" is -1). False when not a number.
bool TryIniToInt32(const std::wstring& Text, std::int32_t& Value);
// Six characters as a colour number (see ReadColor); Default unless the length is six.
std::int32_t IniTextToColor(const std::wstring& Text, std::int32_t Default);
