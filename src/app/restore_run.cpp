#include "app/restore_run.h"

#include <shellapi.h>

#include "app/main_dlg.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "repair/game_restore.h"

namespace {

const wchar_t kRestoreSwitch[] = L"/restore";
const wchar_t kRestoreConsentText[] = L"如果要撤销修复，把CrossFire的文件还原为修复前的样子，请点击“是”";
const wchar_t kRestoredText[] = L"已将CrossFire的文件还原为修复前的样子。";
const wchar_t kRestoredAtBootText[] = L"已还原CrossFire的文件，正在使用的文件将在重启后还原。";
const wchar_t kNothingToRestoreText[] = L"未发现可以还原的文件。";
const wchar_t kIncompleteText[] = L"还原未完成，详情查看扫描日志。";
const wchar_t kNoGameText[] = L"未找到CrossFire的安装文件夹，没有还原任何文件。";

struct RestoreRun {
    bool asked = false;
    bool confirmed = false;
    GameRestoreResult result;
};

int AskRestoreConsent(void* context)
{
    static_cast<RestoreRun*>(context)->asked = true;
    return MessageBoxW(nullptr, kRestoreConsentText, kGameConsentCaption, MB_YESNO);
}

void RestoreConfirmedFolder(const std::wstring& folder, void* context)
{
    RestoreRun* run = static_cast<RestoreRun*>(context);
    run->confirmed = true;
    run->result = RestoreGameBackups(folder);
}

const wchar_t* OutcomeText(const GameRestoreResult& result)
{
    if (result.failed)
        return kIncompleteText;
    if (result.scheduled)
        return kRestoredAtBootText;
    return result.restored ? kRestoredText : kNothingToRestoreText;
}

}  // namespace

bool IsRestoreCommandLine(const wchar_t* commandLine)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    if (!arguments)
        return false;
    const bool restore = count == 2 && lstrcmpiW(arguments[1], kRestoreSwitch) == 0;
    LocalFree(arguments);
    return restore;
}

int RunRestore()
{
    RestartRequired = 0;
    ResetScanLog();
    SYSTEMTIME now;
    GetLocalTime(&now);
    AppendScanLogHeader(now);
    const size_t headerLength = ScanLogBuffer.size();

    RestoreRun run;
    const GameRepairHooks hooks = {AskRestoreConsent, RestoreConfirmedFolder, &run};
    LocateGameFolder(&hooks);

    // Recorded like a repair run, also when nothing was asked or done.
    if (ScanLogBuffer.size() == headerLength)
        AppendScanLogNothingFound();
    AppendScanLogSeparator();
    SaveScanLog();
    if (RestartRequired)
        ShowRestartPrompt(kRestartPrompt);

    if (!run.asked)
        MessageBoxW(nullptr, kNoGameText, kGameConsentCaption, MB_OK);
    if (!run.confirmed)
        return RestoreExitNotRun;
    MessageBoxW(nullptr, OutcomeText(run.result), kGameConsentCaption, MB_OK);
    return run.result.failed ? RestoreExitIncomplete : RestoreExitDone;
}
