// Identity and operating-system routines: HOST, USER, OEMINFO, CPUTYPE, OSBUILD,
// SERVICEPACK, IEVERSION and DIRECTX, the registry readers they share, and the
// registration of all thirteen routines of this family.
#include "SystemInfo.h"

#include <shlobj.h>

#include <cmath>

#include "IniFiles.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

const char kWindowsNtKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kCpuKey[] = "Hardware\\Description\\System\\CentralProcessor\\0";
const char kIeKey[] = "Software\\Microsoft\\Internet Explorer";
const char kDirectXKey[] = "SOFTWARE\\Microsoft\\DirectX";
const char kOemKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\OEMInformation";

// The registry refuses key paths that start with a backslash.
std::string RelativeKeyPath(const std::string& KeyPath) {
    const std::size_t first = KeyPath.find_first_not_of('\\');
    return first == std::string::npos ? std::string() : KeyPath.substr(first);
}

UniqueKey OpenReadKey(HKEY Root, const std::string& KeyPath, REGSAM ViewFlag) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root, RelativeKeyPath(KeyPath).c_str(), 0, KEY_READ | ViewFlag, &key) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(key);
}

[[noreturn]] void RaiseInvalidType(const std::string& ValueName) {
    throw ERegistryException(L"Invalid data type for '" + AnsiToWide(ValueName) + L"'");
}

// A string value as stored (up to its first NUL); "" when missing or empty. Any other
// kind of value raises.
std::string ReadStringValue(HKEY Key, const std::string& ValueName) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(Key, ValueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) RaiseInvalidType(ValueName);
    std::string buffer;
    LONG rc;
    do {
        buffer.assign(size + 1, '\0');
        DWORD got = size;
        rc = RegQueryValueExA(Key, ValueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (rc == ERROR_SUCCESS) buffer.resize(got);
        size = got;
    } while (rc == ERROR_MORE_DATA);
    if (rc != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) RaiseInvalidType(ValueName);
    const std::size_t nul = buffer.find('\0');
    if (nul != std::string::npos) buffer.resize(nul);
    return buffer;
}

std::string TrimControl(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

void StoreText(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display, const wchar_t* Name,
               const std::wstring& Text, const wchar_t* LogTag) {
    StoreSingleRow(Options, Data, Display, {Name}, {Variant(Text)}, LogTag);
}

bool ReadOemInfoFile(const std::wstring& SystemFolder, TOemInfo& Info) {
    if (SystemFolder.empty()) return false;
    std::wstring path = SystemFolder;
    if (path.back() != L'\\') path += L'\\';
    path += L"OEMInfo.ini";
    if (!FileExists(path)) return false;
    const TInfoFile ini(path);
    auto read = [&](const wchar_t* key, const std::wstring& def) {
        return Through8Bit(ini.ReadString(L"general", key, def));
    };
    const std::wstring supportUrl = read(L"SupportURL", L"");
    Info = {read(L"Manufacturer", L""), read(L"Model", L""), read(L"SupportProvider", L""),
            read(L"SupportAppURL", supportUrl), read(L"SupportHours", L""), read(L"SupportPhone", L"")};
    return true;
}

bool ReadOemInfoKey(HKEY Root, const std::string& KeyPath, TOemInfo& Info) {
    UniqueKey key = OpenReadKey(Root, KeyPath, KEY_WOW64_64KEY);
    if (!key.valid()) key = OpenReadKey(Root, KeyPath, KEY_WOW64_32KEY);
    if (!key.valid()) return false;
    auto read = [&](const char* name) { return AnsiToWide(ReadStringValue(key.get(), name)); };
    const std::wstring manufacturer = read("Manufacturer");
    const std::wstring model = read("Model");
    const std::wstring provider = read("SupportProvider");
    const std::wstring supportUrl = read("SupportURL");
    std::wstring appUrl = read("SupportAppURL");
    if (appUrl.empty()) appUrl = supportUrl;
    Info = {manufacturer, model, provider, appUrl, read("SupportHours"), read("SupportPhone")};
    return true;
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, FALSE)) return {};
    return path;
}

}  // namespace

