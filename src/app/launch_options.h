#pragma once
// The command line. Without arguments the program opens its window; the
// switches run a repair or a restore with no window, for the tools that
// administrators use to run one command on many machines.

#include <string>

enum class LaunchMode { Window, Repair, Restore, Usage };

struct LaunchOptions {
    LaunchMode mode = LaunchMode::Window;
    bool quiet = false;   // no window, no question, no box, never a restart
    std::wstring folder;  // named by /folder: instead of the search; empty: search
};

// The codes of a run started by a switch with /quiet, in the convention of
// Windows Installer that deployment tools already read.
enum LaunchExitCode : int {
    ExitAllDone = 0,
    ExitSomeFailed = 1,
    ExitNoGameFolder = 2,
    ExitNothingToDo = 3,
    ExitUsage = 87,            // ERROR_INVALID_PARAMETER
    ExitRestartNeeded = 3010,  // ERROR_SUCCESS_REBOOT_REQUIRED
};

// Switches are matched without regard to case, "-" serves for "/". Any
// other argument, a switch given twice, /quiet or /folder: without /repair
// or /restore, and /repair without /quiet, give LaunchMode::Usage.
LaunchOptions ParseLaunchOptions(const wchar_t* commandLine);

// The question of a run with /quiet: the switch is the consent (IDYES).
int QuietConsent(void* context);

// Shows the usage in a box, unless /quiet was given; returns ExitUsage.
int ReportUsageError(const LaunchOptions& options);

// The code of a quiet run from what it did: a failure outweighs a restart,
// a restart outweighs a change made at once.
int QuietExitCode(bool folderFound, bool failed, bool restartNeeded, bool changed);
