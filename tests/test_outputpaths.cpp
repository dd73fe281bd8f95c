// Where the files the program writes land when they are named without a full path.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "OutputPaths.h"
#include "Utils.h"

TEST(OutputPaths, RelativePathsGoBesideTheProgramUnlessTypedOnTheCommandLine) {
    // A screen saver: Windows starts it in the system folder, where the user may not write.
    const std::wstring program = L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\", start = L"C:\\Windows\\System32";
    constexpr TPathSource config = TPathSource::Configuration, typed = TPathSource::CommandLine;
    const struct {
        const wchar_t* path;
        TPathSource source;
        const wchar_t* expected;
    } rows[] = {
        // csv:, log=, a data dump's folder, a snapshot, named without a folder.
        {L"cpu.csv", config, L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\cpu.csv"},
        {L"dumps\\today", config, L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\dumps\\today"},
        {L"logs/vistrel.log", config, L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\logs/vistrel.log"},
        {L".\\here.csv", config, L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\.\\here.csv"},
        {L"..\\beside.csv", config, L"C:\\Users\\ann\\AppData\\Local\\Vistrel\\..\\beside.csv"},
        // /debug= and /ini=: where they were typed.
        {L"debug.txt", typed, L"C:\\Windows\\System32\\debug.txt"},
        {L"sub\\my.ini", typed, L"C:\\Windows\\System32\\sub\\my.ini"},
        // Paths that name their place stay as written, whatever their source.
        {L"D:\\data\\cpu.csv", config, L"D:\\data\\cpu.csv"},
        {L"d:/data/cpu.csv", typed, L"d:/data/cpu.csv"},
        {L"\\\\server\\share\\cpu.csv", config, L"\\\\server\\share\\cpu.csv"},
        {L"\\\\?\\C:\\long\\cpu.csv", config, L"\\\\?\\C:\\long\\cpu.csv"},
        {L"\\data\\cpu.csv", config, L"\\data\\cpu.csv"},  // a folder of the current drive
        {L"C:cpu.csv", config, L"C:cpu.csv"},              // the drive's current folder
        {L"", config, L""},
        {L"", typed, L""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ResolveOutputPath(r.path, program, start, r.source), r.expected)
            << WideToUtf8(r.path) << (r.source == typed ? " typed" : " configured");
    // Folders given without a trailing separator, or none at all.
    EXPECT_EQ(ResolveOutputPath(L"a.csv", L"C:\\Vistrel", L"C:\\Start\\", TPathSource::Configuration), L"C:\\Vistrel\\a.csv");
    EXPECT_EQ(ResolveOutputPath(L"a.txt", L"C:\\Vistrel", L"C:\\Start\\", TPathSource::CommandLine), L"C:\\Start\\a.txt");
    EXPECT_EQ(ResolveOutputPath(L"a.csv", L"", L"", TPathSource::Configuration), L"a.csv");
}

TEST(OutputPaths, ThisProcessesFolders) {
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(StartFolder(), current);
    EXPECT_EQ(ConfiguredOutputPath(L"x.csv"), ProgramDirectory() + L"x.csv");
    EXPECT_EQ(CommandLinePath(L"x.txt"), std::wstring(current) + L"\\x.txt");
    EXPECT_EQ(ConfiguredOutputPath(L"C:\\x.csv"), L"C:\\x.csv");
}
