#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Configuration.h"
#include "Includes.h"
#include "MainLoop.h"
#include "Pipeline.h"
#include "Registry.h"
#include "Threads.h"
#include "Tools.h"
#include "Utils.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

using providertest::Collected;
using providertest::Gather;

// REG of one path with the given extra options.
Collected Reg(const std::wstring& path, const wchar_t* wow = nullptr, const wchar_t* host = nullptr) {
    TItemOptionArray options;
    std::size_t i = 0;
    options.at(i++) = {L"value", Variant(path)};
    if (wow) options.at(i++) = {L"wow", Variant(wow)};
    if (host) options.at(i++) = {L"host", Variant(host)};
    return Gather(GetRegistry, options);
}

Collected RegExist(const std::wstring& path, const wchar_t* wow = nullptr, const wchar_t* host = nullptr) {
    TItemOptionArray options;
    std::size_t i = 0;
    options.at(i++) = {L"value", Variant(path)};
    if (wow) options.at(i++) = {L"wow", Variant(wow)};
    if (host) options.at(i++) = {L"host", Variant(host)};
    return Gather(GetRegistryExists, options);
}

Variant OnlyValue(const Collected& c) {
    if (c.data.Data.size() != 1 || c.data.Data[0].size() != 1) return Variant(L"<no single value>");
    return c.data.Data[0][0];
}

const std::wstring kHkcu = L"HKEY_CURRENT_USER\\";
const std::wstring kHklm = L"HKEY_LOCAL_MACHINE\\";

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// Whether a key of HKEY_LOCAL_MACHINE opens in one view (0: the process's own).
bool KeyIn(const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

// ---- paths ------------------------------------------------------------------------------------

TEST(ProviderRegistryPaths, FindRegRoot) {
    struct Row {
        std::wstring path;
        bool found;
        HKEY root;
        std::wstring rest;
    } rows[] = {
        {L"HKEY_LOCAL_MACHINE\\Software\\X", true, HKEY_LOCAL_MACHINE, L"Software\\X"},
        {L"hkey_local_machine\\a", true, HKEY_LOCAL_MACHINE, L"a"},
        {L"HKEY_CLASSES_ROOT\\.txt", true, HKEY_CLASSES_ROOT, L".txt"},
        {L"Hkey_Current_User\\Software", true, HKEY_CURRENT_USER, L"Software"},
        {L"HKEY_USERS\\.DEFAULT", true, HKEY_USERS, L".DEFAULT"},
        {L"HKEY_CURRENT_CONFIG\\System", true, HKEY_CURRENT_CONFIG, L"System"},
        {L"HKEY_CURRENT_USER\\", true, HKEY_CURRENT_USER, L""},
        {L"HKEY_CURRENT_USER", false, nullptr, L""},       // the root needs its "\"
        {L"HKLM\\Software", false, nullptr, L""},          // no abbreviations
        {L"HKCU\\Software", false, nullptr, L""},
        {L"HKEY_LOCAL_MACHINEX\\Software", false, nullptr, L""},
        {L"\\HKEY_LOCAL_MACHINE\\Software", false, nullptr, L""},
        {L"HKEY_PERFORMANCE_DATA\\x", false, nullptr, L""},
        {L"", false, nullptr, L""},
    };
    for (const Row& r : rows) {
        HKEY root = nullptr;
        std::wstring rest;
        ASSERT_EQ(FindRegRoot(r.path, root, rest), r.found) << r.path;
        if (!r.found) continue;
        EXPECT_EQ(root, r.root) << r.path;
        EXPECT_EQ(rest, r.rest) << r.path;
    }
}

TEST(ProviderRegistryPaths, RootNamesAndRemoteRoots) {
    EXPECT_EQ(RegRootByName(L"HKEY_USERS"), HKEY_USERS);
    EXPECT_EQ(RegRootByName(L"hkey_current_config"), HKEY_CURRENT_CONFIG);
    EXPECT_EQ(RegRootByName(L"HKEY_USERS\\"), nullptr);
    EXPECT_EQ(RegRootByName(L"HKU"), nullptr);
    EXPECT_EQ(RegRootByName(L""), nullptr);
    EXPECT_EQ(RegRootName(HKEY_LOCAL_MACHINE), L"hkey_local_machine");
    EXPECT_EQ(RegRootName(HKEY_PERFORMANCE_DATA), L"");
    EXPECT_EQ(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(HKEY_CURRENT_CONFIG)), 0x80000005u);
    for (const TRegRootName& root : kRegRootNames)
        EXPECT_EQ(RegRootReadRemotely(root.Key), root.Key == HKEY_LOCAL_MACHINE || root.Key == HKEY_USERS) << root.Name;
}

