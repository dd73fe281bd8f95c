// The WMI access layer: value conversion on constructed VARIANTs, the datetime and
// placeholder helpers, and real queries against the classes the platform answers.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ComHandles.h"
#include "Includes.h"
#include "Templates.h"
#include "Utils.h"
#include "Wmi.h"
#include "test_providers_support.h"

namespace {

// ---- VARIANT fixtures ----------------------------------------------------------------------

TWmiProperty Prop(long cimType, const std::function<void(VARIANT&)>& fill, const wchar_t* name = L"P") {
    TWmiProperty p;
    p.Name = name;
    p.CimType = cimType;
    fill(*p.Value.put());
    return p;
}
auto I2(short v) { return [v](VARIANT& x) { V_VT(&x) = VT_I2; V_I2(&x) = v; }; }
auto I4(long v) { return [v](VARIANT& x) { V_VT(&x) = VT_I4; V_I4(&x) = v; }; }
auto UI1(unsigned char v) { return [v](VARIANT& x) { V_VT(&x) = VT_UI1; V_UI1(&x) = v; }; }
auto R4(float v) { return [v](VARIANT& x) { V_VT(&x) = VT_R4; V_R4(&x) = v; }; }
auto R8(double v) { return [v](VARIANT& x) { V_VT(&x) = VT_R8; V_R8(&x) = v; }; }
auto Bool(bool v) { return [v](VARIANT& x) { V_VT(&x) = VT_BOOL; V_BOOL(&x) = v ? VARIANT_TRUE : VARIANT_FALSE; }; }
auto Str(std::wstring v) { return [v](VARIANT& x) { V_VT(&x) = VT_BSTR; V_BSTR(&x) = SysAllocString(v.c_str()); }; }
auto Null() { return [](VARIANT& x) { V_VT(&x) = VT_NULL; }; }
auto Empty() { return [](VARIANT&) {}; }
auto StrArray(std::vector<std::wstring> items) {
    return [items](VARIANT& x) {
        SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
        for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
            ComBstr s(items[i].c_str());
            SafeArrayPutElement(a, &i, s.get());  // copies the string
        }
        V_VT(&x) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&x) = a;
    };
}
auto I4Array(std::vector<long> items) {
    return [items](VARIANT& x) {
        SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(items.size()));
        for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
            long v = items[i];
            SafeArrayPutElement(a, &i, &v);
        }
        V_VT(&x) = VT_ARRAY | VT_I4;
        V_ARRAY(&x) = a;
    };
}
auto R8Array(std::vector<double> items) {
    return [items](VARIANT& x) {
        SAFEARRAY* a = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(items.size()));
        for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
            double v = items[i];
            SafeArrayPutElement(a, &i, &v);
        }
        V_VT(&x) = VT_ARRAY | VT_R8;
        V_ARRAY(&x) = a;
    };
}

constexpr long kArray = CIM_FLAG_ARRAY;
const char* const kRaises = "<raises>";

std::string TextOrRaise(const TWmiProperty& p, std::string* className = nullptr) {
    try {
        return WmiPropertyToString(p);
    } catch (const Exception& e) {
        if (className) *className = e.ClassName() + std::string(" ") + WideToAnsi(e.Message());
        return kRaises;
    }
}

}  // namespace

// ---- WmiPropertyToString ----------------------------------------------------------------------

