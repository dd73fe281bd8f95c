#include "MainLoopState.h"

std::uint8_t Updating = 0;
std::uint8_t Reloading = 0;
std::uint8_t ReloadPending = 0;
std::uint8_t RelayoutPending = 0;
std::uint8_t DriveCheckPending = 1;
