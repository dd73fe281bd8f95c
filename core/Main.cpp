// Vistrel: desktop system information. The main block reads the switches, chooses the
// display mode, creates its forms, runs the message loop and shuts down in order. Every
// way the program ends runs the same ordered end (ProgramEnd).
#include <windows.h>

#include <cstdint>

#include "Configuration.h"
#include "DisplayModes.h"
#include "Gdi.h"
#include "InfoFiles.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "MainLoop.h"
#include "OutputPaths.h"
#include "ProgramEnd.h"
#include "Units.h"
#include "Utils.h"
#include "VrControls.h"
#include "WinApp.h"

namespace {

// The switch debug: its file becomes the log, with every level.
void ApplyDebugSwitch() {
    const std::wstring debugFile = GetCmdLineSwitchValue("debug");
    if (debugFile.empty()) return;
    // Typed on the command line: a relative name means where it was typed.
    SetLogFileName(CommandLinePath(debugFile));
    LogLevels = static_cast<std::uint8_t>(LogLevels.load() | 1u);
    WriteLog(L"Command Line Debug: " + debugFile, llDebug);
}

int MainBlock() {
    if (HasCmdLineSwitch("e")) {
        // A language file that cannot be written is logged: to the debug switch's file.
        ApplyDebugSwitch();
        GenerateLanguageFiles();
        return 0;
    }

    Application().Initialize();
    RegisterHandPointCursor();

    ApplyDebugSwitch();

    switch (ChooseModeSwitch()) {
        case 'f':
            MainForm = CreateWindowForm();
            break;
        case 's':
            MainForm = CreateScreenSaverForms();
            break;
        case 'p': {
            std::intptr_t handle = -1;
            if (PreviewWindowArgument(ProgramArguments(), handle))
                RunScreenSaverPreview(reinterpret_cast<HWND>(handle));
            return 0;
        }
        case 'c':
            return 0;
        default:
            MainForm = CreateDesktopForms();
            break;
    }

    // The main loop drives the form from here on; the first tick loads the configuration
    // and starts the collection thread, so the window is empty until then.
    StartMainLoop(MainForm);

    Application().Run();
    WriteLog(L"GDI objects: " + std::to_wstring(LiveGdiObjects()), llDebug);
    // The ordered end follows in the program-end routine, the same for every way out.
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The folder that relative paths typed on the command line mean, before anything runs.
    StartFolder();
    // "/p:NNNN" and "/c:NNNN" become "/p NNNN" and "/c NNNN" before anything reads them.
    SetProgramArguments(NormalizeScreenSaverArguments(ProgramArguments()));
    InitializeUnits();
    SetProgramEndProc(ProgramEndProc);
    int exitCode = 0;
    try {
        exitCode = MainBlock();
    } catch (...) {
        Application().HandleException(L"TApplication");
        exitCode = 1;
    }
    RunProgramEndProc(static_cast<UINT>(exitCode));
    return exitCode;
}