TEST(WmiValues, PropertyToStringByCimType) {
    struct Row {
        const char* what;
        TWmiProperty property;
        std::string expected;
    } rows[] = {
        {"sint16", Prop(kCimSInt16, I2(-5)), "-5"},
        {"sint32", Prop(kCimSInt32, I4(-100000)), "-100000"},
        {"sint8", Prop(kCimSInt8, I2(-8)), "-8"},
        {"uint8", Prop(kCimUInt8, UI1(200)), "200"},
        {"uint16", Prop(kCimUInt16, I4(65535)), "65535"},
        {"uint32 in range", Prop(kCimUInt32, I4(2147483647)), "2147483647"},
        {"uint32 past the signed range", Prop(kCimUInt32, I4(-1)), kRaises},
        {"sint64 as text", Prop(kCimSInt64, Str(L"-42")), "-42"},
        {"sint64 beyond 32 bits", Prop(kCimSInt64, Str(L"4294967296")), kRaises},
        {"sint64 not a number", Prop(kCimSInt64, Str(L"x")), kRaises},
        {"uint64 as text", Prop(kCimUInt64, Str(L"18446744073709551615")), "18446744073709551615"},
        {"string", Prop(kCimString, Str(L"caf\u00E9 \u4E2D")), "caf\xE9 ?"},
        {"empty string", Prop(kCimString, Str(L"")), ""},
        {"boolean true", Prop(kCimBoolean, Bool(true)), "True"},
        {"boolean false", Prop(kCimBoolean, Bool(false)), "False"},
        {"datetime", Prop(kCimDateTime, Str(L"20240102030405.123456+060")), "20240102030405.123456+060"},
        {"real32", Prop(kCimReal32, R4(1.5f)), kRaises},
        {"real64", Prop(kCimReal64, R8(2.5)), kRaises},
        {"reference", Prop(kCimReference, Str(L"Win32_X.Name=\"a\"")), kRaises},
        {"char16", Prop(kCimChar16, I2(65)), kRaises},
        {"null", Prop(kCimSInt32, Null()), "<empty>"},
        {"null real", Prop(kCimReal64, Null()), "<empty>"},
        {"empty", Prop(kCimString, Empty()), "<empty>"},
        {"string array", Prop(kCimString | kArray, StrArray({L"a", L"b c", L"d"})), "a b c d"},
        {"uint16 array", Prop(kCimUInt16 | kArray, I4Array({1, 2, 3})), "1 2 3"},
        {"empty array", Prop(kCimString | kArray, StrArray({})), ""},
        {"real array", Prop(kCimReal64 | kArray, R8Array({1.5})), kRaises},
        {"null array", Prop(kCimString | kArray, Null()), "<empty>"},
    };
    for (Row& r : rows) EXPECT_EQ(TextOrRaise(r.property), r.expected) << r.what;
}

TEST(WmiValues, PropertyToStringErrors) {
    std::string error;
    TextOrRaise(Prop(kCimReal32, R4(1)), &error);
    EXPECT_EQ(error, "Exception Unknown type");
    TextOrRaise(Prop(kCimSInt64, Str(L"4294967296")), &error);
    EXPECT_EQ(error.rfind("EIntOverflow", 0), 0u) << error;
}

// ---- WmiValueToVariant ---------------------------------------------------------------------------

TEST(WmiValues, ValueToVariant) {
    struct Row {
        const char* what;
        TWmiProperty property;
        Variant expected;
    } rows[] = {
        {"sint16", Prop(kCimSInt16, I2(-5)), Variant(std::int16_t(-5))},
        {"sint32", Prop(kCimSInt32, I4(7)), Variant(std::int32_t(7))},
        {"uint8", Prop(kCimUInt8, UI1(255)), Variant(std::uint8_t(255))},
        {"uint32 small", Prop(kCimUInt32, I4(12)), Variant(std::int32_t(12))},
        {"uint32 above 2^31 keeps its value", Prop(kCimUInt32, I4(-1)), Variant(std::int64_t(4294967295LL))},
        {"sint32 negative stays negative", Prop(kCimSInt32, I4(-1)), Variant(std::int32_t(-1))},
        {"sint64 text stays text", Prop(kCimSInt64, Str(L"-9")), Variant(L"-9")},
        {"uint64 text stays text", Prop(kCimUInt64, Str(L"5")), Variant(L"5")},
        {"real32", Prop(kCimReal32, R4(0.5f)), Variant(0.5f)},
        {"real64", Prop(kCimReal64, R8(0.25)), Variant(0.25)},
        {"boolean", Prop(kCimBoolean, Bool(true)), Variant(true)},
        {"string", Prop(kCimString, Str(L"x y")), Variant(L"x y")},
        {"null", Prop(kCimString, Null()), Variant::Null()},
        {"empty", Prop(kCimString, Empty()), Variant()},
    };
    for (Row& r : rows) {
        EXPECT_EQ(WmiValueToVariant(*r.property.Value.get(), r.property.CimType), r.expected) << r.what;
        EXPECT_EQ(WmiValueToVariant(*r.property.Value.get(), r.property.CimType).Type(), r.expected.Type()) << r.what;
    }
    TWmiProperty array = Prop(kCimString | kArray, StrArray({L"a"}));
    EXPECT_THROW(WmiValueToVariant(*array.Value.get(), array.CimType), EVariantError);
    EXPECT_TRUE(IsWmiArray(*array.Value.get()));
    EXPECT_EQ(WmiArrayText(*array.Value.get(), array.CimType), L"a");
    TWmiProperty uints = Prop(kCimUInt32 | kArray, I4Array({-1, 2}));
    EXPECT_EQ(WmiArrayText(*uints.Value.get(), uints.CimType), L"4294967295 2");
}

