#include "Configuration.h"

TConfigArray ConfigItems;
std::wstring MeasuringText;

void InitializeConfiguration() {
    SetDefaultItemLabels();
    MeasuringText = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
}

void FinalizeConfiguration() {
    ConfigItems.clear();
    MeasuringText.clear();
}
