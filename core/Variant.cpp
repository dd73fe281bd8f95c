#include "Variant.h"

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "Checked.h"
#include "Errors.h"
#include "Utils.h"

namespace {

[[noreturn]] void RaiseConvert(VarType from, const wchar_t* to) {
    throw EVariantError(std::wstring(L"Could not convert variant of type (") + VarTypeName(from) + L") into type (" + to + L")");
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

constexpr long long kUnixEpochDays = 25569;  // 1970-01-01 as days since 1899-12-30

}  // namespace

const wchar_t* VarTypeName(VarType t) {
    switch (t) {
    case VarType::Empty: return L"Empty";
    case VarType::Null: return L"Null";
    case VarType::SmallInt: return L"Smallint";
    case VarType::Integer: return L"Integer";
    case VarType::Int64: return L"Int64";
    case VarType::Byte: return L"Byte";
    case VarType::Single: return L"Single";
    case VarType::Double: return L"Double";
    case VarType::Currency: return L"Currency";
    case VarType::Date: return L"Date";
    case VarType::Boolean: return L"Boolean";
    case VarType::String: return L"String";
    }
    return L"Unknown";
}

Variant Variant::FromCurrency(double amount) {
    const double scaled = std::nearbyint(amount * 10000.0);
    if (!(scaled >= -9.2233720368547758e18 && scaled < 9.2233720368547758e18)) RaiseIntOverflow();
    return Variant(CurrencyValue{static_cast<std::int64_t>(scaled)});
}

bool Variant::IsNumberKind() const {
    switch (Type()) {
    case VarType::SmallInt: case VarType::Integer: case VarType::Int64: case VarType::Byte:
    case VarType::Single: case VarType::Double: case VarType::Currency: case VarType::Date:
        return true;
    default:
        return false;
    }
}

bool Variant::IsIntegerKind() const {
    switch (Type()) {
    case VarType::SmallInt: case VarType::Integer: case VarType::Int64: case VarType::Byte:
        return true;
    default:
        return false;
    }
}

const std::wstring& Variant::Str() const {
    if (auto p = std::get_if<std::wstring>(&v_)) return *p;
    RaiseConvert(Type(), L"String");
}

std::int64_t Variant::CurrencyCount() const {
    if (auto p = std::get_if<CurrencyValue>(&v_)) return p->TenThousandths;
    RaiseConvert(Type(), L"Currency");
}

double Variant::DateDays() const {
    if (auto p = std::get_if<DateValue>(&v_)) return p->Days;
    RaiseConvert(Type(), L"Date");
}

long double Variant::ToExtended() const {
    switch (Type()) {
    case VarType::Empty: return 0;
    case VarType::SmallInt: return *std::get_if<std::int16_t>(&v_);
    case VarType::Integer: return *std::get_if<std::int32_t>(&v_);
    case VarType::Int64: return static_cast<long double>(*std::get_if<std::int64_t>(&v_));
    case VarType::Byte: return *std::get_if<std::uint8_t>(&v_);
    case VarType::Single: return *std::get_if<float>(&v_);
    case VarType::Double: return *std::get_if<double>(&v_);
    case VarType::Currency: return static_cast<long double>(std::get_if<CurrencyValue>(&v_)->TenThousandths) / 10000.0L;
    case VarType::Date: return std::get_if<DateValue>(&v_)->Days;
    case VarType::Boolean: return *std::get_if<bool>(&v_) ? -1 : 0;
    case VarType::String: {
        long double d;
        if (!TryTextToDouble(*std::get_if<std::wstring>(&v_), d))
            throw EConvertError(L"Could not convert variant of type (String) into type (Double)");
        return d;
    }
    case VarType::Null: break;
    }
    RaiseConvert(Type(), L"Double");
}

double Variant::ToDouble() const {
    const long double v = ToExtended();
    return static_cast<double>(v);
}

std::int64_t Variant::ToInt64() const {
    switch (Type()) {
    case VarType::SmallInt: return *std::get_if<std::int16_t>(&v_);
    case VarType::Integer: return *std::get_if<std::int32_t>(&v_);
    case VarType::Int64: return *std::get_if<std::int64_t>(&v_);
    case VarType::Byte: return *std::get_if<std::uint8_t>(&v_);
    case VarType::Boolean: return *std::get_if<bool>(&v_) ? -1 : 0;
    case VarType::Empty: return 0;
    case VarType::String: {
        std::int64_t i;
        if (TryTextToInt64(*std::get_if<std::wstring>(&v_), i)) return i;
        break;
    }
    default: break;
    }
    const long double r = std::nearbyintl(ToExtended());  // rounds half to even
    if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L)) RaiseIntOverflow();
    return static_cast<std::int64_t>(r);
}

