#include "commands/killers.h"

#include "support/file_ops.h"

#include <shlwapi.h>

#include <cwchar>

namespace {

const wchar_t kAllEntries[] = L"*.*";
const wchar_t kShortcut[] = L".lnk";
const wchar_t kProgram[] = L".exe";
const wchar_t kExplorerStream[] = L"explorer.exe:";
const wchar_t kSessionManagerStream[] = L"smss.exe:";
const wchar_t kCleanAutorun[] = L"Autorun.inf";
const wchar_t kAutorunInf[] = L"autorun.inf";
const wchar_t kAutoRunSection[] = L"AutoRun";
const wchar_t kOpenKey[] = L"Open";
const wchar_t kShellExecuteKey[] = L"ShellExecute";

const wchar_t* const kCleanSkips[] = {
    L"\\pagefile.sys", L"\\System Volume Information", L"\\MSOCache", L"\\Recycle", L"\\Documents and Settings",
    L"\\ProgramData", L"\\Config.Msi", L"\\vod_cache_data", L"\\PellunRecycle", L"\\MorvexRecycle",
    L"\\MorvexQuarantine", L"\\KV-Back.vir", L"\\Boot", L"\\FOUND.",
};
const wchar_t* const kRestoreSkips[] = {
    L"pagefile.sys", L"System Volume Information", L"MSOCache", L"Recycle", L"Documents and Settings",
    L"ProgramData", L"Config.Msi", L"vod_cache_data", L"PellunRecycle", L"MorvexRecycle", L"Quarantine",
    L"KV-Back.vir", L"Boot", L"found", L"kankan", L"backup", L"RAVBIN", L"msdownld", kAutorunInf, L"maxdos",
    L"病毒隔离", L"MaxBAK", L"Cache",
};

const char kDeleteLabel[] = "del file ";
const char kFolderShortcutLabel[] =  // 删除文件夹1KB快捷方式
    "\xc9\xbe\xb3\xfd\xce\xc4\xbc\xfe\xbc\xd0" "1KB\xbf\xec\xbd\xdd\xb7\xbd\xca\xbd\t";
const char kFolderProgramLabel[] = "\xc9\xbe\xb3\xfd\xce\xc4\xbc\xfe\xbc\xd0" "EXE\t";  // 删除文件夹EXE
const char kUnhiddenLabel[] =  // 恢复被木马隐藏的文件夹
    "\xbb\xd6\xb8\xb4\xb1\xbb\xc4\xbe\xc2\xed\xd2\xfe\xb2\xd8\xb5\xc4\xce\xc4\xbc\xfe\xbc\xd0\t";
const char kStaleAutorunLabel[] = "empty autorun fixed\t";

const wchar_t kFileFxResult[] = L"异常文件修复";

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

template <size_t N>
bool ContainsAny(const wchar_t* text, const wchar_t* const (&parts)[N])
{
    for (const wchar_t* part : parts) {
        if (StrStrIW(text, part))
            return true;
    }
    return false;
}

bool IsDotEntry(const wchar_t* name) { return !wcscmp(name, L".") || !wcscmp(name, L".."); }

// Lists a drive root without the system's critical-error boxes (an empty
// drive). Invalid when the listing cannot start.
cf::UniqueFind ListRoot(const std::wstring& root, WIN32_FIND_DATAW& data)
{
    cf::UniqueFind find;
    const std::wstring pattern = root + kAllEntries;
    cf::ScopedErrorMode quiet(cf::kQuietErrorMode);
    find.Reset(FindFirstFileW(pattern.c_str(), &data));
    return find;
}

// The script's name comes from registry data; a name that is not a plain
// file name would reach beyond the drive root or the stream it stands for.
bool IsPlainFileName(const std::wstring& name)
{
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && name != L"." && name != L"..";
}

}  // namespace

std::vector<std::wstring> ParseDriveList(const wchar_t* list, DWORD returned)
{
    std::vector<std::wstring> roots;
    if (returned == 0 || returned >= kDriveListChars)
        return roots;
    const wchar_t* end = list + returned;
    for (const wchar_t* entry = list; entry < end && *entry;) {
        size_t length = wcsnlen(entry, static_cast<size_t>(end - entry));
        roots.emplace_back(entry, length);
        entry += length + 1;
    }
    return roots;
}

std::vector<std::wstring> ReadDriveList()
{
    wchar_t list[kDriveListChars] = {};
    return ParseDriveList(list, GetLogicalDriveStringsW(kDriveListChars, list));
}

