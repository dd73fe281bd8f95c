// Vistrel.exe with Vistrel64.exe beside it, as a user runs it: started from its folder in
// window mode with a debug log, a PROCESSMEM and a TOPPROCESSMEM item, then closed, and
// once more, then killed. The collector serves it from the first start and never
// outlives it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "AreaHelpers.h"
#include "Inspector.h"
#include "TestFiles.h"

namespace {

const char kIni[] =
    "[options]\r\n"
    "vistrel64=1\r\n"
    "[items]\r\n"
    "processmem=active:1,key:Vistrel.exe,display:%1 %7\r\n"
    "topprocessmem=active:1,counter:ws\r\n";

std::unique_ptr<VistrelProcess> StartInItsFolder() {
    return std::make_unique<VistrelProcess>(L"/f /debug=log.txt", false, [](const TempFolder& folder) {
        ASSERT_TRUE(CopyFileW((TestBinaryDir() + L"Vistrel64.exe").c_str(), folder.File(L"Vistrel64.exe").c_str(),
                              FALSE));
        ASSERT_TRUE(WriteFileBytes(folder.File(L"vistrel.ini"), kIni));
    });
}

// The thread sums of the PROCESSMEM lines of a log ("%1 %7": the last number of each).
std::vector<double> ThreadSums(const std::wstring& Log) {
    const std::wstring tag = L"GetProcessMemory: Vistrel.exe : return results ";
    std::vector<double> sums;
    for (std::size_t at = Log.find(tag); at != std::wstring::npos; at = Log.find(tag, at + tag.size())) {
        const std::size_t from = at + tag.size();
        const std::size_t to = Log.find_first_of(L"\r\n", from);
        const std::wstring text = Log.substr(from, to == std::wstring::npos ? std::wstring::npos : to - from);
        const std::size_t blank = text.rfind(L' ');
        if (blank != std::wstring::npos) sums.push_back(std::wcstod(text.c_str() + blank + 1, nullptr));
    }
    return sums;
}

bool ShowsCollectorThreads(const VistrelProcess& Vistrel) {
    for (double threads : ThreadSums(Vistrel.LogText()))
        if (threads > 0) return true;
    return false;
}

// The lines logged at ERROR.
std::vector<std::wstring> ErrorLines(const std::wstring& Log) {
    std::vector<std::wstring> lines;
    std::size_t from = 0;
    while (from < Log.size()) {
        std::size_t to = Log.find_first_of(L"\r\n", from);
        if (to == std::wstring::npos) to = Log.size();
        const std::wstring line = Log.substr(from, to - from);
        if (line.find(L" ERROR ") != std::wstring::npos) lines.push_back(line);
        from = to + 1;
    }
    return lines;
}

// The one collector running, once Vistrel has started it.
UniqueHandle WaitForCollector() {
    UniqueHandle collector;
    WaitFor(
        [&] {
            const std::vector<DWORD> ids = ProcessIdsNamed(L"Vistrel64.exe");
            if (ids.size() != 1) return false;
            collector.reset(OpenProcess(SYNCHRONIZE, FALSE, ids[0]));
            return collector.valid();
        },
        20000);
    return collector;
}

bool EndsWithin(const UniqueHandle& Process, DWORD Ms) {
    return WaitForSingleObject(Process.get(), Ms) == WAIT_OBJECT_0;
}

}  // namespace

TEST(VistrelWithCollector, ServesFromTheFirstStartAndEndsWhenVistrelIsClosedOrKilled) {
    EndRunningCollectors();
    {
        const auto vistrel = StartInItsFolder();
        const UniqueHandle collector = WaitForCollector();
        ASSERT_TRUE(collector.valid());
        EXPECT_TRUE(WaitFor([&] { return ShowsCollectorThreads(*vistrel); }, 40000)) << vistrel->LogText();
        // A close request, as "taskkill" without /f sends it to the program's windows.
        EXPECT_EQ(RunProcess(L"taskkill.exe /pid " + std::to_wstring(vistrel->Id())), 0u);
        EXPECT_TRUE(EndsWithin(collector, 12000)) << "the collector outlived the closed Vistrel";
        EXPECT_NE(vistrel->WaitExit(20000), 999u);
        EXPECT_EQ(ErrorLines(vistrel->LogText()), std::vector<std::wstring>{});
    }
    {
        const auto vistrel = StartInItsFolder();
        const UniqueHandle collector = WaitForCollector();
        ASSERT_TRUE(collector.valid());
        EXPECT_TRUE(WaitFor([&] { return ShowsCollectorThreads(*vistrel); }, 40000)) << vistrel->LogText();
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, vistrel->Id()));
        ASSERT_TRUE(process.valid());
        ASSERT_TRUE(TerminateProcess(process.get(), 1));
        EXPECT_TRUE(EndsWithin(collector, 30000)) << "the collector outlived the killed Vistrel";
        EXPECT_EQ(ErrorLines(vistrel->LogText()), std::vector<std::wstring>{});
    }
    EndRunningCollectors();  // a collector that outlived a failed check
}
