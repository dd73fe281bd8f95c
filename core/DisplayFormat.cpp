// FormatDisplayValue: the format codes of display templates and user functions.
// Codes come from the configuration, so the numbers are formatted here by the program's
// own rules (width, precision, the types d, x, f and n) and never by printf.
#include <windows.h>

#include <cmath>
#include <cstdint>

#include "Checked.h"
#include "Errors.h"
#include "FloatPrecision.h"
#include "Includes.h"
#include "Log.h"
#include "Templates.h"
#include "Utils.h"

namespace {

// What a "%[-][width][.precision]type" format asks for.
struct NumberSpec {
    bool LeftJustify = false;
    int Width = -1;      // -1: none
    int Precision = -1;  // -1: none
    char Type = 'd';
};

[[noreturn]] void RaiseBadFormat(const std::string& code) {
    throw EConvertError(L"Format '%" + AnsiToWide(code) + L"' invalid or incompatible with argument");
}

// Reads a code of the form W.PX (the part before the type letter may also be "-.P",
// "WW." or "WWW"); anything else is rejected as an invalid format.
NumberSpec ParseSpec(const std::string& code) {
    if (code.size() != 4) RaiseBadFormat(code);
    NumberSpec spec;
    spec.Type = code[3];
    std::size_t i = 0;
    const std::size_t end = 3;
    auto digit = [&](std::size_t k) { return k < end && code[k] >= '0' && code[k] <= '9'; };
    if (i < end && code[i] == '-') {
        spec.LeftJustify = true;
        ++i;
    }
    if (digit(i)) {
        spec.Width = 0;
        while (digit(i)) spec.Width = spec.Width * 10 + (code[i++] - '0');
    }
    if (i < end && code[i] == '.') {
        ++i;
        spec.Precision = 0;
        while (digit(i)) spec.Precision = spec.Precision * 10 + (code[i++] - '0');
    }
    if (i != end) RaiseBadFormat(code);
    return spec;
}

std::wstring Pad(std::wstring text, const NumberSpec& spec) {
    if (spec.Width > 0 && text.size() < static_cast<std::size_t>(spec.Width)) {
        const std::wstring blanks(static_cast<std::size_t>(spec.Width) - text.size(), L' ');
        text = spec.LeftJustify ? text + blanks : blanks + text;
    }
    return text;
}

std::wstring ZeroPadded(std::wstring digits, int precision) {
    if (precision > 0 && digits.size() < static_cast<std::size_t>(precision))
        digits.insert(0, static_cast<std::size_t>(precision) - digits.size(), L'0');
    return digits;
}

std::wstring FormatDecimal(std::int64_t value, const NumberSpec& spec) {
    const unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    std::wstring text = ZeroPadded(std::to_wstring(magnitude), spec.Precision);
    if (value < 0) text.insert(0, 1, L'-');
    return Pad(text, spec);
}

std::wstring FormatHex(std::int64_t value, const NumberSpec& spec) {
    // A negative value shows its two's complement in 32 bits when it fits them.
    unsigned long long bits = static_cast<unsigned long long>(value);
    if (value < 0 && value >= INT32_MIN) bits &= 0xFFFFFFFFULL;
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring digits;
    do {
        digits.insert(0, 1, kHex[bits & 15]);
        bits >>= 4;
    } while (bits);
    return Pad(ZeroPadded(digits, spec.Precision), spec);
}

std::wstring GroupThousands(const std::wstring& digits, wchar_t separator) {
    std::wstring out;
    const std::size_t n = digits.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += separator;
        out += digits[i];
    }
    return out;
}

// Fixed-point text with Precision decimals (2 when not given), halves rounded away from
// zero; "n" adds the thousands separators.
std::wstring FormatReal(long double value, const NumberSpec& spec) {
    const NumberFormat& nf = LocaleNumberFormat();
    const int precision = spec.Precision < 0 ? 2 : spec.Precision;
    const long double magnitude = std::fabs(value);
    // Not finite, or too large for fixed notation: the shortest form of the value.
    if (!std::isfinite(value) || magnitude >= 1e18L || precision > 18) return Pad(FloatToText(value, nf.DecimalSeparator), spec);
    unsigned long long whole = static_cast<unsigned long long>(std::trunc(magnitude));
    unsigned long long scale = 1;
    for (int k = 0; k < precision; ++k) scale *= 10;
    const long double fraction = magnitude - static_cast<long double>(whole);
    unsigned long long decimals = static_cast<unsigned long long>(std::round(fraction * static_cast<long double>(scale)));
    if (decimals >= scale) {
        decimals -= scale;
        ++whole;
    }
    std::wstring digits = std::to_wstring(whole);
    if (spec.Type == 'n') digits = GroupThousands(digits, nf.ThousandSeparator);
    std::wstring text;
    if (value < 0 && (whole != 0 || decimals != 0)) text = L"-";
    text += digits;
    if (precision > 0) {
        text += nf.DecimalSeparator;
        text += ZeroPadded(std::to_wstring(decimals), precision);
    }
    return Pad(text, spec);
}

