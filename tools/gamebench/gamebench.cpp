// Times the module restoration over a game folder: for each round the
// folder gets eight damaged modules of the store's sizes and no backups,
// then RestoreGameModules runs on it, asking a stop flag as it does for the
// window. Prints the best round in ms, the modules' bytes, and where that
// round's time went, in ms: opens and checks of files and folders, backups
// (reading the old modules, writing the copies), flushes (beside the clean
// copies, so the rest can come out below zero), clean copies,
// renames to new names (the backups), renames over the modules, and the
// rest (the record, the store's pages).
// Usage: gamebench FOLDER\ [ROUNDS]

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

#include "common/import_hook.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"

namespace {

// Time spent in the system calls of the restore, by phase: the program's
// calls go through its import table, where these hooks sit.
enum Phase { Opens, Backups, Flushes, Copies, Renames, Replaces, PhaseCount };
LONGLONG g_spent[PhaseCount];
std::map<HANDLE, Phase> g_written;  // the backups' and clean copies' work files
cftest::ImportHook* g_hooks[6];

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

template <typename Function, typename... Args>
auto Timed(int hook, Phase phase, Args... args)
{
    const LONGLONG start = Now();
    auto result = g_hooks[hook]->Original<Function>()(args...);
    g_spent[phase] += Now() - start;
    return result;
}

HANDLE WINAPI TimedCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile)
{
    HANDLE file = Timed<decltype(&CreateFileW)>(0, Opens, name, access, share, security, disposition, flags,
                                                templateFile);
    if (file != INVALID_HANDLE_VALUE && disposition == CREATE_NEW)
        g_written[file] = wcsstr(name, L".morvex") ? Backups : Copies;
    return file;
}

BOOL WINAPI TimedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const auto kind = g_written.find(file);
    return Timed<decltype(&WriteFile)>(1, kind == g_written.end() ? Opens : kind->second, file, data, size, written,
                                       overlapped);
}

BOOL WINAPI TimedReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    return Timed<decltype(&ReadFile)>(2, Backups, file, data, size, got, overlapped);
}

// The backups are flushed on threads of their own beside the clean copies:
// the phase is the wall time during which any flush is under way.
int g_flushing = 0;
LONGLONG g_flushStart = 0;

BOOL WINAPI TimedFlushFileBuffers(HANDLE file)
{
    {
        cftest::HookLock one;
        if (g_flushing++ == 0)
            g_flushStart = Now();
    }
    const BOOL ok = g_hooks[3]->Original<decltype(&FlushFileBuffers)>()(file);
    cftest::HookLock one;
    if (--g_flushing == 0)
        g_spent[Flushes] += Now() - g_flushStart;
    return ok;
}

BOOL WINAPI TimedMoveFileW(LPCWSTR from, LPCWSTR to)
{
    return Timed<decltype(&MoveFileW)>(4, Renames, from, to);
}

BOOL WINAPI TimedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return Timed<decltype(&MoveFileExW)>(5, (flags & MOVEFILE_REPLACE_EXISTING) ? Replaces : Renames, from, to, flags);
}

// Asked as the window is asked: between modules and at every chunk.
class NeverStopped : public ICommunication {
public:
    bool IsStopRequested() override { return stop_ != 0; }

private:
    volatile LONG stop_ = 0;
};

DWORD StoreSize(WORD id)
{
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"bin");
    return info ? SizeofResource(nullptr, info) : 0;
}

bool PrepareFolder(const std::wstring& folder)
{
    for (size_t i = 0; i < GameModuleCount; ++i) {
        const GameModuleEntry& entry = GameModuleTable[i];
        DeleteFileW((folder + entry.backupFile).c_str());
        DeleteFileW((folder + entry.tempFile).c_str());
        std::string bytes(StoreSize(entry.resourceId), 'd');
        HANDLE file = CreateFileW((folder + entry.moduleFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        FlushFileBuffers(file);
        CloseHandle(file);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    const std::wstring folder = argv[1];
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    double phases[PhaseCount + 1] = {};
    unsigned long long bytes = 0;
    NeverStopped comm;
    for (size_t i = 0; i < GameModuleCount; ++i)
        bytes += StoreSize(GameModuleTable[i].resourceId);
    for (int round = 0; round < rounds; ++round) {
        if (!PrepareFolder(folder))
            return 1;
        ResetScanLog();
        RepairPerformed = RepairFailed = RestartRequired = 0;
        LARGE_INTEGER start, end;
        g_written.clear();
        for (LONGLONG& spent : g_spent)
            spent = 0;
        {
            cftest::ImportHook create("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(TimedCreateFileW));
            cftest::ImportHook write("kernel32.dll", "WriteFile", reinterpret_cast<void*>(TimedWriteFile));
            cftest::ImportHook read("kernel32.dll", "ReadFile", reinterpret_cast<void*>(TimedReadFile));
            cftest::ImportHook flush("kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(TimedFlushFileBuffers));
            cftest::ImportHook move("kernel32.dll", "MoveFileW", reinterpret_cast<void*>(TimedMoveFileW));
            cftest::ImportHook moveEx("kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(TimedMoveFileExW));
            g_hooks[0] = &create, g_hooks[1] = &write, g_hooks[2] = &read;
            g_hooks[3] = &flush, g_hooks[4] = &move, g_hooks[5] = &moveEx;
            QueryPerformanceCounter(&start);
            RestoreGameModules(folder, nullptr, &comm);
            QueryPerformanceCounter(&end);
        }
        // A round that did less than the whole work times nothing.
        if (!RepairPerformed || RepairFailed || RestartRequired) {
            fprintf(stderr, "gamebench: round %d did not replace every module\n", round + 1);
            return 1;
        }
        const double ms = (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
        if (round == 0 || ms < best) {
            best = ms;
            phases[PhaseCount] = ms;
            for (int k = 0; k < PhaseCount; ++k) {
                phases[k] = g_spent[k] * 1000.0 / frequency.QuadPart;
                phases[PhaseCount] -= phases[k];
            }
        }
    }
    printf("%.3f %llu", best, bytes);
    for (double phase : phases)
        printf(" %.1f", phase);
    printf("\n");
    return 0;
}
