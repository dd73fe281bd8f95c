#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SystemInfo.h"
#include "TestFiles.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

struct Collected {
    TItemData data;
    std::wstring display = L"leftover";
};

Collected Gather(TGatherProc proc, const wchar_t* display = nullptr) {
    Collected c;
    TItemOptionArray options;
    if (display) options[0] = {L"display", Variant(display)};
    proc(options, c.data, c.display);
    return c;
}

std::wstring Trimmed(std::wstring s) {
    while (!s.empty() && s.front() <= L' ') s.erase(s.begin());
    while (!s.empty() && s.back() <= L' ') s.pop_back();
    return s;
}

// A registry string the way the routines give it: 8-bit and trimmed.
std::wstring RegText8(HKEY root, const std::wstring& path, const std::wstring& name) {
    return Through8Bit(Trimmed(RegText(root, path, name)));
}

const wchar_t kNtKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kOemKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\OEMInformation";

void ExpectOneText(const Collected& c, const wchar_t* name, const std::wstring& text) {
    EXPECT_EQ(c.data.Names, TWideStringArray{name});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], TVarArray{Variant(text)});
    EXPECT_EQ(c.display, text);
}

}  // namespace

// ---- ReadRegString -------------------------------------------------------------------------------

TEST(ProviderRegistry, ReadRegString) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Strings"));
    key.SetString(L"Padded", L" \t value with blanks \r\n");
    key.SetString(L"Empty", L"");
    key.SetString(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
    key.SetBytes(L"NoTerminator", std::string("a\0b\0c\0", 6), REG_SZ);  // UTF-16 "abc" without a NUL
    key.SetBytes(L"ZeroLength", std::string(), REG_SZ);
    key.SetString(L"Latin", L"caf\u00E9");
    const std::string path = key.Path8();

    struct Row {
        std::string path, name, expected;
    } rows[] = {
        {path, "Padded", "value with blanks"},
        {path, "Empty", ""},
        {path, "Missing", ""},
        {path, "ZeroLength", ""},
        {path, "Expand", "%SystemRoot%\\x"},  // not expanded
        {"\\" + path, "Padded", "value with blanks"},  // a leading backslash is dropped
        {path + "\\NoSuchKey", "Padded", ""},
        {path, "Latin", "caf\xE9"},  // in the 8-bit code page
        {path, "NoTerminator", "abc"},
    };
    for (const Row& r : rows) EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, r.path, r.name), r.expected) << r.name;
}

TEST(ProviderRegistry, ReadRegStringOfANonStringValueRaises) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Types"));
    key.SetDword(L"Number", 7);
    key.SetBytes(L"Binary", "\x01\x02");
    EXPECT_THROW(ReadRegString(HKEY_CURRENT_USER, key.Path8(), "Number"), ERegistryException);
    try {
        ReadRegString(HKEY_CURRENT_USER, key.Path8(), "Binary");
        FAIL();
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), L"Invalid data type for 'Binary'");
    }
}

TEST(ProviderRegistry, OsVersionToCurrency) {
    struct Row {
        const wchar_t* text;
        wchar_t separator;
        std::int64_t count;
    } rows[] = {
        {L"6.3", L'.', 63000}, {L"10.0", L'.', 100000}, {L" 6.1 ", L'.', 61000},
        {L"6.3", L',', 0},  // a "." does not convert where the decimal separator is a comma
        {L"6,3", L',', 63000}, {L"", L'.', 0}, {L"six", L'.', 0}, {L"6.3.1", L'.', 0},
    };
    for (const Row& r : rows) {
        const Variant v = OsVersionToCurrency(r.text, r.separator);
        EXPECT_EQ(v.Type(), VarType::Currency);
        EXPECT_EQ(v.CurrencyCount(), r.count) << r.text;
    }
}

TEST(ProviderRegistry, GetOsCurrentVersionReadsTheRegistry) {
    long double expected = 0;
    const std::wstring text = Trimmed(RegText(HKEY_LOCAL_MACHINE, kNtKey, L"CurrentVersion"));
    if (!TryTextToDouble(text, expected)) expected = 0;
    const Variant v = GetOsCurrentVersion();
    EXPECT_EQ(v.Type(), VarType::Currency);
    EXPECT_EQ(v.CurrencyCount(), static_cast<std::int64_t>(expected * 10000 + 0.5L)) << text;
}