// The kinds the scaling letters accept.
bool IsScalableVariant(const Variant& v) {
    switch (v.Type()) {
    case VarType::SmallInt: case VarType::Integer: case VarType::Single: case VarType::Double:
    case VarType::Currency: case VarType::Byte:
        return true;
    default:
        return false;
    }
}

std::string WithType(const std::string& code, char type) {
    std::string c = code;
    c[3] = type;
    return c;
}

// The code W.PX with the precision set to the width and the given type.
std::string WidthAsPrecision(const std::string& code, char type) {
    std::string c = code;
    c[2] = c[0];
    c[3] = type;
    return c;
}

std::wstring LocaleName(LCTYPE type) {
    wchar_t buf[128] = {};
    const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, 128);
    return n > 1 ? std::wstring(buf, static_cast<std::size_t>(n - 1)) : std::wstring();
}

// Day names for 1 = Sunday .. 7 = Saturday; the locale counts from Monday.
std::wstring DayName(const Variant& value, bool longName) {
    const std::int64_t day = value.ToInt64();
    if (day < 1 || day > 7) RaiseRangeError();
    const LCTYPE first = longName ? LOCALE_SDAYNAME1 : LOCALE_SABBREVDAYNAME1;
    const LCTYPE offset = static_cast<LCTYPE>(day == 1 ? 6 : day - 2);
    return LocaleName(first + offset);
}

std::wstring MonthName(const Variant& value, bool longName) {
    const std::int64_t month = value.ToInt64();
    if (month < 1 || month > 12) RaiseRangeError();
    const LCTYPE first = longName ? LOCALE_SMONTHNAME1 : LOCALE_SABBREVMONTHNAME1;
    return LocaleName(first + static_cast<LCTYPE>(month - 1));
}

bool StartsWithIgnoreCase(const std::string& text, const char* prefix) {
    const std::string p(prefix);
    return text.size() >= p.size() && LowerAscii(text.substr(0, p.size())) == p;
}

// Scales by the first divisor the value reaches at least once, and appends its unit.
Variant AutoScaled(const std::string& code, const Variant& value, const long double (&divisors)[4],
                   const char* const (&units)[4]) {
    const long double v = value.ToExtended();
    for (int k = 0; k < 4; ++k) {
        if (v / divisors[k] >= 1) return Variant(FormatReal(v / divisors[k], ParseSpec(WithType(code, 'f'))) + AnsiToWide(units[k]));
    }
    return Variant(FormatReal(v, ParseSpec(WithType(code, 'f'))));
}

// "b:" + true text + ":" + false text. Text is converted to a number explicitly before
// it is compared with 1; text that is no number is an error.
bool IsTrueForCode(const Variant& value) {
    switch (value.Type()) {
    case VarType::Boolean: return value.ToBool();
    case VarType::Null: return false;
    case VarType::String: {
        long double d;
        if (!TryTextToDouble(value.Str(), d))
            throw EConvertError(L"Could not convert variant of type (String) into type (Double)");
        return d == 1;
    }
    default: return value.ToExtended() == 1;
    }
}

Variant CodeError(const std::exception&) {
    WriteLog(L"FormatDisplayValue: " + ErrorText, llError);
    return Variant(ErrorText);
}

// A "b:" or "bit:" code, whose texts are the user's.
bool IsTextChoiceCode(const std::string& Code) { return StartsWithIgnoreCase(Code, "b:") || StartsWithIgnoreCase(Code, "bit:"); }

}  // namespace

