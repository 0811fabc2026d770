#include "repair/game_repair.h"

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/boot_moves.h"
#include "repair/module.h"
#include "repair/muicache.h"
#include "support/file_ops.h"
#include "support/unique.h"

#include <cstring>
#include <vector>

namespace {

const wchar_t kLaunchers[][20] = {L"crossfire.exe", L"launchcrossfire.exe"};
const wchar_t kConsentText[] = L"如果CrossFire无法正常进入游戏，请点击“是”";
const wchar_t kStoreType[] = L"bin";
const WORD kStoreLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052
const char kRepairedLabel[] = "\xd0\xde\xb8\xb4" "CrossFile" "\xce\xc4\xbc\xfe" "\t";  // 修复CrossFile文件
const char kFailedLabel[] =
    "\xd0\xde\xb8\xb4" "CrossFile" "\xce\xc4\xbc\xfe" "\xca\xa7\xb0\xdc" "\t";  // 修复CrossFile文件失败
const wchar_t kWorkExtension[] = L".part";
const wchar_t kLeftoverPattern[] = L"*.part";
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

// A new file of a fresh name, so nothing planted under a name we could be
// expected to use is ever opened or written through.
cf::UniqueFile CreateWorkFile(const std::wstring& folder, const wchar_t* stem, std::wstring& path)
{
    return CreateNewFile(folder, stem, kWorkExtension, path);
}

// The whole module or nothing: it is written to a new file of a fresh name
// beside `path` and renamed over it, so the name itself, which someone else
// may have planted, is never opened for writing; a link there is refused.
bool WriteModuleFile(const ModuleBytes& bytes, const wchar_t* path)
{
    const std::wstring target = path;
    const size_t slash = target.rfind(L'\\');
    if (ExaminePath(target) == PathRefused)
        return false;
    std::wstring fresh;
    DWORD written = 0;
    BOOL ok;
    {
        cf::UniqueFile file = CreateWorkFile(target.substr(0, slash + 1), target.c_str() + slash + 1, fresh);
        if (!file)
            return false;
        ok = WriteFile(file.Get(), bytes.data, bytes.size, &written, nullptr);
    }
    if (ok && written == bytes.size && MoveFileExW(fresh.c_str(), path, MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(fresh.c_str());
    return false;
}

// Reads the file to its end and compares it with the module as it goes.
bool HoldsModuleBytes(HANDLE file, const ModuleBytes& bytes, std::vector<char>& buffer)
{
    buffer.resize(kCopyChunk);
    const char* expected = static_cast<const char*>(bytes.data);
    for (DWORD done = 0;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), kCopyChunk, &got, nullptr))
            return false;
        if (got == 0)
            return done == bytes.size;
        if (got > bytes.size - done || memcmp(buffer.data(), expected + done, got) != 0)
            return false;
        done += got;
    }
}

bool StopRequested(ICommunication* comm) { return comm && comm->IsStopRequested(); }

enum CopyResult { CopyDone, CopyFailed, CopyStopped };

CopyResult WriteChunks(HANDLE target, const char* data, DWORD size, ICommunication* comm)
{
    for (DWORD done = 0; done < size;) {
        if (StopRequested(comm))
            return CopyStopped;
        const DWORD part = size - done < kCopyChunk ? size - done : kCopyChunk;
        DWORD written = 0;
        if (!WriteFile(target, data + done, part, &written, nullptr) || written != part)
            return CopyFailed;
        done += part;
    }
    return CopyDone;
}

CopyResult CopyChunks(HANDLE source, HANDLE target, std::vector<char>& buffer, ICommunication* comm)
{
    buffer.resize(kCopyChunk);
    for (;;) {
        if (StopRequested(comm))
            return CopyStopped;
        DWORD got = 0, written = 0;
        if (!ReadFile(source, buffer.data(), kCopyChunk, &got, nullptr))
            return CopyFailed;
        if (got == 0)
            return CopyDone;
        if (!WriteFile(target, buffer.data(), got, &written, nullptr) || written != got)
            return CopyFailed;
    }
}

bool StartsWith(const wchar_t* name, const wchar_t* stem)
{
    const int length = static_cast<int>(wcslen(stem));
    return static_cast<int>(wcslen(name)) >= length &&
           CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, length, stem, length) == CSTR_EQUAL;
}

