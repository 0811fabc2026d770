#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/game_fixture.h"
#include "common/import_hook.h"
#include "common/test_util.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "repair/game_restore.h"
#include "repair/muicache.h"
#include "support/unique.h"

using cftest::FileExists;
using cftest::ReadFileBytes;
using cftest::FolderNames;
using gametest::GameFolder;
using gametest::kModuleNames;
using gametest::kModuleStems;

namespace {

class GameRepairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RestartRequired = 0;
        RepairPerformed = 0;
        RepairFailed = 0;
        ResetScanLog();
    }
};

std::wstring Tmp(size_t i) { return std::wstring(kModuleStems[i]) + L".tmp"; }
std::wstring Backup(size_t i) { return std::wstring(kModuleStems[i]) + L".morvex"; }

TEST_F(GameRepairTest, StoreHoldsEightDistinctModulesInTableOrder)
{
    ASSERT_EQ(8u, GameModuleCount);
    const WORD ids[8] = {232, 234, 239, 240, 237, 235, 236, 238};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_STREQ(kModuleNames[i], GameModuleTable[i].moduleFile);
        EXPECT_EQ(ids[i], GameModuleTable[i].resourceId);
        EXPECT_EQ(i == 7 ? ScheduleOnly : CopyThenSchedule, GameModuleTable[i].mode);
        const std::string clean = gametest::ExpectedModule(i);
        ASSERT_GT(clean.size(), 64u) << i;
        EXPECT_EQ("MZ", clean.substr(0, 2));
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(gametest::ExpectedModule(j), clean) << i << " and " << j;
    }
    EXPECT_EQ(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(233), L"bin"));
}

TEST_F(GameRepairTest, RestoresEveryModuleAndBacksUpTheOldOne)
{
    GameFolder game(L"CrossFire Game\\");
    ASSERT_TRUE(FileExists(game.File(L"crossfire.exe")));
    RestoreGameModules(game.Path());

    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(Backup(i)))) << i;
        EXPECT_FALSE(FileExists(game.File(Tmp(i)))) << i;
    }
    EXPECT_EQ(0, RestartRequired);
    EXPECT_EQ(1, RepairPerformed);
    EXPECT_EQ(0, RepairFailed);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
    EXPECT_NE(std::string::npos, ScanLogBuffer.find("\\CrossFire Game\\rs.dll\r\n"));
    EXPECT_EQ(0u, ScanLogBuffer.find("\xd0\xde\xb8\xb4" "CrossFile" "\xce\xc4\xbc\xfe\t"));
}

TEST_F(GameRepairTest, SecondRunKeepsTheFirstBackups)
{
    GameFolder game;
    RestoreGameModules(game.Path());
    cftest::WriteFileBytes(game.File(L"LTMsg.dll"), "damaged again");
    ResetScanLog();
    RestoreGameModules(game.Path());

    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(Backup(i)))) << i;
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    }
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
}