TEST(WmiValues, IntegerCimTypes) {
    for (long t = 0; t <= 110; ++t) {
        const bool expected = (t >= 2 && t <= 5) || (t >= 16 && t <= 21);
        EXPECT_EQ(IsIntegerCimType(t), expected) << t;
        EXPECT_EQ(IsIntegerCimType(t | kArray), expected) << t;
        const bool int32 = t == 2 || t == 3 || (t >= 16 && t <= 20);
        EXPECT_EQ(IsInt32CimType(t), int32) << t;
    }
}

// ---- ParseCimDateTime -------------------------------------------------------------------------

TEST(WmiValues, ParseCimDateTime) {
    TCimDateTime parts;
    ASSERT_TRUE(ParseCimDateTime(Variant(L"20240102030405.123456+060"), parts));
    EXPECT_EQ(parts.Year, 2024);
    EXPECT_EQ(parts.Month, 1);
    EXPECT_EQ(parts.Day, 2);
    EXPECT_EQ(parts.Hour, 3);
    EXPECT_EQ(parts.Minute, 4);
    EXPECT_EQ(parts.Second, 5);
    EXPECT_EQ(parts.Microseconds, 123456);
    EXPECT_EQ(parts.UtcOffset, L"+060");

    // Parts that are not numbers give 0; the offset is taken as it stands.
    ASSERT_TRUE(ParseCimDateTime(Variant(L"2024**02030405.******-300"), parts));
    EXPECT_EQ(parts.Year, 2024);
    EXPECT_EQ(parts.Month, 0);
    EXPECT_EQ(parts.Day, 2);
    EXPECT_EQ(parts.Microseconds, 0);
    EXPECT_EQ(parts.UtcOffset, L"-300");

    const TCimDateTime before = parts;
    for (const Variant& v : {Variant(L"20240102030405.123456+06"), Variant(L"20240102030405.123456+0600"),
                             Variant::Null(), Variant(), Variant(L"")}) {
        EXPECT_FALSE(ParseCimDateTime(v, parts)) << WideToAnsi(v.ToText());
        EXPECT_EQ(parts.Year, before.Year);
        EXPECT_EQ(parts.UtcOffset, before.UtcOffset);
    }
}

// ---- ReplaceValuePlaceholder -------------------------------------------------------------------

