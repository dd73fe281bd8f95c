// Vistrel64: the 64-bit statistics collector that Vistrel starts for the statistics of
// 64-bit processes. No window; it ends when Vistrel writes the terminate command, or
// when the Vistrel that started it has ended.
#include <windows.h>

#include "Collector.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR CommandLine, int) {
    return vistrel64::RunCollector(CommandLine ? CommandLine : "");
}