// ---- shared by the routines ---------------------------------------------------------------

void StoreSingleRow(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                    const std::vector<std::wstring>& Names, const TVarArray& Row, const wchar_t* LogTag) {
    SetFieldNames(Data.Names, Names);
    AddDataRow(Data.Data, Row, false);
    Display = FillDisplayTemplate(GetItemOption(Options, L"display", Variant(L"%1")).ToText(), Data.Data.front());
    if (LogTag) WriteLog(LogTag + Display, llData);
}

std::wstring Through8Bit(const std::wstring& Text) { return AnsiToWide(WideToAnsi(Text)); }

// ---- registry -----------------------------------------------------------------------------

std::string ReadRegString(HKEY RootKey, const std::string& KeyPath, const std::string& ValueName) {
    const UniqueKey key = OpenReadKey(RootKey, KeyPath, 0);
    if (!key.valid()) return {};
    return TrimControl(ReadStringValue(key.get(), ValueName));
}

Variant OsVersionToCurrency(const std::wstring& Text, wchar_t DecimalSeparator) {
    std::wstring text = Text.substr(0, 255);
    // Only the given separator marks decimals; a "." in a locale that uses another one
    // makes the text no number.
    if (DecimalSeparator != L'.') {
        if (text.find(L'.') != std::wstring::npos) return Variant::FromCurrencyCount(0);
        for (auto& c : text)
            if (c == DecimalSeparator) c = L'.';
    }
    long double value;
    if (!TryTextToDouble(text, value)) return Variant::FromCurrencyCount(0);
    const long double scaled = std::round(value * 10000.0L);
    if (!(std::fabs(scaled) < 9.2e18L)) return Variant::FromCurrencyCount(0);
    return Variant::FromCurrencyCount(static_cast<std::int64_t>(scaled));
}

Variant GetOsCurrentVersion() {
    try {
        const std::wstring text = AnsiToWide(ReadRegString(HKEY_LOCAL_MACHINE, kWindowsNtKey, "CurrentVersion"));
        return OsVersionToCurrency(text, LocaleNumberFormat().DecimalSeparator);
    } catch (...) {
        return Variant::FromCurrencyCount(0);
    }
}

// ---- interpretation -------------------------------------------------------------------------

bool ReadOemInfo(const std::wstring& SystemFolder, HKEY Root, const std::string& KeyPath, TOemInfo& Info) {
    // The file, when present, is the whole answer: the registry is not consulted.
    if (ReadOemInfoFile(SystemFolder, Info)) return true;
    return ReadOemInfoKey(Root, KeyPath, Info);
}

std::string CpuTypeFrom(HKEY Root, const std::string& KeyPath) {
    std::string text = ReadRegString(Root, KeyPath, "ProcessorNameString");
    if (text.empty()) text = ReadRegString(Root, KeyPath, "Identifier");
    return text;
}

std::string OsBuildFrom(HKEY Root, const std::string& KeyPath) {
    return ReadRegString(Root, KeyPath, "CurrentVersion") + "." + ReadRegString(Root, KeyPath, "CurrentBuildNumber");
}

std::string IeVersionFrom(HKEY Root, const std::string& KeyPath) {
    const std::string version = ReadRegString(Root, KeyPath, "Version");
    const std::string svc = ReadRegString(Root, KeyPath, "svcVersion");
    return svc.empty() ? version : version + ", " + svc;
}

std::array<std::uint8_t, 8> ReadDirectXInstalledVersion(HKEY Root, const std::string& KeyPath) {
    std::array<std::uint8_t, 8> bytes{};
    const UniqueKey key = OpenReadKey(Root, KeyPath, 0);
    if (!key.valid()) return bytes;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.get(), "InstalledVersion", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return bytes;
    if ((type != REG_BINARY && type != REG_NONE) || size > bytes.size()) RaiseInvalidType("InstalledVersion");
    DWORD got = static_cast<DWORD>(bytes.size());
    if (RegQueryValueExA(key.get(), "InstalledVersion", nullptr, &type, bytes.data(), &got) != ERROR_SUCCESS)
        return std::array<std::uint8_t, 8>{};
    return bytes;
}

