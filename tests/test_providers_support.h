// Fixtures shared by the collector and provider tests: a captured log, registry keys that
// remove themselves, and option arrays.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ItemTypes.h"
#include "Log.h"
#include "TestFiles.h"
#include "Utils.h"

// Logs every level except DEBUG into a fresh file for the fixture's life.
class LogCapture {
public:
    LogCapture() : file_(folder_.File(L"test.log")), levels_(LogLevels.load()) {
        ResetLogState();
        LogLevels = (1u << llError) | (1u << llInfo) | (1u << llData) | (1u << llWarn);
        SetLogFileName(file_);
    }
    ~LogCapture() {
        SetLogFileName(L"");
        LogLevels = levels_;
        ResetLogState();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Each line as "LEVEL text" (level name padded to five characters), stamp cut off.
    std::vector<std::wstring> Lines() const {
        const std::string bytes = ReadFileBytes(file_);
        std::wstring text(bytes.size() / 2, L'\0');
        for (std::size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                           (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        std::vector<std::wstring> lines;
        for (const std::wstring& line : SplitTextLines(text))
            if (line.size() > 22) lines.push_back(line.substr(22));
        return lines;
    }
    // The texts of the lines at one level.
    std::vector<std::wstring> At(const std::wstring& level) const {
        std::wstring prefix = level;
        prefix.resize(5, L' ');
        prefix += L' ';
        std::vector<std::wstring> texts;
        for (const std::wstring& line : Lines())
            if (line.rfind(prefix, 0) == 0) texts.push_back(line.substr(prefix.size()));
        return texts;
    }
    int Count(const std::wstring& level, const std::wstring& text) const {
        int n = 0;
        for (const std::wstring& t : At(level))
            if (t == text) ++n;
        return n;
    }

private:
    TempFolder folder_;
    std::wstring file_;
    std::uint8_t levels_;
};

// A registry key made for one test under Root (in the view of ViewFlag) and removed with
// everything under it.
class RegFixture {
public:
    RegFixture(HKEY root, std::wstring path, REGSAM viewFlag = 0) : root_(root), path_(std::move(path)), view_(viewFlag) {
        EXPECT_EQ(RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    ~RegFixture() { Remove(); }
    RegFixture(const RegFixture&) = delete;
    RegFixture& operator=(const RegFixture&) = delete;

    void Remove() {
        if (!key_) return;
        RegDeleteTreeW(key_, nullptr);
        RegCloseKey(key_);
        key_ = nullptr;
        RegDeleteKeyExW(root_, path_.c_str(), view_, 0);
        // The per-test parent of UniqueTestKey goes too once it is empty.
        const std::size_t cut = path_.rfind(L'\\');
        if (cut != std::wstring::npos && path_.rfind(L"Software\\VistrelTest-", 0) == 0)
            RegDeleteKeyExW(root_, path_.substr(0, cut).c_str(), view_, 0);
    }
    void SetString(const std::wstring& name, const std::wstring& value, DWORD type = REG_SZ) {
        EXPECT_EQ(RegSetValueExW(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void SetBytes(const std::wstring& name, const std::string& bytes, DWORD type = REG_BINARY) {
        EXPECT_EQ(RegSetValueExW(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    void SetDword(const std::wstring& name, DWORD value) {
        EXPECT_EQ(RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
    }
    const std::wstring& Path() const { return path_; }
    std::string Path8() const { return WideToAnsi(path_); }

private:
    HKEY root_;
    std::wstring path_;
    REGSAM view_;
    HKEY key_ = nullptr;
};

// A key path no other test process uses.
inline std::wstring UniqueTestKey(const std::wstring& name) {
    static int counter = 0;
    return L"Software\\VistrelTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) +
           L"\\" + name;
}

inline TItemOptionArray OptionsOf(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> pairs) {
    TItemOptionArray options;
    std::size_t i = 0;
    for (const auto& p : pairs) options.at(i++) = {p.first, Variant(p.second)};
    return options;
}

// A registry string as the platform gives it in wide text ("" when missing).
inline std::wstring RegText(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view = 0) {
    DWORD size = 0;
    if (RegGetValueW(root, path.c_str(), name.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | view,
                     nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, path.c_str(), name.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | view,
                     nullptr, text.data(), &size) != ERROR_SUCCESS)
        return {};
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// Running one gathering routine as the pipeline does, outside the collection thread.
namespace providertest {

// An item's result; the display starts with text the routine has to replace.
struct Collected {
    TItemData data;
    std::wstring display = L"leftover";
};

inline Collected Gather(TGatherProc proc, const TItemOptionArray& options = {}) {
    Collected c;
    proc(options, c.data, c.display);
    return c;
}

// Puts an option into the first free slot (the array stays as it is when none is free).
inline void SetOption(TItemOptionArray& options, const wchar_t* name, const Variant& value) {
    for (TItemOption& o : options)
        if (o.Name.empty()) {
            o = {name, value};
            return;
        }
}

}  // namespace providertest
