#include "repair/game_repair.h"

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/module.h"
#include "repair/muicache.h"
#include "support/file_ops.h"
#include "support/unique.h"

#include <vector>

namespace {

const wchar_t kLaunchers[][20] = {L"crossfire.exe", L"launchcrossfire.exe"};
const wchar_t kConsentText[] = L"如果CrossFire无法正常进入游戏，请点击“是”";
const wchar_t kConsentCaption[] = L"CrossFire修复";
const wchar_t kStoreType[] = L"bin";
const WORD kStoreLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052
const char kRepairedLabel[] = "\xd0\xde\xb8\xb4" "CrossFile" "\xce\xc4\xbc\xfe" "\t";  // 修复CrossFile文件
const char kLineEnd[] = "\r\n";
const wchar_t kWorkSuffix[] = L".part";
const DWORD kCopyChunk = 1 << 20;

// A locked view of one module of the store; empty when it is missing or
// unreadable.
struct ModuleBytes {
    const void* data = nullptr;
    DWORD size = 0;
};

ModuleBytes LoadModuleBytes(WORD resourceId, HMODULE store)
{
    ModuleBytes bytes;
    HRSRC info = FindResourceExW(store, kStoreType, MAKEINTRESOURCEW(resourceId), kStoreLanguage);
    if (!info)
        info = FindResourceW(store, MAKEINTRESOURCEW(resourceId), kStoreType);
    if (!info)
        return bytes;
    HGLOBAL loaded = LoadResource(store, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(store, info);
    if (data && size) {
        bytes.data = data;
        bytes.size = size;
    }
    return bytes;
}

// Creates the file, or truncates it when it exists. Wine truncates even a
// file it has just created, and ext4 then writes a truncated file out as it
// is closed, which stalls the step that follows; so a new file is made with
// CREATE_NEW and only a file already there is truncated.
HANDLE CreateModuleFile(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, GENERIC_ALL, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        file = CreateFileW(path, GENERIC_ALL, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    return file;
}

// The whole module or nothing: a partial file never stays behind (unless
// the process ends during the write).
bool WriteModuleFile(const ModuleBytes& bytes, const wchar_t* path)
{
    DWORD written = 0;
    BOOL ok;
    {
        cf::UniqueFile file(CreateModuleFile(path));
        if (!file)
            return false;
        ok = WriteFile(file.Get(), bytes.data, bytes.size, &written, nullptr);
    }
    if (ok && written == bytes.size)
        return true;
    DeleteFileW(path);
    return false;
}

bool FlushFile(const std::wstring& path)
{
    cf::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file && FlushFileBuffers(file.Get());
}

// Copies `from` to a new `to` and flushes it; on failure `to` may be partial.
// Not CopyFileW: its copy would take the module's attributes, and a read-only
// work file could then be neither flushed nor replaced.
bool CopyFlushed(const std::wstring& from, const std::wstring& to)
{
    cf::UniqueFile source(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        return false;
    cf::UniqueFile target(CreateModuleFile(to.c_str()));
    if (!target)
        return false;
    std::vector<char> chunk(kCopyChunk);
    for (;;) {
        DWORD got = 0, written = 0;
        if (!ReadFile(source.Get(), chunk.data(), kCopyChunk, &got, nullptr))
            return false;
        if (got == 0)
            return FlushFileBuffers(target.Get()) != 0;
        if (!WriteFile(target.Get(), chunk.data(), got, &written, nullptr) || written != got)
            return false;
    }
}

// A backup is the whole old module or absent, even when the run is killed:
// it is copied under the work name and takes the backup's name only when
// complete and on the disk. The first backup ever made is kept for good,
// never replaced.
void KeepFirstBackup(const std::wstring& dll, const std::wstring& backup, const std::wstring& work)
{
    if (GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    if (!CopyFlushed(dll, work) || !MoveFileW(work.c_str(), backup.c_str()))
        DeleteFileW(work.c_str());
}

// The clean copy reaches the temporary name whole, by a rename: a boot-time
// move registered by an earlier run may point at that name, so it is never
// rewritten in place.
bool WriteCleanCopy(const ModuleBytes& bytes, const std::wstring& work, const std::wstring& temp)
{
    if (WriteModuleFile(bytes, work.c_str()) &&
        MoveFileExW(work.c_str(), temp.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(work.c_str());
    return false;
}

// The move waits for the boot, so the clean copy must be on the disk first.
// A clean copy renamed over the module at once is not flushed: should a
// crash spoil it, the backup stands and the next run repairs it again.
void ScheduleReplacement(const std::wstring& temp, const std::wstring& dll)
{
    if (FlushFile(temp) &&
        MoveFileExW(temp.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        RestartRequired = 1;
}

// The clean copy is renamed over the module, never written over it or put
// there after a delete, so the module is the old one or the clean one at
// every moment. One that cannot be renamed over (in use, protected) and an
// absent shell module are replaced at the next boot.
void PutCleanCopyInPlace(const std::wstring& temp, const std::wstring& dll, ReplacementMode mode)
{
    const bool present = GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool replaced = present ? MoveFileExW(temp.c_str(), dll.c_str(), MOVEFILE_REPLACE_EXISTING) != 0
                                  : mode == CopyThenSchedule && MoveFileW(temp.c_str(), dll.c_str());
    if (!replaced)
        ScheduleReplacement(temp, dll);
}

void AppendRepairedLine(const std::wstring& dll)
{
    AppendScanLog(kRepairedLabel, sizeof(kRepairedLabel) - 1);
    AppendScanLogWide(dll.c_str());
    AppendScanLog(kLineEnd, sizeof(kLineEnd) - 1);
}

void DefaultRestore(const std::wstring& folder, void*) { RestoreGameModules(folder); }

}  // namespace

const GameModuleEntry GameModuleTable[] = {
    {L"rs.dll", L"rs.morvex", L"rs.tmp", 232, CopyThenSchedule},
    {L"fmodex.dll", L"fmodex.morvex", L"fmodex.tmp", 234, CopyThenSchedule},
    {L"atl80.dll", L"atl80.morvex", L"atl80.tmp", 239, CopyThenSchedule},
    {L"LTMsg.dll", L"LTMsg.morvex", L"LTMsg.tmp", 240, CopyThenSchedule},
    {L"miniobject.dll", L"miniobject.morvex", L"miniobject.tmp", 237, CopyThenSchedule},
    {L"SndDrv.dll", L"SndDrv.morvex", L"SndDrv.tmp", 235, CopyThenSchedule},
    {L"msvcr71.dll", L"msvcr71.morvex", L"msvcr71.tmp", 236, CopyThenSchedule},
    {L"cshell.dll", L"cshell.morvex", L"cshell.tmp", 238, ScheduleOnly},
};
const size_t GameModuleCount = ARRAYSIZE(GameModuleTable);

int ExtractModuleResource(WORD resourceId, const wchar_t* path, HMODULE store)
{
    ModuleBytes bytes = LoadModuleBytes(resourceId, store);
    if (!bytes.data)
        return 0;
    return WriteModuleFile(bytes, path) ? 1 : 0;
}

void RestoreModule(const std::wstring& folder, const GameModuleEntry& entry, HMODULE store)
{
    const std::wstring dll = folder + entry.moduleFile;
    const std::wstring backup = folder + entry.backupFile;
    const std::wstring temp = folder + entry.tempFile;
    const std::wstring work = temp + kWorkSuffix;

    // The clean copy is complete on disk before the module is touched, so a
    // broken store or a failed write leaves the module as it was.
    ModuleBytes bytes = LoadModuleBytes(entry.resourceId, store);
    if (bytes.data) {
        KeepFirstBackup(dll, backup, work);
        if (WriteCleanCopy(bytes, work, temp))
            PutCleanCopyInPlace(temp, dll, entry.mode);
    }
    AppendRepairedLine(dll);
}

void RestoreGameModules(const std::wstring& folder, HMODULE store)
{
    for (size_t i = 0; i < GameModuleCount; ++i)
        RestoreModule(folder, GameModuleTable[i], store);
}

int AskGameRepairConsent(void*) { return MessageBoxW(nullptr, kConsentText, kConsentCaption, MB_YESNO); }

void LocateGameFolder(const GameRepairHooks* hooks)
{
    const GameRepairHooks defaults = {AskGameRepairConsent, DefaultRestore, nullptr};
    if (!hooks)
        hooks = &defaults;

    cf::UniqueKey key;
    if (!OpenMuiCacheKey(key))
        return;
    const DWORD count = GetMuiCacheValueCount(key.Get());
    for (DWORD index = 0; index < count; ++index) {
        std::wstring folder;
        if (!ReadMuiCacheFolder(key.Get(), index, folder))
            continue;
        bool found = false;
        {
            // An entry on an empty removable drive must not raise "no disk" boxes.
            cf::ScopedErrorMode quiet(cf::kQuietErrorMode);
            for (const wchar_t* launcher : kLaunchers)
                found = FileCanBeOpened((folder + launcher).c_str()) || found;  // both probes always run
        }
        if (!found)
            continue;
        if (hooks->confirm(hooks->context) == IDYES)
            hooks->restore(folder, hooks->context);
        return;
    }
}

int CKillSysFileFix::RepairGame()
{
    LocateGameFolder();
    return 0;
}
