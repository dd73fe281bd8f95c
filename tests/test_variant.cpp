#include <gtest/gtest.h>

#include <cmath>

#include "Checked.h"
#include "Errors.h"
#include "Variant.h"

TEST(VariantKinds, EachKindKeepsItsType) {
    const struct { Variant v; VarType t; } rows[] = {
        {Variant(), VarType::Empty},
        {Variant::Null(), VarType::Null},
        {Variant(std::int16_t{5}), VarType::SmallInt},
        {Variant(5), VarType::Integer},
        {Variant(std::int64_t{5}), VarType::Int64},
        {Variant(std::uint8_t{5}), VarType::Byte},
        {Variant(5.0f), VarType::Single},
        {Variant(5.0), VarType::Double},
        {Variant::FromCurrencyCount(50000), VarType::Currency},
        {Variant::FromDate(45000.5), VarType::Date},
        {Variant(true), VarType::Boolean},
        {Variant(L"five"), VarType::String},
    };
    for (const auto& r : rows) EXPECT_EQ(r.v.Type(), r.t) << VarTypeName(r.t);
}

TEST(VariantText, KindsAsText) {
    const struct { Variant v; const wchar_t* text; } rows[] = {
        {Variant(), L""},
        {Variant::Null(), L""},
        {Variant(-12), L"-12"},
        {Variant(std::int64_t{9007199254740993}), L"9007199254740993"},
        {Variant(true), L"True"},
        {Variant(false), L"False"},
        {Variant(1.5), L"1.5"},
        {Variant(0.1), L"0.1"},
        {Variant(1.0 / 3.0), L"0.333333333333333"},
        {Variant(100.0), L"100"},
        {Variant(1e20), L"1E20"},
        {Variant(1.5e-7), L"1.5E-7"},
        {Variant::FromCurrencyCount(125000), L"12.5"},
        {Variant::FromCurrencyCount(-5), L"-0.0005"},
        {Variant::FromCurrencyCount(10000), L"1"},
        {Variant::FromDate(36526.0), L"1/1/2000"},           // midnight: no time part
        {Variant::FromDate(36526.5), L"1/1/2000 12:00:00 PM"},
        {Variant(L"text"), L"text"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.v.ToText(), r.text);
}

TEST(VariantConvert, NumbersAndText) {
    EXPECT_DOUBLE_EQ(Variant(L" 12.5 ").ToDouble(), 12.5);
    EXPECT_DOUBLE_EQ(Variant::FromCurrencyCount(125000).ToDouble(), 12.5);
    EXPECT_EQ(Variant(L"42").ToInt64(), 42);
    EXPECT_EQ(Variant(2.5).ToInt64(), 2);  // rounds half to even, as the variant rules do
    EXPECT_EQ(Variant(3.5).ToInt64(), 4);
    EXPECT_EQ(Variant(true).ToInt64(), -1);
    EXPECT_EQ(Variant().ToInt64(), 0);
    EXPECT_THROW(Variant(L"abc").ToDouble(), EConvertError);
    EXPECT_THROW(Variant(L"12abc").ToInt64(), EConvertError);
    EXPECT_THROW(Variant::Null().ToDouble(), EVariantError);
    EXPECT_THROW(Variant(1e30).ToInt64(), EIntOverflow);
    EXPECT_THROW(Variant(std::int64_t{1} << 40).ToInt32(), EIntOverflow);
    EXPECT_EQ(Variant::FromCurrency(80.5).CurrencyCount(), 805000);
}

TEST(VariantConvert, TextToNumberTable) {
    const struct { const wchar_t* text; bool ok; double value; } rows[] = {
        {L"1", true, 1}, {L"-1.25", true, -1.25}, {L"+3", true, 3}, {L"1e3", true, 1000},
        {L".5", true, 0.5}, {L"5.", true, 5}, {L"", false, 0}, {L" ", false, 0},
        {L"1,5", false, 0}, {L"0x10", false, 0}, {L"1e", false, 0}, {L"--1", false, 0},
    };
    for (const auto& r : rows) {
        long double v = 0;
        EXPECT_EQ(TryTextToDouble(r.text, v), r.ok) << r.text;
        if (r.ok) {
            EXPECT_DOUBLE_EQ(static_cast<double>(v), r.value) << r.text;
        }
    }
}

TEST(DateTimeValues, EncodeKeepsMilliseconds) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 0, 0, 0, 0), 36526.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12, 0, 0, 0), 36526.5);
    const double withMs = EncodeDateTime(2000, 1, 1, 0, 0, 0, 500);
    EXPECT_NEAR((withMs - 36526.0) * 86400000.0, 500.0, 1e-3);
    const double now = NowDateTime();
    EXPECT_GT(now, 45000.0);  // after 2023
}

TEST(CheckedArithmetic, RaisesInsteadOfWrapping) {
    EXPECT_EQ(CheckedAdd<std::int32_t>(1, 2), 3);
    EXPECT_THROW(CheckedAdd<std::int32_t>(INT32_MAX, 1), EIntOverflow);
    EXPECT_THROW(CheckedSub<std::uint32_t>(0, 1), EIntOverflow);
    EXPECT_THROW(CheckedMul<std::int64_t>(INT64_MAX, 2), EIntOverflow);
    EXPECT_THROW(CheckedCast<std::int16_t>(40000), ERangeError);
    std::vector<int> v{1, 2, 3};
    EXPECT_EQ(CheckedAt(v, 2), 3);
    EXPECT_THROW(CheckedAt(v, 3), ERangeError);
    EXPECT_THROW(CheckedAt(v, -1), ERangeError);
}

TEST(Exceptions, TextCarriesClassAndMessage) {
    try {
        throw EConvertError(L"'x' is not a valid integer value");
    } catch (const std::exception& e) {
        EXPECT_EQ(ExceptionText(e), L"EConvertError 'x' is not a valid integer value");
    }
    try {
        RaiseOSError(5);
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "EOSError");
        EXPECT_NE(e.Message().find(L"Code: 5."), std::wstring::npos);
    }
    try {
        std::vector<int> v;
        (void)v.at(3);
    } catch (const std::exception& e) {
        EXPECT_EQ(ExceptionText(e), L"ERangeError Range check error");
    }
}
