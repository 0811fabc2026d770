#include "commands/killers.h"

#include "support/file_ops.h"

#include <shlwapi.h>

#include <cwchar>

namespace {

const wchar_t kMyComputerKey[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kShellSuffix[] = L"\\shell";
const wchar_t kOpenCommandSuffix[] = L"\\shell\\open\\command";
const wchar_t kShellName[] = L"Shell";
const wchar_t kNone[] = L"none";
const wchar_t kMountPointKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";
const wchar_t kNoHiddenKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN";
const wchar_t kShowAllKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
const wchar_t kCheckedValue[] = L"CheckedValue";
const wchar_t kPoliciesKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const wchar_t kNoDriveTypeAutoRun[] = L"NoDriveTypeAutoRun";
const wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kLoad[] = L"load";
const wchar_t kIexploreKey[] = L"SOFTWARE\\Classes\\Applications\\iexplore.exe\\shell\\open\\command";
const wchar_t kHomePageKey[] =
    L"SOFTWARE\\Classes\\CLSID\\{871C5380-42A0-1069-A2EA-08002B30309D}\\shell\\OpenHomePage\\Command";
const wchar_t kIexploreProgram[] = L"Internet Explorer\\iexplore.exe\"";
const wchar_t kIexploreArgument[] = L" %1";
const wchar_t kVbs[] = L".vbs";
const wchar_t kFolderClass[] = L"Folder";
const wchar_t kFolderCommand[] = L"%SystemRoot%\\Explorer.exe /idlist,%I,%L";
const wchar_t kClassesRootName[] = L"HKEY_CLASSES_ROOT\\";
const wchar_t kCurrentUserName[] = L"HKEY_CURRENT_USER\\";
const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kUserinit[] = L"Userinit";
const wchar_t kUserinitProgram[] = L"userinit.exe";
const wchar_t kExplorerProgram[] = L"explorer.exe";
const char kAutoRunLabel[] =
    "\xbd\xfb\xd6\xb9U\xc5\xcc\xcd\xa8\xb9\xfd" "Autorun.inf\xd7\xd4\xb6\xaf\xd4\xcb\xd0\xd0 ";  // 禁止U盘通过Autorun.inf自动运行
const char kSpace[] = " ";
const wchar_t kQuote[] = L"\"";
const wchar_t kBackslash[] = L"\\";

const wchar_t kRegFxResult[] = L"异常注册表修复";

std::wstring BrowserOpenCommand() { return kQuote + ProgramFilesFolder() + kIexploreProgram + kIexploreArgument; }

std::wstring BrowserHomePageCommand() { return kQuote + ProgramFilesFolder() + kIexploreProgram; }

// A label that is a registry path followed by a tab.
void LogKeyLabel(const std::wstring& path)
{
    LogText(path.c_str());
    LogLabel(kTab);
}

// Takes the script's name from a hijacked command: the text after the last
// ":" that follows the first ":\" (a drive path holding a named stream).
// False when there is no such ":"; an earlier name is kept.
bool CaptureScriptName(const wchar_t* text, std::wstring& name)
{
    const wchar_t* base = text;
    if (const wchar_t* drive = wcsstr(text, L":\\"))
        base = drive + 2;
    const wchar_t* colon = wcsrchr(base, L':');
    if (!colon)
        return false;
    if (name.empty())
        name = colon + 1;
    return true;
}

struct NumberSetting {
    HKEY root;
    const wchar_t* key;
    const wchar_t* value;
    DWORD fallback;
    DWORD hijacked;
    DWORD repaired;
};

struct CommandSetting {
    HKEY root;
    const wchar_t* key;
    const wchar_t* value;
    std::wstring repaired;
};

}  // namespace

void CKillerForOneKB::RepairHijackedSettings()
{
    auto steps = [this]() {
        const std::wstring myComputerShell = std::wstring(kMyComputerKey) + kShellSuffix;
        if (cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, myComputerShell.c_str())) {
            wchar_t text[kRegTextChars];
            ReadRegText(key.Get(), nullptr, text);
            if (!StrStrIW(text, kNone)) {
                key.Reset();
                if (cf::UniqueKey parent = OpenKey(HKEY_LOCAL_MACHINE, kMyComputerKey))
                    DeleteKeyRecursive(parent.Get(), kShellName);
                ++m_nRepaired;
            }
            if (StopRequested())
                return;
        }

        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (cf::UniqueKey key = OpenKey(root, kMountPointKey)) {
                if (DeleteKeyRecursive(key.Get(), kShellName) == ERROR_SUCCESS)
                    ++m_nRepaired;
                if (StopRequested())
                    return;
            }
        }

