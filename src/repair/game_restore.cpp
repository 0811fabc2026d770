#include "repair/game_restore.h"

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "support/file_ops.h"
#include "support/unique.h"

namespace {

const char kRestoredLabel[] = "\xbb\xb9\xd4\xad" "CrossFile" "\xce\xc4\xbc\xfe" "\t";  // 还原CrossFile文件
const char kRestoreFailedLabel[] =
    "\xbb\xb9\xd4\xad" "CrossFile" "\xce\xc4\xbc\xfe" "\xca\xa7\xb0\xdc" "\t";  // 还原CrossFile文件失败
const char kLineEnd[] = "\r\n";

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
// every moment. A module in use can be neither replaced nor deleted, so the
// rename waits for the boot.
Outcome PutBackupBack(const std::wstring& folder, const std::wstring& backup, const std::wstring& dll)
{
    if (PathCrossesReparsePoint(folder))
        return Failed;
    const PathState module = ExaminePath(dll);
    if (module == PathRefused)
        return Failed;
    if (module == PathMissing)
        return MoveFileW(backup.c_str(), dll.c_str()) ? Restored : Failed;
    if (MoveFileExW(backup.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING))
        return Restored;
    if (PathCrossesReparsePoint(folder) ||
        !MoveFileExW(backup.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return Failed;
    RestartRequired = 1;
    return Scheduled;
}

void AppendRestoreLine(const char* label, size_t length, const std::wstring& dll)
{
    AppendScanLog(label, length);
    AppendScanLogWide(dll.c_str());
    AppendScanLog(kLineEnd, sizeof(kLineEnd) - 1);
}

}  // namespace

GameRestoreResult RestoreGameBackups(const std::wstring& folder)
{
    GameRestoreResult result;
    for (size_t i = 0; i < GameModuleCount; ++i) {
        const GameModuleEntry& entry = GameModuleTable[i];
        const std::wstring dll = folder + entry.moduleFile;
        const std::wstring backup = folder + entry.backupFile;
        const PathState state = ExamineBackup(backup);
        if (state == PathMissing)
            continue;
        const Outcome outcome = state == PathPlain ? PutBackupBack(folder, backup, dll) : Failed;
        if (outcome == Failed) {
            ++result.failed;
            AppendRestoreLine(kRestoreFailedLabel, sizeof(kRestoreFailedLabel) - 1, dll);
            continue;
        }
        // A clean copy an earlier repair left for the boot would undo this at
        // the restart; without its source that move does nothing. Removed by
        // name, so a link there goes and its target stays.
        DeleteFileW((folder + entry.tempFile).c_str());
        ++(outcome == Restored ? result.restored : result.scheduled);
        AppendRestoreLine(kRestoredLabel, sizeof(kRestoredLabel) - 1, dll);
    }
    return result;
}
