#include "app/launch_options.h"

#include "support/paths.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

namespace {

const wchar_t kRepairSwitch[] = L"repair";
const wchar_t kRestoreSwitch[] = L"restore";
const wchar_t kQuietSwitch[] = L"quiet";
const wchar_t kFolderSwitch[] = L"folder:";
const wchar_t kUsageCaption[] = L"CFRepair 命令行用法";
const wchar_t kUsageText[] =
    L"命令行参数有误。可用的写法：\r\n\r\n"
    L"CFRepair.exe\r\n    打开主窗口\r\n"
    L"CFRepair.exe /restore\r\n    询问后撤销修复\r\n"
    L"CFRepair.exe /repair /quiet\r\n    静默修复：不显示窗口，不询问，不重启\r\n"
    L"CFRepair.exe /restore /quiet\r\n    静默撤销修复\r\n"
    L"/folder:\"D:\\游戏\\穿越火线\"\r\n    指定游戏文件夹，不再查找（与 /repair 或 /restore 同用）\r\n\r\n"
    L"带 /quiet 时的退出代码：0 已完成；3010 已完成或已登记，需重启；1 有文件失败；"
    L"2 未找到游戏文件夹；3 无需处理；87 参数错误。";

// The switch's name after its "/" or "-"; null for an argument that is no switch.
const wchar_t* SwitchName(const wchar_t* argument)
{
    return (argument[0] == L'/' || argument[0] == L'-') && argument[1] ? argument + 1 : nullptr;
}

bool IsSwitch(const wchar_t* name, const wchar_t* expected) { return name && lstrcmpiW(name, expected) == 0; }

// The arguments as the user meant them. A quoted path that ends in a
// backslash ("/folder:D:\CF\" /quiet) reaches the argument splitter as an
// escaped quote, and everything after it up to the next quote is taken into
// the same argument. A path holds no quote, so a quote inside an argument
// was that backslash, and what follows it are further arguments: lost, they
// would turn an unattended run into a usage box that nobody closes.
bool SplitArguments(const wchar_t* commandLine, std::vector<std::wstring>& split)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    if (!arguments)
        return false;
    for (int i = 1; i < count; ++i) {
        std::wstring argument = arguments[i];
        const size_t quote = argument.find(L'"');
        if (quote == std::wstring::npos) {
            split.push_back(argument);
            continue;
        }
        split.push_back(argument.substr(0, quote) + L'\\');
        const std::wstring rest = argument.substr(quote + 1);
        for (size_t start = 0; start < rest.size();) {
            const size_t end = std::min(rest.find_first_of(L" \t", start), rest.size());
            if (end > start)
                split.push_back(rest.substr(start, end - start));
            start = end + 1;
        }
    }
    LocalFree(arguments);
    return true;
}

}  // namespace

LaunchOptions ParseLaunchOptions(const wchar_t* commandLine)
{
    LaunchOptions options;
    std::vector<std::wstring> arguments;
    if (!SplitArguments(commandLine, arguments)) {
        options.mode = LaunchMode::Usage;
        return options;
    }
    // Read first, so that no box shows for a wrong line that asked for none.
    for (const std::wstring& argument : arguments)
        options.quiet = options.quiet || IsSwitch(SwitchName(argument.c_str()), kQuietSwitch);

    bool wrong = false, quietSeen = false, folderSeen = false;
    LaunchMode mode = LaunchMode::Window;
    for (size_t i = 0; i < arguments.size() && !wrong; ++i) {
        const wchar_t* name = SwitchName(arguments[i].c_str());
        if (IsSwitch(name, kRepairSwitch) || IsSwitch(name, kRestoreSwitch)) {
            wrong = mode != LaunchMode::Window;
            mode = IsSwitch(name, kRepairSwitch) ? LaunchMode::Repair : LaunchMode::Restore;
        } else if (IsSwitch(name, kQuietSwitch)) {
            wrong = quietSeen;
            quietSeen = true;
        } else if (StartsWithNoCase(name, kFolderSwitch)) {
            options.folder = name + ARRAYSIZE(kFolderSwitch) - 1;
            wrong = folderSeen || options.folder.empty();
            folderSeen = true;
        } else {
            wrong = true;
        }
    }

    if (!arguments.empty() && mode == LaunchMode::Window)
        wrong = true;  // /quiet or /folder: alone
    if (mode == LaunchMode::Repair && !options.quiet)
        wrong = true;  // a repair with questions is the window's
    options.mode = wrong ? LaunchMode::Usage : mode;
    return options;
}

int QuietConsent(void*) { return IDYES; }

int ReportUsageError(const LaunchOptions& options)
{
    if (!options.quiet)
        MessageBoxW(nullptr, kUsageText, kUsageCaption, MB_OK | MB_ICONWARNING);
    return ExitUsage;
}

int QuietExitCode(bool folderFound, bool failed, bool restartNeeded, bool changed)
{
    if (!folderFound)
        return ExitNoGameFolder;
    if (failed)
        return ExitSomeFailed;
    if (restartNeeded)
        return ExitRestartNeeded;
    return changed ? ExitAllDone : ExitNothingToDo;
}
