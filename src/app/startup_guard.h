#pragma once
// Start-up hardening of an elevated program that users run from folders
// anyone can write into (a Downloads folder): no DLL from the program's
// folder or the current folder may get into the process.

#include <string>

// Takes the program's and the current folder out of the DLL search. Call
// first thing, before any window, COM or shell call.
void RestrictDllSearch();

// Loads the system DLLs that Windows' own DLLs would otherwise look up by
// bare name in the program's folder: all XP and a 7 without
// SetDefaultDllDirectories have nothing else against that.
void PreloadSystemDlls();
// Their names, for the tests.
extern const wchar_t* const kPreloadedDlls[];
extern const size_t kPreloadedDllCount;

// True when a file or folder beside `exePath` would make the loader take
// DLLs from the program's folder: "<exe>.manifest" (preferred to the
// embedded manifest on XP) or "<exe>.local".
bool HasLoadRedirection(const std::wstring& exePath);
