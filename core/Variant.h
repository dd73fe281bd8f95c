// The one value type of Vistrel: option values, result values and user variables.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

enum class VarType : std::uint8_t {
    Empty,     // nothing assigned
    Null,      // an explicit null value
    SmallInt,  // 16-bit signed integer
    Integer,   // 32-bit signed integer
    Int64,     // 64-bit signed integer
    Byte,      // 8-bit unsigned integer
    Single,    // 32-bit float
    Double,    // 64-bit float
    Currency,  // signed 64-bit count of ten-thousandths
    Date,      // days since 1899-12-30 as a double
    Boolean,
    String,    // UTF-16 text
};

// Values of the two kinds that share a representation with others.
struct CurrencyValue {
    std::int64_t TenThousandths = 0;
    bool operator==(const CurrencyValue&) const = default;
};
struct DateValue {
    double Days = 0;
    bool operator==(const DateValue&) const = default;
};
struct NullValue {
    bool operator==(const NullValue&) const = default;
};

class Variant {
public:
    Variant() = default;
    Variant(std::int16_t v) : v_(v) {}
    Variant(std::int32_t v) : v_(v) {}
    Variant(std::int64_t v) : v_(v) {}
    Variant(std::uint8_t v) : v_(v) {}
    Variant(float v) : v_(v) {}
    Variant(double v) : v_(v) {}
    Variant(CurrencyValue v) : v_(v) {}
    Variant(DateValue v) : v_(v) {}
    Variant(bool v) : v_(v) {}
    Variant(NullValue v) : v_(v) {}
    Variant(std::wstring v) : v_(std::move(v)) {}
    Variant(const wchar_t* v) : v_(std::wstring(v)) {}

    static Variant Null() { return Variant(NullValue{}); }
    // A currency value from a whole or fractional amount (rounded to ten-thousandths).
    static Variant FromCurrency(double amount);
    static Variant FromCurrencyCount(std::int64_t tenThousandths) { return Variant(CurrencyValue{tenThousandths}); }
    static Variant FromDate(double days) { return Variant(DateValue{days}); }

    VarType Type() const { return static_cast<VarType>(v_.index()); }
    bool IsEmpty() const { return Type() == VarType::Empty; }
    bool IsNull() const { return Type() == VarType::Null; }
    bool IsString() const { return Type() == VarType::String; }
    // Integer, real, currency and date kinds (not booleans, not text).
    bool IsNumberKind() const;
    bool IsIntegerKind() const;

    // Raw accessors; each raises EVariantError when the kind differs.
    const std::wstring& Str() const;
    std::int64_t CurrencyCount() const;
    double DateDays() const;

    // Conversions as the variant rules have them: numbers and booleans convert to
    // each other, text is parsed (EConvertError when it is not a number), empty is 0,
    // null raises EVariantError.
    double ToDouble() const;
    long double ToExtended() const;
    std::int64_t ToInt64() const;   // reals are rounded; out of range raises EIntOverflow
    std::int32_t ToInt32() const;   // as ToInt64, then checked to fit 32 bits
    bool ToBool() const;
    // Text: booleans "True"/"False", numbers in the locale's format, dates as the short
    // date and long time, empty "" and null "".
    std::wstring ToText() const;

    bool operator==(const Variant& o) const = default;

private:
    std::variant<std::monostate, NullValue, std::int16_t, std::int32_t, std::int64_t, std::uint8_t, float,
                 double, CurrencyValue, DateValue, bool, std::wstring>
        v_;
    template <typename T> friend const T* VariantGet(const Variant&);
};

template <typename T>
const T* VariantGet(const Variant& v) { return std::get_if<T>(&v.v_); }

// The kind's name, as error messages show it ("String", "Double", ...).
const wchar_t* VarTypeName(VarType t);

// Number formatting shared by the variant conversions and the display formatter.
struct NumberFormat {
    wchar_t DecimalSeparator = L'.';
    wchar_t ThousandSeparator = L',';
};
// The user's locale settings, read on first use and again by RefreshLocaleNumberFormat.
NumberFormat LocaleNumberFormat();
// Reads the user's settings anew (the user changed the regional format).
void RefreshLocaleNumberFormat();
// Makes Format the one LocaleNumberFormat answers until the next refresh (tests).
void SetLocaleNumberFormat(const NumberFormat& Format);

// A real in its shortest form of at most 15 significant digits ("1.5", "0.1", "1E20").
std::wstring FloatToText(long double v, wchar_t decimalSeparator);
// A currency count as text with up to four decimals ("12.5" for 125000).
std::wstring CurrencyToText(std::int64_t tenThousandths, wchar_t decimalSeparator);
// The locale's short date, a blank and the long time; the time is left out at midnight.
std::wstring DateTimeToText(double days);
// Parses a whole number or a real; false when the text is not one (leading and trailing
// blanks allowed). Accepts the locale decimal separator and ".".
bool TryTextToDouble(const std::wstring& text, long double& out);
bool TryTextToInt64(const std::wstring& text, std::int64_t& out);

// Date-time as days since 1899-12-30, from calendar fields (milliseconds kept).
double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms);
// The current local date and time, with milliseconds.
double NowDateTime();