TEST(ProviderRegistryPaths, HostViewAndSplit) {
    EXPECT_EQ(RegHostName(L""), L"");
    EXPECT_EQ(RegHostName(L"server"), L"\\\\server");
    EXPECT_EQ(RegHostName(L"\\\\server"), L"\\\\server");
    EXPECT_EQ(RegHostName(L"\\server"), L"\\\\\\server");

    EXPECT_EQ(RegViewFlag(32), static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(RegViewFlag(64), static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_EQ(RegViewFlag(0), 0u);
    EXPECT_EQ(RegViewFlag(86), 0u);

    struct Row {
        std::wstring path, key, value;
    } rows[] = {
        {L"Software\\Vendor\\Name", L"Software\\Vendor", L"Name"},
        {L"Software\\Vendor:Name", L"Software\\Vendor", L"Name"},     // ":" splits too
        {L"Software\\Ven:dor\\Name", L"Software\\Ven:dor", L"Name"},  // whichever comes last
        {L"Software\\Vendor\\a:b", L"Software\\Vendor\\a", L"b"},
        {L"Name", L"", L"Name"},
        {L"Software\\", L"Software", L""},
        {L"", L"", L""},
    };
    for (const Row& r : rows) {
        std::wstring key, value;
        SplitRegPath(r.path, key, value);
        EXPECT_EQ(key, r.key) << r.path;
        EXPECT_EQ(value, r.value) << r.path;
    }
}

TEST(ProviderRegistryPaths, DataTypesIntegersAndArchitecture) {
    EXPECT_EQ(RegDataTypeOf(REG_SZ), TRegDataType::String);
    EXPECT_EQ(RegDataTypeOf(REG_EXPAND_SZ), TRegDataType::ExpandString);
    EXPECT_EQ(RegDataTypeOf(REG_DWORD), TRegDataType::Integer);
    EXPECT_EQ(RegDataTypeOf(REG_BINARY), TRegDataType::Binary);
    for (DWORD other : std::initializer_list<DWORD>{REG_NONE, REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ,
                                                    REG_RESOURCE_LIST, REG_QWORD, 0x1234})
        EXPECT_EQ(RegDataTypeOf(other), TRegDataType::Unknown) << other;

    EXPECT_EQ(RegIntegerValue(0), Variant(std::int32_t{0}));
    EXPECT_EQ(RegIntegerValue(0x7FFFFFFF), Variant(std::int32_t{0x7FFFFFFF}));
    // Past the signed range the number stays positive.
    EXPECT_EQ(RegIntegerValue(0x80000000u), Variant(std::int64_t{0x80000000}));
    EXPECT_EQ(RegIntegerValue(0xFFFFFFFFu), Variant(std::int64_t{0xFFFFFFFF}));

    EXPECT_TRUE(IsNativeArchitecture64(PROCESSOR_ARCHITECTURE_AMD64));
    EXPECT_TRUE(IsNativeArchitecture64(PROCESSOR_ARCHITECTURE_IA64));
    EXPECT_FALSE(IsNativeArchitecture64(PROCESSOR_ARCHITECTURE_INTEL));
    EXPECT_FALSE(IsNativeArchitecture64(PROCESSOR_ARCHITECTURE_ARM64));
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    EXPECT_EQ(IsWindows64(), IsNativeArchitecture64(info.wProcessorArchitecture));
}

// ---- REG -------------------------------------------------------------------------------------

TEST(ProviderRegistryValue, EveryValueType) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Types"));
    key.SetString(L"Text", L"hello world");
    key.SetString(L"Empty", L"");
    key.SetBytes(L"ZeroLength", std::string(), REG_SZ);
    key.SetBytes(L"NoTerminator", std::string("a\0b\0c\0", 6), REG_SZ);
    key.SetBytes(L"OddBytes", std::string("a\0b\0c", 5), REG_SZ);
    key.SetBytes(L"EmbeddedNul", std::string("a\0\0\0b\0\0\0", 8), REG_SZ);
    key.SetString(L"Unicode", L"caf\u00E9 \u20AC");
    key.SetString(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
    key.SetDword(L"Number", 42);
    key.SetDword(L"Large", 0xFFFFFFF0u);
    key.SetBytes(L"ShortDword", Bytes({0x34, 0x12}), REG_DWORD);
    key.SetBytes(L"Binary", Bytes({1, 2, 3}));
    key.SetBytes(L"EmptyBinary", std::string(), REG_BINARY);
    key.SetBytes(L"Multi", std::string("a\0\0\0b\0\0\0\0\0", 10), REG_MULTI_SZ);
    key.SetBytes(L"Qword", std::string(8, '\x01'), REG_QWORD);
    key.SetBytes(L"None", Bytes({1}), REG_NONE);
    key.SetBytes(L"BigEndian", Bytes({0, 0, 0, 1}), REG_DWORD_BIG_ENDIAN);
    key.SetBytes(L"Custom", Bytes({9}), 0x1234);
    const std::wstring base = kHkcu + key.Path() + L"\\";

    struct Row {
        const wchar_t* name;
        Variant expected;
    } rows[] = {
        {L"Text", Variant(L"hello world")},
        {L"Empty", Variant(L"")},
        {L"ZeroLength", Variant(L"")},
        {L"NoTerminator", Variant(L"abc")},
        {L"OddBytes", Variant(L"ab")},  // the half character at the end is dropped
        {L"EmbeddedNul", Variant(L"a")},
        {L"Unicode", Variant(L"caf\u00E9 \u20AC")},
        {L"Expand", Variant(L"%SystemRoot%\\x")},  // not expanded
        {L"Number", Variant(std::int32_t{42})},
        {L"Large", Variant(std::int64_t{0xFFFFFFF0})},
        {L"ShortDword", Variant(std::int32_t{0x1234})},
        {L"Binary", Variant(ErrorText + L"Binary data type")},
        {L"EmptyBinary", Variant(ErrorText + L"Binary data type")},
        {L"Multi", Variant(ErrorText + L"Unknown data type")},
        {L"Qword", Variant(ErrorText + L"Unknown data type")},
        {L"None", Variant(ErrorText + L"Unknown data type")},
        {L"BigEndian", Variant(ErrorText + L"Unknown data type")},
        {L"Custom", Variant(ErrorText + L"Unknown data type")},
        {L"Missing", Variant()},  // an existing key without the value: empty, no message
    };
    LogCapture log;
    for (const Row& r : rows) {
        const int before = static_cast<int>(log.At(L"DATA").size());
        const Collected c = Reg(base + r.name);
        EXPECT_EQ(c.data.Names, TWideStringArray{L"value"}) << r.name;
        EXPECT_EQ(OnlyValue(c), r.expected) << r.name;
        EXPECT_EQ(c.display, r.expected.ToText()) << r.name;
        const std::vector<std::wstring> lines = log.At(L"DATA");
        ASSERT_EQ(static_cast<int>(lines.size()), before + 1) << r.name;
        EXPECT_EQ(lines.back(), L"GetRegistry:  : " + c.display) << r.name;
    }
}

TEST(ProviderRegistryValue, AnIntegerLongerThanFourBytesRaises) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"LongDword"));
    key.SetBytes(L"Long", std::string(8, '\x01'), REG_DWORD);
    TItemData data;
    std::wstring display;
    EXPECT_THROW(GetRegistry(OptionsOf({{L"value", (kHkcu + key.Path() + L"\\Long").c_str()}}), data, display),
                 ERegistryException);
    EXPECT_TRUE(data.Data.empty());
}