// ---- values interpreted from registry fixtures -----------------------------------------------------

TEST(ProviderRegistry, CpuTypeFallsBackToIdentifier) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Cpu"));
    key.SetString(L"Identifier", L"x86 Family 6 Model 1");
    EXPECT_EQ(CpuTypeFrom(HKEY_CURRENT_USER, key.Path8()), "x86 Family 6 Model 1");
    key.SetString(L"ProcessorNameString", L"   ");
    EXPECT_EQ(CpuTypeFrom(HKEY_CURRENT_USER, key.Path8()), "x86 Family 6 Model 1");
    key.SetString(L"ProcessorNameString", L"  Some CPU @ 2GHz ");
    EXPECT_EQ(CpuTypeFrom(HKEY_CURRENT_USER, key.Path8()), "Some CPU @ 2GHz");
}

TEST(ProviderRegistry, OsBuildJoinsVersionAndBuild) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Nt"));
    EXPECT_EQ(OsBuildFrom(HKEY_CURRENT_USER, key.Path8()), ".");
    key.SetString(L"CurrentVersion", L"6.3");
    key.SetString(L"CurrentBuildNumber", L"9600");
    EXPECT_EQ(OsBuildFrom(HKEY_CURRENT_USER, key.Path8()), "6.3.9600");
}

TEST(ProviderRegistry, IeVersionWithAndWithoutSvcVersion) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Ie"));
    key.SetString(L"Version", L"9.11.19041.0");
    EXPECT_EQ(IeVersionFrom(HKEY_CURRENT_USER, key.Path8()), "9.11.19041.0");
    key.SetString(L"svcVersion", L"11.1.19041.0");
    EXPECT_EQ(IeVersionFrom(HKEY_CURRENT_USER, key.Path8()), "9.11.19041.0, 11.1.19041.0");
}

TEST(ProviderRegistry, DirectXInstalledVersion) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Dx"));
    EXPECT_EQ(DirectXVersionText(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8())), L"0.0");
    EXPECT_EQ(DirectXVersionText(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8() + "\\Missing")), L"0.0");
    key.SetBytes(L"InstalledVersion", std::string("\x00\x00\x00\x09\x00\x00\x00\x00", 8));
    EXPECT_EQ(DirectXVersionText(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8())), L"9.0");
    key.SetBytes(L"InstalledVersion", std::string("\x00\x00\x00\x0C", 4));
    EXPECT_EQ(DirectXVersionText(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8())), L"12.0");
    key.SetBytes(L"InstalledVersion", std::string("\x00\x00\x00\x0C\x00\x00\x00\x01", 8), REG_NONE);
    EXPECT_EQ(DirectXVersionText(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8())), L"12.1");
    key.SetBytes(L"InstalledVersion", std::string(9, '\x01'));
    EXPECT_THROW(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8()), ERegistryException);
    key.SetString(L"InstalledVersion", L"4.09");
    EXPECT_THROW(ReadDirectXInstalledVersion(HKEY_CURRENT_USER, key.Path8()), ERegistryException);
}

// ---- OEM information -------------------------------------------------------------------------------

namespace {

void WriteOemFile(const std::wstring& path, const std::string& text) { WriteFileBytes(path, text); }

void FillOemKey(RegFixture& key, const std::wstring& suffix) {
    key.SetString(L"Manufacturer", L"Maker" + suffix);
    key.SetString(L"Model", L"Model" + suffix);
    key.SetString(L"SupportProvider", L"Provider" + suffix);
    key.SetString(L"SupportURL", L"http://url" + suffix);
    key.SetString(L"SupportHours", L"9-5" + suffix);
    key.SetString(L"SupportPhone", L"555" + suffix);
}

TOemInfo Oem(const std::wstring& suffix, const std::wstring& url) {
    return {L"Maker" + suffix, L"Model" + suffix, L"Provider" + suffix, url, L"9-5" + suffix, L"555" + suffix};
}

}  // namespace

