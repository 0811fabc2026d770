// Times the module restoration over a game folder: for each round the
// folder gets eight damaged modules of the store's sizes and no backups,
// then RestoreGameModules runs on it, asking a stop flag as it does for the
// window. Prints the best round in ms.
// Usage: gamebench FOLDER\ [ROUNDS]

#include <windows.h>

#include <cstdio>
#include <string>

#include "log/scan_log.h"
#include "repair/game_repair.h"

namespace {

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
        QueryPerformanceCounter(&start);
        RestoreGameModules(folder, nullptr, &comm);
        QueryPerformanceCounter(&end);
        // A round that did less than the whole work times nothing.
        if (!RepairPerformed || RepairFailed || RestartRequired) {
            fprintf(stderr, "gamebench: round %d did not replace every module\n", round + 1);
            return 1;
        }
        const double ms = (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
        if (round == 0 || ms < best)
            best = ms;
    }
    printf("%.3f %llu\n", best, bytes);
    return 0;
}