TEST(ProviderRegistryValue, PathForms) {
    RegFixture key(HKEY_LOCAL_MACHINE, UniqueTestKey(L"Paths"));
    key.SetString(L"Name", L"machine value");
    const std::wstring path = key.Path();
    ASSERT_EQ(RegText(HKEY_LOCAL_MACHINE, path, L"Name"), L"machine value");
    struct Row {
        std::wstring value;
        Variant expected;
    } rows[] = {
        {L"HKEY_LOCAL_MACHINE\\" + path + L"\\Name", Variant(L"machine value")},
        {L"HKEY_LOCAL_MACHINE\\" + path + L"\\Name\\", Variant(L"machine value")},   // one trailing "\" goes
        {L"hkey_local_machine\\" + LowerAscii(path) + L"\\name", Variant(L"machine value")},
        {L"HKEY_LOCAL_MACHINE\\" + path + L":Name", Variant(L"machine value")},
        {L"HKEY_LOCAL_MACHINE\\\\" + path + L"\\Name", Variant(L"machine value")},  // a doubled "\"
        {L"HKEY_LOCAL_MACHINE\\" + path + L"\\NoSuchKey\\Name", Variant(ErrorText + L"Key not found or access denied")},
        {L"HKEY_LOCAL_MACHINE\\" + path + L"\\Name\\\\", Variant(ErrorText + L"Key not found or access denied")},
    };
    for (const Row& r : rows) EXPECT_EQ(OnlyValue(Reg(r.value, L"0")), r.expected) << r.value;
}