TEST(ProviderOem, FileWithSupportUrlOnly) {
    TempFolder dir;
    WriteOemFile(dir.File(L"OEMInfo.ini"),
                 "[General]\r\nManufacturer=Acme\r\nModel=Box 1\r\nSupportURL=http://acme\r\nSupportPhone=123\r\n");
    TOemInfo info;
    ASSERT_TRUE(ReadOemInfo(dir.Path(), HKEY_CURRENT_USER, "Software\\NoSuchVistrelKey", info));
    EXPECT_EQ(info, (TOemInfo{L"Acme", L"Box 1", L"", L"http://acme", L"", L"123"}));
}

TEST(ProviderOem, FileWithSupportAppUrlHidesSupportUrl) {
    TempFolder dir;
    WriteOemFile(dir.File(L"OEMInfo.ini"), "[general]\nSupportURL=http://web\nSupportAppURL=http://app\n");
    TOemInfo info;
    ASSERT_TRUE(ReadOemInfo(dir.Path() + L"\\", HKEY_CURRENT_USER, "Software\\NoSuchVistrelKey", info));
    EXPECT_EQ(info, (TOemInfo{L"", L"", L"", L"http://app", L"", L""}));
}

TEST(ProviderOem, FileWithoutGeneralSectionGivesEmptyValuesAndIgnoresTheRegistry) {
    TempFolder dir;
    WriteOemFile(dir.File(L"OEMInfo.ini"), "[other]\nManufacturer=Acme\n");
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"OEMInformation"));
    FillOemKey(key, L"R");
    TOemInfo info;
    ASSERT_TRUE(ReadOemInfo(dir.Path(), HKEY_CURRENT_USER, key.Path8(), info));
    EXPECT_EQ(info, TOemInfo{});
}

TEST(ProviderOem, RegistryInEitherView) {
    TempFolder dir;  // no OEMInfo.ini in it
    const std::wstring path = UniqueTestKey(L"OEMInformation");
    {
        RegFixture key(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
        FillOemKey(key, L"64");
        TOemInfo info;
        ASSERT_TRUE(ReadOemInfo(dir.Path(), HKEY_LOCAL_MACHINE, WideToAnsi(path), info));
        EXPECT_EQ(info, Oem(L"64", L"http://url64"));  // SupportAppURL absent: SupportURL
        key.SetString(L"SupportAppURL", L"http://app64");
        ASSERT_TRUE(ReadOemInfo(dir.Path(), HKEY_LOCAL_MACHINE, WideToAnsi(path), info));
        EXPECT_EQ(info, Oem(L"64", L"http://app64"));
    }
    {
        RegFixture key(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY);
        FillOemKey(key, L"32");
        TOemInfo info;
        ASSERT_TRUE(ReadOemInfo(L"", HKEY_LOCAL_MACHINE, WideToAnsi(path), info));
        EXPECT_EQ(info, Oem(L"32", L"http://url32"));
    }
    TOemInfo info;
    EXPECT_FALSE(ReadOemInfo(dir.Path(), HKEY_LOCAL_MACHINE, WideToAnsi(path), info));
}

TEST(ProviderOem, GetOemInfoFromTheSystemFolderAndTheRegistry) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring file = std::wstring(system) + L"\\OEMInfo.ini";
    if (FileExists(file)) GTEST_SKIP() << "this system has its own OEMInfo.ini";
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY existing;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOemKey, 0, KEY_READ | view, &existing) == ERROR_SUCCESS) {
            RegCloseKey(existing);
            GTEST_SKIP() << "this system has its own OEM information";
        }
    }
    LogCapture log;
    const wchar_t* display = L"%1|%2|%3|%4|%5|%6";
    {
        const Collected none = Gather(GetOemInfo, display);
        EXPECT_TRUE(none.data.Names.empty());
        EXPECT_TRUE(none.data.Data.empty());
        EXPECT_EQ(none.display, L"");
    }
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        RegFixture key(HKEY_LOCAL_MACHINE, kOemKey, view);
        const std::wstring suffix = view == KEY_WOW64_64KEY ? L"64" : L"32";
        FillOemKey(key, suffix);
        const Collected c = Gather(GetOemInfo, display);
        EXPECT_EQ(c.data.Names, (TWideStringArray{L"manufacturer", L"model", L"support_provider", L"support_url",
                                                   L"support_hours", L"support_phone"}));
        EXPECT_EQ(c.display, L"Maker" + suffix + L"|Model" + suffix + L"|Provider" + suffix + L"|http://url" + suffix +
                                 L"|9-5" + suffix + L"|555" + suffix);
    }
    {
        // With the file present the registry is not read.
        RegFixture key(HKEY_LOCAL_MACHINE, kOemKey, KEY_WOW64_64KEY);
        FillOemKey(key, L"R");
        WriteOemFile(file, "[general]\r\nManufacturer=FileMaker\r\nSupportURL=http://file\r\n");
        const Collected c = Gather(GetOemInfo, display);
        DeleteFileW(file.c_str());
        EXPECT_EQ(c.display, L"FileMaker|||http://file||");  // the file has no model, provider, hours or phone
    }
    EXPECT_TRUE(log.At(L"DATA").empty());  // OEMINFO logs no data line
}