std::int32_t Variant::ToInt32() const {
    const std::int64_t v = ToInt64();
    if (v < INT32_MIN || v > INT32_MAX) RaiseIntOverflow();
    return static_cast<std::int32_t>(v);
}

bool Variant::ToBool() const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    if (auto p = std::get_if<std::wstring>(&v_)) {
        std::wstring t = WithoutBlanksAround(*p);
        for (auto& c : t) c = static_cast<wchar_t>(std::towlower(c));
        if (t == L"true") return true;
        if (t == L"false") return false;
    }
    return ToExtended() != 0;
}

std::wstring Variant::ToText() const {
    const NumberFormat& nf = LocaleNumberFormat();
    switch (Type()) {
    case VarType::Empty: case VarType::Null: return L"";
    case VarType::SmallInt: case VarType::Integer: case VarType::Int64: case VarType::Byte:
        return std::to_wstring(ToInt64());
    case VarType::Single: return FloatToText(*std::get_if<float>(&v_), nf.DecimalSeparator);
    case VarType::Double: return FloatToText(*std::get_if<double>(&v_), nf.DecimalSeparator);
    case VarType::Currency: return CurrencyToText(std::get_if<CurrencyValue>(&v_)->TenThousandths, nf.DecimalSeparator);
    case VarType::Date: return DateTimeToText(std::get_if<DateValue>(&v_)->Days);
    case VarType::Boolean: return *std::get_if<bool>(&v_) ? L"True" : L"False";
    case VarType::String: return *std::get_if<std::wstring>(&v_);
    }
    return L"";
}

namespace {

// Both separators in one word, so that every thread reads a pair that belongs together;
// 0 until first read.
std::atomic<std::uint32_t> packedNumberFormat{0};

std::uint32_t Packed(const NumberFormat& f) {
    return (static_cast<std::uint32_t>(f.DecimalSeparator) << 16) | static_cast<std::uint16_t>(f.ThousandSeparator);
}

NumberFormat UserNumberFormat() {
    NumberFormat f;
    wchar_t buf[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) > 1) f.DecimalSeparator = buf[0];
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, buf, 8) > 1) f.ThousandSeparator = buf[0];
    return f;
}

}  // namespace

NumberFormat LocaleNumberFormat() {
    std::uint32_t packed = packedNumberFormat.load();
    if (packed == 0) {
        packed = Packed(UserNumberFormat());
        packedNumberFormat.store(packed);
    }
    NumberFormat f;
    f.DecimalSeparator = static_cast<wchar_t>(packed >> 16);
    f.ThousandSeparator = static_cast<wchar_t>(packed & 0xFFFF);
    return f;
}

void RefreshLocaleNumberFormat() { packedNumberFormat.store(Packed(UserNumberFormat())); }

void SetLocaleNumberFormat(const NumberFormat& Format) { packedNumberFormat.store(Packed(Format)); }

std::wstring FloatToText(long double v, wchar_t decimalSeparator) {
    if (std::isnan(v)) return L"NAN";
    if (std::isinf(v)) return v > 0 ? L"INF" : L"-INF";
    char buf[64];
    // A fixed format of the program's own; the value is the only input.
    std::snprintf(buf, sizeof buf, "%.15g", static_cast<double>(v));
    std::wstring out;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p) out += (*p == '.') ? decimalSeparator : static_cast<wchar_t>(*p);
    if (*p == 'e') {  // "1e+20" becomes "1E20", "1e-07" becomes "1E-7"
        ++p;
        out += L'E';
        if (*p == '-') out += L'-';
        if (*p == '-' || *p == '+') ++p;
        while (*p == '0' && p[1]) ++p;
        for (; *p; ++p) out += static_cast<wchar_t>(*p);
    }
    return out;
}