Variant FormatDisplayValue(const std::string& Code, const Variant& Value) {
    // The scaling, the conversions and FormatReal's rounding give the same digits on
    // every thread, whatever precision the thread's x87 unit was left at.
    TExtendedPrecisionScope precision;
    const bool four = Code.size() == 4;
    const char letter = four ? Code[3] : '\0';

    if (four && letter == 'a') {
        std::int64_t hour = Value.ToInt64();
        if (hour >= 13 && hour <= 24) hour -= 12;
        else if (hour == 0) hour = 12;
        return Variant(FormatDecimal(hour, ParseSpec(WidthAsPrecision(Code, 'd'))));
    }
    if (four && (letter == 'p' || letter == 'P')) {
        const std::int64_t hour = Value.ToInt64();
        const bool pm = hour >= 12 && hour <= 24;
        if (letter == 'p') return Variant(pm ? L"pm" : L"am");
        return Variant(pm ? L"PM" : L"AM");
    }
    if (Code == "ddd") return Variant(DayName(Value, false));
    if (Code == "dddd") return Variant(DayName(Value, true));
    if (Code == "mmm") return Variant(MonthName(Value, false));
    if (Code == "mmmm") return Variant(MonthName(Value, true));
    if (Code == "yy" || Code == "yyyy") {
        const std::wstring year = FormatDecimal(Value.ToInt64(), ParseSpec("4.0d"));
        return Variant(Code == "yyyy" ? year : (year.size() > 2 ? year.substr(2, 2) : std::wstring()));
    }
    if (four && IsScalableVariant(Value)) {
        static const long double kBinary[4] = {1024.0L, 1048576.0L, 1073741824.0L, 1099511627776.0L};
        static const long double kBinaryDown[4] = {1099511627776.0L, 1073741824.0L, 1048576.0L, 1024.0L};
        static const char* const kBinaryUnits[4] = {"Ti", "Gi", "Mi", "Ki"};
        static const long double kDecimal[4] = {1e3L, 1e6L, 1e9L, 1e12L};
        static const long double kDecimalDown[4] = {1e12L, 1e9L, 1e6L, 1e3L};
        static const char* const kDecimalUnits[4] = {"T", "G", "M", "K"};
        const char* binaryLetters = "kmgt";
        const char* decimalLetters = "KMGT";
        for (int k = 0; k < 4; ++k) {
            if (letter == binaryLetters[k])
                return Variant(FormatReal(Value.ToExtended() / kBinary[k], ParseSpec(WithType(Code, 'f'))));
            if (letter == decimalLetters[k])
                return Variant(FormatReal(Value.ToExtended() / kDecimal[k], ParseSpec(WithType(Code, 'f'))));
        }
        if (letter == 'b') return AutoScaled(Code, Value, kBinaryDown, kBinaryUnits);
        if (letter == 'B') return AutoScaled(Code, Value, kDecimalDown, kDecimalUnits);
    }
    if (four && letter == 'd') return Variant(FormatDecimal(Value.ToInt64(), ParseSpec(WidthAsPrecision(Code, 'd'))));
    if (four && (letter == 'f' || letter == 'n')) return Variant(FormatReal(Value.ToExtended(), ParseSpec(Code)));
    if (four && letter == 'x') return Variant(FormatHex(Value.ToInt64(), ParseSpec(WidthAsPrecision(Code, 'x'))));

    if (IsTextChoiceCode(Code)) return FormatDisplayValue(AnsiToWide(Code), Value);
    return Value;
}

Variant FormatDisplayValue(const std::wstring& Code, const Variant& Value) {
    // The codes that choose between texts of the user's keep those texts wide, whatever
    // their script; every other code is ASCII.
    const std::wstring lower = LowerAscii(Code.substr(0, 4));
    if (lower.rfind(L"b:", 0) == 0) {
        const std::wstring rest = Code.substr(2);
        const std::size_t colon = rest.find(L':');
        if (colon == std::wstring::npos) return Value;
        try {
            const bool isTrue = IsTrueForCode(Value);
            return Variant(isTrue ? rest.substr(0, colon) : rest.substr(colon + 1));
        } catch (const std::exception& e) {
            return CodeError(e);
        }
    }
    if (lower == L"bit:") {
        const std::wstring rest = Code.substr(4);
        std::size_t pos = 0;
        const std::wstring maskText = ExtractToken(rest, pos);
        const std::wstring onText = ExtractToken(rest, pos);
        const std::wstring offText = ExtractToken(rest, pos);
        std::int64_t mask = 0;
        if (!TryTextToInt64(maskText, mask) || mask > INT32_MAX || mask < INT32_MIN) mask = 0;
        if (mask < 1 || onText.empty() || offText.empty() || !IsNumericVariant(Value)) return Value;
        try {
            const long double whole = std::trunc(Value.ToExtended());
            if (!(whole >= INT32_MIN && whole <= INT32_MAX)) RaiseRangeError();
            const std::int32_t bits = static_cast<std::int32_t>(whole) & static_cast<std::int32_t>(mask);
            return Variant(bits > 0 ? onText : offText);
        } catch (const std::exception& e) {
            return CodeError(e);
        }
    }
    return FormatDisplayValue(WideToAnsi(Code), Value);
}