// ---- the routines against the platform --------------------------------------------------------------

TEST(ProviderSystem, GetHostIsTheComputerName) {
    LogCapture log;
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 2;
    std::wstring expected;
    if (GetComputerNameW(name, &size) && size <= 15) expected = Through8Bit(name);
    const Collected c = Gather(GetHost);
    ExpectOneText(c, L"host", expected);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Host: " + expected});
}

TEST(ProviderSystem, GetUserIsTheUserName) {
    LogCapture log;
    wchar_t name[300] = {};
    DWORD size = 300;
    std::wstring expected;
    if (GetUserNameW(name, &size) && wcslen(name) <= 128) expected = Through8Bit(name);
    const Collected c = Gather(GetUser, L"[%1]");
    EXPECT_EQ(c.display, L"[" + expected + L"]");
    EXPECT_EQ(c.data.Data.at(0), TVarArray{Variant(expected)});
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"User: [" + expected + L"]"});
}

TEST(ProviderSystem, GetCpuTypeReadsTheProcessorKey) {
    LogCapture log;
    const wchar_t* key = L"Hardware\\Description\\System\\CentralProcessor\\0";
    std::wstring expected = RegText8(HKEY_LOCAL_MACHINE, key, L"ProcessorNameString");
    if (expected.empty()) expected = RegText8(HKEY_LOCAL_MACHINE, key, L"Identifier");
    const Collected c = Gather(GetCpuType);
    ExpectOneText(c, L"cpu type", expected);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"CPU Type: " + expected});
}

TEST(ProviderSystem, GetOsBuildReadsVersionAndBuild) {
    LogCapture log;
    const std::wstring expected = RegText8(HKEY_LOCAL_MACHINE, kNtKey, L"CurrentVersion") + L"." +
                                  RegText8(HKEY_LOCAL_MACHINE, kNtKey, L"CurrentBuildNumber");
    const Collected c = Gather(GetOsBuild);
    ExpectOneText(c, L"os build", expected);
    EXPECT_GT(expected.size(), 2u);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"OS Build: " + expected});
}

TEST(ProviderSystem, GetServicePackIsTheVersionsServicePackText) {
    LogCapture log;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(&info));
#pragma GCC diagnostic pop
    const std::wstring expected = Through8Bit(info.szCSDVersion);
    const Collected c = Gather(GetServicePack);
    ExpectOneText(c, L"sp", expected);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Service Pack: " + expected});
}

TEST(ProviderSystem, GetIeVersionReadsTheExplorerKey) {
    LogCapture log;
    const wchar_t* key = L"Software\\Microsoft\\Internet Explorer";
    std::wstring expected = RegText8(HKEY_LOCAL_MACHINE, key, L"Version");
    const std::wstring svc = RegText8(HKEY_LOCAL_MACHINE, key, L"svcVersion");
    if (!svc.empty()) expected += L", " + svc;
    const Collected c = Gather(GetIeVersion);
    ExpectOneText(c, L"ie version", expected);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"IE Version: " + expected});
}

TEST(ProviderSystem, GetDirectXVersionReadsInstalledVersion) {
    LogCapture log;
    BYTE bytes[8] = {};
    DWORD size = sizeof bytes;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\DirectX", L"InstalledVersion", RRF_RT_REG_BINARY, nullptr,
                 bytes, &size);
    const std::wstring expected = std::to_wstring(bytes[3]) + L"." + std::to_wstring(bytes[7]);
    const Collected c = Gather(GetDirectXVersion);
    ExpectOneText(c, L"dx version", expected);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"DirectX Version: " + expected});
}
