#pragma once
// The way back from a repair: each module's ".morvex" backup is renamed over
// the module it saved.

#include <windows.h>

#include <string>

struct GameRestoreResult {
    int restored = 0;   // renamed into place now
    int scheduled = 0;  // renamed into place at the next boot
    int failed = 0;     // a backup that is no plain file, or could not be put back
};

// `folder` ends with a backslash. Rows without a backup are passed over; the
// others get one scan-log line each. A backup is used up by its rename, so a
// restored folder has nothing left to restore. Sets RestartRequired for a
// module in use, which is put back at the next boot.
GameRestoreResult RestoreGameBackups(const std::wstring& folder);