TEST_F(GameRepairTest, AbsentModulesAreCopiedAtOnceExceptTheShellModule)
{
    gametest::PendingMoves keep;
    GameFolder game;
    ASSERT_TRUE(DeleteFileW(game.File(L"rs.dll").c_str()));
    ASSERT_TRUE(DeleteFileW(game.File(L"cshell.dll").c_str()));
    RestoreGameModules(game.Path());

    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_FALSE(FileExists(game.File(L"rs.tmp")));  // renamed into place
    EXPECT_FALSE(FileExists(game.File(L"rs.morvex")));
    EXPECT_FALSE(FileExists(game.File(L"cshell.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    EXPECT_FALSE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
    EXPECT_EQ(1, RestartRequired);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
}

TEST_F(GameRepairTest, ModulesInUseAreReplacedAtBootAndNeverWithoutABackup)
{
    gametest::PendingMoves keep;
    GameFolder game;
    // A running game maps its modules: a real DLL, loaded in another process.
    const std::string running = gametest::ExpectedModule(1);
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.dll"), running));
    {
        gametest::HeldFile rs(game.File(L"rs.dll"), true);
        gametest::HeldFile cshell(game.File(L"cshell.dll"));
        ASSERT_TRUE(rs.Held());
        ASSERT_TRUE(cshell.Held());
        // What the two paths rely on: a mapped module cannot go, a module
        // held with share mode 0 cannot even be read.
        EXPECT_FALSE(DeleteFileW(game.File(L"rs.dll").c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_EQ("", ReadFileBytes(game.File(L"cshell.dll")));

        RestoreGameModules(game.Path());
    }
    EXPECT_BYTES(running, ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_BYTES(running, ReadFileBytes(game.File(L"rs.morvex")));
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
    EXPECT_EQ(1, RestartRequired);
    // No backup can be made of the shell module, so it is left alone.
    EXPECT_BYTES(gametest::DamagedModule(7), ReadFileBytes(game.File(L"cshell.dll")));
    EXPECT_FALSE(FileExists(game.File(L"cshell.morvex")));
    EXPECT_FALSE(FileExists(game.File(L"cshell.tmp")));
    EXPECT_FALSE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    for (size_t i = 1; i < 7; ++i)
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), 1u << 7), ScanLogBuffer);
    EXPECT_EQ(1, RepairPerformed);
    EXPECT_EQ(1, RepairFailed);
}

TEST_F(GameRepairTest, RefusedBootMoveOffersNoRestart)
{
    gametest::PendingMoves keep;
    GameFolder game;
    ASSERT_TRUE(DeleteFileW(game.File(L"cshell.dll").c_str()));  // an absent shell module waits for the boot
    // The system adds to the boot-time list only when it is a string list.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", &key));
    RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    RegCloseKey(key);
    ASSERT_FALSE(MoveFileExW(game.File(L"rs.dll").c_str(), game.File(L"cshell.dll").c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));

    RestoreGameModules(game.Path());
    EXPECT_EQ(0, RestartRequired);
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), 1u << 7), ScanLogBuffer);
    EXPECT_EQ(1, RepairFailed);
}

// Ends a restoration at its n-th change to the disk, as a close or a kill
// ends the worker: a write or copy under way keeps half its bytes, and
// nothing changes after it. Or, with `stop`, the user presses stop there.
struct Cut {
    enum Step { Pass, Here, Dead };
    static bool armed;
    static bool stop;
    static bool stopped;
    static int at;  // 0: count the changes, cut none
    static int steps;
    static Step Next()
    {
        cftest::HookLock one;
        if (!armed)
            return Pass;
        if (stop) {
            stopped = stopped || ++steps == at;
            return Pass;
        }
        if (at && steps >= at)
            return Dead;
        return ++steps == at ? Here : Pass;
    }
    static BOOL Refuse()
    {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
};
bool Cut::armed = false;
bool Cut::stop = false;
bool Cut::stopped = false;
int Cut::at = 0;
int Cut::steps = 0;

struct CutStop : ICommunication {
    bool IsStopRequested() override { return Cut::stopped; }
};

cftest::ImportHook* g_createHook;
cftest::ImportHook* g_writeHook;

HANDLE WINAPI CutCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const bool changes = disposition != OPEN_EXISTING || (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
    if (changes && Cut::Next() != Cut::Pass) {
        Cut::Refuse();
        return INVALID_HANDLE_VALUE;
    }
    return g_createHook->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition, flags,
                                                           templateFile);
}

BOOL WINAPI CutWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const Cut::Step step = Cut::Next();
    if (step == Cut::Pass || step == Cut::Here) {
        BOOL ok = g_writeHook->Original<decltype(&WriteFile)>()(file, data, step == Cut::Here ? size / 2 : size,
                                                                written, overlapped);
        if (step == Cut::Pass)
            return ok;
    }
    return Cut::Refuse();
}

cftest::ImportHook* g_moveHook;
cftest::ImportHook* g_moveExHook;
cftest::ImportHook* g_deleteHook;
cftest::ImportHook* g_flushHook;

BOOL WINAPI CutMoveFileW(LPCWSTR from, LPCWSTR to)
{
    return Cut::Next() == Cut::Pass ? g_moveHook->Original<decltype(&MoveFileW)>()(from, to) : Cut::Refuse();
}

BOOL WINAPI CutMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return Cut::Next() == Cut::Pass ? g_moveExHook->Original<decltype(&MoveFileExW)>()(from, to, flags)
                                    : Cut::Refuse();
}

BOOL WINAPI CutDeleteFileW(LPCWSTR path)
{
    return Cut::Next() == Cut::Pass ? g_deleteHook->Original<decltype(&DeleteFileW)>()(path) : Cut::Refuse();
}

BOOL WINAPI CutFlushFileBuffers(HANDLE file)
{
    return Cut::Next() == Cut::Pass ? g_flushHook->Original<decltype(&FlushFileBuffers)>()(file) : Cut::Refuse();
}

