#include "Units.h"

#include "Configuration.h"
#include "Includes.h"

void InitializeUnits() {
    InitDefaultTexts();
    InitializeConfiguration();
}

void FinalizeUnits() {
    FinalizeConfiguration();
    FinalizeIncludes();
}
