#pragma once
// "CFRepair.exe /restore": undoes a repair with no main window. The game
// folder is found as a repair finds it, the user is asked (unless /quiet),
// the backups are put back, the run is recorded in the scan log and its
// outcome shown (or, with /quiet, only given as the exit code).

#include <windows.h>

#include "app/launch_options.h"
#include "repair/game_restore.h"

// Exit codes of the run with questions; with /quiet those of LaunchExitCode.
enum RestoreExitCode : int {
    RestoreExitDone = 0,      // every module that had a backup was put back, now or at the boot
    RestoreExitIncomplete = 1,
    RestoreExitNotRun = 2,    // no game folder, or the user answered no
    RestoreExitNothing = 3,   // a game folder, but no backup to put back
};

int RestoreExitCode(const GameRestoreResult& result);

// With options.quiet nothing is asked or shown and no restart offered.
int RunRestore(const LaunchOptions& options);
