#include <windows.h>
#include <shlwapi.h>

#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "log/scan_log.h"
#include "repair/hijack.h"
#include "repair/module.h"
#include "repair/muicache.h"
#include "repair/system_files.h"
#include "support/file_ops.h"
#include "support/unique.h"

namespace {

const wchar_t kLongPathPrefix[] = L"\\\\?\\";
const wchar_t kBackupExtension[] = L".morvex";
const char kLogSearchPathInject[] = "Search Path Inject\t";
// "未能移除的注入文件\t" in code page 936.
const char kLogNotRemoved[] = "\xce\xb4\xc4\xdc\xd2\xc6\xb3\xfd\xb5\xc4\xd7\xa2\xc8\xeb\xce\xc4\xbc\xfe\t";
const char kLogLineEnd[] = "\r\n";

const DWORD kLongNameUnits = 512;

time_t CalendarSeconds(const SYSTEMTIME& time)
{
    if (time.wYear < 1900)
        return 0;
    struct tm fields = {};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    fields.tm_isdst = -1;
    return mktime(&fields);
}

bool ExpandCandidate(std::wstring& candidate)
{
    wchar_t expanded[kLongNameUnits] = L"";
    DWORD length = GetLongPathNameW(candidate.c_str(), expanded, kLongNameUnits);
    // A name that cannot be expanded stays as found rather than turning empty.
    if (length != 0 && length < kLongNameUnits)
        candidate.assign(expanded, length);
    if (!candidate.empty())
        CharLowerBuffW(&candidate[0], static_cast<DWORD>(candidate.size()));
    return true;
}

}  // namespace

bool IsCreatedRecently(const FILETIME& creation, const SYSTEMTIME& nowLocal)
{
    // File times are UTC; the clock is read as local time, so both sides are
    // compared as local calendar fields.
    FILETIME localCreation;
    SYSTEMTIME fields;
    if (!FileTimeToLocalFileTime(&creation, &localCreation) || !FileTimeToSystemTime(&localCreation, &fields))
        return false;
    time_t created = CalendarSeconds(fields);
    time_t now = CalendarSeconds(nowLocal);
    return created >= now - kRecentCreationSeconds;
}

bool IsHijackCandidate(const std::wstring& candidate)
{
    cf::UniqueFile file(
        CreateFileW(candidate.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return true;
    FILETIME creation;
    if (!GetFileTime(file.Get(), &creation, nullptr, nullptr))
        return false;
    SYSTEMTIME now;
    GetLocalTime(&now);
    return IsCreatedRecently(creation, now);
}

int CKillSysFileFix::ScanSearchPathHijacks(std::unordered_set<std::wstring>& paths)
{
    cf::UniqueKey key;
    if (!OpenMuiCacheKey(key))
        return 0;
    DWORD count = GetMuiCacheValueCount(key.Get());
    std::wstring windowsDir;
    GetWindowsDirWithSlash(windowsDir);
    if (!windowsDir.empty())
        CharLowerBuffW(&windowsDir[0], static_cast<DWORD>(windowsDir.size()));

    bool hit = false;
    for (DWORD index = 0; index < count; ++index) {
        std::wstring folder;
        if (!ReadMuiCacheFolder(key.Get(), index, folder))
            continue;
        if (!windowsDir.empty() && StrStrW(folder.c_str(), windowsDir.c_str()))
            continue;
        for (size_t i = 0; i < HijackNameCount; ++i) {
            std::wstring candidate = kLongPathPrefix + folder + HijackNameTable[i];
            if (GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            ExpandCandidate(candidate);
            if (!PathCrossesReparsePoint(candidate) && IsHijackCandidate(candidate)) {
                paths.insert(candidate);
                hit = true;
            }
        }
    }
    return hit ? 1 : 0;
}

void CKillSysFileFix::RemoveSearchPathHijacks()
{
    for (const std::wstring& path : m_hijackPaths) {
        // The file is moved aside now or not at all: a boot-time move is
        // carried out by path, through whatever this user-writable folder has
        // become by then. Its folders are held while it moves, so none can be
        // swapped for a link since the scan or during the rename. A loaded DLL
        // can be renamed; renaming over an older backup replaces that name and
        // never writes through it.
        std::vector<cf::UniqueFile> held;
        const bool removed = HoldFolderChain(path, held) &&
                             MoveFileExW(path.c_str(), (path + kBackupExtension).c_str(), MOVEFILE_REPLACE_EXISTING);
        AppendScanLogText(removed ? kLogSearchPathInject : kLogNotRemoved);
        AppendScanLogWide(path.c_str());
        AppendScanLogText(kLogLineEnd);
    }
}
