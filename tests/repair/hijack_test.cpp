#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/test_util.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/hijack.h"
#include "repair/module.h"
#include "sysfiles_test_util.h"

using namespace sysfilestest;
using cftest::UnixLink;

namespace {

const wchar_t kMuiCacheNt6[] = L"Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache";

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// Value names added to the run-program record, removed again on scope exit.
class MuiCacheValues {
public:
    MuiCacheValues()
    {
        OSVERSIONINFOW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        GetVersionExW(&info);
        EXPECT_GE(info.dwMajorVersion, 6u) << "the tests write the classes key of version 6";
        RegCreateKeyW(HKEY_CLASSES_ROOT, kMuiCacheNt6, &m_key);
    }
    ~MuiCacheValues()
    {
        for (const std::wstring& name : m_names)
            RegDeleteValueW(m_key, name.c_str());
        RegCloseKey(m_key);
    }
    void Add(const std::wstring& name)
    {
        const wchar_t data[] = L"Game";
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                                sizeof(data)));
        m_names.push_back(name);
    }

private:
    HKEY m_key = nullptr;
    std::vector<std::wstring> m_names;
};

std::multiset<std::string> LogLines(const std::string& log)
{
    std::multiset<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = log.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.insert(log.substr(from, end - from + 2));
    EXPECT_EQ(log.size(), from) << "text after the last line end";
    return lines;
}

FILETIME ToFileTime(const SYSTEMTIME& local, LONGLONG shiftSeconds)
{
    FILETIME localFile, utc;
    SystemTimeToFileTime(&local, &localFile);
    localFile = cftest::ShiftedFileTime(localFile, shiftSeconds);
    LocalFileTimeToFileTime(&localFile, &utc);
    return utc;
}

}  // namespace

TEST(HijackScan, CreationWindowIsSevenDaysInclusive)
{
    SYSTEMTIME now = {};
    now.wYear = 2024;
    now.wMonth = 3;
    now.wDay = 15;
    now.wHour = 12;
    EXPECT_TRUE(IsCreatedRecently(ToFileTime(now, 0), now));
    EXPECT_TRUE(IsCreatedRecently(ToFileTime(now, -2 * 86400), now));
    EXPECT_TRUE(IsCreatedRecently(ToFileTime(now, -kRecentCreationSeconds), now));
    EXPECT_FALSE(IsCreatedRecently(ToFileTime(now, -kRecentCreationSeconds - 1), now));
    EXPECT_FALSE(IsCreatedRecently(ToFileTime(now, -30 * 86400), now));
    EXPECT_TRUE(IsCreatedRecently(ToFileTime(now, 3600), now));  // a clock set back
    // Calendar years before 1900 count as second 0.
    SYSTEMTIME ancient = now;
    ancient.wYear = 1601;
    EXPECT_FALSE(IsCreatedRecently(ToFileTime(ancient, 0), now));
}

TEST(HijackScan, CollectsPlantedNamesWithLongLowerCasePaths)
{
    cftest::ScratchDir dir;
    std::wstring folder = dir / L"Long Game Folder\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (const wchar_t* name : {L"lpk.dll", L"DSOUND.DLL", L"conime.exe", L"notlisted.dll"})
        ASSERT_TRUE(cftest::WriteFileBytes(folder + name, "planted"));
    wchar_t shortFolder[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameW(folder.c_str(), shortFolder, MAX_PATH));
    ASSERT_NE(folder, std::wstring(shortFolder)) << "no short name to expand";

    MuiCacheValues values;
    values.Add(std::wstring(shortFolder) + L"Game.exe");
    values.Add(folder + L"Launcher.exe");  // the same folder a second time
    values.Add(L"@shell32.dll,-1");
    values.Add(L"\\\\server\\share\\lpk.dll");

    std::unordered_set<std::wstring> found;
    EXPECT_EQ(1, CKillSysFileFix::ScanSearchPathHijacks(found));
    std::wstring prefix = L"\\\\?\\" + Lower(folder);
    EXPECT_EQ(1u, found.count(prefix + L"lpk.dll"));
    EXPECT_EQ(1u, found.count(prefix + L"dsound.dll"));
    EXPECT_EQ(1u, found.count(prefix + L"conime.exe"));
    for (const std::wstring& path : found)
        EXPECT_EQ(std::wstring::npos, path.find(L"notlisted")) << cftest::Narrow(path);
    size_t before = found.size();
    EXPECT_EQ(1, CKillSysFileFix::ScanSearchPathHijacks(found));  // re-adding counts as a hit
    EXPECT_EQ(before, found.size());
}