// The longest case (15-70 s on a shared machine): a whole run for every file
// change of a repair, twice over, each flushing its files to the disk.
TEST_F(GameRepairTest, RunEndedOrStoppedAtAnyStepLeavesEveryFileWholeAndTheNextRunFinishes)
{
    cftest::ImportHook create("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(CutCreateFileW));
    cftest::ImportHook write("kernel32.dll", "WriteFile", reinterpret_cast<void*>(CutWriteFile));
    cftest::ImportHook move("kernel32.dll", "MoveFileW", reinterpret_cast<void*>(CutMoveFileW));
    cftest::ImportHook moveEx("kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(CutMoveFileExW));
    cftest::ImportHook remove("kernel32.dll", "DeleteFileW", reinterpret_cast<void*>(CutDeleteFileW));
    cftest::ImportHook flush("kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(CutFlushFileBuffers));
    g_createHook = &create;
    g_writeHook = &write;
    g_moveHook = &move;
    g_moveExHook = &moveEx;
    g_deleteHook = &remove;
    g_flushHook = &flush;
    ASSERT_TRUE(create.Installed() && write.Installed() && moveEx.Installed() && remove.Installed());
    gametest::PendingMoves keep;
    CutStop comm;

    // rs.dll is a loaded DLL, so its replacement takes the boot-time path.
    // The first round counts the changes; each later one ends the run at
    // one of them, then stops it there.
    std::string old[8];
    for (size_t i = 0; i < 8; ++i)
        old[i] = i == 0 ? gametest::ExpectedModule(1) : gametest::DamagedModule(i);
    int total = 0;
    for (int round = 0; round <= 2 * total; ++round) {
        const int at = round > total ? round - total : round;
        Cut::stop = round > total;
        SCOPED_TRACE(testing::Message() << (Cut::stop ? "stop at " : "cut at ") << at);
        GameFolder game;
        ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.dll"), old[0]));
        {
            cf::UniqueModule loaded(LoadLibraryExW(game.File(L"rs.dll").c_str(), nullptr, 0));
            ASSERT_TRUE(loaded.IsValid());
            RestartRequired = 0;
            RepairFailed = 0;
            ResetScanLog();
            Cut::at = at, Cut::steps = 0, Cut::stopped = false, Cut::armed = true;
            RestoreGameModules(game.Path(), nullptr, &comm);
            Cut::armed = false;
        }
        const bool rsPending = gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll"));
        EXPECT_EQ(rsPending ? 1 : 0, RestartRequired);
        unsigned changed = 0;
        for (size_t i = 0; i < 8; ++i) {
            const std::string clean = gametest::ExpectedModule(i);
            const std::wstring dll = game.File(kModuleNames[i]), tmp = game.File(Tmp(i));
            const std::string module = ReadFileBytes(dll);
            EXPECT_TRUE(module == old[i] || module == clean) << i << ": " << module.size() << " bytes";
            EXPECT_TRUE(!FileExists(game.File(Backup(i))) || ReadFileBytes(game.File(Backup(i))) == old[i]) << i;
            EXPECT_TRUE(!FileExists(tmp) || ReadFileBytes(tmp) == clean) << i;
            // Never a module replaced, or a replacement registered, without its backup.
            if (module == clean || (i == 0 && rsPending)) {
                changed |= 1u << i;
                EXPECT_EQ(old[i], ReadFileBytes(game.File(Backup(i)))) << i;
            }
            // Its line tells what happened to it.
            const std::string repairedLine = gametest::ExpectedRepairLines(game.Path(), 0, 1u << i);
            EXPECT_EQ((changed >> i) & 1, ScanLogBuffer.find(repairedLine) != std::string::npos) << i;
        }
        if (Cut::stop) {
            // A stop fails nothing and leaves no work file; the lines are those of the modules handled.
            EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), 0, changed), ScanLogBuffer);
            EXPECT_EQ(0, RepairFailed);
            for (const std::wstring& name : FolderNames(game.Path()))
                EXPECT_EQ(std::wstring::npos, name.find(L".part")) << cftest::Narrow(name);
        }
        if (round == 0) {
            total = Cut::steps;
            continue;
        }

        // A module whose clean copy already waits for the boot is left to it.
        RestoreGameModules(game.Path());
        for (size_t i = 0; i < 8; ++i) {
            EXPECT_BYTES(i == 0 && rsPending ? old[0] : gametest::ExpectedModule(i),
                         ReadFileBytes(game.File(kModuleNames[i]))) << i;
            EXPECT_BYTES(old[i], ReadFileBytes(game.File(Backup(i)))) << i;
        }
        EXPECT_EQ(17u + rsPending, FolderNames(game.Path()).size());  // the launcher, modules, backups, rs.tmp
        if (HasFailure())
            break;
    }
    EXPECT_GT(total, 40);  // every module was backed up, written and renamed
}

