#pragma once
// The way back from a repair: each module's ".morvex" backup is renamed over
// the clean copy that the repair put in its place.

#include <windows.h>

#include <string>

struct GameSearch;

struct GameRestoreResult {
    bool gameFound = false;     // a recorded folder holds a launcher
    bool backupsFound = false;  // ... and backups: the user was asked
    bool confirmed = false;     // ... and said yes
    bool held = false;          // ... and the folder chain was held; otherwise every backup failed
    int restored = 0;         // renamed into place now
    int scheduled = 0;        // renamed into place at the next boot
    int failed = 0;           // failure lines, those of awaitingRestart included
    int awaitingRestart = 0;  // left alone: a boot-time move onto it is still pending
};

// `folder` ends with a backslash; its folder chain is held open for the
// whole run. Rows without a backup are passed over; the others get one
// scan-log line each. A backup goes back only where the module is absent or
// is the store's clean copy: a module changed since the repair is kept, as
// is its backup. A backup is used up by its rename, so a restored folder
// has nothing left to restore. Sets RestartRequired for a module in use,
// which is put back at the next boot, and AwaitingRestart for one that a
// pending boot-time move still waits on.
GameRestoreResult RestoreGameBackups(const std::wstring& folder, HMODULE store = nullptr);

// True when `folder` holds a backup name of any module.
bool HoldsGameBackups(const std::wstring& folder);

// The first recorded game folder that holds backups, on the answer IDYES of
// `confirm`, has its backups put back; nothing is asked when no folder
// holds any.
GameRestoreResult LocateAndRestoreBackups(int (*confirm)(void* context), void* context,
                                          const GameSearch* where = nullptr);