TEST(ProviderRegistryValue, RootNotFoundIsLoggedWithoutRow) {
    LogCapture log;
    for (const wchar_t* path : {L"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\CurrentVersion",
                                L"HKEY_LOCAL_MACHINE", L"HKEY_LOCAL_MACHINE\\"}) {
        const Collected c = Reg(path);
        EXPECT_TRUE(c.data.Data.empty()) << path;
        EXPECT_EQ(c.display, ErrorText + L"Root key not found") << path;
    }
    EXPECT_EQ(log.Count(L"ERROR", L"GetRegistry: " + ErrorText + L"Root key not found"), 3);
    EXPECT_TRUE(log.At(L"DATA").empty());
}

TEST(ProviderRegistryValue, AnEmptyValueOptionDoesNothing) {
    LogCapture log;
    Collected c = Gather(GetRegistry, OptionsOf({{L"display", L"%1"}}));
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    c = Gather(GetRegistryExists, OptionsOf({{L"value", L""}}));
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST(ProviderRegistryValue, DisplayTemplateAndLanguageIdInTheLog) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Display"));
    key.SetDword(L"Count", 7);
    LogCapture log;
    const Collected c = Gather(GetRegistry, OptionsOf({{L"value", (kHkcu + key.Path() + L"\\Count").c_str()},
                                                        {L"display", L"count=%1"},
                                                        {L"lid", L"L12"}}));
    EXPECT_EQ(c.display, L"count=7");
    EXPECT_EQ(log.Count(L"DATA", L"GetRegistry: L12 : count=7"), 1);
}

// The 32-bit and 64-bit views of HKEY_LOCAL_MACHINE\Software are separate; "wow" picks one,
// and any other number reads the process's own view.
TEST(ProviderRegistryValue, Views) {
    RegFixture key32(HKEY_LOCAL_MACHINE, UniqueTestKey(L"View32"), KEY_WOW64_32KEY);
    key32.SetString(L"Which", L"32-bit view");
    RegFixture key64(HKEY_LOCAL_MACHINE, UniqueTestKey(L"View64"), KEY_WOW64_64KEY);
    key64.SetString(L"Which", L"64-bit view");
    ASSERT_TRUE(KeyIn(key32.Path(), KEY_WOW64_32KEY));
    ASSERT_FALSE(KeyIn(key32.Path(), KEY_WOW64_64KEY));
    ASSERT_TRUE(KeyIn(key64.Path(), KEY_WOW64_64KEY));
    ASSERT_FALSE(KeyIn(key64.Path(), KEY_WOW64_32KEY));

    const std::wstring p32 = kHklm + key32.Path() + L"\\Which";
    const std::wstring p64 = kHklm + key64.Path() + L"\\Which";
    const Variant notFound(ErrorText + L"Key not found or access denied");
    auto ownView = [&](const std::wstring& path, const std::wstring& text) {
        return KeyIn(path, 0) ? Variant(text) : notFound;
    };
    struct Row {
        std::wstring path;
        const wchar_t* wow;
        Variant expected;
    } rows[] = {
        {p32, nullptr, Variant(L"32-bit view")},  // 32 is the default
        {p32, L"32", Variant(L"32-bit view")},
        {p32, L"64", notFound},
        {p64, L"64", Variant(L"64-bit view")},
        {p64, L"32", notFound},
        {p64, nullptr, notFound},
        {p32, L"0", ownView(key32.Path(), L"32-bit view")},
        {p64, L"1", ownView(key64.Path(), L"64-bit view")},
    };
    for (const Row& r : rows)
        EXPECT_EQ(OnlyValue(Reg(r.path, r.wow)), r.expected) << r.path << " wow " << (r.wow ? r.wow : L"-");
    EXPECT_EQ(OnlyValue(RegExist(p32, L"32")), Variant(true));
    EXPECT_EQ(OnlyValue(RegExist(p32, L"64")), Variant(false));
    EXPECT_EQ(OnlyValue(RegExist(p64, L"64")), Variant(true));
    EXPECT_EQ(OnlyValue(RegExist(p64)), Variant(false));
}

TEST(ProviderRegistryValue, Hosts) {
    RegFixture user(HKEY_CURRENT_USER, UniqueTestKey(L"HostUser"));
    user.SetString(L"Name", L"local user value");
    RegFixture machine(HKEY_LOCAL_MACHINE, UniqueTestKey(L"HostMachine"));
    machine.SetString(L"Name", L"local machine value");
    const wchar_t* nowhere = L"no-such-host.invalid";
    // HKEY_CURRENT_USER is never read remotely: the host is cleared.
    EXPECT_EQ(OnlyValue(Reg(kHkcu + user.Path() + L"\\Name", nullptr, nowhere)), Variant(L"local user value"));
    EXPECT_EQ(OnlyValue(Reg(kHklm + machine.Path() + L"\\Name", nullptr, nowhere)),
              Variant(ErrorText + L"Can't connect to host"));
    EXPECT_EQ(OnlyValue(Reg(kHklm + machine.Path() + L"\\Name", nullptr, L"\\\\no-such-host.invalid")),
              Variant(ErrorText + L"Can't connect to host"));
    EXPECT_EQ(OnlyValue(RegExist(kHklm + machine.Path(), nullptr, nowhere)), Variant(false));
    EXPECT_EQ(OnlyValue(RegExist(kHkcu + user.Path(), nullptr, nowhere)), Variant(true));
}

