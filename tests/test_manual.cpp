// The menu's Manual: the PDF opened with the program Windows has for PDF files, and a
// message box that tells the user why when it cannot be opened (not only a log line).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Log.h"
#include "MainFormUnit.h"
#include "Manual.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WinHandles.h"
#include "WindowTests.h"

namespace {

// Watches a thread for a message box, reads its text and closes it with OK, as a user
// would. The box's text is the dialog item 0xFFFF of a "#32770" window.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(DWORD threadId) : thread_([this, threadId] { Watch(threadId); }) {}
    ~MessageBoxCloser() {
        stop_ = true;
        thread_.join();
    }
    // Waits up to ms for the watcher to have closed a box; its text, or empty.
    std::wstring Text(DWORD ms) {
        const DWORD start = GetTickCount();
        while (!closed_ && GetTickCount() - start < ms) Sleep(20);
        return closed_ ? text_ : std::wstring();
    }

private:
    static BOOL CALLBACK FindBox(HWND w, LPARAM found) {
        wchar_t cls[16] = {};
        GetClassNameW(w, cls, 16);
        if (std::wstring(cls) != L"#32770" || !IsWindowVisible(w)) return TRUE;
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }
    void Watch(DWORD threadId) {
        const DWORD start = GetTickCount();
        while (!stop_ && GetTickCount() - start < 60000) {
            HWND box = nullptr;
            EnumThreadWindows(threadId, FindBox, reinterpret_cast<LPARAM>(&box));
            if (box) {
                wchar_t text[2048] = {};
                GetDlgItemTextW(box, 0xFFFF, text, 2048);
                text_ = text;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                closed_ = true;
                return;
            }
            Sleep(50);
        }
    }

    std::wstring text_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

// The machine's association of ".pdf" files, which the shell reads when the user has
// none of their own: a program class, or a class that names no program. The previous
// association comes back at the end.
class PdfAssociation {
public:
    // Program empty: the class names no program to open with.
    explicit PdfAssociation(const std::wstring& program) {
        previous_ = Default(kPdf);
        SetDefault(kPdf, kClass);
        if (!program.empty())
            SetDefault(kClassKey + L"\\shell\\open\\command", L"\"" + program + L"\" \"%1\"");
        else
            SetDefault(kClassKey, L"A document that no program opens");
    }
    ~PdfAssociation() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey.c_str());
        if (previous_.empty()) RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPdf);
        else SetDefault(kPdf, previous_);
    }

private:
    static constexpr const wchar_t* kPdf = L"Software\\Classes\\.pdf";
    static constexpr const wchar_t* kClass = L"VistrelTests.PdfDocument";
    const std::wstring kClassKey = std::wstring(L"Software\\Classes\\") + kClass;
    static std::wstring Default(const std::wstring& key) {
        wchar_t value[256] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return {};
        return value;
    }
    static void SetDefault(const std::wstring& key, const std::wstring& value) {
        HKEY raw = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr),
                  ERROR_SUCCESS)
            << std::string(key.begin(), key.end());
        UniqueKey k(raw);
        ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    std::wstring previous_;
};

class ManualTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetLogFileName(logs.File(L"log.txt"));
        LogLevels = 1;
    }
    void TearDown() override {
        SetLogFileName(L"");
        LogLevels = 0;
        WindowTest::TearDown();
    }
    std::wstring Log() { return ReadLogText(logs.File(L"log.txt")); }
    TempFolder logs{L"vistrel-manual-log"};
    TempFolder folder{L"vistrel manual"};
};

}  // namespace

TEST(ManualText, SaysWhyTheManualCannotBeOpened) {
    const std::wstring path = L"C:\\Tools\\Vistrel\\Vistrel Manual.pdf";
    struct Row {
        bool found;
        DWORD error;
        std::wstring expected;
    };
    const Row rows[] = {
        {false, ERROR_FILE_NOT_FOUND,
         L"The manual cannot be opened: " + path +
             L" is missing.\n\nIt comes with Vistrel in its ZIP file: put \"Vistrel Manual.pdf\" beside Vistrel.exe."},
        // A missing file is said as such whatever code the shell gave.
        {false, ERROR_NO_ASSOCIATION,
         L"The manual cannot be opened: " + path +
             L" is missing.\n\nIt comes with Vistrel in its ZIP file: put \"Vistrel Manual.pdf\" beside Vistrel.exe."},
        {true, ERROR_NO_ASSOCIATION,
         L"The manual " + path +
             L" cannot be opened: no program on this computer opens PDF files.\n\nInstall a PDF viewer, or open the "
             L"file with a web browser."},
        {true, ERROR_ACCESS_DENIED,
         L"The manual " + path + L" cannot be opened: " + SystemErrorText(ERROR_ACCESS_DENIED) + L" (error 5)."},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ManualUnavailableText(path, r.found, r.error), r.expected) << r.found << " " << r.error;
}

// The menu entry, on the real shell: no manual in the program's folder.
TEST_F(ManualTest, TheMenuEntryTellsTheUserThatTheManualIsMissing) {
    auto* form = Application().CreateForm<TVistrelMainForm>();
    Application().SetMainForm(form);
    const std::wstring manual = ProgramDirectory() + L"Vistrel Manual.pdf";
    ASSERT_FALSE(FileExists(manual)) << "the test program's folder holds no manual";
    MessageBoxCloser closer(GetCurrentThreadId());
    form->ReadMe1Click();
    const std::wstring text = closer.Text(5000);
    EXPECT_NE(text.find(manual + L" is missing"), std::wstring::npos) << text;
    EXPECT_NE(Log().find(L"ERROR ReadMe1Click: " + manual + L" "), std::wstring::npos) << Log();
}

// With the manual in place: no program for PDF files is said to the user; with one, the
// manual opens in it and nothing is said. One test, as both change the one association.
TEST_F(ManualTest, OpensInTheProgramForPdfFilesOrSaysThereIsNone) {
    const std::wstring manual = folder.File(L"Vistrel Manual.pdf");
    ASSERT_TRUE(WriteFileBytes(manual, "%PDF-1.4\n"));
    {
        PdfAssociation none(L"");
        MessageBoxCloser closer(GetCurrentThreadId());
        EXPECT_FALSE(OpenManual(nullptr, folder.Path(), L"ReadMe: "));
        const std::wstring text = closer.Text(5000);
        EXPECT_NE(text.find(manual + L" cannot be opened: no program on this computer opens PDF files"),
                  std::wstring::npos)
            << text;
        EXPECT_NE(Log().find(L"ERROR ReadMe: " + manual), std::wstring::npos) << Log();
    }
    SetLogFileName(logs.File(L"log2.txt"));
    const std::wstring report = logs.File(L"viewer.txt");
    SetEnvironmentVariableW(L"VISTREL_EDITOR_OUT", report.c_str());
    {
        PdfAssociation viewer(TestBinaryDir() + L"editor_fixture.exe");
        MessageBoxCloser closer(GetCurrentThreadId());
        EXPECT_TRUE(OpenManual(nullptr, folder.Path(), L"ReadMe: "));
        const DWORD start = GetTickCount();
        while (ReadFileBytes(report).empty() && GetTickCount() - start < 30000) Sleep(50);
        Sleep(100);  // the viewer closes its report
        EXPECT_EQ(ReadLogText(report), L"1\n" + manual + L"\n");
        EXPECT_EQ(closer.Text(500), L"") << "no message";
    }
    SetEnvironmentVariableW(L"VISTREL_EDITOR_OUT", nullptr);
    EXPECT_EQ(ReadLogText(logs.File(L"log2.txt")).find(L"ERROR"), std::wstring::npos);
}
