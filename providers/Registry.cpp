// REG and REGEXIST: registry values and keys named by full paths, read through the
// registry accessor; the path rules they share with the registry watches.
#include "Registry.h"

#include <cstring>

#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Utils.h"

namespace {

// The registry refuses key paths that start with a backslash.
std::wstring RelativeKey(const std::wstring& Key) {
    const std::size_t first = Key.find_first_not_of(L'\\');
    return first == std::wstring::npos ? std::wstring() : Key.substr(first);
}

[[noreturn]] void RaiseInvalidType(const std::wstring& Name) {
    throw ERegistryException(L"Invalid data type for '" + Name + L"'");
}

[[noreturn]] void RaiseReadFailed(const std::wstring& Name) {
    throw ERegistryException(L"Failed to get data for '" + Name + L"'");
}

bool IsStringType(DWORD Type) { return Type == REG_SZ || Type == REG_EXPAND_SZ; }

// The item's path, root and host as the two routines take them.
struct TRegItemPath {
    HKEY Root = nullptr;
    std::wstring Rest;
    std::wstring Host;
};

bool ResolveItemPath(const std::wstring& Path, const std::wstring& Host, TRegItemPath& Out) {
    TRegItemPath path;
    if (!FindRegRoot(Path, path.Root, path.Rest)) return false;
    path.Host = RegRootReadRemotely(path.Root) ? RegHostName(Host) : std::wstring();
    Out = std::move(path);
    return true;
}

void StoreRow(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display, const wchar_t* Name,
              const Variant& Value, const std::wstring& Lid) {
    SetFieldNames(Data.Names, {Name});
    AddDataRow(Data.Data, {Value}, false);
    Display = FillDisplayTemplate(GetItemOption(Options, L"display", Variant(L"%1")).ToText(), Data.Data.front());
    WriteLog(L"GetRegistry: " + Lid + L" : " + Display, llData);
}

}  // namespace

// ---- paths ------------------------------------------------------------------------------------

const TRegRootName kRegRootNames[5] = {
    {L"hkey_classes_root", HKEY_CLASSES_ROOT},   {L"hkey_current_user", HKEY_CURRENT_USER},
    {L"hkey_local_machine", HKEY_LOCAL_MACHINE}, {L"hkey_users", HKEY_USERS},
    {L"hkey_current_config", HKEY_CURRENT_CONFIG},
};

bool FindRegRoot(const std::wstring& Path, HKEY& Root, std::wstring& Rest) {
    const std::wstring lower = LowerAscii(Path);
    for (const TRegRootName& root : kRegRootNames) {
        const std::wstring prefix = std::wstring(root.Name) + L"\\";
        if (lower.compare(0, prefix.size(), prefix) != 0) continue;
        Root = root.Key;
        Rest = Path.substr(prefix.size());
        return true;
    }
    return false;
}

HKEY RegRootByName(const std::wstring& Name) {
    const std::wstring lower = LowerAscii(Name);
    for (const TRegRootName& root : kRegRootNames)
        if (lower == root.Name) return root.Key;
    return nullptr;
}

std::wstring RegRootName(HKEY Root) {
    for (const TRegRootName& root : kRegRootNames)
        if (root.Key == Root) return root.Name;
    return {};
}

bool RegRootReadRemotely(HKEY Root) { return Root == HKEY_LOCAL_MACHINE || Root == HKEY_USERS; }

std::wstring RegHostName(const std::wstring& Host) {
    if (Host.empty() || Host.rfind(L"\\\\", 0) == 0) return Host;
    return L"\\\\" + Host;
}

void SplitRegPath(const std::wstring& Path, std::wstring& KeyPath, std::wstring& ValueName) {
    const std::size_t cut = Path.find_last_of(L"\\:");
    if (cut == std::wstring::npos) {
        KeyPath.clear();
        ValueName = Path;
        return;
    }
    KeyPath = Path.substr(0, cut);
    ValueName = Path.substr(cut + 1);
}

REGSAM RegViewFlag(std::int32_t Wow) {
    switch (Wow) {
    case 32: return KEY_WOW64_32KEY;
    case 64: return KEY_WOW64_64KEY;
    default: return 0;
    }
}

Variant RegIntegerValue(DWORD Value) {
    if (Value <= 0x7FFFFFFFu) return Variant(static_cast<std::int32_t>(Value));
    return Variant(static_cast<std::int64_t>(Value));
}

bool IsNativeArchitecture64(WORD Architecture) {
    return Architecture == PROCESSOR_ARCHITECTURE_AMD64 || Architecture == PROCESSOR_ARCHITECTURE_IA64;
}

namespace {

bool QueryWindows64() {
    using NativeSystemInfoProc = void(WINAPI*)(LPSYSTEM_INFO);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    const auto proc = reinterpret_cast<NativeSystemInfoProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")));
    if (!proc) return false;
    SYSTEM_INFO info{};
    proc(&info);
    return IsNativeArchitecture64(info.wProcessorArchitecture);
}

const bool windows64 = QueryWindows64();

}  // namespace

bool IsWindows64() { return windows64; }