TEST(WmiValues, ReplaceValuePlaceholder) {
    const Variant free = Variant(1234.5678);
    const std::wstring formatted = FormatDisplayValue("1.2f", free).ToText();
    const std::wstring plain = free.ToText();
    struct Row {
        const wchar_t* placeholder;
        Variant value;
        std::wstring text, expected;
    } rows[] = {
        {L"%free%", free, L"a %FREE% b %free[1.2f]%", L"a " + plain + L" b " + formatted},
        {L"%free%", free, L"%free%[1.2f] and %Free%", formatted + L" and " + plain},
        {L"%free%", free, L"%free%[1.2f", plain + L"[1.2f"},  // no "]": plain text after the value
        {L"%free%", free, L"%free[1.2f", L"%free[1.2f"},      // neither form
        {L"%free%", free, L"no placeholder", L"no placeholder"},
        {L"%free%", free, L"", L""},
        {L"%x%", Variant(L"%x%"), L"%x%-%x%", L"%x%-%x%"},  // inserted text is not searched again
        {L"%x%", Variant(L"[1.2f]"), L"%x%%x%", L"[1.2f][1.2f]"},
        {L"%x%", Variant(true), L"<%X%>", L"<True>"},
        {L"%rowcount%", Variant(3.0), L"%rowcount% of %ROWCOUNT%", L"3 of 3"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ReplaceValuePlaceholder(r.placeholder, r.value, r.text), r.expected) << WideToAnsi(r.text);
}

TEST(WmiValues, ReplaceValuePlaceholderOfNull) {
    const std::wstring saved = NullResultText;
    NullResultText = L"<none>";
    EXPECT_EQ(ReplaceValuePlaceholder(L"%p%", Variant::Null(), L"[%p%] %P%"), L"[<none>] <none>");
    NullResultText = saved;
}

// ---- WmiPickValues ------------------------------------------------------------------------------

TEST(WmiValues, PickValues) {
    TWmiObject object;
    object.push_back(Prop(kCimUInt32, I4(10), L"PageFaultsPersec"));
    object.push_back(Prop(kCimUInt64, Str(L"99"), L"Big"));
    object.push_back(Prop(kCimString, Str(L"s"), L"Text"));
    object.push_back(Prop(kCimSInt64, Str(L"-3"), L"Wide"));
    object.push_back(Prop(kCimUInt32, I4(-2), L"Wrapped"));
    object.push_back(Prop(kCimUInt16 | kArray, I4Array({1}), L"List"));

    std::vector<Variant> values = {Variant(L"kept"), Variant(L"kept"), Variant(L"kept")};
    values.resize(8);
    WmiPickValues(object, {"pagefaultspersec", "BIG", "text", "Missing", "WIDE", "wrapped", "list", "PageFaultsPerSec"},
                  values);
    EXPECT_EQ(values[0], Variant(std::int32_t(10)));
    EXPECT_EQ(values[1], Variant(L"kept"));  // uint64 leaves the entry as it was
    EXPECT_EQ(values[2], Variant(L"kept"));  // not an integer type
    EXPECT_TRUE(values[3].IsEmpty());
    EXPECT_EQ(values[4], Variant(L"-3"));    // the raw value: WMI's text of a sint64
    EXPECT_EQ(values[5], Variant(std::int64_t(4294967294LL)));
    EXPECT_TRUE(values[6].IsEmpty());        // arrays are not taken
    EXPECT_TRUE(values[7].IsEmpty());        // the first matching name wins
}

// ---- real queries -----------------------------------------------------------------------------

namespace {

class WmiLive : public ::testing::Test {
protected:
    ComInitialization com_;
    LogCapture log_;
};

std::wstring SystemDrive() {
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, 2);  // "C:"
}

}  // namespace

TEST_F(WmiLive, ConnectsToTheDefaultAndNamedNamespaces) {
    ASSERT_TRUE(com_.ok());
    EXPECT_TRUE(CreateLocator());
    EXPECT_TRUE(WMIConnect(nullptr, L".", L""));
    EXPECT_TRUE(WMIConnect(nullptr, L".", L"root\\cimv2"));
    const ComPtr<IWbemLocator> locator = CreateLocator();
    EXPECT_TRUE(WMIConnect(locator.get(), L".", L"ROOT\\CIMV2"));
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

TEST_F(WmiLive, UnknownNamespaceIsLoggedAndGivesNothing) {
    EXPECT_FALSE(WMIConnect(nullptr, L".", L"root\\NoSuchNamespace"));
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(L"WMIConnect: " + ErrorText, 0), 0u) << WideToAnsi(errors[0]);
    EXPECT_NE(errors[0].find(L"0x8004100E"), std::wstring::npos) << WideToAnsi(errors[0]);
}

