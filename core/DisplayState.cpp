#include "DisplayState.h"

std::uint8_t DisplayMode = dmDesktop;
TVistrelMainForm* MainForm = nullptr;
TForm* BackdropForm = nullptr;