// Another process tries to swap the game folder, and the one above it, for
// a new folder each time a run renames a file over another.
cftest::ImportHook* g_swapHook;
HANDLE g_swapEvents[2];  // try, done
int g_swapTries = 0;

BOOL WINAPI SwapThenMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    SetEvent(g_swapEvents[0]);
    g_swapTries += WaitForSingleObject(g_swapEvents[1], 10000) == WAIT_OBJECT_0;
    return g_swapHook->Original<decltype(&MoveFileExW)>()(from, to, flags);
}

TEST_F(GameRepairTest, NoFolderOfTheChainCanBeSwappedDuringARepairOrARestore)
{
    GameFolder game;
    const std::wstring folder = game.Path().substr(0, game.Path().size() - 1);
    const std::wstring id = L"cfswap" + std::to_wstring(GetCurrentProcessId());
    cf::UniqueHandle events[2] = {cf::UniqueHandle(CreateEventW(nullptr, FALSE, FALSE, (id + L"try").c_str())),
                                  cf::UniqueHandle(CreateEventW(nullptr, FALSE, FALSE, (id + L"done").c_str()))};
    g_swapEvents[0] = events[0].Get(), g_swapEvents[1] = events[1].Get();
    cftest::Child swapper;
    ASSERT_TRUE(swapper.Start(L"\"" + cftest::ToolPath(L"holdfile.exe") + L"\" \"" + folder + L"\" 3000 swap " + id));
    cftest::ImportHook hook("kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(SwapThenMoveFileExW));
    g_swapHook = &hook;
    RestoreGameModules(game.Path());
    const int repairTries = g_swapTries;
    RestoreGameBackups(game.Path());
    EXPECT_EQ(0u, swapper.Wait(30000));  // no folder moved
    EXPECT_EQ(8, repairTries);           // a clean copy renamed over each module
    EXPECT_EQ(16, g_swapTries);          // and each backup over the clean copy
    for (size_t i = 0; i < 8; ++i)
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_EQ(1u, FolderNames(folder.substr(0, folder.rfind(L'\\') + 1)).size());
}

// A module in use by a running game, repaired (R) and restored (U) before
// the boot; a lower-case step runs while it is not loaded. rsLeft: the
// last run had to leave it to a pending boot-time move.
struct BootSequence {
    const char* steps;
    bool rsLeft;
    bool RestoreLast() const { return steps[strlen(steps) - 1] == 'U'; }
};

class BootSequenceTest : public GameRepairTest, public ::testing::WithParamInterface<BootSequence> {};

INSTANTIATE_TEST_SUITE_P(Runs, BootSequenceTest,
                         ::testing::Values(BootSequence{"rUR", true}, BootSequence{"RU", true},
                                           BootSequence{"RR", false}),
                         [](const ::testing::TestParamInfo<BootSequence>& info) { return info.param.steps; });

TEST_P(BootSequenceTest, NoMoveUndoesAnotherAndTheLastRecordTellsWhatTheBootLeaves)
{
    gametest::PendingMoves keep;
    GameFolder game;
    const std::string original = gametest::ExpectedModule(1);  // a real DLL, so that it can be loaded
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.dll"), original));
    std::unique_ptr<gametest::HeldFile> running;
    for (const char* step = GetParam().steps; *step; ++step) {
        if (isupper(*step) && !running) {
            running = std::make_unique<gametest::HeldFile>(game.File(L"rs.dll"), true);
            ASSERT_TRUE(running->Held());
        }
        ResetScanLog();
        AwaitingRestart = 0;
        if (toupper(*step) == 'R')
            RestoreGameModules(game.Path());
        else
            RestoreGameBackups(game.Path());
    }
    running.reset();
    EXPECT_EQ(GetParam().rsLeft, AwaitingRestart != 0);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), GetParam().rsLeft, 0xFF, GetParam().RestoreLast()),
              ScanLogBuffer);
    cftest::Child reboot;
    ASSERT_TRUE(reboot.Start(L"wineboot.exe -r"));
    reboot.Wait(120000);
    // Each module holds what the last record's line says of it.
    for (size_t i = 0; i < 8; ++i) {
        const bool holdsOld = GetParam().RestoreLast() != (i == 0 && GetParam().rsLeft);
        EXPECT_BYTES(holdsOld ? (i ? gametest::DamagedModule(i) : original) : gametest::ExpectedModule(i),
                     ReadFileBytes(game.File(kModuleNames[i]))) << i;
    }
    EXPECT_TRUE(ReadFileBytes(game.File(L"rs.dll")) == original || ReadFileBytes(game.File(L"rs.morvex")) == original);
}