TEST_F(WmiLive, RefusedStatementRaisesInvalidStatement) {
    const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
    ASSERT_TRUE(services);
    try {
        WmiExecQuery(services.get(), "select from where");
        FAIL() << "no error";
    } catch (const EOleError& e) {
        EXPECT_EQ(e.Message(), L"Invalid statement.  Please resubmit.");
    }
}

TEST_F(WmiLive, ReadsPropertiesWithTheirCimTypes) {
    const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
    ASSERT_TRUE(services);
    const ComPtr<IEnumWbemClassObject> objects =
        WmiExecQuery(services.get(), "select * from Win32_LogicalDisk where DeviceID='" + WideToAnsi(SystemDrive()) + "'");
    ComPtr<IWbemClassObject> object;
    ASSERT_TRUE(WmiNextObject(objects.get(), object));
    long sizeType = 0, driveType = 0, nameType = 0;
    for (const TWmiProperty& p : WmiReadProperties(object.get())) {
        if (p.Name == L"Size") sizeType = p.CimType;
        if (p.Name == L"DriveType") driveType = p.CimType;
        if (p.Name == L"DeviceID" || p.Name == L"DeviceId") nameType = p.CimType;
    }
    EXPECT_EQ(sizeType, kCimUInt64);
    EXPECT_EQ(driveType, kCimUInt32);
    EXPECT_EQ(nameType, kCimString);
    TWmiProperty property;
    EXPECT_TRUE(WmiGetProperty(object.get(), L"drivetype", property));
    EXPECT_EQ(WmiPropertyToString(property), "3");
    EXPECT_FALSE(WmiGetProperty(object.get(), L"NoSuchProperty", property));
    EXPECT_EQ(property.Name, L"drivetype");  // a missing property leaves the output alone
    ComPtr<IWbemClassObject> second;
    EXPECT_FALSE(WmiNextObject(objects.get(), second));
}

TEST_F(WmiLive, QueryStrGivesTheFirstObjectsProperty) {
    const std::wstring drive = SystemDrive();
    wchar_t fileSystem[MAX_PATH] = {};
    ASSERT_TRUE(GetVolumeInformationW((drive + L"\\").c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                      MAX_PATH));
    const std::string statement = "select * from Win32_LogicalDisk where DeviceID='" + WideToAnsi(drive) + "'";
    std::string text = "old";
    std::int32_t value = 7;
    WmiQueryStr("root\\cimv2", statement, "filesystem", text, value);  // WMI's lookup ignores case
    EXPECT_EQ(text, WideToAnsi(fileSystem));
    EXPECT_EQ(value, 0);  // a string has no integer value

    WmiQueryStr("root\\cimv2", statement, "DriveType", text, value);
    EXPECT_EQ(text, "3");
    EXPECT_EQ(value, DRIVE_FIXED);

    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    WmiQueryStr("root\\cimv2", "select * from Win32_Processor", "NumberOfLogicalProcessors", text, value);
    EXPECT_EQ(value, static_cast<std::int32_t>(info.dwNumberOfProcessors));
    EXPECT_EQ(text, std::to_string(info.dwNumberOfProcessors));

    const auto data = log_.At(L"DATA");
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0], L"WmiQueryStr: " + std::wstring(fileSystem));
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

TEST_F(WmiLive, QueryStrOfAUint64TooLargeForItsIntegerLogsAndKeepsTheText) {
    // The disk's size in bytes, as WMI's text (the platform's figure may differ from
    // the volume's own, so only its form and range are checked).
    std::string text;
    std::int32_t value = 7;
    WmiQueryStr("root\\cimv2", "select * from Win32_LogicalDisk where DeviceID='" + WideToAnsi(SystemDrive()) + "'",
                "Size", text, value);
    std::int64_t size = 0;
    ASSERT_TRUE(TryTextToInt64(AnsiToWide(text), size)) << text;
    ASSERT_GT(size, 0x7FFFFFFFLL);
    EXPECT_EQ(value, 0);
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(L"WmiQueryStr: " + ErrorText, 0), 0u);
    EXPECT_NE(errors[0].find(L" : " + AnsiToWide(text)), std::wstring::npos);
    EXPECT_EQ(log_.Count(L"DATA", L"WmiQueryStr: " + AnsiToWide(text)), 1);
}

