#include "Units.h"

#include "Configuration.h"
#include "Includes.h"
#include "Tools.h"

void InitializeUnits() {
    InitDefaultTexts();
    InitializeConfiguration();
    RegisterProviders();
    InitializeProviders();
}

void FinalizeUnits() {
    FinalizeProviders();
    FinalizeConfiguration();
    FinalizeIncludes();
}