std::wstring DirectXVersionText(const std::array<std::uint8_t, 8>& Bytes) {
    return std::to_wstring(Bytes[3]) + L"." + std::to_wstring(Bytes[7]);
}

// ---- the routines -----------------------------------------------------------------------------

void GetHost(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    char buffer[16] = {};
    DWORD size = sizeof buffer;
    std::string host;
    if (GetComputerNameA(buffer, &size)) host.assign(buffer, strnlen(buffer, sizeof buffer));
    StoreText(Options, Data, Display, L"host", AnsiToWide(host), L"Host: ");
}

void GetUser(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    char buffer[129] = {};
    DWORD size = sizeof buffer;
    std::string user;
    if (GetUserNameA(buffer, &size)) user.assign(buffer, strnlen(buffer, sizeof buffer));
    StoreText(Options, Data, Display, L"user", AnsiToWide(user), L"User: ");
}

void GetOemInfo(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TOemInfo info;
    if (!ReadOemInfo(SystemFolder(), HKEY_LOCAL_MACHINE, kOemKey, info)) return;
    StoreSingleRow(Options, Data, Display,
                   {L"manufacturer", L"model", L"support_provider", L"support_url", L"support_hours", L"support_phone"},
                   {Variant(info[0]), Variant(info[1]), Variant(info[2]), Variant(info[3]), Variant(info[4]),
                    Variant(info[5])},
                   nullptr);
}

void GetCpuType(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreText(Options, Data, Display, L"cpu type", AnsiToWide(CpuTypeFrom(HKEY_LOCAL_MACHINE, kCpuKey)), L"CPU Type: ");
}

void GetOsBuild(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreText(Options, Data, Display, L"os build", AnsiToWide(OsBuildFrom(HKEY_LOCAL_MACHINE, kWindowsNtKey)),
              L"OS Build: ");
}

void GetServicePack(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148
    std::string sp;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool known = GetVersionExA(&info) != 0;
#pragma GCC diagnostic pop
    if (known)
        sp.assign(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
    else
        sp = ReadRegString(HKEY_LOCAL_MACHINE, kWindowsNtKey, "CSDVersion");
    StoreText(Options, Data, Display, L"sp", AnsiToWide(sp), L"Service Pack: ");
}

void GetIeVersion(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreText(Options, Data, Display, L"ie version", AnsiToWide(IeVersionFrom(HKEY_LOCAL_MACHINE, kIeKey)),
              L"IE Version: ");
}

void GetDirectXVersion(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreText(Options, Data, Display, L"dx version",
              DirectXVersionText(ReadDirectXInstalledVersion(HKEY_LOCAL_MACHINE, kDirectXKey)), L"DirectX Version: ");
}

void RegisterSystemInfoProviders() {
    RegisterGatherProc("DATETIME", GetDateTime);
    RegisterGatherProc("BOOTTIME", GetBootTime);
    RegisterGatherProc("UPTIME", GetUpTime);
    RegisterGatherProc("LOADTIME", GetLoadTime);
    RegisterGatherProc("HOST", GetHost);
    RegisterGatherProc("USER", GetUser);
    RegisterGatherProc("OEMINFO", GetOemInfo);
    RegisterGatherProc("CPUTYPE", GetCpuType);
    RegisterGatherProc("OSBUILD", GetOsBuild);
    RegisterGatherProc("SERVICEPACK", GetServicePack);
    RegisterGatherProc("IEVERSION", GetIeVersion);
    RegisterGatherProc("DIRECTX", GetDirectXVersion);
    RegisterGatherProc("TIMEZONE", GetTimeZone);
}