// ---- the accessor -------------------------------------------------------------------------------

TRegDataType RegDataTypeOf(DWORD Type) {
    switch (Type) {
    case REG_SZ: return TRegDataType::String;
    case REG_EXPAND_SZ: return TRegDataType::ExpandString;
    case REG_DWORD: return TRegDataType::Integer;
    case REG_BINARY: return TRegDataType::Binary;
    default: return TRegDataType::Unknown;
    }
}

void TRegistryAccessor::SetRootKey(HKEY Root) {
    CloseKey();
    remoteRoot_.reset();
    root_ = Root;
}

bool TRegistryAccessor::RegistryConnect(const std::wstring& Host, TRegConnect Connect) {
    if (Host.empty()) return true;
    HKEY remote = nullptr;
    if (Connect(Host.c_str(), root_, &remote) != ERROR_SUCCESS) return false;
    CloseKey();
    remoteRoot_.reset(remote);
    root_ = remote;
    return true;
}

bool TRegistryAccessor::KeyExists(const std::wstring& Key) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, RelativeKey(Key).c_str(), 0, access_, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool TRegistryAccessor::OpenKey(const std::wstring& Key) {
    CloseKey();
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, RelativeKey(Key).c_str(), 0, access_, &key) != ERROR_SUCCESS) return false;
    current_.reset(key);
    return true;
}