void CKillerForOneKB::CleanDriveRoots()
{
    const std::wstring name = m_strScriptName.c_str();
    const bool plainName = IsPlainFileName(name);

    std::wstring folder;
    if (plainName && GetWindowsDirWithSlash(folder) && DeleteFileW((folder + kExplorerStream + name).c_str()))
        ++m_nRemoved;
    if (StopRequested())
        return;
    if (plainName && GetSystemDirWithSlash(folder) &&
        DeleteFileW((folder + kSessionManagerStream + name).c_str()))
        ++m_nRemoved;
    if (StopRequested())
        return;

    for (const std::wstring& root : ReadDriveList()) {
        WIN32_FIND_DATAW data;
        cf::UniqueFind find = ListRoot(root, data);
        if (!find)
            continue;
        do {
            if (IsDotEntry(data.cFileName))
                continue;
            const std::wstring path = root + data.cFileName;
            if (StrStrIW(data.cFileName, kShortcut)) {
                std::wstring base = data.cFileName;
                size_t dot = base.rfind(L'.');
                if (dot == std::wstring::npos)
                    continue;
                base.resize(dot);
                if (GetPathKind((root + base).c_str()) != PathDirectory)
                    continue;
                DeleteFileW(path.c_str());
                ++m_nRemoved;
            }
            if (ContainsAny(path.c_str(), kCleanSkips))
                continue;
            DWORD attributes = GetFileAttributesW(path.c_str());
            const DWORD hiddenFolder = FILE_ATTRIBUTE_DIRECTORY | kHiddenSystem;
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & hiddenFolder) == hiddenFolder) {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ++m_nRepaired;
            }
        } while (FindNextFileW(find.Get(), &data));
        find.Reset();

        if (!name.empty()) {
            const std::wstring autorun = root + kCleanAutorun;
            if (DeleteFileW(autorun.c_str()))
                ++m_nRemoved;
            LogEntry(kDeleteLabel, autorun.c_str());
            if (plainName) {
                const std::wstring copy = root + name;
                if (DeleteFileW(copy.c_str()))
                    ++m_nRemoved;
                LogEntry(kDeleteLabel, copy.c_str());
            }
        }
        if (StopRequested())
            return;
    }
}

int RestoreHiddenFolders()
{
    for (const std::wstring& root : ReadDriveList()) {
        WIN32_FIND_DATAW data;
        cf::UniqueFind find = ListRoot(root, data);
        if (!find)
            continue;
        do {
            const DWORD attributes = data.dwFileAttributes;
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & kHiddenSystem) ||
                IsDotEntry(data.cFileName))
                continue;
            const std::wstring folder = root + data.cFileName;
            const std::wstring shortcut = folder + kShortcut;
            if (DeleteFileW(shortcut.c_str()))
                LogEntry(kFolderShortcutLabel, shortcut.c_str());
            const std::wstring program = folder + kProgram;
            if (DeleteFileW(program.c_str()))
                LogEntry(kFolderProgramLabel, program.c_str());
            if (ContainsAny(data.cFileName, kRestoreSkips))
                continue;
            SetFileAttributesW(folder.c_str(), attributes & ~kHiddenSystem);
            LogEntry(kUnhiddenLabel, folder.c_str());
        } while (FindNextFileW(find.Get(), &data));
    }
    return 1;
}

int RemoveStaleAutorun()
{
    for (const std::wstring& root : ReadDriveList()) {
        const std::wstring file = root + kAutorunInf;
        {
            cf::ScopedErrorMode quiet(cf::kQuietErrorMode);
            cf::UniqueFile probe(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
            if (!probe)
                continue;
        }
        bool stale = false;
        for (const wchar_t* key : {kOpenKey, kShellExecuteKey}) {
            wchar_t command[MAX_PATH] = {};
            DWORD length = GetPrivateProfileStringW(kAutoRunSection, key, L"", command, ARRAYSIZE(command),
                                                    file.c_str());
            // A command cut to fit the buffer cannot be judged: its files
            // may well exist.
            if (length == 0 || length >= ARRAYSIZE(command) - 1)
                continue;
            if (!CommandFilesExist(command, root.c_str()))
                stale = true;
        }
        if (stale) {
            DeleteFileW(file.c_str());
            LogEntry(kStaleAutorunLabel, file.c_str());
        }
    }
    return 1;
}

int32_t CKillerForFileFX::Execute(ICommunication* comm)
{
    m_pComm = comm;
    return 0;
}

void CKillerForFileFX::GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const
{
    removed = m_nRemoved;
    repaired = m_nRepaired;
    text = kFileFxResult;
}
