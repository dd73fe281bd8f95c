// Vistrel: desktop system information. The window and the display modes come with the
// start-up code; for now the program initialises its units and ends.
#include <windows.h>

#include "Units.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    InitializeUnits();
    FinalizeUnits();
    return 0;
}
