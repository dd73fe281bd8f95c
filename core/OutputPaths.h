// Where the files that the program writes land when they are named without a full path.
// Windows starts a program in whatever folder suits the starter: a screen saver in the
// system folder, an autostart entry often in the user's profile. A file named in the
// configuration (csv:, log=, a data dump's folder, a snapshot) goes beside the program
// whatever that folder is; a path typed on the command line keeps the meaning it had
// where it was typed, relative to the folder the program was started in.
#pragma once

#include <string>

enum class TPathSource { CommandLine, Configuration };

// Whether Path names its place whole: a drive and a folder ("C:\x", "C:/x"), a network
// share ("\\server\share\x") or a device ("\\?\C:\x"), or a folder of the current drive
// ("\x") or a path on a drive's current folder ("C:x"), which name their drive themselves.
bool NamesItsFolder(const std::wstring& Path);

// Path as the program writes it: as written when it names its folder (or is empty); else
// under StartFolder when it came from the command line, under ProgramFolder when it came
// from the configuration. The folders may end with a separator or not.
std::wstring ResolveOutputPath(const std::wstring& Path, const std::wstring& ProgramFolder,
                               const std::wstring& StartFolder, TPathSource Source);

// The folder this process was started in: the current folder at the first call, which
// the main block makes before anything else.
const std::wstring& StartFolder();

// ResolveOutputPath with this process's folders.
std::wstring ConfiguredOutputPath(const std::wstring& Path);
std::wstring CommandLinePath(const std::wstring& Path);