        const NumberSetting numbers[] = {
            {HKEY_LOCAL_MACHINE, kNoHiddenKey, kCheckedValue, 0, 3, 2},
            {HKEY_LOCAL_MACHINE, kShowAllKey, kCheckedValue, 0, 2, 1},
            {HKEY_CURRENT_USER, kPoliciesKey, kNoDriveTypeAutoRun, 1, 0, 0x91},
        };
        for (const NumberSetting& setting : numbers) {
            if (cf::UniqueKey key = OpenKey(setting.root, setting.key)) {
                if (ReadRegNumber(key.Get(), setting.value, setting.fallback) == setting.hijacked) {
                    WriteRegNumber(key.Get(), setting.value, setting.repaired);
                    ++m_nRepaired;
                }
                if (StopRequested())
                    return;
            }
        }

        std::vector<CommandSetting> commands = {
            {HKEY_CURRENT_USER, kWindowsKey, kLoad, std::wstring()},
            {HKEY_LOCAL_MACHINE, kIexploreKey, nullptr, BrowserOpenCommand()},
            {HKEY_LOCAL_MACHINE, kHomePageKey, nullptr, BrowserHomePageCommand()},
        };
        for (const AssociationRow& row : kAssociations)
            commands.push_back({HKEY_LOCAL_MACHINE, row.key, nullptr, DefaultCommandText(row.command)});
        for (const CommandSetting& setting : commands) {
            if (cf::UniqueKey key = OpenKey(setting.root, setting.key)) {
                wchar_t text[kRegTextChars];
                ReadRegText(key.Get(), setting.value, text);
                if (StrStrIW(text, kVbs) && CaptureScriptName(text, m_strScriptName)) {
                    WriteRegText(key.Get(), setting.value, setting.repaired.c_str());
                    ++m_nRepaired;
                }
                if (StopRequested())
                    return;
            }
        }
    };
    steps();

    // The name ends at its first double quote: what follows belonged to
    // the hijacked command line, not to the file name.
    size_t quote = m_strScriptName.find(L'"');
    if (quote != std::wstring::npos)
        m_strScriptName.resize(quote);
}

int RepairHiddenFilesOption()
{
    const struct {
        const wchar_t* key;
        DWORD healthy;
    } rows[] = {{kNoHiddenKey, 2}, {kShowAllKey, 1}};
    for (const auto& row : rows) {
        cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, row.key);
        if (!key)
            continue;
        DWORD old = ReadRegNumber(key.Get(), kCheckedValue, 0);
        if (old == row.healthy)
            continue;
        LogKeyLabel(row.key);
        LogNumber(old);
        LogEnd();
        WriteRegNumber(key.Get(), kCheckedValue, row.healthy);
    }
    return 1;
}

int RepairFolderOpenCommands()
{
    wchar_t text[kRegTextChars];
    const std::wstring myComputerCommand = std::wstring(kMyComputerKey) + kOpenCommandSuffix;
    if (cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, myComputerCommand.c_str())) {
        if (ReadRegText(key.Get(), nullptr, text) && !CommandFilesExist(text, nullptr)) {
            key.Reset();
            if (cf::UniqueKey parent = OpenKey(HKEY_LOCAL_MACHINE, kMyComputerKey))
                DeleteKeyRecursive(parent.Get(), kShellName);
            LogKeyLabel(myComputerCommand);
            LogText(text);
            LogEnd();
        }
    }

    const std::wstring folderCommand = std::wstring(kFolderClass) + kOpenCommandSuffix;
    if (cf::UniqueKey key = OpenKey(HKEY_CLASSES_ROOT, folderCommand.c_str())) {
        if (ReadRegText(key.Get(), nullptr, text) && !CommandFilesExist(text, nullptr)) {
            WriteRegText(key.Get(), nullptr, kFolderCommand);
            LogKeyLabel(kClassesRootName + folderCommand);
            LogText(text);
            LogEnd();
        }
    }
    return 1;
}

