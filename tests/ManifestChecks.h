// Reads the application manifest back from a built executable, as Windows finds it when
// it starts the program (resource type RT_MANIFEST, id 1), and checks what it declares.
// Windows reads the manifest as XML: one that is not well-formed stops the program from
// starting at all (a side-by-side configuration error), so it is read here as XML too,
// and each declaration is looked for at its place in the tree.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "WinHandles.h"
#include "XmlReader.h"

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

namespace manifest_checks {

constexpr const char* kAsmV1 = "urn:schemas-microsoft-com:asm.v1";
constexpr const char* kAsmV3 = "urn:schemas-microsoft-com:asm.v3";
constexpr const char* kCompatibility = "urn:schemas-microsoft-com:compatibility.v1";

// The one child of that namespace and name; null when there is none or more than one.
inline const xmltest::XmlElement* OnlyChild(const xmltest::XmlElement& Parent, const char* Ns, const char* Local) {
    const auto found = Parent.ChildrenNamed(Ns, Local);
    return found.size() == 1 ? found.front() : nullptr;
}

// Whether any element of the tree has one of the local names.
inline bool HasElementNamed(const xmltest::XmlElement& e, const std::set<std::string>& Locals) {
    if (Locals.count(e.LocalName)) return true;
    for (const auto& c : e.Children)
        if (HasElementNamed(*c, Locals)) return true;
    return false;
}

// "a.b.c.d", four numbers of 0 to 65535: the form of an assembly's version.
inline bool IsAssemblyVersion(const std::string& Text) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= Text.size()) {
        std::size_t j = i;
        unsigned long value = 0;
        while (j < Text.size() && Text[j] >= '0' && Text[j] <= '9' && j - i < 6) value = value * 10 + (Text[j++] - '0');
        if (j == i || value > 65535) return false;
        ++parts;
        if (j == Text.size()) break;
        if (Text[j] != '.') return false;
        i = j + 1;
    }
    return parts == 4;
}

}  // namespace manifest_checks

// The manifest is well-formed XML; the program runs with its user's rights, names every
// Windows version from Vista to 10 and 11, and declares no DPI awareness.
inline ::testing::AssertionResult DeclaresInvokerAndWindowsVersions(const std::string& manifest) {
    using namespace manifest_checks;
    if (manifest.empty()) return ::testing::AssertionFailure() << "no manifest resource";
    std::unique_ptr<xmltest::XmlElement> root;
    try {
        root = xmltest::ParseXml(manifest);
    } catch (const xmltest::XmlError& e) {
        return ::testing::AssertionFailure() << "not well-formed XML: " << e.what();
    }
    if (root->Namespace != kAsmV1 || root->LocalName != "assembly")
        return ::testing::AssertionFailure() << "the root is not an assembly of " << kAsmV1;
    const std::string* manifestVersion = root->Attribute("manifestVersion");
    if (!manifestVersion || *manifestVersion != "1.0")
        return ::testing::AssertionFailure() << "no manifestVersion 1.0 on the assembly";
    if (const auto* identity = OnlyChild(*root, kAsmV1, "assemblyIdentity")) {
        const std::string* version = identity->Attribute("version");
        if (!version || !IsAssemblyVersion(*version))
            return ::testing::AssertionFailure() << "the assembly identity's version is not four numbers";
    }

    const xmltest::XmlElement* level = nullptr;
    if (const auto* trust = OnlyChild(*root, kAsmV3, "trustInfo"))
        if (const auto* security = OnlyChild(*trust, kAsmV3, "security"))
            if (const auto* privileges = OnlyChild(*security, kAsmV3, "requestedPrivileges"))
                level = OnlyChild(*privileges, kAsmV3, "requestedExecutionLevel");
    if (!level) return ::testing::AssertionFailure() << "no trustInfo/security/requestedPrivileges/requestedExecutionLevel";
    const std::string* levelName = level->Attribute("level");
    if (!levelName || *levelName != "asInvoker") return ::testing::AssertionFailure() << "no asInvoker execution level";
    const std::string* uiAccess = level->Attribute("uiAccess");
    if (uiAccess && *uiAccess != "false") return ::testing::AssertionFailure() << "uiAccess asked for";

    std::set<std::string> named;
    if (const auto* compatibility = OnlyChild(*root, kCompatibility, "compatibility"))
        if (const auto* application = OnlyChild(*compatibility, kCompatibility, "application"))
            for (const auto* os : application->ChildrenNamed(kCompatibility, "supportedOS"))
                if (const std::string* id = os->Attribute("Id")) named.insert(*id);
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
        if (!named.count(os.id))
            return ::testing::AssertionFailure() << "Windows " << os.name << " is not named in compatibility/application";
    if (HasElementNamed(*root, {"dpiAware", "dpiAwareness"})) return ::testing::AssertionFailure() << "a DPI awareness";
    return ::testing::AssertionSuccess();
}
