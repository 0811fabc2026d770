#include "app/quiet_run.h"

#include <windows.h>

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"

int RunQuietRepair(const LaunchOptions& options)
{
    RestartRequired = 0;
    RepairFailed = 0;
    RepairPerformed = 0;
    AwaitingRestart = 0;
    const size_t headerLength = BeginRunRecord();

    GameSearch search;
    search.folder = options.folder;
    search.loadedUsers = true;
    const GameRepairRun run = LocateAndRepairGame(QuietConsent, nullptr, nullptr, &search);

    // The record is the window's, line for line.
    FinishRunRecord(headerLength);
    const GameRepairResult& result = run.result;
    return QuietExitCode(run.search == GameConfirmed, result.failed != 0, result.scheduled != 0,
                         result.replaced + result.scheduled != 0);
}