// ---- REGEXIST ---------------------------------------------------------------------------------

TEST(ProviderRegistryExists, KeysAndValues) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Exists"));
    key.SetString(L"Name", L"v");
    key.SetBytes(L"Odd", Bytes({1}), REG_NONE);
    RegFixture sub(HKEY_CURRENT_USER, key.Path() + L"\\Sub");
    const std::wstring base = kHkcu + key.Path();
    struct Row {
        std::wstring path;
        bool exists;
    } rows[] = {
        {base, true},
        {base + L"\\", true},
        {base + L"\\Sub", true},
        {base + L"\\Sub\\", true},
        {base + L"\\Name", true},
        {base + L":Name", true},
        {base + L"\\Odd", true},
        {base + L"\\Missing", false},
        {base + L"\\Missing\\Name", false},
        {base + L"\\Sub\\Name", false},
        {kHkcu, true},  // the root key itself
        {L"HKEY_CURRENT_USER\\Software", true},
    };
    LogCapture log;
    for (const Row& r : rows) {
        const Collected c = RegExist(r.path);
        EXPECT_EQ(c.data.Names, TWideStringArray{L"exists"}) << r.path;
        EXPECT_EQ(OnlyValue(c), Variant(r.exists)) << r.path;
        EXPECT_EQ(c.display, r.exists ? L"True" : L"False") << r.path;
    }
    EXPECT_EQ(log.Count(L"DATA", L"GetRegistry:  : True"), 9);
}

TEST(ProviderRegistryExists, InvalidRootIsLoggedAtDataWithoutRow) {
    LogCapture log;
    const Collected c = RegExist(L"HKCU\\Software");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(c.display, ErrorText + L"Invalid root key");
    EXPECT_EQ(log.Count(L"DATA", L"GetRegistry: " + ErrorText + L"Invalid root key"), 1);
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

// ---- watches ------------------------------------------------------------------------------------

namespace {

constexpr DWORD kWait = 8000;

class ProviderRegistryWatch : public ::testing::Test {
protected:
    void SetUp() override { InitSynchronizer(); }
    void TearDown() override {
        RegWatchItems.Clear();
        PumpFor(1);
    }

    static bool TextBecomes(const TRegWatchItem* watch, const std::wstring& text) {
        return PumpUntil([&] { return watch->ValueText() == text; }, kWait);
    }
};

Collected WatchOf(const std::wstring& key, const wchar_t* display = L"%1 @ %2") {
    return Gather(GetRegistryWatch, OptionsOf({{L"key", key.c_str()}, {L"display", display}}));
}

}  // namespace

TEST_F(ProviderRegistryWatch, AValueWatchReportsItsValueAtStartAndEachChange) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"WatchValue"));
    key.SetString(L"State", L"first");
    LogCapture log;
    const double before = NowDateTime();
    const std::wstring full = kHkcu + key.Path() + L"\\State";
    RegWatchItems.Add(L"My watch", full, false);
    ASSERT_EQ(RegWatchItems.Count(), 1u);
    const TRegWatchItem* watch = RegWatchItems.GetItem(0);
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(RegWatchItems.GetItem(1), nullptr);
    EXPECT_EQ(watch->FullKeyName(), L"hkey_current_user\\" + key.Path() + L"\\State");

    ASSERT_TRUE(TextBecomes(watch, L"first"));
    const TRegMonitorThread* thread = watch->Thread();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->ValueName, L"State");
    EXPECT_GE(thread->ChangeTime, before - 1.0 / 86400);
    EXPECT_EQ(watch->ChangeTimeText(), DateTimeToText(thread->ChangeTime));

    // The item finds its watch whatever the case of its key option.
    Collected c = WatchOf(LowerAscii(full));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"data", L"data time"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(L"first"), Variant(watch->ChangeTimeText())}));
    EXPECT_EQ(c.display, L"first @ " + watch->ChangeTimeText());
    EXPECT_EQ(log.Count(L"DATA", L"GetRegistryWatch: " + c.display), 1);

    key.SetString(L"State", L"second");
    ASSERT_TRUE(TextBecomes(watch, L"second"));
    c = WatchOf(full, L"%1");
    EXPECT_EQ(c.display, L"second");

    key.SetDword(L"State", 5);
    ASSERT_TRUE(TextBecomes(watch, L"5"));
    EXPECT_EQ(thread->Value, Variant(std::int32_t{5}));

    // A change of another value of the key signals, but the watched value is the same:
    // nothing is reported.
    key.SetString(L"Other", L"x");
    PumpFor(700);
    key.SetBytes(L"State", Bytes({1, 2}), REG_BINARY);  // binary reads as null: reported as empty
    ASSERT_TRUE(TextBecomes(watch, L""));
    const std::wstring tag = L"Reg Notify: [My watch] ";
    std::vector<std::wstring> notes;
    for (const std::wstring& line : log.At(L"DATA"))
        if (line.rfind(tag, 0) == 0) notes.push_back(line.substr(tag.size()));
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[0].rfind(L"first ", 0), 0u);
    EXPECT_EQ(notes[1].rfind(L"second ", 0), 0u);
    EXPECT_EQ(notes[2].rfind(L"5 ", 0), 0u);
    EXPECT_EQ(notes[3], L" " + watch->ChangeTimeText());

    // A deleted value reads as the no-results text.
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, key.Path().c_str(), L"State"), ERROR_SUCCESS);
    ASSERT_TRUE(TextBecomes(watch, NoResultsText));
}

