#include "commands/killers.h"

#include "log/run_state.h"
#include "support/examine.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <cwchar>

namespace {

const wchar_t kScriptHost[] = L"wscript.exe";
const wchar_t kPlantedServiceHost[] = L"system\\svchost.exe";
const wchar_t kMountPointsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
const wchar_t kDriveShellKey[] = L"Drive\\shell";
const char kDriveHandlersLine[] = "\xd0\xde\xb8\xb4\xb4\xc5\xc5\xcc\xb4\xf2\xbf\xaa\xb9\xd8\xc1\xaa";  // 修复磁盘打开关联
const char kMountPointsLine[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
const char kDriveShellLine[] = "HKEY_CLASSES_ROOT\\Drive\\shell";

// PROCESS_ALL_ACCESS as the oldest supported system defines it.
const DWORD kProcessAllAccess = 0x1F0FFF;

}  // namespace

bool CKillerForOneKB::StopRequested() { return m_pComm && m_pComm->IsStopRequested(); }

int32_t CKillerForOneKB::Execute(ICommunication* comm)
{
    m_pComm = comm;
    KillProcessesByPath(kScriptHost);
    if (StopRequested())
        return 0;
    KillProcessesByPath(kPlantedServiceHost);
    if (StopRequested())
        return 0;
    RepairHijackedSettings();
    if (StopRequested())
        return 0;
    if (m_strScriptName.empty())
        return 0;
    CleanDriveRoots();
    if (StopRequested())
        return 0;
    ResetDriveHandlers();
    StopRequested();
    return 0;
}

void CKillerForOneKB::GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const
{
    removed = m_nRemoved;
    repaired = m_nRepaired;
    text = m_strScriptName;
}

void KillProcessesByPath(const wchar_t* text)
{
    cf::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.Get() == INVALID_HANDLE_VALUE) {
        snapshot.Release();
        return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        cf::UniqueHandle process(OpenProcess(kProcessAllAccess, FALSE, entry.th32ProcessID));
        if (!process)
            continue;
        wchar_t path[MAX_PATH] = {};
        if (GetProcessImagePath(process.Get(), path) && StrStrIW(path, text))
            TerminateProcess(process.Get(), 0);
    }
}

void ResetDriveHandlers()
{
    DeleteRegistryTree(HKEY_CURRENT_USER, kMountPointsKey);
    DeleteRegistryTree(HKEY_CLASSES_ROOT, kDriveShellKey);
    LogLine(kDriveHandlersLine);
    LogLine(kMountPointsLine);
    LogLine(kDriveShellLine);
}

bool DeleteRegistryTree(HKEY root, wchar_t* path)
{
    if (RegDeleteKeyW(root, path) == ERROR_SUCCESS)
        return true;
    cf::UniqueKey key;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_READ, key.Put());
    if (status != ERROR_SUCCESS) {
        key.Release();
        return status == ERROR_FILE_NOT_FOUND;
    }
    const size_t end = wcslen(path);
    if (end + 2 > kRegistryPathChars)
        return false;
    size_t names = end;
    if (names == 0 || path[names - 1] != L'\\')
        path[names++] = L'\\';
    path[names] = L'\0';

    std::wstring previous;
    int repeats = 0;
    for (;;) {
        wchar_t name[MAX_PATH];
        DWORD chars = ARRAYSIZE(name);
        if (RegEnumKeyExW(key.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        // A child that keeps coming back cannot be removed by its name, and
        // one whose path does not fit cannot be named at all.
        repeats = lstrcmpiW(previous.c_str(), name) == 0 ? repeats + 1 : 0;
        if (repeats > 2 || names + chars + 2 > kRegistryPathChars)
            break;
        previous = name;
        wmemcpy(path + names, name, chars + 1);
        if (!DeleteRegistryTree(root, path))
            break;
    }
    path[end] = L'\0';
    key.Reset();
    return RegDeleteKeyW(root, path) == ERROR_SUCCESS;
}

bool DeleteRegistryTree(HKEY root, const wchar_t* path)
{
    wchar_t buffer[kRegistryPathChars] = {};
    size_t length = wcslen(path);
    if (length + 2 > ARRAYSIZE(buffer))
        return false;
    wmemcpy(buffer, path, length + 1);
    return DeleteRegistryTree(root, buffer);
}