TEST_F(GameRepairTest, BrokenStoreLeavesEveryModuleAlone)
{
    gametest::PendingMoves keep;
    GameFolder game;
    // A module with no "BIN" resources at all stands for a broken store.
    RestoreGameModules(game.Path(), GetModuleHandleW(L"kernel32.dll"));

    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_FALSE(FileExists(game.File(Tmp(i)))) << i;
    }
    EXPECT_EQ(0, RestartRequired);
    EXPECT_EQ(0, RepairPerformed);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), 0xFF), ScanLogBuffer);
}

bool LinkCount(const std::wstring& path, DWORD& links)
{
    cf::UniqueFile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.Get(), &info))
        return false;
    links = info.nNumberOfLinks;
    return true;
}

TEST_F(GameRepairTest, PlantedLinksAndFoldersAreNeverWrittenThrough)
{
    gametest::PendingMoves keep;
    GameFolder game;
    cftest::ScratchDir outside;
    const std::wstring victim = outside / L"victim.dll";
    ASSERT_TRUE(cftest::WriteFileBytes(victim, "a file outside the game folder"));
    const std::wstring victimFolder = outside / L"folder";
    ASSERT_TRUE(CreateDirectoryW(victimFolder.c_str(), nullptr));
    ASSERT_TRUE(cftest::WriteFileBytes(victimFolder + L"\\inside.dll", "inside"));

    // Names the run writes, renames over or removes, planted as hard links
    // to a file outside, or as a folder or a link to one.
    ASSERT_TRUE(CreateHardLinkW(game.File(L"rs.tmp.part").c_str(), victim.c_str(), nullptr));  // an old work name
    ASSERT_TRUE(CreateDirectoryW(game.File(L"fmodex.morvex").c_str(), nullptr));
    cftest::UnixLink folderLink(game.File(L"atl80.morvex"), victimFolder);
    ASSERT_TRUE(DeleteFileW(game.File(L"LTMsg.dll").c_str()));
    ASSERT_TRUE(CreateHardLinkW(game.File(L"LTMsg.dll").c_str(), victim.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(game.File(L"miniobject.morvex").c_str(), victim.c_str(), nullptr));
    ASSERT_TRUE(DeleteFileW(game.File(L"cshell.dll").c_str()));  // absent: its copy waits under cshell.tmp
    ASSERT_TRUE(CreateHardLinkW(game.File(L"cshell.tmp").c_str(), victim.c_str(), nullptr));
    DWORD links = 0;
    ASSERT_TRUE(LinkCount(victim, links));
    EXPECT_EQ(5u, links);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(game.File(L"atl80.morvex").c_str()));
    EXPECT_TRUE(GetFileAttributesW(game.File(L"atl80.morvex").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    RestoreGameModules(game.Path());
    EXPECT_EQ("a file outside the game folder", ReadFileBytes(victim));
    EXPECT_EQ("inside", ReadFileBytes(victimFolder + L"\\inside.dll"));
    EXPECT_EQ(1u, FolderNames(victimFolder + L"\\").size());
    for (size_t i : {1, 2, 4})
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_TRUE(GetFileAttributesW(game.File(L"fmodex.morvex").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(GetFileAttributesW(game.File(L"atl80.morvex").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(LinkCount(game.File(L"LTMsg.dll"), links) && links == 3);
    for (size_t i : {0, 5, 6})
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_FALSE(FileExists(game.File(L"rs.tmp.part")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path(), 0x1E), ScanLogBuffer);
    EXPECT_EQ(1, RepairFailed);

    // The game folder reached through a linked folder, as if swapped after
    // the consent: nothing changes behind the link.
    GameFolder behind;
    cftest::UnixLink swapped(outside / L"swapped", behind.Path().substr(0, behind.Path().size() - 1));
    ResetScanLog();
    RestoreGameModules(outside / L"swapped\\");
    EXPECT_EQ(9u, FolderNames(behind.Path()).size());
    for (size_t i = 0; i < 8; ++i)
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(behind.File(kModuleNames[i]))) << i;
    EXPECT_EQ(gametest::ExpectedRepairLines(outside / L"swapped\\", 0xFF), ScanLogBuffer);
}

TEST_F(GameRepairTest, StaleTemporaryFilesLongerThanTheModuleAreTruncated)
{
    GameFolder game;
    // Left by an earlier run that was cut short, and longer than any module.
    const std::string stale(gametest::ExpectedModule(0).size() + 4096, 's');
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.tmp"), stale));
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"cshell.tmp"), stale + stale));
    RestoreGameModules(game.Path());

    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.dll")));
    EXPECT_FALSE(FileExists(game.File(L"rs.tmp")));
    EXPECT_EQ(0, RestartRequired);
}

TEST_F(GameRepairTest, ExtractWritesTheWholeModuleOrNothing)
{
    cftest::ScratchDir dir;
    const std::wstring path = dir / L"module.dll";
    ASSERT_TRUE(cftest::WriteFileBytes(path, "existing"));
    EXPECT_EQ(0, ExtractModuleResource(233, path.c_str()));
    EXPECT_EQ("existing", ReadFileBytes(path));

    EXPECT_EQ(1, ExtractModuleResource(238, path.c_str()));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(path));

    // An existing longer file is truncated to the module.
    const std::wstring longer = dir / L"longer.dll";
    ASSERT_TRUE(cftest::WriteFileBytes(longer, std::string(gametest::ExpectedModule(0).size() * 2, 'x')));
    EXPECT_EQ(1, ExtractModuleResource(232, longer.c_str()));
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(longer));

    // The written module is a real DLL that loads and names itself.
    HMODULE loaded = LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, loaded) << GetLastError();