TEST_F(ProviderRegistryWatch, AKeyWatchReportsEachChangeWithTheTimeItWasSeen) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"WatchKey"));
    LogCapture log;
    RegWatchItems.Add(L"Key", kHkcu + key.Path(), false);
    const TRegWatchItem* watch = RegWatchItems.GetItem(0);
    PumpFor(300);
    EXPECT_TRUE(log.At(L"DATA").empty());  // a key watch says nothing at start
    EXPECT_EQ(watch->ChangeTimeText(), L"");

    const double before = NowDateTime();
    key.SetString(L"New", L"v");
    ASSERT_TRUE(PumpUntil([&] { return !watch->ChangeTimeText().empty(); }, kWait));
    const double after = NowDateTime();
    EXPECT_EQ(watch->ValueText(), L"");
    // The local time of the change, never the date-time 0 (30 December 1899).
    const double seen = watch->Thread()->GetChangeTime();
    EXPECT_GE(seen, before - 1.0 / 86400);
    EXPECT_LE(seen, after + 1.0 / 86400);
    EXPECT_EQ(watch->ChangeTimeText(), DateTimeToText(seen));
    EXPECT_NE(watch->ChangeTimeText(), DateTimeToText(0));
    EXPECT_EQ(log.Count(L"DATA", L"Reg Notify: [Key]  " + watch->ChangeTimeText()), 1);
}

namespace {

int NotesOf(const LogCapture& log, const std::wstring& name) {
    const std::wstring tag = L"Reg Notify: [" + name + L"]  ";
    int n = 0;
    for (const std::wstring& line : log.At(L"DATA"))
        if (line.rfind(tag, 0) == 0) ++n;
    return n;
}

}  // namespace

TEST_F(ProviderRegistryWatch, SubtreeWatchesSeeSubkeys) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"WatchTree"));
    RegFixture sub(HKEY_CURRENT_USER, key.Path() + L"\\Sub");
    LogCapture log;
    RegWatchItems.Add(L"Tree", kHkcu + key.Path(), true);
    RegWatchItems.Add(L"Flat", kHkcu + key.Path(), false);
    PumpFor(300);
    sub.SetString(L"Deep", L"v");
    ASSERT_TRUE(PumpUntil([&] { return NotesOf(log, L"Tree") >= 1; }, kWait));
    PumpFor(700);
    EXPECT_EQ(NotesOf(log, L"Flat"), 0);
}

// ---- the order of a watch's steps, on a scripted key ---------------------------------------------

namespace {

// A key whose value is written by someone else right after the watch has read it, a
// given number of times. Its change notification behaves as the registry's does: armed
// once, it signals the next write and is then spent.
class RacingKey {
public:
    explicit RacingKey(int writesAfterReads) : writesLeft_(writesAfterReads) {}

    TRegWatchSteps Steps() {
        TRegWatchSteps s;
        s.Arm = [this] {
            calls.push_back("arm");
            armed_ = true;
            return armFails ? false : true;
        };
        s.Wait = [this] {
            calls.push_back("wait");
            if (signalled_) return TRegWatchWait::Signalled;
            stop_ = true;  // nothing more will change: the test ends the watch
            return TRegWatchWait::TimedOut;
        };
        s.Pause = [this] { calls.push_back("pause"); };
        s.Reset = [this] {
            calls.push_back("reset");
            signalled_ = false;
        };
        s.Report = [this] {
            calls.push_back("report");
            seen.push_back(value_);
            if (writesLeft_ > 0) {
                --writesLeft_;
                Write();
            }
        };
        s.Stopping = [this] { return stop_; };
        return s;
    }

