#include <windows.h>
#include <shlwapi.h>

#include <ctime>
#include <string>
#include <unordered_set>

#include "log/run_state.h"
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

// True when the path, or a folder on the way to it below the drive root, is
// a reparse point (junction, mount point, symbolic link) or cannot be
// examined: a link planted there would steer this elevated copy and delete
// into a folder the user cannot write, such as the system folder.
bool CrossesReparsePoint(const std::wstring& path)
{
    const size_t start = path.compare(0, 4, kLongPathPrefix) == 0 ? 4 : 0;
    size_t end = path.find(L'\\', start);  // the drive root's backslash
    if (end == std::wstring::npos)
        return true;
    do {
        end = path.find(L'\\', end + 1);
        const DWORD attributes = GetFileAttributesW(path.substr(0, end).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
    } while (end != std::wstring::npos && end + 1 < path.size());
    return false;
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
            if (!CrossesReparsePoint(candidate) && IsHijackCandidate(candidate)) {
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
        // Asked again here: a folder may have been swapped for a link since the scan.
        if (CrossesReparsePoint(path))
            continue;
        std::wstring backup = path + kBackupExtension;
        // The copy is made new, never through a file or link of the backup's
        // name; an older backup is then replaced by renaming the file over it.
        // Without a backup the file is only moved aside, never deleted.
        bool saved = CopyFileW(path.c_str(), backup.c_str(), TRUE) != FALSE;
        bool removed = saved ? DeleteFileW(path.c_str()) != FALSE
                             : MoveFileExW(path.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        if (!removed &&
            MoveFileExW(path.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
            RestartRequired = 1;
        AppendScanLogText(kLogSearchPathInject);
        AppendScanLogWide(path.c_str());
        AppendScanLogText(kLogLineEnd);
    }
}