TEST(HijackScan, WindowsFolderEmptyFoldersAndLinksGiveNothing)
{
    wchar_t windows[MAX_PATH];
    UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring planted = std::wstring(windows, n) + L"\\CfHijackScanTest\\";
    CreateDirectoryW(planted.c_str(), nullptr);
    ASSERT_TRUE(cftest::WriteFileBytes(planted + L"lpk.dll", "planted"));
    cftest::ScratchDir empty;
    // A folder reached through a link, a folder below one, and a link named
    // like a system file: each could lead into a system folder.
    cftest::ScratchDir dir;
    for (const wchar_t* name : {L"real", L"real\\sub", L"plain"})
        ASSERT_TRUE(CreateDirectoryW((dir / name).c_str(), nullptr));
    for (const wchar_t* name : {L"real\\lpk.dll", L"real\\sub\\lpk.dll"})
        ASSERT_TRUE(cftest::WriteFileBytes(dir / name, "planted"));
    UnixLink linked(dir / L"linked", dir / L"real");
    UnixLink named(dir / L"plain\\dsound.dll", dir / L"real");
    ASSERT_NE(0u, GetFileAttributesW((dir / L"linked").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    std::unordered_set<std::wstring> found;
    {
        MuiCacheValues values;
        std::wstring upper = planted;
        CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
        values.Add(upper + L"TOOL.EXE");
        values.Add(empty / L"prog.exe");
        values.Add(dir / L"linked\\game.exe");
        values.Add(dir / L"linked\\sub\\game.exe");
        values.Add(dir / L"plain\\game.exe");
        CKillSysFileFix::ScanSearchPathHijacks(found);
    }
    for (const std::wstring& path : found) {
        EXPECT_EQ(std::wstring::npos, path.find(L"cfhijackscantest")) << cftest::Narrow(path);
        EXPECT_EQ(std::wstring::npos, path.find(Lower(empty.Path()))) << cftest::Narrow(path);
        EXPECT_EQ(std::wstring::npos, path.find(L"\\linked\\")) << cftest::Narrow(path);
        EXPECT_EQ(std::wstring::npos, path.find(L"dsound")) << cftest::Narrow(path);
    }
    cftest::RemoveTree(planted);
}

TEST(HijackScan, UnreadableFileIsCollected)
{
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"usp10.dll", "planted"));
    EXPECT_TRUE(IsHijackCandidate(L"\\\\?\\" + (dir / L"usp10.dll")));
    cftest::Child holder;
    ASSERT_TRUE(HoldFile(holder, dir / L"usp10.dll"));
    std::unordered_set<std::wstring> found;
    {
        MuiCacheValues values;
        values.Add(dir / L"app.exe");
        EXPECT_EQ(1, CKillSysFileFix::ScanSearchPathHijacks(found));
    }
    EXPECT_EQ(1u, found.count(L"\\\\?\\" + Lower(dir / L"usp10.dll")));
    holder.Kill();
    holder.Wait();
}

// Wine cannot set a file's creation time, so this runs a second time with
// the clock moved 30 days ahead (CTest "test_system_files@aged", under faketime):
// files planted now then look a month old.
TEST(HijackScanAged, OldReadableFileIsLeftButUnreadableOneIsTaken)
{
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"lpk.dll", "old"));
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"usp10.dll", "old, in use"));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW((dir / L"lpk.dll").c_str(), GetFileExInfoStandard, &data));
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (IsCreatedRecently(data.ftCreationTime, now))
        GTEST_SKIP() << "needs a clock at least 8 days ahead of the files' creation (faketime)";

    cftest::Child holder;
    ASSERT_TRUE(HoldFile(holder, dir / L"usp10.dll"));
    std::unordered_set<std::wstring> found;
    {
        MuiCacheValues values;
        values.Add(dir / L"app.exe");
        EXPECT_EQ(1, CKillSysFileFix::ScanSearchPathHijacks(found));
    }
    EXPECT_EQ(0u, found.count(L"\\\\?\\" + Lower(dir / L"lpk.dll")));
    EXPECT_EQ(1u, found.count(L"\\\\?\\" + Lower(dir / L"usp10.dll")));
    holder.Kill();
    holder.Wait();
}