    std::vector<int> seen;
    std::vector<std::string> calls;
    bool armFails = false;
    int value() const { return value_; }

private:
    void Write() {
        ++value_;
        if (armed_ && !armFails) {
            armed_ = false;
            signalled_ = true;
        }
    }
    int value_ = 1;
    int writesLeft_;
    bool armed_ = false;
    bool signalled_ = false;
    bool stop_ = false;
};

}  // namespace

TEST(ProviderRegistryWatchSteps, AChangeRightAfterAReadIsStillSeen) {
    // Written right after the value was read at start, and again after each of the next
    // two reads: the watch ends having shown the last value.
    RacingKey key(3);
    RunRegWatch(key.Steps(), true);
    EXPECT_EQ(key.seen, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(key.seen.back(), key.value());
    EXPECT_EQ(key.calls.front(), "arm");
}

TEST(ProviderRegistryWatchSteps, EachSignalIsResetAndArmedBeforeTheRead) {
    RacingKey key(1);
    RunRegWatch(key.Steps(), true);
    EXPECT_EQ(key.calls, (std::vector<std::string>{"arm", "report", "wait", "reset", "arm", "report", "wait"}));
}

TEST(ProviderRegistryWatchSteps, AKeyWatchDoesNotReportAtStart) {
    RacingKey key(0);
    RunRegWatch(key.Steps(), false);
    EXPECT_TRUE(key.seen.empty());
    EXPECT_EQ(key.calls, (std::vector<std::string>{"arm", "wait"}));
}

TEST(ProviderRegistryWatchSteps, AWatchThatCannotArmStillReportsItsStartAndEnds) {
    RacingKey key(1);
    key.armFails = true;
    RunRegWatch(key.Steps(), true);
    EXPECT_EQ(key.seen, std::vector<int>{1});
    EXPECT_EQ(key.calls, (std::vector<std::string>{"arm", "report"}));
}

TEST_F(ProviderRegistryWatch, WatchesThatCannotWatch) {
    LogCapture log;
    const std::wstring missing = kHkcu + UniqueTestKey(L"Nothing") + L"\\Neither\\Name";
    RegWatchItems.Add(L"Missing", missing, false);
    RegWatchItems.Add(L"Abbreviated", L"HKCU\\Software", false);
    RegWatchItems.Add(L"No separator", L"JustAName", false);
    ASSERT_EQ(RegWatchItems.Count(), 3u);

    // Neither the key nor its parent: the thread ends and the texts stay empty.
    const TRegWatchItem* gone = RegWatchItems.GetItem(0);
    ASSERT_NE(gone->Thread(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return gone->Thread()->Finished(); }, kWait));
    Collected c = WatchOf(missing);
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(L""), Variant(L"")}));

    // An unknown root: no thread, "<error>", and an item naming that key finds nothing.
    const TRegWatchItem* abbreviated = RegWatchItems.GetItem(1);
    EXPECT_EQ(abbreviated->Thread(), nullptr);
    EXPECT_EQ(abbreviated->ValueText(), L"<error>");
    EXPECT_EQ(abbreviated->FullKeyName(), L"Software");
    c = WatchOf(L"HKCU\\Software");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(c.display, L"");

    // A key without any "\" is its own full name: the item finds the watch.
    c = WatchOf(L"justaname", L"%1");
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.display, L"<error>");

    // No key option, or a key no watch has: nothing, and no log line.
    const std::size_t lines = log.Lines().size();
    EXPECT_TRUE(WatchOf(L"").data.Data.empty());
    EXPECT_TRUE(WatchOf(L"HKEY_CURRENT_USER\\Unwatched").data.Data.empty());
    EXPECT_EQ(log.Lines().size(), lines);
}

TEST_F(ProviderRegistryWatch, TheFirstOfTwoWatchesOnOneKeyAnswers) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Twice"));
    RegWatchItems.Add(L"Unknown", L"JustAName", false);
    RegWatchItems.Add(L"Again", L"JUSTANAME", false);
    EXPECT_EQ(WatchOf(L"JustAName", L"%1").display, L"<error>");
    RegWatchItems.Clear();
    EXPECT_EQ(RegWatchItems.Count(), 0u);
    EXPECT_TRUE(WatchOf(L"JustAName").data.Data.empty());
}