TEST_F(WmiLive, QueryStrWithoutObjectOrConnection) {
    std::string text = "old";
    std::int32_t value = 7;
    WmiQueryStr("root\\cimv2", "select * from Win32_NoSuchClass", "Caption", text, value);
    EXPECT_EQ(text, "");
    EXPECT_EQ(value, 0);
    EXPECT_EQ(log_.Count(L"DATA", L"WmiQueryStr: "), 1);
    EXPECT_TRUE(log_.At(L"ERROR").empty());

    WmiQueryStr("root\\cimv2", "select * from Win32_Processor", "NoSuchProperty", text, value);
    EXPECT_EQ(text, "");
    EXPECT_EQ(log_.Count(L"DATA", L"WmiQueryStr: "), 2);

    text = "old";
    value = 7;
    WmiQueryStr("root\\NoSuchNamespace", "select * from Win32_Processor", "Caption", text, value);
    EXPECT_EQ(text, "");
    EXPECT_EQ(value, 0);
    EXPECT_EQ(log_.Count(L"DATA", L"WmiQueryStr: "), 2);  // a failed connection ends it at once
    ASSERT_EQ(log_.At(L"ERROR").size(), 1u);
    EXPECT_EQ(log_.At(L"ERROR")[0].rfind(L"WMIConnect: ", 0), 0u);

    WmiQueryStr("root\\cimv2", "select from", "Caption", text, value);
    EXPECT_EQ(log_.Count(L"ERROR", L"WmiQueryStr: " + ErrorText + L"Invalid statement.  Please resubmit. : "), 1);
    EXPECT_EQ(log_.Count(L"DATA", L"WmiQueryStr: "), 3);
}

TEST_F(WmiLive, QueryValTakesIntegerPropertiesOfTheFirstObject) {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    std::vector<Variant> values = {Variant(L"kept")};
    WmiQueryVal("root\\cimv2", "select * from Win32_LogicalDisk where DeviceID='" + WideToAnsi(SystemDrive()) + "'",
                {"SIZE", "drivetype", "FileSystem", "Missing"}, values);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], Variant(L"kept"));  // uint64: left as it was
    EXPECT_EQ(values[1], Variant(std::int32_t(DRIVE_FIXED)));
    EXPECT_TRUE(values[2].IsEmpty());
    EXPECT_TRUE(values[3].IsEmpty());

    values.clear();
    WmiQueryVal("root\\cimv2", "select * from Win32_Processor", {"numberoflogicalprocessors"}, values);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].ToInt64(), static_cast<std::int64_t>(info.dwNumberOfProcessors));
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

TEST_F(WmiLive, QueryValFailures) {
    std::vector<Variant> values = {Variant(L"a"), Variant(L"b"), Variant(L"c")};
    WmiQueryVal("root\\cimv2", "select from", {"x", "y"}, values);
    EXPECT_EQ(values, (std::vector<Variant>{Variant(L"a"), Variant(L"b")}));
    EXPECT_EQ(log_.Count(L"ERROR", L"WmiQueryVal: " + ErrorText + L"Invalid statement.  Please resubmit."), 1);

    WmiQueryVal("root\\NoSuchNamespace", "select * from Win32_Processor", {"x"}, values);
    EXPECT_EQ(values.size(), 1u);
    ASSERT_EQ(log_.At(L"ERROR").size(), 2u);
    EXPECT_EQ(log_.At(L"ERROR")[1].rfind(L"WMIConnect: ", 0), 0u);

    WmiQueryVal("root\\cimv2", "select * from Win32_Volume", {"x", "y"}, values);  // no object
    EXPECT_EQ(values.size(), 2u);
    EXPECT_EQ(log_.At(L"ERROR").size(), 2u);
}