// Work files of a run that was killed, for the given rows; removed by name,
// which takes a link away and never touches what it points at. One look at
// the folder for all of them.
void RemoveLeftoverWorkFiles(const std::wstring& folder, const GameModuleEntry* entries, size_t count)
{
    WIN32_FIND_DATAW data;
    cf::UniqueFind find(FindFirstFileW((folder + kLeftoverPattern).c_str(), &data));
    if (!find)
        return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        for (size_t i = 0; i < count; ++i) {
            if (StartsWith(data.cFileName, entries[i].backupFile) || StartsWith(data.cFileName, entries[i].tempFile)) {
                DeleteFileW((folder + data.cFileName).c_str());
                break;
            }
        }
    } while (FindNextFileW(find.Get(), &data));
}

enum Outcome { Untouched, Replaced, Scheduled, Failed };

// One module's way through a run.
struct ModuleJob {
    const GameModuleEntry* entry = nullptr;
    std::wstring dll, backup, temp;
    ModuleBytes bytes;
    bool present = false;
    bool emptyBackup = false;   // a backup of no bytes is none; a new one takes its name
    std::wstring backupWork;    // a new backup, complete, before it reaches the disk
    cf::UniqueFile backupFile;  // open until flushed
    bool flushed = false;
    std::wstring cleanWork;     // the clean copy, complete, before it takes the module's name
    bool ready = false;         // may be replaced: it has a backup, or needs none
    bool awaiting = false;      // a boot-time move of an earlier run still waits on it
    Outcome outcome = Untouched;
};

// Reads the store's pages on a thread of its own while the backups are
// made, so that the clean copies are written from memory already paged in.
// The first touch of each page of the image is a page fault: a read from
// the disk when the program is not in the cache, and still about 5 us a
// page on the virtual machine measured (18 ms for the 14.9 MB store).
class StoreWarmer {
public:
    StoreWarmer() = default;
    StoreWarmer(const StoreWarmer&) = delete;
    StoreWarmer& operator=(const StoreWarmer&) = delete;
    ~StoreWarmer()
    {
        InterlockedExchange(&done_, 1);
        if (thread_)
            WaitForSingleObject(thread_.Get(), INFINITE);
    }

    // Without a thread the clean copies page the store in themselves.
    void Start(const std::vector<ModuleJob>& jobs)
    {
        for (const ModuleJob& job : jobs) {
            if (job.bytes.data)
                parts_.push_back(job.bytes);
        }
        thread_.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }

private:
    static DWORD WINAPI Run(void* context)
    {
        auto* self = static_cast<StoreWarmer*>(context);
        for (const ModuleBytes& part : self->parts_) {
            const auto* data = static_cast<const volatile char*>(part.data);
            for (DWORD offset = 0; offset < part.size; offset += kPageSize) {
                if (offset % kCopyChunk == 0 && self->done_)
                    return 0;
                (void)data[offset];
            }
        }
        return 0;
    }

    static const DWORD kPageSize = 4096;
    std::vector<ModuleBytes> parts_;
    volatile LONG done_ = 0;
    cf::UniqueHandle thread_;
};

// Flushes each new backup on a thread of its own while the clean copies
// are written: the disk then sees the flushes together (one journal commit
// for several files on Linux) and the writes need not wait for them. Only
// the renames over the modules do. Where no thread can be made, the backup
// is flushed at once.
class BackupFlusher {
public:
    BackupFlusher() = default;
    BackupFlusher(const BackupFlusher&) = delete;
    BackupFlusher& operator=(const BackupFlusher&) = delete;
    ~BackupFlusher() { Wait(); }