bool TRegistryAccessor::ValueExists(const std::wstring& Name) const {
    if (!current_.valid()) return false;
    return RegQueryValueExW(current_.get(), Name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

TRegDataType TRegistryAccessor::GetDataType(const std::wstring& Name) const {
    DWORD type = REG_NONE;
    if (!current_.valid() ||
        RegQueryValueExW(current_.get(), Name.c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
        return TRegDataType::Unknown;
    return RegDataTypeOf(type);
}

std::wstring TRegistryAccessor::ReadString(const std::wstring& Name) const {
    if (!current_.valid()) RaiseReadFailed(Name);
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(current_.get(), Name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        RaiseReadFailed(Name);
    if (!IsStringType(type)) RaiseInvalidType(Name);
    // The value may grow between the two queries: a few more tries with the size asked for.
    std::vector<BYTE> buffer;
    for (int attempt = 0;; ++attempt) {
        buffer.assign(static_cast<std::size_t>(size) + sizeof(wchar_t), 0);
        DWORD got = size;
        const LONG rc = RegQueryValueExW(current_.get(), Name.c_str(), nullptr, &type, buffer.data(), &got);
        if (rc == ERROR_MORE_DATA && attempt < 4) {
            size = got;
            continue;
        }
        if (rc != ERROR_SUCCESS) RaiseReadFailed(Name);
        if (!IsStringType(type)) RaiseInvalidType(Name);
        size = got < size ? got : size;
        break;
    }
    // Whole characters only; the text ends at its first NUL or at the end of the data.
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), buffer.data(), text.size() * sizeof(wchar_t));
    const std::size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

DWORD TRegistryAccessor::ReadInteger(const std::wstring& Name) const {
    if (!current_.valid()) RaiseReadFailed(Name);
    DWORD value = 0, type = REG_NONE, size = sizeof value;
    const LONG rc = RegQueryValueExW(current_.get(), Name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                     &size);
    if (rc != ERROR_SUCCESS) RaiseReadFailed(Name);
    if (type != REG_DWORD) RaiseInvalidType(Name);
    return value;
}

// ---- the routines -------------------------------------------------------------------------------

TRegRead ReadRegistryItem(HKEY Root, const std::wstring& Host, const std::wstring& Rest, REGSAM View,
                          TRegConnect Connect) {
    TRegRead read;
    TRegistryAccessor registry(Root, KEY_READ);
    if (!registry.RegistryConnect(Host, Connect)) {
        read.Result = TRegReadResult::CannotConnect;
        return read;
    }
    registry.SetAccess(KEY_READ | View);
    std::wstring keyPath, valueName;
    SplitRegPath(Rest, keyPath, valueName);
    if (!registry.KeyExists(keyPath)) {
        read.Result = TRegReadResult::KeyNotFound;
    } else if (!registry.OpenKey(keyPath)) {
        read.Result = TRegReadResult::KeyNotOpened;
    } else if (registry.ValueExists(valueName)) {
        switch (registry.GetDataType(valueName)) {
        case TRegDataType::String:
        case TRegDataType::ExpandString:
            read.Result = TRegReadResult::Text;
            read.Text = registry.ReadString(valueName);
            break;
        case TRegDataType::Integer:
            read.Result = TRegReadResult::Integer;
            read.Number = registry.ReadInteger(valueName);
            break;
        case TRegDataType::Binary: read.Result = TRegReadResult::Binary; break;
        case TRegDataType::Unknown: read.Result = TRegReadResult::Unknown; break;
        }
    }
    registry.CloseKey();
    return read;
}

bool RegistryItemExists(HKEY Root, const std::wstring& Host, const std::wstring& Rest, REGSAM View,
                        TRegConnect Connect) {
    TRegistryAccessor registry(Root, KEY_READ);
    if (!registry.RegistryConnect(Host, Connect)) return false;
    registry.SetAccess(KEY_READ | View);
    std::wstring asKey = Rest;
    if (!asKey.empty() && asKey.back() == L'\\') asKey.pop_back();
    if (registry.KeyExists(asKey)) return true;
    std::wstring keyPath, valueName;
    SplitRegPath(Rest, keyPath, valueName);
    const bool exists = registry.KeyExists(keyPath) && registry.OpenKey(keyPath) && registry.ValueExists(valueName);
    registry.CloseKey();
    return exists;
}

Variant RegReadValue(const TRegRead& Read) {
    switch (Read.Result) {
    case TRegReadResult::CannotConnect: return Variant(ErrorText + L"Can't connect to host");
    case TRegReadResult::KeyNotFound: return Variant(ErrorText + L"Key not found or access denied");
    case TRegReadResult::KeyNotOpened: return Variant(ErrorText + L"Value not found");
    case TRegReadResult::NoValue: return Variant();
    case TRegReadResult::Text: return Variant(Read.Text);
    case TRegReadResult::Integer: return RegIntegerValue(Read.Number);
    case TRegReadResult::Binary: return Variant(ErrorText + L"Binary data type");
    case TRegReadResult::Unknown: return Variant(ErrorText + L"Unknown data type");
    }
    return Variant();
}

namespace {

// Runs Read here for the local registry; for a remote host, where the registry calls wait
// as long as the network lets them, abandonably within the item's time limit.
template <typename R>
R OnHost(const std::wstring& Host, const std::function<R(const std::atomic<bool>&)>& Read) {
    static const std::atomic<bool> notAbandoned{false};
    if (Host.empty()) return Read(notAbandoned);
    return RunAbandonable(Read, ItemTimeLeftMs(), Host);
}

}  // namespace

void GetRegistry(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherRegistry(Options, Data, Display, RegConnectRegistryW);
}

std::wstring RemoteRegistryTurn(const TItemOptionArray& Options) {
    const std::wstring host = GetItemOption(Options, L"host", Variant(L"")).ToText();
    return host.empty() ? std::wstring() : L"REG " + host;
}

void GatherRegistry(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display, TRegConnect Connect) {
    std::wstring path = GetItemOption(Options, L"value", Variant(L"")).ToText();
    const std::int32_t wow = GetItemOption(Options, L"wow", Variant(std::int32_t{32})).ToInt32();
    const std::wstring host = GetItemOption(Options, L"host", Variant(L"")).ToText();
    const std::wstring lid = GetItemOption(Options, L"lid", Variant(L"")).ToText();
    Display.clear();
    if (path.empty()) return;
    if (path.back() == L'\\') path.pop_back();

    TRegItemPath item;
    if (!ResolveItemPath(path, host, item)) {
        Display = ErrorText + L"Root key not found";
        WriteLog(L"GetRegistry: " + Display, llError);
        return;
    }

    Variant value;
    try {
        // The read owns copies of everything it uses: it may finish after this routine.
        const REGSAM view = RegViewFlag(wow);
        const std::function<TRegRead(const std::atomic<bool>&)> read = [item, view, Connect](const std::atomic<bool>&) {
            return ReadRegistryItem(item.Root, item.Host, item.Rest, view, Connect);
        };
        value = RegReadValue(OnHost(item.Host, read));
    } catch (const ETimeLimit& e) {
        WriteLog(L"GetRegistry: " + ErrorText + e.Message(), llError);
        value = Variant(ErrorText + L"Can't connect to host");
    }
    StoreRow(Options, Data, Display, L"value", value, lid);
}

void GetRegistryExists(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherRegistryExists(Options, Data, Display, RegConnectRegistryW);
}

void GatherRegistryExists(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                          TRegConnect Connect) {
    const std::wstring path = GetItemOption(Options, L"value", Variant(L"")).ToText();
    const std::int32_t wow = GetItemOption(Options, L"wow", Variant(std::int32_t{32})).ToInt32();
    const std::wstring host = GetItemOption(Options, L"host", Variant(L"")).ToText();
    const std::wstring lid = GetItemOption(Options, L"lid", Variant(L"")).ToText();
    Display.clear();
    if (path.empty()) return;

    TRegItemPath item;
    if (!ResolveItemPath(path, host, item)) {
        Display = ErrorText + L"Invalid root key";
        WriteLog(L"GetRegistry: " + Display, llData);
        return;
    }

    bool exists = false;
    try {
        const REGSAM view = RegViewFlag(wow);
        const std::function<bool(const std::atomic<bool>&)> find = [item, view, Connect](const std::atomic<bool>&) {
            return RegistryItemExists(item.Root, item.Host, item.Rest, view, Connect);
        };
        exists = OnHost(item.Host, find);
    } catch (const ETimeLimit& e) {
        // A host that does not answer in time counts as one that cannot be reached.
        WriteLog(L"GetRegistry: " + ErrorText + e.Message(), llError);
    }
    StoreRow(Options, Data, Display, L"exists", Variant(exists), lid);
}
