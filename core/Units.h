// Start and end of the program's units, in the fixed order that C++ cannot give
// globals of different files by itself.
#pragma once

// Order: shared texts, item table and configuration unit; later units add themselves
// here in the order they depend on each other.
void InitializeUnits();
// The reverse order of InitializeUnits.
void FinalizeUnits();