int RepairWinlogon()
{
    cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kWinlogonKey);
    if (!key)
        return 1;
    wchar_t text[kRegTextChars];
    std::wstring systemFolder;
    GetSystemDirWithSlash(systemFolder);
    const std::wstring userinit = systemFolder + kUserinitProgram;
    if (ReadRegString(key.Get(), kUserinit, text) && text[0]) {
        // Commas become NULs as the walk goes, so `text` reads as the first entry.
        wchar_t* entry = text;
        for (;;) {
            wchar_t* comma = wcschr(entry, L',');
            if (comma)
                *comma = L'\0';
            // Winlogon passes over empty entries, so they are no fault.
            if (*entry && !LocateSystemFile(entry, nullptr)) {
                LogKeyLabel(std::wstring(kWinlogonKey) + kBackslash + kUserinit);
                LogText(text);
                LogEnd();
                WriteRegText(key.Get(), kUserinit, userinit.c_str());
            }
            if (!comma || comma[1] == L'\0')
                break;
            entry = comma + 1;
        }
    }

    // A Shell value that is missing or not a string is left as it is.
    if (ReadRegString(key.Get(), kShellName, text) && !LocateSystemFile(text, nullptr)) {
        std::wstring windowsFolder;
        GetWindowsDirWithSlash(windowsFolder);
        LogKeyLabel(std::wstring(kWinlogonKey) + kBackslash + kShellName);
        LogText(text);
        LogEnd();
        WriteRegText(key.Get(), kShellName, (windowsFolder + kExplorerProgram).c_str());
    }
    return 1;
}

int RepairAutoRunPolicy()
{
    cf::UniqueKey key = OpenKey(HKEY_CURRENT_USER, kPoliciesKey);
    if (!key)
        return 1;
    const DWORD removableDrives = 0x04;
    DWORD old = ReadRegNumber(key.Get(), kNoDriveTypeAutoRun, 1);
    if (!(old & removableDrives)) {
        LogLabel(kAutoRunLabel);
        LogText(kPoliciesKey);
        LogLabel(kSpace);
        LogText(kNoDriveTypeAutoRun);
        LogLabel(kTab);
        LogNumber(old);
        LogEnd();
        WriteRegNumber(key.Get(), kNoDriveTypeAutoRun, old | removableDrives);
    }
    return 1;
}

int RepairWindowsLoad()
{
    cf::UniqueKey key = OpenKey(HKEY_CURRENT_USER, kWindowsKey);
    if (!key)
        return 1;
    wchar_t text[kRegTextChars];
    if (ReadRegText(key.Get(), kLoad, text) && !CommandFilesExist(text, nullptr)) {
        LogText((kCurrentUserName + std::wstring(kWindowsKey) + kBackslash + kLoad).c_str());
        LogLabel(kSpace);
        LogLabel(kTab);
        LogText(text);
        LogEnd();
        WriteRegText(key.Get(), kLoad, L"");
    }
    return 1;
}

int RepairBrowserCommands()
{
    const struct {
        const wchar_t* key;
        std::wstring command;
    } rows[] = {{kIexploreKey, BrowserOpenCommand()}, {kHomePageKey, BrowserHomePageCommand()}};
    for (const auto& row : rows) {
        cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, row.key);
        if (!key)
            continue;
        wchar_t text[kRegTextChars];
        if (ReadRegText(key.Get(), nullptr, text) && !CommandFilesExist(text, nullptr)) {
            LogKeyLabel(row.key);
            LogText(text);
            LogEnd();
            WriteRegText(key.Get(), nullptr, row.command.c_str());
        }
    }
    return 1;
}

int RunRegistryRepairs()
{
    RepairHiddenFilesOption();
    RepairFolderOpenCommands();
    RepairFileAssociations();
    return 1;
}

int32_t CKillerForRegFX::Execute(ICommunication* comm)
{
    m_pComm = comm;
    RunRegistryRepairs();
    return 0;
}

void CKillerForRegFX::GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const
{
    removed = m_nRemoved;
    repaired = m_nRepaired;
    text = kRegFxResult;
}
