#include "app/restore_run.h"

#include "app/app_texts.h"
#include "app/main_dlg.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "repair/game_restore.h"

namespace {

const wchar_t kRestoreConsentText[] = L"如果要撤销修复，把CrossFire的文件还原为修复前的样子，请点击“是”";
const wchar_t kRestoredText[] = L"已将CrossFire的文件还原为修复前的样子。";
const wchar_t kRestoredAtBootText[] = L"已还原CrossFire的文件，正在使用的文件将在重启后还原。";
const wchar_t kNothingToRestoreText[] = L"未发现可以还原的文件。";
const wchar_t kIncompleteText[] = L"有文件未还原，详情查看扫描日志。";
const wchar_t kRestartFirstText[] = L"有文件还在等待重启后替换，没有还原。请先重启电脑，再运行还原。";
const wchar_t kNoGameText[] = L"未找到CrossFire的安装文件夹，没有还原任何文件。";

int AskRestoreConsent(void*) { return MessageBoxW(nullptr, kRestoreConsentText, kGameConsentCaption, MB_YESNO); }

// The box that ends the run; a record that could not be written is told too.
void ShowOutcome(const wchar_t* text, bool logSaved)
{
    std::wstring shown = text;
    if (!logSaved)
        shown += kLogUnsavedText;
    MessageBoxW(nullptr, shown.c_str(), kGameConsentCaption, MB_OK);
}

const wchar_t* OutcomeText(const GameRestoreResult& result)
{
    if (!result.gameFound)
        return kNoGameText;
    if (!result.backupsFound)
        return kNothingToRestoreText;
    if (result.awaitingRestart)
        return kRestartFirstText;
    if (result.failed)
        return kIncompleteText;
    if (result.scheduled)
        return kRestoredAtBootText;
    return result.restored ? kRestoredText : kNothingToRestoreText;
}

}  // namespace

int RunRestore(const LaunchOptions& options)
{
    RestartRequired = 0;
    AwaitingRestart = 0;
    const size_t headerLength = BeginRunRecord();

    GameSearch search;
    search.folder = options.folder;
    search.loadedUsers = options.quiet;
    const GameRestoreResult result =
        LocateAndRestoreBackups(options.quiet ? QuietConsent : AskRestoreConsent, nullptr, &search);

    // Recorded like a repair run, also when nothing was asked or done.
    const bool logSaved = FinishRunRecord(headerLength);
    if (options.quiet)
        return QuietExitCode(result.gameFound, result.failed != 0, result.scheduled != 0,
                             result.restored + result.scheduled != 0);
    if (RestartRequired) {
        // The restart box restarts only with the privilege enabled; no main
        // window has done it in this mode.
        EnableShutdownPrivilege();
        ShowRestartPrompt(kRestartPrompt);
    }

    // A "no" is the user's own answer: nothing more to tell.
    if (!result.backupsFound || result.confirmed)
        ShowOutcome(OutcomeText(result), logSaved);
    return RestoreExitCode(result);
}

int RestoreExitCode(const GameRestoreResult& result)
{
    if (!result.gameFound || (result.backupsFound && !result.confirmed))
        return RestoreExitNotRun;
    if (!result.backupsFound || result.restored + result.scheduled + result.failed == 0)
        return RestoreExitNothing;
    return result.failed ? RestoreExitIncomplete : RestoreExitDone;
}
