// Start and end of the providers: the debug privilege, the optional Windows functions
// bound by name, the program's start time, and the provider caches emptied at the end.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// The optional functions' table, which the start-up fills: users of this header read it.
#include "OptionalApis.h"

// Enables (true) or disables one privilege of the process's token; true when the system
// reports no error after the change (a privilege the account lacks gives false).
bool SetPrivilege(bool Enable, const std::string& PrivilegeName);

// The local date and time recorded by InitializeProviders (the program's start time).
SYSTEMTIME ProgramStartTime();

// Once at program start, before any item is gathered: the debug privilege, the optional
// functions, the start time.
void InitializeProviders();
// Once at program end: empties the provider caches and unbinds the optional functions.
void FinalizeProviders();

// Enters the providers' gathering routines into ItemTypeTable.
void RegisterProviders();
