#pragma once
// "CFRepair.exe /restore": undoes a repair with no main window. The game
// folder is found as a repair finds it, the user is asked, the backups are
// put back, the run is recorded in the scan log and its outcome shown.

#include <windows.h>

// True for a command line of the program name and "/restore" (any case).
bool IsRestoreCommandLine(const wchar_t* commandLine);

// Exit codes of the run.
enum RestoreExitCode : int {
    RestoreExitDone = 0,      // every module that had a backup was put back, now or at the boot
    RestoreExitIncomplete = 1,
    RestoreExitNotRun = 2,    // no game folder, or the user answered no
};

int RunRestore();