#ifdef CF_STORE_DIR
    auto name = reinterpret_cast<const char*>(GetProcAddress(loaded, "CfStandinModuleName"));
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ("CrossFire stand-in module: cshell.dll", name);
#endif
    FreeLibrary(loaded);
}

// The location half, with the user's answer and the restoration replaced.
struct Calls {
    int answer = IDYES;
    int asked = 0;
    std::vector<std::wstring> restored;
};

int Confirm(void* context)
{
    auto* calls = static_cast<Calls*>(context);
    calls->asked++;
    return calls->answer;
}

void Restore(const std::wstring& folder, void* context) { static_cast<Calls*>(context)->restored.push_back(folder); }

class LocateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A qualifying entry left by someone else would be offered first.
        gametest::ForgetCrashedRuns();
        cf::UniqueKey key;
        ASSERT_TRUE(OpenMuiCacheKey(key));
        const DWORD count = GetMuiCacheValueCount(key.Get());
        for (DWORD i = 0; i < count; ++i) {
            std::wstring folder;
            if (ReadMuiCacheFolder(key.Get(), i, folder)) {
                ASSERT_FALSE(FileExists(folder + L"crossfire.exe")) << cftest::Narrow(folder);
                ASSERT_FALSE(FileExists(folder + L"launchcrossfire.exe")) << cftest::Narrow(folder);
            }
        }
    }
    void Locate()
    {
        const GameRepairHooks hooks = {Confirm, Restore, &calls, nullptr};
        LocateGameFolder(&hooks);
    }
    Calls calls;
};

TEST_F(LocateTest, OffersTheLowerCasedFolderOfALauncher)
{
    GameFolder game(L"Games\\");
    CreateDirectoryW(game.Path().c_str(), nullptr);
    gametest::MuiCacheEntry entry(game.File(L"CrossFire.EXE"));
    Locate();
    EXPECT_EQ(1, calls.asked);
    ASSERT_EQ(1u, calls.restored.size());
    EXPECT_EQ(game.Lower(), calls.restored[0]);
    EXPECT_NE(game.Path(), calls.restored[0]);  // the scratch path has capitals
}

cftest::ImportHook* g_probeHook;
std::vector<std::pair<std::wstring, UINT>> g_probeModes;  // launcher path, error mode

