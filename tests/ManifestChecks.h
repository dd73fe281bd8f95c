// Reads the application manifest back from a built executable, as Windows finds it when
// it starts the program (resource type RT_MANIFEST, id 1), and checks what it declares.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "WinHandles.h"

// The manifest's bytes; empty when the file cannot be loaded or holds none.
inline std::string ApplicationManifestOf(const std::wstring& exe) {
    // As data: the file need not match the reader's architecture.
    UniqueLibrary module(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module.valid()) return {};
    HRSRC info = FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (!info) return {};
    HGLOBAL data = LoadResource(module.get(), info);
    const DWORD size = SizeofResource(module.get(), info);
    const void* bytes = data ? LockResource(data) : nullptr;
    return bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
}

// The program runs with its user's rights, names every Windows version from Vista to 10
// and 11, and declares no DPI awareness.
inline ::testing::AssertionResult DeclaresInvokerAndWindowsVersions(const std::string& manifest) {
    if (manifest.empty()) return ::testing::AssertionFailure() << "no manifest resource";
    if (manifest.find("level=\"asInvoker\"") == std::string::npos)
        return ::testing::AssertionFailure() << "no asInvoker execution level";
    struct Os {
        const char* name;
        const char* id;
    };
    const Os versions[] = {{"Vista", "{e2011457-1546-43c5-a5fe-008deee3d3f0}"},
                           {"7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},
                           {"8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"},
                           {"8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"},
                           {"10 and 11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}};
    for (const Os& os : versions)
        if (manifest.find(std::string("<supportedOS Id=\"") + os.id + "\"/>") == std::string::npos)
            return ::testing::AssertionFailure() << "Windows " << os.name << " is not named";
    if (manifest.find("dpiAware") != std::string::npos) return ::testing::AssertionFailure() << "a DPI awareness";
    return ::testing::AssertionSuccess();
}
