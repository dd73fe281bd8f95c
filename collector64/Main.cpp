// Vistrel64: the 64-bit statistics collector that Vistrel starts for 64-bit process
// statistics. Until its collection lands it starts and ends at once.
#include <windows.h>

int main() { return 0; }
