// The WMI access layer: value conversion on constructed VARIANTs, the datetime and
// placeholder helpers, and real queries against the classes the platform answers.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ComHandles.h"
#include "FixedDisks.h"
#include "Includes.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"
#include "Wmi.h"
#include "WmiItems.h"
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
        {"uint32 past the signed range", Prop(kCimUInt32, I4(-1)), "4294967295"},
        {"uint32 of 2^31", Prop(kCimUInt32, I4(-2147483647 - 1)), "2147483648"},
        {"uint32 in an unsigned slot", Prop(kCimUInt32, [](VARIANT& x) { V_VT(&x) = VT_UI4; V_UI4(&x) = 3000000000u; }),
         "3000000000"},
        {"sint32 stays signed", Prop(kCimSInt32, I4(-1)), "-1"},
        {"uint32 array", Prop(kCimUInt32 | kArray, I4Array({-1, 5})), "4294967295 5"},
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

TEST(WmiValues, PropertyToInt32KeepsTheBitsOfAnUnsigned32BitValue) {
    EXPECT_EQ(WmiPropertyToInt32(Prop(kCimUInt32, I4(-1))), -1);
    EXPECT_EQ(WmiPropertyToInt32(Prop(kCimUInt32, I4(7))), 7);
    EXPECT_EQ(WmiPropertyToInt32(Prop(kCimSInt32, I4(-7))), -7);
    EXPECT_EQ(WmiPropertyToInt32(Prop(kCimUInt64, Str(L"12"))), 12);
    EXPECT_THROW(WmiPropertyToInt32(Prop(kCimUInt64, Str(L"4294967296"))), EIntOverflow);
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

TEST_F(WmiLive, AThreadThatKeepsTheLocatorClassStillGetsANewLocatorForEachConnection) {
    ASSERT_TRUE(com_.ok());
    struct KeptClass {
        KeptClass() { BeginWmiThread(); }
        ~KeptClass() { EndWmiThread(); }
    };
    {
        const KeptClass kept;
        const ComPtr<IWbemLocator> first = CreateLocator();
        const ComPtr<IWbemLocator> second = CreateLocator();
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
        EXPECT_NE(first.get(), second.get()) << "a locator of its own for each connection";
        EXPECT_TRUE(WMIConnect(nullptr, L".", L"root\\cimv2"));
        EXPECT_TRUE(WMIConnect(second.get(), L".", L"root\\cimv2"));
    }
    // After the end the thread looks the class up for each locator again.
    EXPECT_TRUE(CreateLocator());
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

// Where the collection asks WMI: the connection is made on a thread of its own, and its
// services serve the asking thread.
TEST_F(WmiLive, ConnectsAndQueriesFromTheMultithreadedApartment) {
    std::wstring caption;
    std::thread([&caption] {
        const ComInitialization com(COINIT_MULTITHREADED);
        ASSERT_TRUE(com.ok());
        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
        ASSERT_TRUE(services);
        const ComPtr<IEnumWbemClassObject> objects = WmiExecQuery(services.get(), "select * from Win32_OperatingSystem");
        ComPtr<IWbemClassObject> object;
        ASSERT_TRUE(WmiNextObject(objects.get(), object));
        TWmiProperty property;
        ASSERT_TRUE(WmiGetProperty(object.get(), L"Caption", property));
        caption = WmiPropertyToText(property);
    }).join();
    EXPECT_FALSE(caption.empty());
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

// ---- WMI items: objects to rows and lines ---------------------------------------------------

namespace {

// Serves copies of the fixture objects and counts how many were read.
struct Source {
    std::vector<TWmiObject> objects;
    std::size_t read = 0;
    TWmiObjectSource Next() {
        return [this](TWmiObject& o) {
            if (read >= objects.size()) return false;
            o = objects[read++];
            return true;
        };
    }
};

TWmiObject Disk(const wchar_t* name, long size) {
    TWmiObject o;
    o.push_back(Prop(kCimString, Str(name), L"Name"));
    o.push_back(Prop(kCimUInt32, I4(size), L"Size"));
    return o;
}

}  // namespace

TEST(WmiItems, RowCountOnEveryLine) {
    Source src{{Disk(L"A", 1), Disk(L"B", 2), Disk(L"C", 3)}};
    TItemData data;
    EXPECT_EQ(WmiObjectsToDisplay(L"%rowcount%", 3, -1, src.Next(), data), L"3|3|3");
    EXPECT_EQ(data.Names, (TWideStringArray{L"Row Count", L"Name", L"Size"}));
    ASSERT_EQ(data.Data.size(), 3u);
    EXPECT_EQ(data.Data[1], (TVarArray{Variant(std::int32_t(3)), Variant(L"B"), Variant(2.0)}));
}

TEST(WmiItems, IntegersBecomeDoublesAndTakeFormats) {
    TWmiObject o;
    o.push_back(Prop(kCimUInt32, I4(-1), L"Big"));
    o.push_back(Prop(kCimUInt64, Str(L"12345"), L"Wide"));
    o.push_back(Prop(kCimUInt64, Str(L"junk"), L"Bad"));
    o.push_back(Prop(kCimReal32, R4(0.5f), L"Half"));
    o.push_back(Prop(kCimBoolean, Bool(true), L"Flag"));
    Source src{{o}};
    TItemData data;
    const std::wstring text =
        WmiObjectsToDisplay(L"%big% %Wide[1.1f]% %bad% %half% %flag%", std::nullopt, -1, src.Next(), data);
    const std::wstring wide = FormatDisplayValue("1.1f", Variant(12345.0)).ToText();
    EXPECT_EQ(text, Variant(4294967295.0).ToText() + L" " + wide + L" " + NullResultText + L" " +
                        Variant(0.5).ToText() + L" True");
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(data.Data[0], (TVarArray{Variant(4294967295.0), Variant(12345.0), Variant::Null(), Variant(0.5),
                                       Variant(true)}));
    EXPECT_EQ(data.Names, (TWideStringArray{L"Big", L"Wide", L"Bad", L"Half", L"Flag"}));
}

TEST(WmiItems, NumbersGoIntoACalculationWithADecimalPointInADecimalCommaLocale) {
    NumberFormat comma;
    comma.DecimalSeparator = L',';
    comma.ThousandSeparator = L'.';
    SetLocaleNumberFormat(comma);
    TWmiObject o;
    o.push_back(Prop(kCimString, Str(L"2,5"), L"Text"));        // a number held as text
    o.push_back(Prop(kCimReal64, R8(2.5), L"Real"));
    o.push_back(Prop(kCimUInt32, I4(2500), L"Clock"));
    o.push_back(Prop(kCimString, Str(L"10.0.0.1"), L"Address"));
    Source src{{o}};
    TItemData data;
    const std::wstring text = WmiObjectsToDisplay(
        L"{{%Text%*2}} {{%Real%*2}} {{%Real[1.1f]%*2}} {{%Clock%[1.1K]*2}} %Text% {{%Address%}}", std::nullopt, -1,
        src.Next(), data);
    RefreshLocaleNumberFormat();
    EXPECT_EQ(text, L"{{2.5*2}} {{2.5*2}} {{2.5*2}} {{2.5*2}} 2,5 {{10.0.0.1}}");
}

TEST(WmiItems, DateTimePartsAndNull) {
    TWmiObject o;
    o.push_back(Prop(kCimDateTime, Str(L"20240102030405.123456+060"), L"InstallDate"));
    o.push_back(Prop(kCimDateTime, Str(L"20240102030405.123456+00"), L"Short"));  // 24 characters: not split
    o.push_back(Prop(kCimString, Null(), L"Missing"));
    Source src{{o}};
    TItemData data;
    const std::wstring text = WmiObjectsToDisplay(
        L"%InstallDate_year%-%installdate_month%-%InstallDate_day% %InstallDate_hour%:%InstallDate_minute%:"
        L"%InstallDate_second%.%InstallDate_msecond% %InstallDate_utcoffset% / %InstallDate% / %Short_year% / %Missing%",
        std::nullopt, -1, src.Next(), data);
    EXPECT_EQ(text, L"2024-1-2 3:4:5.123456 +060 / 20240102030405.123456+060 / %Short_year% / " + NullResultText);
    EXPECT_EQ(data.Names,
              (TWideStringArray{L"InstallDate_year", L"InstallDate_month", L"InstallDate_day", L"InstallDate_hour",
                                L"InstallDate_minute", L"InstallDate_second", L"InstallDate_msecond",
                                L"InstallDate_utcoffset", L"InstallDate", L"Short", L"Missing"}));
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(data.Data[0],
              (TVarArray{Variant(std::int32_t(2024)), Variant(std::int32_t(1)), Variant(std::int32_t(2)),
                         Variant(std::int32_t(3)), Variant(std::int32_t(4)), Variant(std::int32_t(5)),
                         Variant(std::int32_t(123456)), Variant(L"+060"), Variant(L"20240102030405.123456+060"),
                         Variant(L"20240102030405.123456+00"), Variant::Null()}));
}

TEST(WmiItems, MaxRows) {
    struct Row {
        std::int32_t maxRows;
        std::size_t rows;
        std::wstring text;
    } rows[] = {{2, 2, L"A|B"}, {0, 1, L"A"}, {1, 1, L"A"}, {-1, 5, L"A|B|C|D|E"}, {9, 5, L"A|B|C|D|E"}};
    for (const Row& r : rows) {
        Source src{{Disk(L"A", 1), Disk(L"B", 2), Disk(L"C", 3), Disk(L"D", 4), Disk(L"E", 5)}};
        TItemData data;
        EXPECT_EQ(WmiObjectsToDisplay(L"%Name%", std::nullopt, r.maxRows, src.Next(), data), r.text) << r.maxRows;
        EXPECT_EQ(data.Data.size(), r.rows) << r.maxRows;
        EXPECT_EQ(src.read, r.rows) << r.maxRows;  // no further object is read
    }
    Source none;
    TItemData data;
    EXPECT_EQ(WmiObjectsToDisplay(L"%rowcount%", 0, -1, none.Next(), data), L"");
    EXPECT_TRUE(data.Data.empty());
    EXPECT_TRUE(data.Names.empty());
}

TEST(WmiItems, ArrayPropertiesFailOnlyWhenNamed) {
    TWmiObject o;
    o.push_back(Prop(kCimString, Str(L"x"), L"Name"));
    o.push_back(Prop(kCimString | kArray, StrArray({L"a", L"b"}), L"List"));
    {
        Source src{{o, o}};
        TItemData data;
        EXPECT_EQ(WmiObjectsToDisplay(L"%Name%", std::nullopt, -1, src.Next(), data), L"x|x");
        ASSERT_EQ(data.Data.size(), 2u);
        EXPECT_EQ(data.Data[0], (TVarArray{Variant(L"x"), Variant(L"a b")}));
    }
    for (const wchar_t* line : {L"%Name% %list%", L"%List[1.2f]%", L"%List%[s]"}) {
        Source src{{o, o}};
        TItemData data;
        EXPECT_THROW(WmiObjectsToDisplay(line, std::nullopt, -1, src.Next(), data), EVariantError) << WideToAnsi(line);
        ASSERT_EQ(data.Data.size(), 1u);  // the row begun so far stays
        // Its names stand over its values, the failed property's included.
        EXPECT_EQ(data.Names, (TWideStringArray{L"Name", L"List"})) << WideToAnsi(line);
        EXPECT_EQ(data.Names.size(), data.Data[0].size()) << WideToAnsi(line);
    }
    // With the row count and a split datetime before the failing property.
    TWmiObject dated;
    dated.push_back(Prop(kCimDateTime, Str(L"20240102030405.123456+060"), L"When"));
    dated.push_back(Prop(kCimString | kArray, StrArray({L"a"}), L"List"));
    Source src{{dated}};
    TItemData data;
    EXPECT_THROW(WmiObjectsToDisplay(L"%rowcount% %List%", 1, -1, src.Next(), data), EVariantError);
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(data.Names.size(), data.Data[0].size());
    EXPECT_EQ(data.Names.back(), L"List");
}

TEST(WmiItems, LinesPassThroughThe8BitCodePage) {
    TWmiObject o;
    o.push_back(Prop(kCimString, Str(L"caf\u00E9 \u4E2D"), L"Name"));
    Source src{{o}};
    TItemData data;
    EXPECT_EQ(WmiObjectsToDisplay(L"%Name%", std::nullopt, -1, src.Next(), data), L"caf\u00E9 ?");
    EXPECT_EQ(data.Data[0][0], Variant(L"caf\u00E9 \u4E2D"));  // the row keeps WMI's text
}

TEST(WmiItems, DisplayControllerStatement) {
    struct Row {
        std::int64_t version;
        const char* cls;
    } rows[] = {{51000, "Win32_DisplayControllerConfiguration"}, {50000, "Win32_DisplayControllerConfiguration"},
                {59999, "Win32_DisplayControllerConfiguration"}, {60000, "Win32_VideoController"},
                {61000, "Win32_VideoController"}, {100000, "Win32_VideoController"},
                {0, "Win32_VideoController"}, {-10000, "Win32_VideoController"}};
    for (const Row& r : rows)
        EXPECT_EQ(DisplayControllerStatement(Variant::FromCurrencyCount(r.version)), std::string("select * from ") + r.cls)
            << r.version;
}

// ---- WMI items against the platform --------------------------------------------------------------

namespace {

struct Gathered {
    TItemData data;
    std::wstring display = L"leftover";
};

Gathered RunWmiItem(TGatherProc proc, std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> options) {
    Gathered g;
    g.data.Names = {L"old"};
    g.data.Data = {{Variant(L"old")}};
    proc(OptionsOf(options), g.data, g.display);
    return g;
}

}  // namespace

TEST_F(WmiLive, CustomWmiCountsAndFillsProperties) {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    const Gathered g = RunWmiItem(GetCustomWMI, {{L"query", L"Win32_Processor"},
                                                 {L"namespace", L"root\\cimv2"},
                                                 {L"lid", L"cpu"},
                                                 {L"display", L"%NumberOfLogicalProcessors% of %ROWCOUNT%"}});
    ASSERT_FALSE(g.data.Data.empty());
    const std::wstring count = std::to_wstring(g.data.Data.size());
    EXPECT_EQ(g.display.substr(0, g.display.find(L'|')), std::to_wstring(info.dwNumberOfProcessors) + L" of " + count);
    EXPECT_EQ(g.data.Names.front(), L"Row Count");
    EXPECT_EQ(log_.Count(L"DATA", L"GetCustomWMI: lid:cpu Result: " + g.display), 1);
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

TEST_F(WmiLive, CustomWmiDefaultDisplayAndVariablesInTheQuery) {
    SetVariable(L"wmiclass", L"Win32_LogicalDisk");
    const Gathered all = RunWmiItem(GetCustomWMI, {{L"query", L"%wmiclass%"}});
    ASSERT_FALSE(all.data.Data.empty());
    const std::wstring n = std::to_wstring(all.data.Data.size());
    std::wstring expected;
    for (std::size_t i = 0; i < all.data.Data.size(); ++i) expected += (i ? L"|" : L"") + n;
    EXPECT_EQ(all.display, expected);

    const Gathered drive = RunWmiItem(
        GetCustomWMI,
        {{L"query", (L"%wmiclass% where DeviceID='" + SystemDrive() + L"'").c_str()}, {L"display", L"%DeviceID%:%DriveType%"}});
    EXPECT_EQ(drive.display, SystemDrive() + L":3");
    ASSERT_EQ(drive.data.Data.size(), 1u);
    UserVariables.Clear();
}

TEST_F(WmiLive, CustomWmiDateTimeOfTheOperatingSystem) {
    const Gathered g = RunWmiItem(GetCustomWMI, {{L"query", L"Win32_OperatingSystem"},
                                                 {L"display", L"%InstallDate_year%|%InstallDate%|%BuildNumber%"}});
    ASSERT_EQ(g.data.Data.size(), 1u);
    TWideStringArray lines;
    SplitDisplayLine(g.display, lines);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].size(), 25u);
    EXPECT_EQ(lines[0], lines[1].substr(0, 4));
    OSVERSIONINFOW version{sizeof version};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(&version));
#pragma GCC diagnostic pop
    EXPECT_EQ(lines[2], std::to_wstring(version.dwBuildNumber));
}

TEST_F(WmiLive, CustomWmiFailures) {
    const Gathered bad = RunWmiItem(GetCustomWMI, {{L"query", L"where where"}, {L"lid", L"L1"}});
    EXPECT_EQ(bad.display, L"");
    EXPECT_TRUE(bad.data.Data.empty());
    EXPECT_EQ(log_.Count(L"ERROR", L"GetCustomWMI: lid: L1 " + ErrorText + L"Invalid statement.  Please resubmit. Result: "),
              1);
    EXPECT_EQ(log_.Count(L"DATA", L"GetCustomWMI: lid:L1 Result: "), 1);

    const Gathered nowhere = RunWmiItem(GetCustomWMI, {{L"query", L"Win32_Processor"}, {L"namespace", L"root\\Nowhere"}});
    EXPECT_EQ(nowhere.display, L"");
    EXPECT_TRUE(nowhere.data.Data.empty());
    EXPECT_TRUE(nowhere.data.Names.empty());
    EXPECT_EQ(log_.At(L"ERROR").size(), 2u);  // only WMIConnect's line
    EXPECT_EQ(log_.At(L"DATA").size(), 1u);

    const Gathered empty = RunWmiItem(GetCustomWMI, {{L"query", L"Win32_NoSuchClass"}});
    EXPECT_EQ(empty.display, L"");
    EXPECT_TRUE(empty.data.Data.empty());
}

TEST_F(WmiLive, DisplayControllerIsTheVideoControllersCaption) {
    std::string caption;
    std::int32_t unused = 0;
    WmiQueryStr("root\\cimv2", DisplayControllerStatement(GetOsCurrentVersion()), "Caption", caption, unused);
    ASSERT_FALSE(caption.empty());
    const Gathered g = RunWmiItem(GetDisplayController, {{L"display", L"[%1]"}});
    EXPECT_EQ(g.display, L"[" + AnsiToWide(caption) + L"]");
    EXPECT_EQ(g.data.Names, TWideStringArray{L"display controller"});
    EXPECT_EQ(g.data.Data, TDataArray{{Variant(AnsiToWide(caption))}});
    EXPECT_EQ(log_.Count(L"DATA", L"Display Controller: " + g.display), 1);
}

// ---- DISKIO samples ------------------------------------------------------------------------------

TEST(WmiDiskIo, SamplesMoveToPreviousOnEachStore) {
    ClearDiskIoSamples();
    StoreDiskIoSample("C:", 100, 200, 5000);
    StoreDiskIoSample("D:", 1, 2, 5000);
    ASSERT_EQ(DiskIoSamples().size(), 2u);
    const DiskIo::TDiskItem& c = DiskIoSamples()[0];
    EXPECT_EQ(c.BytesRead, 100);
    EXPECT_EQ(c.PrevBytesRead, 100);
    EXPECT_EQ(c.Tick, 5000u);
    EXPECT_EQ(c.PrevTick, 5000u);
    std::int64_t r = -1, w = -1;
    EXPECT_FALSE(DiskIoRates(c, r, w));  // the first sample gives no rate

    StoreDiskIoSample("C:", 5100, 1200, 7500);
    StoreDiskIoSample("c:", 9, 9, 7500);  // names compare exactly
    ASSERT_EQ(DiskIoSamples().size(), 3u);
    const DiskIo::TDiskItem& c2 = DiskIoSamples()[0];
    EXPECT_EQ(c2.PrevBytesRead, 100);
    EXPECT_EQ(c2.BytesRead, 5100);
    EXPECT_EQ(c2.PrevBytesWritten, 200);
    EXPECT_EQ(c2.BytesWritten, 1200);
    EXPECT_EQ(c2.PrevTick, 5000u);
    EXPECT_EQ(c2.Tick, 7500u);
    ASSERT_TRUE(DiskIoRates(c2, r, w));
    EXPECT_EQ(r, 2500);  // 2500 ms count as 2 seconds
    EXPECT_EQ(w, 500);
    ClearDiskIoSamples();
    EXPECT_TRUE(DiskIoSamples().empty());
}

TEST(WmiDiskIo, Rates) {
    struct Row {
        std::uint32_t prevTick, tick;
        std::int64_t prevRead, read;
        bool ok;
        std::int64_t rate;
    } rows[] = {
        {0, 1000, 0, 1000, false, 0},     {0, 1001, 0, 1000, true, 1000},   {0, 1999, 0, 1000, true, 1000},
        {0, 2000, 0, 1000, true, 500},    {0, 3000, 0, 1000, true, 333},    {10, 10, 0, 5, false, 0},
        {0xFFFFFE0Cu, 1500, 0, 2000, true, 1000},  // the tick counter wrapped: 2000 ms lie between
        {0, 4000, 4000, 0, true, -1000},  // a counter that went back gives a negative rate
    };
    for (const Row& r : rows) {
        DiskIo::TDiskItem item{"C:", r.read, 0, r.prevRead, 0, r.tick, r.prevTick};
        std::int64_t read = -7, write = -7;
        EXPECT_EQ(DiskIoRates(item, read, write), r.ok) << r.prevTick << " " << r.tick;
        if (r.ok) {
            EXPECT_EQ(read, r.rate) << r.prevTick << " " << r.tick;
            EXPECT_EQ(write, 0);
        }
    }
}

TEST(WmiDiskIo, LetterMatchesTheDrivesOwnInstance) {
    // A volume without a letter whose name begins with H comes first: it is not drive H.
    ClearDiskIoSamples();
    StoreDiskIoSample("HarddiskVolume1", 1, 1, 0);
    StoreDiskIoSample("H:", 2, 2, 0);
    StoreDiskIoSample("C:", 3, 3, 0);
    StoreDiskIoSample("Cache", 4, 4, 0);
    ASSERT_TRUE(FindDiskIoSample(L"H"));
    EXPECT_EQ(FindDiskIoSample(L"H")->Name, "H:");
    EXPECT_EQ(FindDiskIoSample(L"C")->Name, "C:");
    EXPECT_EQ(FindDiskIoSample(L"D"), nullptr);
    EXPECT_EQ(FindDiskIoSample(L""), nullptr);
    ClearDiskIoSamples();
}

namespace {

TWmiObject DiskQueueObject(const wchar_t* name, const std::function<void(VARIANT&)>& queue, long queueType = kCimUInt32) {
    TWmiObject o;
    o.push_back(Prop(kCimString, Str(name), L"Name"));
    o.push_back(Prop(queueType, queue, L"CurrentDiskQueueLength"));
    return o;
}

}  // namespace

TEST(WmiDiskIo, QueueOfTheDrivesOwnInstance) {
    Source src{{DiskQueueObject(L"HarddiskVolume1", I4(9)), DiskQueueObject(L"H:", I4(3)),
                DiskQueueObject(L"H:", I4(5))}};
    EXPECT_EQ(DiskQueueOf(L"H", src.Next()), std::optional<std::int64_t>(3 * 10000));
    EXPECT_EQ(src.read, 2u);  // no further object is read
    Source other{{DiskQueueObject(L"HarddiskVolume1", I4(9)), DiskQueueObject(L"C:", I4(1))}};
    EXPECT_FALSE(DiskQueueOf(L"H", other.Next()).has_value());
}

TEST(WmiDiskIo, AQueueLengthThatCannotBeReadIsPassedOver) {
    // A queue length of a type that has no text, or one past every integer range: the
    // drive is found, and its queue is 0 without an error.
    const TWmiObject unreadable[] = {
        DiskQueueObject(L"C:", R8(1.5), kCimReal64),
        DiskQueueObject(L"C:", Str(L"99999999999"), kCimSInt64),
        DiskQueueObject(L"C:", Null()),
    };
    for (const TWmiObject& o : unreadable) {
        Source src{{o, DiskQueueObject(L"C:", I4(4))}};
        std::optional<std::int64_t> queue;
        EXPECT_NO_THROW(queue = DiskQueueOf(L"C", src.Next()));
        EXPECT_EQ(queue, std::optional<std::int64_t>(0));
        EXPECT_EQ(src.read, 1u);
    }
    TWmiObject noQueue;
    noQueue.push_back(Prop(kCimString, Str(L"C:"), L"Name"));
    Source src{{noQueue}};
    EXPECT_EQ(DiskQueueOf(L"C", src.Next()), std::optional<std::int64_t>(0));
}

TEST_F(WmiLive, DiskQueueAndDiskIoWithoutCounters) {
    // The platform here publishes no raw disk counters: no queue, no sample, no row.
    ClearDiskIoSamples();
    std::wstring text = L"old";
    EXPECT_EQ(GetDiskQueue(L"C", text), Variant::FromCurrencyCount(0));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(log_.Count(L"DATA", L"GetDiskQueue: "), 1);

    TItemData data;
    std::wstring display = L"old";
    GetDiskIOForLetter(L"C", TItemOptionArray{}, data, display);
    GetDiskIOForLetter(L"C", TItemOptionArray{}, data, display);
    EXPECT_EQ(display, L"");
    EXPECT_TRUE(data.Data.empty());
    EXPECT_TRUE(DiskIoSamples().empty());
    EXPECT_EQ(log_.Count(L"DATA", L"GetDiskIO: "), 2);
    EXPECT_TRUE(log_.At(L"ERROR").empty());

    GetDiskIOForLetter(L"", TItemOptionArray{}, data, display);  // no drive: nothing, not even a log line
    EXPECT_EQ(log_.Count(L"DATA", L"GetDiskIO: "), 2);
}

TEST_F(WmiLive, DiskIoPicksItsDriveFromTheDriveList) {
    ClearDiskIoSamples();
    ClearDriveList();
    TItemData data;
    std::wstring display = L"old";
    GetDiskIO(OptionsOf({{L"num", L"0"}}), data, display);  // no list yet: no drive
    EXPECT_EQ(display, L"");
    EXPECT_TRUE(log_.At(L"DATA").empty());

    RefreshDriveList(false);
    ASSERT_FALSE(DriveList().empty());
    GetDiskIO(OptionsOf({{L"num", L"0"}, {L"filter", L"#"}}), data, display);  // nothing passes the filter
    EXPECT_TRUE(log_.At(L"DATA").empty());
    GetDiskIO(OptionsOf({{L"num", L"0"}}), data, display);
    EXPECT_EQ(display, L"");
    EXPECT_EQ(log_.Count(L"DATA", L"GetDiskIO: "), 1);
    EXPECT_TRUE(data.Data.empty());
    ClearDriveList();
}