HANDLE WINAPI RecordModeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (StrStrIW(name, L"crossfire.exe")) {
        const UINT mode = SetErrorMode(0);
        SetErrorMode(mode);
        g_probeModes.emplace_back(name, mode);
    }
    return g_probeHook->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition, flags,
                                                          templateFile);
}

TEST_F(LocateTest, LauncherProbesShowNoSystemErrorBoxesAndRestoreTheMode)
{
    GameFolder none(L"None\\", nullptr);
    gametest::MuiCacheEntry entry(none.File(L"crossfire.exe"));
    cftest::ImportHook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(RecordModeCreateFileW));
    ASSERT_TRUE(hook.Installed());
    g_probeHook = &hook;
    g_probeModes.clear();
    const UINT before = SetErrorMode(0);
    Locate();
    const UINT after = SetErrorMode(before);
    EXPECT_EQ(0u, after);
    int ours = 0;
    for (const auto& probe : g_probeModes) {
        ours += probe.first == none.Lower() + L"crossfire.exe" || probe.first == none.Lower() + L"launchcrossfire.exe";
        EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), probe.second)
            << cftest::Narrow(probe.first);
    }
    EXPECT_EQ(2, ours);
}

TEST_F(LocateTest, EitherLauncherQualifiesAndNoneDoesNot)
{
    GameFolder launch(L"Launch\\", L"launchcrossfire.exe");
    GameFolder none(L"None\\", nullptr);
    {
        gametest::MuiCacheEntry entry(none.File(L"crossfire.exe"));
        Locate();
        EXPECT_EQ(0, calls.asked);
    }
    gametest::MuiCacheEntry entry(launch.File(L"other.exe"));
    Locate();
    EXPECT_EQ(1, calls.asked);
    ASSERT_EQ(1u, calls.restored.size());
    EXPECT_EQ(launch.Lower(), calls.restored[0]);
}

TEST_F(LocateTest, OnlyTheFirstQualifyingFolderIsOfferedAndNoStopsTheSearch)
{
    GameFolder first(L"A\\");
    GameFolder second(L"B\\");
    gametest::MuiCacheEntry a(first.File(L"crossfire.exe"));
    gametest::MuiCacheEntry b(second.File(L"crossfire.exe"));

    // The key's own order decides (Wine sorts; Windows keeps insertion order).
    std::wstring expected;
    {
        cf::UniqueKey key;
        ASSERT_TRUE(OpenMuiCacheKey(key));
        const DWORD count = GetMuiCacheValueCount(key.Get());
        for (DWORD i = 0; i < count && expected.empty(); ++i) {
            std::wstring folder;
            if (ReadMuiCacheFolder(key.Get(), i, folder) && (folder == first.Lower() || folder == second.Lower()))
                expected = folder;
        }
    }
    ASSERT_FALSE(expected.empty());

    Locate();
    ASSERT_EQ(1u, calls.restored.size());
    EXPECT_EQ(expected, calls.restored[0]);

    calls = Calls();
    calls.answer = IDNO;
    Locate();
    EXPECT_EQ(1, calls.asked);
    EXPECT_TRUE(calls.restored.empty());

    // The way back passes over a folder without backups, and asks nothing
    // when none holds any.
    const GameFolder& later = expected == first.Lower() ? second : first;
    ASSERT_TRUE(MoveFileW(later.File(L"rs.dll").c_str(), later.File(L"rs.morvex").c_str()));
    calls = Calls();
    EXPECT_EQ(1, LocateAndRestoreBackups(Confirm, &calls).restored);
    EXPECT_BYTES(gametest::DamagedModule(0), ReadFileBytes(later.File(L"rs.dll")));
    const GameRestoreResult none = LocateAndRestoreBackups(Confirm, &calls);
    EXPECT_TRUE(none.gameFound && !none.backupsFound);
    EXPECT_EQ(1, calls.asked);
}

TEST_F(LocateTest, NamesThatAreNotDrivePathsAreSkipped)
{
    GameFolder game;
    std::wstring path = game.File(L"crossfire.exe");
    gametest::MuiCacheEntry resource(L"@" + path);
    gametest::MuiCacheEntry network(L"\\\\server\\share\\crossfire.exe");
    gametest::MuiCacheEntry shortName(L"C:");
    gametest::MuiCacheEntry relative(L"C:" + path.substr(3));  // drive-relative: no '\' after ':'
    Locate();
    EXPECT_EQ(0, calls.asked);
}

}  // namespace