// Each file is renamed to its backup name now or left in place and logged
// as not removed; nothing waits for a boot-time move, which would act by path
// on whatever its user-writable folder has become by then.
TEST(HijackRemoval, RenamesAsideNowOrLogsNotRemoved)
{
    ResetScanLog();
    RestartRequired = 0;
    cftest::ScratchDir dir;
    std::wstring plain = L"\\\\?\\" + (dir / L"lpk.dll");
    std::wstring shared = L"\\\\?\\" + (dir / L"d3d9.dll");
    std::wstring held = L"\\\\?\\" + (dir / L"imm32.dll");
    ASSERT_TRUE(cftest::WriteFileBytes(plain, "plain"));
    ASSERT_TRUE(cftest::WriteFileBytes(shared, "shared"));
    ASSERT_TRUE(cftest::WriteFileBytes(held, "held"));
    ASSERT_TRUE(cftest::WriteFileBytes(plain + L".morvex", "older backup"));
    // Links into a system folder: backup names that are a symbolic and a hard
    // link, a collected file that is a hard link, and a collected file whose
    // folder has become a link since the scan.
    cftest::ScratchDir system;
    for (const wchar_t* name : {L"dsound.dll", L"ddraw.dll", L"d3d8.dll", L"ksuser.dll"})
        ASSERT_TRUE(cftest::WriteFileBytes(system / name, "system file"));
    std::wstring linkedBackup = L"\\\\?\\" + (dir / L"dsound.dll");
    ASSERT_TRUE(cftest::WriteFileBytes(linkedBackup, "linked backup"));
    UnixLink backupLink(dir / L"dsound.dll.morvex", system / L"dsound.dll");
    std::wstring hardBackup = L"\\\\?\\" + (dir / L"d3d8.dll");
    ASSERT_TRUE(cftest::WriteFileBytes(hardBackup, "hard backup"));
    ASSERT_TRUE(CreateHardLinkW((hardBackup + L".morvex").c_str(), (system / L"d3d8.dll").c_str(), nullptr));
    std::wstring hardPlanted = L"\\\\?\\" + (dir / L"ksuser.dll");
    ASSERT_TRUE(CreateHardLinkW(hardPlanted.c_str(), (system / L"ksuser.dll").c_str(), nullptr));
    UnixLink folderLink(dir / L"linked", system.Path());
    std::wstring throughLink = L"\\\\?\\" + (dir / L"linked\\ddraw.dll");

    CKillSysFileFix module;
    module.m_hijackPaths = {plain, shared, held, linkedBackup, hardBackup, hardPlanted, throughLink};
    HANDLE open = CreateFileW(shared.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    cftest::Child holder;
    ASSERT_TRUE(HoldFile(holder, dir / L"imm32.dll"));
    module.RemoveSearchPathHijacks();

    EXPECT_FALSE(cftest::FileExists(plain));
    EXPECT_EQ("plain", cftest::ReadFileBytes(plain + L".morvex"));
    EXPECT_FALSE(cftest::FileExists(linkedBackup));
    EXPECT_EQ("linked backup", cftest::ReadFileBytes(linkedBackup + L".morvex"));
    EXPECT_FALSE(cftest::FileExists(hardBackup));
    EXPECT_EQ("hard backup", cftest::ReadFileBytes(hardBackup + L".morvex"));
    EXPECT_FALSE(cftest::FileExists(hardPlanted));
    EXPECT_EQ("system file", cftest::ReadFileBytes(hardPlanted + L".morvex"));
    for (const wchar_t* name : {L"dsound.dll", L"ddraw.dll", L"d3d8.dll", L"ksuser.dll"})
        EXPECT_EQ("system file", cftest::ReadFileBytes(system / name)) << cftest::Narrow(name);
    EXPECT_FALSE(cftest::FileExists(system / L"ddraw.dll.morvex"));
    // Open without delete sharing: stays where it is, and no copy is made.
    EXPECT_EQ("shared", cftest::ReadFileBytes(shared));
    EXPECT_FALSE(cftest::FileExists(shared + L".morvex"));
    EXPECT_FALSE(cftest::FileExists(held + L".morvex"));
    EXPECT_EQ(0, RestartRequired);
    EXPECT_EQ(std::wstring::npos, PendingRenames().find(dir.Path())) << cftest::Narrow(PendingRenames());
    // "未能移除的注入文件\t" in code page 936.
    const std::string notRemoved = "\xce\xb4\xc4\xdc\xd2\xc6\xb3\xfd\xb5\xc4\xd7\xa2\xc8\xeb\xce\xc4\xbc\xfe\t";
    std::multiset<std::string> expected;
    for (const std::wstring& path : {plain, linkedBackup, hardBackup, hardPlanted})
        expected.insert("Search Path Inject\t" + Ansi(path) + "\r\n");
    for (const std::wstring& path : {shared, held, throughLink})
        expected.insert(notRemoved + Ansi(path) + "\r\n");
    EXPECT_EQ(expected, LogLines(ScanLogBuffer));
    EXPECT_EQ(7u, module.m_hijackPaths.size());

    CloseHandle(open);
    holder.Kill();
    holder.Wait();
    DeleteFileW((dir / L"imm32.dll.held").c_str());
    EXPECT_EQ("held", cftest::ReadFileBytes(held));
}
