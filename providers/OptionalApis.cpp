#include "OptionalApis.h"

#include "Log.h"

TOptionalApis OptionalApis;

const std::array<TOptionalApiSpec, 11> OptionalApiSpecs = {{
    {{"QueryFullProcessImageNameW", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    // Newer systems export the process functions from kernel32 only as "K32..." names;
    // older ones only from psapi under the plain names.
    {{"GetProcessImageFileNameW", "K32GetProcessImageFileNameW"}, {L"kernel32.dll", L"psapi.dll"}, false, nullptr},
    {{"GetProcessImageFileNameA", "K32GetProcessImageFileNameA"}, {L"kernel32.dll", L"psapi.dll"}, false, nullptr},
    {{"NtQuerySystemInformation", nullptr}, {L"ntdll.dll", nullptr}, false, nullptr},
    {{"GetSystemTimes", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"GetTickCount64", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"WTSGetActiveConsoleSessionId", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"GetCurrentProcessId", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"ProcessIdToSessionId", nullptr}, {L"kernel32.dll", nullptr}, true, L"ProcessIdToSessionId not available"},
    {{"GetAdaptersAddresses", nullptr}, {L"iphlpapi.dll", nullptr}, true, L"GetAdaptersAddresses not available"},
    {{"InetNtopW", nullptr}, {L"ws2_32.dll", nullptr}, true, L"InetNtopW not available, using inet_ntoa"},
}};

namespace {

// Libraries that had to be loaded for a bound function; they stay loaded while the
// function may be called, and are released after the table is emptied.
std::vector<UniqueLibrary> loadedLibraries;

FARPROC FindIn(HMODULE Module, const TOptionalApiSpec& Spec) {
    for (const char* name : Spec.Names) {
        if (!name) continue;
        if (FARPROC p = GetProcAddress(Module, name)) return p;
    }
    return nullptr;
}

}  // namespace

FARPROC BindOptionalApi(const TOptionalApiSpec& Spec, UniqueLibrary& LoadedLibrary) {
    LoadedLibrary.reset();
    for (const wchar_t* library : Spec.Libraries) {
        if (!library) continue;
        if (HMODULE module = GetModuleHandleW(library))
            if (FARPROC p = FindIn(module, Spec)) return p;
    }
    if (!Spec.LoadMissing) return nullptr;
    for (const wchar_t* library : Spec.Libraries) {
        if (!library || GetModuleHandleW(library)) continue;
        UniqueLibrary module(LoadLibraryW(library));
        if (!module.valid()) {
            if (Spec.Message) WriteLog(Spec.Message, llInfo);
            continue;
        }
        if (FARPROC p = FindIn(module.get(), Spec)) {
            LoadedLibrary = std::move(module);
            return p;
        }
    }
    return nullptr;
}

void LoadOptionalApis() {
    const auto found = BindOptionalApis(OptionalApiSpecs, loadedLibraries);
    TOptionalApis apis;
    AssignOptionalApi(apis.QueryFullProcessImageNameW, found[0]);
    AssignOptionalApi(apis.GetProcessImageFileNameW, found[1]);
    AssignOptionalApi(apis.GetProcessImageFileNameA, found[2]);
    AssignOptionalApi(apis.NtQuerySystemInformation, found[3]);
    AssignOptionalApi(apis.GetSystemTimes, found[4]);
    AssignOptionalApi(apis.GetTickCount64, found[5]);
    AssignOptionalApi(apis.WTSGetActiveConsoleSessionId, found[6]);
    AssignOptionalApi(apis.GetCurrentProcessId, found[7]);
    AssignOptionalApi(apis.ProcessIdToSessionId, found[8]);
    AssignOptionalApi(apis.GetAdaptersAddresses, found[9]);
    AssignOptionalApi(apis.InetNtopW, found[10]);
    OptionalApis = apis;
}

void UnloadOptionalApis() {
    OptionalApis = TOptionalApis{};
    loadedLibraries.clear();
}
