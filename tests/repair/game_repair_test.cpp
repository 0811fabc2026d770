#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/game_fixture.h"
#include "common/test_util.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "repair/muicache.h"

using cftest::FileExists;
using cftest::ReadFileBytes;
using gametest::GameFolder;
using gametest::kModuleNames;
using gametest::kModuleStems;

namespace {

class GameRepairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RestartRequired = 0;
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
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.tmp")));  // the copy leaves it
    EXPECT_FALSE(FileExists(game.File(L"rs.morvex")));
    EXPECT_FALSE(FileExists(game.File(L"cshell.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    EXPECT_FALSE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
    EXPECT_EQ(1, RestartRequired);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
}

TEST_F(GameRepairTest, ModulesInUseAreReplacedAtBoot)
{
    gametest::PendingMoves keep;
    GameFolder game;
    {
        gametest::HeldFile rs(game.File(L"rs.dll"));
        gametest::HeldFile cshell(game.File(L"cshell.dll"));
        ASSERT_TRUE(rs.Held());
        ASSERT_TRUE(cshell.Held());
        // What the deferred path relies on: a held module cannot go.
        EXPECT_FALSE(DeleteFileW(game.File(L"rs.dll").c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

        RestoreGameModules(game.Path());
    }
    EXPECT_BYTES(gametest::DamagedModule(0), ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_BYTES(gametest::DamagedModule(7), ReadFileBytes(game.File(L"cshell.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.tmp")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    EXPECT_EQ(1, RestartRequired);
    // Share mode 0 forbids even reading, so a held module gets no backup.
    EXPECT_FALSE(FileExists(game.File(L"rs.morvex")));
    for (size_t i = 1; i < 7; ++i)
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
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
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
}

TEST_F(GameRepairTest, FailedCleanCopyLeavesTheModuleInPlace)
{
    GameFolder game;
    // A folder where the clean copy would be written makes that write fail.
    ASSERT_TRUE(CreateDirectoryW(game.File(L"fmodex.tmp").c_str(), nullptr));
    RestoreGameModules(game.Path());

    EXPECT_BYTES(gametest::DamagedModule(1), ReadFileBytes(game.File(L"fmodex.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_BYTES(gametest::ExpectedModule(2), ReadFileBytes(game.File(L"atl80.dll")));
    EXPECT_EQ(0, RestartRequired);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Path()), ScanLogBuffer);
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
        const GameRepairHooks hooks = {Confirm, Restore, &calls};
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
