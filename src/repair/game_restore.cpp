#include "repair/game_restore.h"

#include <vector>

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/boot_moves.h"
#include "repair/game_repair.h"
#include "support/file_ops.h"
#include "support/unique.h"

namespace {

const char kRestoredLabel[] = "\xbb\xb9\xd4\xad" "CrossFile" "\xce\xc4\xbc\xfe" "\t";  // 还原CrossFile文件
const char kRestoreFailedLabel[] =
    "\xbb\xb9\xd4\xad" "CrossFile" "\xce\xc4\xbc\xfe" "\xca\xa7\xb0\xdc" "\t";  // 还原CrossFile文件失败

// A backup of nothing is no backup: an empty one is refused too.
PathState ExamineBackup(const std::wstring& path)
{
    ULONGLONG size = 0;
    const PathState state = ExaminePath(path, &size);
    return state == PathPlain && size == 0 ? PathRefused : state;
}

enum Outcome { Restored, Scheduled, Failed };

// Only renames: no byte is written, so a link planted at either name is
// never written through, and the module is the old file or the backup at
// every moment. Only the clean copy a repair wrote is replaced: a module the
// game or the user changed since (or one that cannot be read to tell) is
// kept. A module in use can be neither replaced nor deleted, so the rename
// waits for the boot.
Outcome PutBackupBack(const std::wstring& backup, const std::wstring& dll, WORD resourceId, HMODULE store)
{
    const PathState module = ExaminePath(dll);
    if (module == PathMissing)
        return MoveFileW(backup.c_str(), dll.c_str()) ? Restored : Failed;
    if (module == PathRefused || !IsStoreModule(dll, resourceId, store))
        return Failed;
    if (MoveFileExW(backup.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING))
        return Restored;
    if (!MoveFileExW(backup.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return Failed;
    RestartRequired = 1;
    return Scheduled;
}

// A pending move onto the module is left to the boot: one more would undo
// it or be undone by it. Only this very rename, already waiting, counts as
// scheduled.
Outcome SettleOrPutBack(const GameModuleEntry& entry, const std::wstring& folder,
                        const std::vector<BootMove>& moves, HMODULE store, bool& awaiting)
{
    const std::wstring names[] = {folder + entry.moduleFile, folder + entry.backupFile, folder + entry.tempFile};
    switch (FindBootMove(moves, names, ARRAYSIZE(names), names[1])) {
    case NoBootMove:
        return PutBackupBack(names[1], names[0], entry.resourceId, store);
    case BootMoveOwn:
        RestartRequired = 1;
        return Scheduled;
    case BootMoveOther:
        break;
    }
    awaiting = true;
    return Failed;
}

struct RestoreSearch {
    int (*confirm)(void* context);
    void* context;
    GameRestoreResult result;
};

void RestoreConfirmedFolder(const std::wstring& folder, void* context)
{
    RestoreSearch* search = static_cast<RestoreSearch*>(context);
    search->result = RestoreGameBackups(folder);
    search->result.confirmed = true;
}

bool AcceptFolderWithBackups(const std::wstring& folder, void*) { return HoldsGameBackups(folder); }

}  // namespace

GameRestoreResult RestoreGameBackups(const std::wstring& folder, HMODULE store)
{
    GameRestoreResult result;
    std::vector<cf::UniqueFile> held;
    result.held = HoldFolderChain(folder, held);
    const std::vector<BootMove> moves = result.held ? ReadPendingBootMoves() : std::vector<BootMove>();
    for (size_t i = 0; i < GameModuleCount; ++i) {
        const GameModuleEntry& entry = GameModuleTable[i];
        const std::wstring dll = folder + entry.moduleFile;
        const PathState state = ExamineBackup(folder + entry.backupFile);
        if (state == PathMissing)
            continue;
        bool awaiting = false;
        const Outcome outcome =
            result.held && state == PathPlain ? SettleOrPutBack(entry, folder, moves, store, awaiting) : Failed;
        if (outcome == Failed) {
            ++result.failed;
            if (awaiting) {
                AwaitingRestart = 1;
                ++result.awaitingRestart;
            }
            AppendScanLogLine(kRestoreFailedLabel, sizeof(kRestoreFailedLabel) - 1, dll.c_str());
            continue;
        }
        // A clean copy an earlier repair left for the boot is not needed
        // now. Removed by name, so a link there goes and its target stays.
        DeleteFileW((folder + entry.tempFile).c_str());
        ++(outcome == Restored ? result.restored : result.scheduled);
        AppendScanLogLine(kRestoredLabel, sizeof(kRestoredLabel) - 1, dll.c_str());
    }
    return result;
}

bool HoldsGameBackups(const std::wstring& folder)
{
    for (size_t i = 0; i < GameModuleCount; ++i) {
        if (ExaminePath(folder + GameModuleTable[i].backupFile) != PathMissing)
            return true;
    }
    return false;
}

GameRestoreResult LocateAndRestoreBackups(int (*confirm)(void* context), void* context, const GameSearch* where)
{
    RestoreSearch search = {confirm, context, GameRestoreResult()};
    const GameRepairHooks hooks = {AskSearchQuestion<RestoreSearch>, RestoreConfirmedFolder, &search,
                                   AcceptFolderWithBackups};
    const GameFolderSearch found = LocateGameFolder(&hooks, nullptr, where);
    search.result.gameFound = found != NoGameFolder;
    search.result.backupsFound = found == GameDeclined || found == GameConfirmed;
    return search.result;
}