    void Start(std::vector<ModuleJob>& jobs)
    {
        for (ModuleJob& job : jobs) {
            if (!job.backupFile)
                continue;
            HANDLE thread = CreateThread(nullptr, kStackSize, &Flush, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
            if (thread)
                threads_.emplace_back(thread);
            else
                Flush(&job);
        }
    }

    // Every flush has ended; each job's `flushed` tells how it went.
    void Wait()
    {
        for (cf::UniqueHandle& thread : threads_)
            WaitForSingleObject(thread.Get(), INFINITE);
        threads_.clear();
    }

private:
    static DWORD WINAPI Flush(void* context)
    {
        auto* job = static_cast<ModuleJob*>(context);
        job->flushed = FlushFileBuffers(job->backupFile.Get()) != 0;
        return 0;
    }

    static const DWORD kStackSize = 64 * 1024;
    std::vector<cf::UniqueHandle> threads_;
};

void DropCleanWork(ModuleJob& job)
{
    if (!job.cleanWork.empty())
        DeleteFileW(job.cleanWork.c_str());
    job.cleanWork.clear();
}

void DropBackupWork(ModuleJob& job)
{
    job.backupFile.Reset();
    if (!job.backupWork.empty())
        DeleteFileW(job.backupWork.c_str());
    job.backupWork.clear();
}

// False when a stop came. A copy that did not finish leaves no work file,
// and one that failed fails its module.
bool CopySettled(CopyResult result, ModuleJob& job, void (*drop)(ModuleJob&))
{
    if (result == CopyDone)
        return true;
    drop(job);
    if (result == CopyStopped)
        return false;
    job.outcome = Failed;
    return true;
}

// Makes a new backup of a present module under a work name, unless a real
// one exists (the first backup ever made is kept for good). A module whose
// backup name holds a folder or a link, or that cannot be read, is left
// alone. False when a stop came; the module is then as it was.
bool PrepareModule(ModuleJob& job, const std::wstring& folder, std::vector<char>& buffer, ICommunication* comm)
{
    if (!job.bytes.data) {
        job.outcome = Failed;
        return true;
    }
    // Opened for the backup at once; one held with no read sharing is still
    // looked at, as its backup may exist already.
    cf::UniqueFile source = OpenPlainFile(job.dll.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    const PathState module = source ? PathPlain : ExaminePath(job.dll);
    if (module != PathPlain) {
        job.ready = module == PathMissing;
        job.outcome = job.ready ? Untouched : Failed;
        return true;
    }
    job.present = true;
    ULONGLONG backupSize = 0;
    switch (ExaminePath(job.backup, &backupSize)) {
    case PathRefused:
        job.outcome = Failed;
        return true;
    case PathPlain:
        job.ready = backupSize != 0;
        job.emptyBackup = !job.ready;
        if (job.ready)
            return true;
        break;
    case PathMissing:
        break;
    }
    if (source)
        job.backupFile = CreateWorkFile(folder, job.entry->backupFile, job.backupWork);
    const CopyResult result =
        job.backupFile ? CopyChunks(source.Get(), job.backupFile.Get(), buffer, comm) : CopyFailed;
    return CopySettled(result, job, DropBackupWork);
}

// The new backup is on the disk (flushed by the caller) and takes its name.
bool NameBackup(ModuleJob& job)
{
    job.backupFile.Reset();
    if (!job.emptyBackup)
        return MoveFileW(job.backupWork.c_str(), job.backup.c_str()) != 0;
    return ExaminePath(job.backup) == PathPlain &&
           MoveFileExW(job.backupWork.c_str(), job.backup.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The boot-time move names the temporary file, so the clean copy takes that
// name whole and on the disk; a leftover of that name is removed, not opened.
Outcome ScheduleReplacement(const ModuleJob& job, const std::wstring& work)
{
    {
        cf::UniqueFile file = OpenPlainFile(work.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0);
        if (!file || !FlushFileBuffers(file.Get()))
            return Failed;
    }
    DeleteFileW(job.temp.c_str());
    if (!MoveFileW(work.c_str(), job.temp.c_str()))
        return Failed;
    if (!MoveFileExW(job.temp.c_str(), job.dll.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return Failed;
    RestartRequired = 1;
    return Scheduled;
}

// The clean copy is written under a fresh name (job.cleanWork), to be
// renamed over the module once every backup is on the disk. False when a
// stop came; nothing of it is then left.
bool WriteCleanCopy(ModuleJob& job, const std::wstring& folder, ICommunication* comm)
{
    cf::UniqueFile file = CreateWorkFile(folder, job.entry->tempFile, job.cleanWork);
    const CopyResult result =
        file ? WriteChunks(file.Get(), static_cast<const char*>(job.bytes.data), job.bytes.size, comm) : CopyFailed;
    file.Reset();
    return CopySettled(result, job, DropCleanWork);
}

// The clean copy is renamed over the module, so the module is the old one
// or the clean one at every moment. One that cannot be renamed over (in
// use) and an absent shell module are replaced at the next boot.
void PutCleanCopy(ModuleJob& job)
{
    const PathState module = ExaminePath(job.dll);
    // A module that turned up after its backup was looked for has none.
    if (module == PathRefused || (module == PathPlain && !job.present)) {
        job.outcome = Failed;
    } else if (module == PathPlain ? MoveFileExW(job.cleanWork.c_str(), job.dll.c_str(), MOVEFILE_REPLACE_EXISTING) != 0
                                   : job.entry->mode == CopyThenSchedule &&
                                         MoveFileW(job.cleanWork.c_str(), job.dll.c_str())) {
        job.outcome = Replaced;
        job.cleanWork.clear();
        DeleteFileW(job.temp.c_str());  // an earlier run's copy for the boot: not needed now
        return;
    } else {
        job.outcome = ScheduleReplacement(job, job.cleanWork);
    }
    if (job.outcome == Failed)
        DropCleanWork(job);
    job.cleanWork.clear();
}

void AppendOutcomeLine(const ModuleJob& job, GameRepairResult& result)
{
    if (job.outcome == Untouched)
        return;
    ++(job.outcome == Replaced ? result.replaced : job.outcome == Scheduled ? result.scheduled : result.failed);
    if (job.outcome == Failed) {
        RepairFailed = 1;
        if (job.awaiting) {
            AwaitingRestart = 1;
            ++result.awaitingRestart;
        }
        AppendScanLogLine(kFailedLabel, sizeof(kFailedLabel) - 1, job.dll.c_str());
    } else {
        RepairPerformed = 1;
        AppendScanLogLine(kRepairedLabel, sizeof(kRepairedLabel) - 1, job.dll.c_str());
    }
}

// A module a boot-time move still waits on is left alone: a move onto it
// now would be undone at the boot, or would undo that one. Only the clean
// copy this run would schedule itself, already waiting under the temporary
// name, counts as scheduled.
void SettlePendingMove(ModuleJob& job, const std::vector<BootMove>& moves, HMODULE store)
{
    const std::wstring names[] = {job.dll, job.backup, job.temp};
    switch (FindBootMove(moves, names, ARRAYSIZE(names), job.temp)) {
    case NoBootMove:
        return;
    case BootMoveOwn:
        if (IsStoreModule(job.temp, job.entry->resourceId, store)) {
            job.outcome = Scheduled;
            RestartRequired = 1;
            return;
        }
        break;
    case BootMoveOther:
        break;
    }
    job.outcome = Failed;
    job.awaiting = true;
}

// Every backup is made first and they reach the disk together while the
// clean copies are written, and only then are modules replaced: a stop
// before that leaves the modules as they were, one after it leaves whole
// backups of every module touched. The
// folder chain is held throughout, so no folder of it can be swapped for
// another or for a link while its names are used.
GameRepairResult RestoreModules(const std::wstring& folder, const GameModuleEntry* entries, size_t count,
                                HMODULE store, ICommunication* comm)
{
    GameRepairResult result;
    if (StopRequested(comm))
        return result;
    std::vector<cf::UniqueFile> held;
    result.held = HoldFolderChain(folder, held);
    const std::vector<BootMove> moves = result.held ? ReadPendingBootMoves() : std::vector<BootMove>();
    std::vector<ModuleJob> jobs(count);
    for (size_t i = 0; i < count; ++i) {
        jobs[i].entry = &entries[i];
        jobs[i].dll = folder + entries[i].moduleFile;
        jobs[i].backup = folder + entries[i].backupFile;
        jobs[i].temp = folder + entries[i].tempFile;
        jobs[i].bytes = LoadModuleBytes(entries[i].resourceId, store);
        if (result.held)
            SettlePendingMove(jobs[i], moves, store);
    }

    std::vector<char> buffer;
    bool stopped = false;
    StoreWarmer warmer;
    if (result.held) {
        warmer.Start(jobs);
        RemoveLeftoverWorkFiles(folder, entries, count);
    }
    for (ModuleJob& job : jobs) {
        if (!result.held) {
            job.outcome = Failed;
            continue;
        }
        if (job.outcome != Untouched)
            continue;
        if (StopRequested(comm) || !PrepareModule(job, folder, buffer, comm)) {
            stopped = true;
            break;
        }
    }

    if (!stopped) {
        BackupFlusher flusher;
        flusher.Start(jobs);
        for (ModuleJob& job : jobs) {
            if (job.outcome != Untouched || !(job.ready || job.backupFile))
                continue;
            if (StopRequested(comm) || !WriteCleanCopy(job, folder, comm)) {
                stopped = true;
                break;
            }
        }
        flusher.Wait();
    }
    if (stopped) {
        for (ModuleJob& job : jobs) {
            DropBackupWork(job);
            DropCleanWork(job);
            AppendOutcomeLine(job, result);
        }
        return result;
    }
    for (ModuleJob& job : jobs) {
        if (job.backupWork.empty())
            continue;
        job.ready = job.flushed && NameBackup(job);
        if (!job.ready) {
            DropBackupWork(job);
            DropCleanWork(job);
            job.outcome = Failed;
        }
    }
    // Each module is told as soon as it is settled: a run that hangs on a
    // later one still has the record of what it did.
    bool halted = false;
    for (ModuleJob& job : jobs) {
        if (!job.cleanWork.empty()) {
            halted = halted || StopRequested(comm);
            if (halted)
                DropCleanWork(job);
            else
                PutCleanCopy(job);
        }
        AppendOutcomeLine(job, result);
    }
    return result;
}

// Windows XP and 7 open no path of MAX_PATH characters or more (Wine does,
// so the limit is kept here). A folder is taken only when every name the
// repair makes in it fits: each module, its backup and temporary file, and
// the work files made beside them.
bool ModulePathsFit(const std::wstring& folder)
{
    size_t longest = 0;
    for (size_t i = 0; i < GameModuleCount; ++i) {
        const GameModuleEntry& entry = GameModuleTable[i];
        for (const wchar_t* name : {entry.moduleFile, entry.backupFile, entry.tempFile}) {
            const size_t work = NewFileNameLength(name, kWorkExtension);
            longest = work > longest ? work : longest;
        }
    }
    return folder.size() + longest < MAX_PATH;
}

// Whether `folder` is offered: fit for the modules' paths, holding either
// launcher, and accepted by the hooks. `search` notes a game passed over,
// and a stop (GameDeclined, as a stop during the question).
bool OfferFolder(const std::wstring& folder, const GameRepairHooks* hooks, ICommunication* comm,
                 GameFolderSearch& search)
{
    // A folder too deep for its module paths is passed over as Windows
    // itself would fail it, before a question or a change.
    if (!ModulePathsFit(folder))
        return false;
    // An entry on an empty removable drive must not raise "no disk" boxes.
    cf::ScopedErrorMode quiet(cf::kQuietErrorMode);
    bool found = false;
    for (const wchar_t* launcher : kLaunchers) {
        // A probe of a dead network drive can take long: a stop is seen
        // between any two.
        if (StopRequested(comm)) {
            search = GameDeclined;
            return false;
        }
        found = FileCanBeOpened((folder + launcher).c_str()) || found;  // both probes always run
    }
    if (!found)
        return false;
    search = NoAcceptedFolder;
    return !hooks->accept || hooks->accept(folder, hooks->context);
}

// The first entry of a MUICache key, in its enumeration order, whose
// folder is offered; at most one folder is offered per run.
bool FindGameFolderIn(HKEY key, const GameRepairHooks* hooks, ICommunication* comm, std::wstring& folder,
                      GameFolderSearch& search)
{
    const DWORD count = GetMuiCacheValueCount(key);
    for (DWORD index = 0; index < count && search != GameDeclined; ++index) {
        std::wstring candidate;
        if (ReadMuiCacheFolder(key, index, candidate) && OfferFolder(candidate, hooks, comm, search)) {
            folder = candidate;
            return true;
        }
    }
    return false;
}

// A folder named by hand is taken as a record's entry is: a drive-absolute
// path, lower-cased, ending in a backslash; "." and ".." are resolved first,
// so the record names the folder that is changed.
bool NamedGameFolder(const std::wstring& named, const GameRepairHooks* hooks, std::wstring& folder,
                     GameFolderSearch& search)
{
    if (named.size() < 3 || named[1] != L':' || (named[2] != L'\\' && named[2] != L'/'))
        return false;
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(named.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::wstring candidate(full, length);
    if (candidate.back() != L'\\')
        candidate += L'\\';
    CharLowerW(&candidate[0]);
    if (!OfferFolder(candidate, hooks, nullptr, search))
        return false;
    folder = candidate;
    return true;
}

void DefaultRestore(const std::wstring& folder, void* comm)
{
    RestoreGameModules(folder, nullptr, static_cast<ICommunication*>(comm));
}

struct RepairSearch {
    int (*confirm)(void* context);
    void* context;
    ICommunication* comm;
    GameRepairResult result;
};

void RepairConfirmedFolder(const std::wstring& folder, void* context)
{
    RepairSearch* search = static_cast<RepairSearch*>(context);
    search->result = RestoreGameModules(folder, nullptr, search->comm);
}

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

GameRepairResult RestoreModule(const std::wstring& folder, const GameModuleEntry& entry, HMODULE store)
{
    return RestoreModules(folder, &entry, 1, store, nullptr);
}

GameRepairResult RestoreGameModules(const std::wstring& folder, HMODULE store, ICommunication* comm)
{
    return RestoreModules(folder, GameModuleTable, GameModuleCount, store, comm);
}

bool IsStoreModule(const std::wstring& path, WORD resourceId, HMODULE store)
{
    const ModuleBytes bytes = LoadModuleBytes(resourceId, store);
    if (!bytes.data)
        return false;
    // No write sharing: the file cannot change while it is compared.
    cf::UniqueFile file = OpenPlainFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    std::vector<char> buffer;
    return file && HoldsModuleBytes(file.Get(), bytes, buffer);
}

const wchar_t kGameConsentCaption[] = L"CrossFire修复";

int AskGameRepairConsent(void*) { return MessageBoxW(nullptr, kConsentText, kGameConsentCaption, MB_YESNO); }

GameFolderSearch LocateGameFolder(const GameRepairHooks* hooks, ICommunication* comm, const GameSearch* where)
{
    const GameRepairHooks defaults = {AskGameRepairConsent, DefaultRestore, comm, nullptr};
    if (!hooks)
        hooks = &defaults;

    GameFolderSearch search = NoGameFolder;
    std::wstring folder;
    bool offered = false;
    if (where && !where->folder.empty()) {
        offered = NamedGameFolder(where->folder, hooks, folder, search);
    } else {
        cf::UniqueKey key;
        offered = OpenMuiCacheKey(key) && FindGameFolderIn(key.Get(), hooks, comm, folder, search);
        if (!offered && where && where->loadedUsers) {
            for (const std::wstring& path : ListLoadedUsersMuiCacheKeys()) {
                cf::UniqueKey other;
                offered = OpenLoadedUserMuiCacheKey(path, other) &&
                          FindGameFolderIn(other.Get(), hooks, comm, folder, search);
                if (offered || search == GameDeclined)
                    break;
            }
        }
    }
    if (!offered)
        return search;
    // A stop while the question is open answers it "no".
    if (StopRequested(comm) || hooks->confirm(hooks->context) != IDYES || StopRequested(comm))
        return GameDeclined;
    hooks->restore(folder, hooks->context);
    return GameConfirmed;
}

GameRepairRun LocateAndRepairGame(int (*confirm)(void* context), void* context, ICommunication* comm,
                                  const GameSearch* where)
{
    RepairSearch search = {confirm, context, comm, GameRepairResult()};
    const GameRepairHooks hooks = {AskSearchQuestion<RepairSearch>, RepairConfirmedFolder, &search, nullptr};
    GameRepairRun run;
    run.search = LocateGameFolder(&hooks, comm, where);
    run.result = search.result;
    return run;
}

int CKillSysFileFix::RepairGame(ICommunication* comm)
{
    LocateAndRepairGame(AskGameRepairConsent, nullptr, comm);
    return 0;
}