std::wstring CurrencyToText(std::int64_t count, wchar_t decimalSeparator) {
    const bool negative = count < 0;
    const unsigned long long mag = negative ? 0ULL - static_cast<unsigned long long>(count) : static_cast<unsigned long long>(count);
    std::wstring out = negative ? L"-" : L"";
    out += std::to_wstring(mag / 10000);
    unsigned frac = static_cast<unsigned>(mag % 10000);
    if (frac) {
        std::wstring digits = std::to_wstring(frac + 10000).substr(1);
        while (!digits.empty() && digits.back() == L'0') digits.pop_back();
        out += decimalSeparator;
        out += digits;
    }
    return out;
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kUnixEpochDays;
    const double dayMs = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms;
    // Before 1899-12-30 the fraction counts forward from the day's start, as OLE dates do.
    return days >= 0 ? days + dayMs / 86400000.0 : days - dayMs / 86400000.0;
}

double NowDateTime() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

std::wstring DateTimeToText(double days) {
    if (!std::isfinite(days) || days < -657434 || days > 2958466) return FloatToText(days, LocaleNumberFormat().DecimalSeparator);
    const double whole = std::trunc(days);
    long long msOfDay = std::llround(std::fabs(days - whole) * 86400000.0);
    long long dayNo = static_cast<long long>(whole);
    if (msOfDay >= 86400000) { msOfDay -= 86400000; dayNo += days >= 0 ? 1 : -1; }
    int y, m, d;
    CivilFromDays(dayNo - kUnixEpochDays, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(msOfDay / 3600000);
    st.wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
    st.wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
    wchar_t buf[128];
    std::wstring out;
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, 128) > 0) out = buf;
    if (msOfDay != 0 && GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, buf, 128) > 0) {
        out += L' ';
        out += buf;
    }
    return out;
}

bool TryTextToDouble(const std::wstring& text, long double& out) {
    std::wstring t = WithoutBlanksAround(text);
    if (t.empty()) return false;
    const wchar_t dec = LocaleNumberFormat().DecimalSeparator;
    // Only plain decimal notation: sign, digits, one separator, an optional exponent.
    std::size_t i = 0;
    if (t[i] == L'+' || t[i] == L'-') ++i;
    bool digits = false, point = false;
    for (; i < t.size(); ++i) {
        if (t[i] >= L'0' && t[i] <= L'9') digits = true;
        else if ((t[i] == L'.' || t[i] == dec) && !point) { point = true; t[i] = L'.'; }
        else break;
    }
    if (!digits) return false;
    if (i < t.size() && (t[i] == L'e' || t[i] == L'E')) {
        std::size_t j = i + 1;
        if (j < t.size() && (t[j] == L'+' || t[j] == L'-')) ++j;
        std::size_t k = j;
        while (k < t.size() && t[k] >= L'0' && t[k] <= L'9') ++k;
        if (k == j) return false;
        i = k;
    }
    if (i != t.size()) return false;
    out = std::wcstold(t.c_str(), nullptr);
    return true;
}

bool TryTextToInt64(const std::wstring& text, std::int64_t& out) {
    const std::wstring t = WithoutBlanksAround(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) negative = t[i++] == L'-';
    if (i >= t.size()) return false;
    unsigned long long mag = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < L'0' || t[i] > L'9') return false;
        if (__builtin_mul_overflow(mag, 10ULL, &mag) || __builtin_add_overflow(mag, static_cast<unsigned long long>(t[i] - L'0'), &mag))
            return false;
    }
    if (negative) {
        if (mag > 9223372036854775808ULL) return false;
        out = static_cast<std::int64_t>(0ULL - mag);
    } else {
        if (mag > 9223372036854775807ULL) return false;
        out = static_cast<std::int64_t>(mag);
    }
    return true;
}
