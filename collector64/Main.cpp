// Vistrel64: the 64-bit statistics collector that Vistrel starts for the statistics of
// 64-bit processes. No window; it ends when Vistrel writes the terminate command.
#include <windows.h>

#include "Collector.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return vistrel64::RunCollector(); }