TEST_F(ProviderRegistryWatch, ClearStopsEveryThread) {
    std::vector<std::unique_ptr<RegFixture>> keys;
    for (int i = 0; i < 4; ++i) {
        keys.push_back(std::make_unique<RegFixture>(HKEY_CURRENT_USER, UniqueTestKey(L"Many")));
        keys.back()->SetDword(L"N", static_cast<DWORD>(i));
        RegWatchItems.Add(L"W" + std::to_wstring(i), kHkcu + keys.back()->Path() + L"\\N", false);
    }
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(TextBecomes(RegWatchItems.GetItem(i), std::to_wstring(i)));
    RegWatchItems.Clear();
    EXPECT_EQ(RegWatchItems.Count(), 0u);
    // The keys can go at once: no thread holds them any more.
    for (auto& key : keys) key->Remove();
}

TEST_F(ProviderRegistryWatch, SetupWatchesBuildsTheListThroughItsHook) {
    RegisterProviders();
    ASSERT_EQ(RebuildRegWatchesHook, &RebuildRegWatches);
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Setup"));
    key.SetString(L"V", L"configured");
    RebuildRegWatches({{L"One", kHkcu + key.Path() + L"\\V", false}, {L"Two", kHkcu + key.Path(), true}});
    ASSERT_EQ(RegWatchItems.Count(), 2u);
    EXPECT_EQ(RegWatchItems.GetItem(0)->Name, L"One");
    EXPECT_FALSE(RegWatchItems.GetItem(0)->WatchSubtree);
    EXPECT_EQ(RegWatchItems.GetItem(1)->Name, L"Two");
    EXPECT_TRUE(RegWatchItems.GetItem(1)->WatchSubtree);
    ASSERT_TRUE(TextBecomes(RegWatchItems.GetItem(0), L"configured"));

    // A rebuild replaces the whole list.
    RebuildRegWatches({{L"Three", L"JustAName", false}});
    ASSERT_EQ(RegWatchItems.Count(), 1u);
    EXPECT_EQ(RegWatchItems.GetItem(0)->Name, L"Three");
    RebuildRegWatches({});
    EXPECT_EQ(RegWatchItems.Count(), 0u);
}

// A configured REGISTRY item: the reload's SetupWatches starts its watch, a change of the
// value reaches the watch, and the item's next collection shows it.
TEST_F(ProviderRegistryWatch, AConfiguredItemShowsTheChangeOfItsValue) {
    RegisterProviders();
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Configured"));
    key.SetString(L"Mode", L"idle");
    TConfigArray saved;
    saved.swap(ConfigItems);
    ConfigItems.resize(2);
    ConfigItems[0].Keyword = "REGISTRY";
    ConfigItems[0].Active = true;
    ConfigItems[0].Text = L"Mode";
    ConfigItems[0].GatherProc = GetRegistryWatch;
    const std::wstring watched = kHkcu + key.Path() + L"\\Mode";
    ConfigItems[0].Options = OptionsOf({{L"key", watched.c_str()}, {L"display", L"mode %1"}});
    ConfigItems[1] = ConfigItems[0];
    ConfigItems[1].Active = false;  // inactive items get no watch
    SetupWatches();
    const TConfigItem item = ConfigItems[0];
    ConfigItems.swap(saved);

    ASSERT_EQ(RegWatchItems.Count(), 1u);
    const TRegWatchItem* watch = RegWatchItems.GetItem(0);
    EXPECT_EQ(watch->Name, L"Mode");
    ASSERT_TRUE(TextBecomes(watch, L"idle"));
    TItemData data;
    ASSERT_TRUE(DoProc(item.GatherProc, item.Options, data));
    EXPECT_EQ(data.Lines, TWideStringArray{L"mode idle"});

    key.SetString(L"Mode", L"busy");
    ASSERT_TRUE(TextBecomes(watch, L"busy"));
    ASSERT_TRUE(DoProc(item.GatherProc, item.Options, data));
    EXPECT_EQ(data.Lines, TWideStringArray{L"mode busy"});
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(data.Data[0].at(1), Variant(watch->ChangeTimeText()));
}

TEST_F(ProviderRegistryWatch, FinalizeProvidersStopsTheWatches) {
    RegWatchItems.Add(L"Unknown", L"JustAName", false);
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Final"));
    RegWatchItems.Add(L"Key", kHkcu + key.Path(), false);
    FinalizeProviders();
    EXPECT_EQ(RegWatchItems.Count(), 0u);
    LoadOptionalApis();
}

TEST(ProviderRegistryTable, RoutinesAreRegistered) {
    RegisterProviders();
    struct Row {
        const char* keyword;
        TGatherProc proc;
    } rows[] = {{"REG", GetRegistry}, {"REGEXIST", GetRegistryExists}, {"REGISTRY", GetRegistryWatch}};
    for (const Row& r : rows) {
        TConfigItem item;
        FindItemDefault(r.keyword, item);
        EXPECT_EQ(item.GatherProc, r.proc) << r.keyword;
        EXPECT_EQ(item.Interval, 0) << r.keyword;
    }
}
