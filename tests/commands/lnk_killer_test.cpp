#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>

namespace {

using namespace cmdtest;

const std::wstring kLnkFile = L"SOFTWARE\\Classes\\lnkfile";
const std::wstring kMarker = kLnkFile + L"\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const std::wstring kOpenCommand = kLnkFile + L"\\shell\\open\\command";
const wchar_t* const kFavourites[] = {L"绿色下载站.url", L"三只涨停黑马股票推荐.url", L"淘宝特卖.url", L"网络赚钱宝典.url",
                                      L"最实用的减肥丰胸方法大全.url"};

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, 0, path);
    std::wstring folder = path;
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

class LnkKillerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved.Add(HKEY_LOCAL_MACHINE, kLnkFile);
        DeleteTree(HKEY_LOCAL_MACHINE, kMarker);
        ResetScanLog();
    }

    std::string Run()
    {
        CKillerForLnkKiller command;
        EXPECT_EQ(0, command.Execute(nullptr));
        return ScanLogBuffer;
    }

    SavedKeys m_saved;
    cftest::ScratchDir m_dir;
};

const std::string kRemoved = Gbk(L"清除LNK流氓\t");
const std::string kFolderRemoved = Gbk(L"清除LNK流氓残留文件夹\t");
const std::string kShellLine = Gbk(L"清除LNK流氓残留注册表\tHKEY_CLASSES_ROOT\\lnkfile\\shell\\ \r\n");

TEST_F(LnkKillerTest, HealthyClassIsLeftAloneEvenWithAnOpenCommand)
{
    CreateKey(HKEY_LOCAL_MACHINE, kMarker);
    const std::wstring script = m_dir / L"a.vbs";
    ASSERT_TRUE(cftest::WriteFileBytes(script, "x"));
    SetText(HKEY_LOCAL_MACHINE, kOpenCommand, nullptr, L"wscript.exe \"" + script + L"\"");
    EXPECT_EQ("", Run());
    EXPECT_TRUE(cftest::FileExists(script));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell\\open\\command"));
}

TEST_F(LnkKillerTest, HijackRemovesScriptFolderShellTreeAndAdvertising)
{
    const std::wstring folder = m_dir / L"worm";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring script = folder + L"\\a.vbs";
    ASSERT_TRUE(cftest::WriteFileBytes(script, "x"));
    CreateDirectoryW((m_dir / L"host").c_str(), nullptr);
    const std::wstring host = m_dir / L"host\\wscript.exe";
    ASSERT_TRUE(cftest::WriteFileBytes(host, "MZ"));
    SetText(HKEY_LOCAL_MACHINE, kOpenCommand, nullptr, L"\"" + host + L"\" \"" + script + L"\" %1");

    const std::wstring favourites = ShellFolder(CSIDL_FAVORITES);
    const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    ASSERT_FALSE(favourites.empty());
    ASSERT_FALSE(desktop.empty());
    // The prefix stores file names through the Linux locale; without a
    // Chinese one it cannot hold these names, and their deletion cannot
    // be watched.
    std::string expectedAdverts;
    const bool chineseNames = cftest::WriteFileBytes(desktop + L"淘宝-特卖.url", "[InternetShortcut]");
    if (chineseNames) {
        for (size_t i = 0; i < ARRAYSIZE(kFavourites); ++i) {
            if (i == 2)
                continue;  // one that does not exist gives no entry
            ASSERT_TRUE(cftest::WriteFileBytes(favourites + kFavourites[i], "[InternetShortcut]"));
            expectedAdverts += kRemoved + Gbk(favourites + kFavourites[i]) + "\r\n";
        }
        expectedAdverts += kRemoved + Gbk(desktop + L"淘宝-特卖.url") + "\r\n";
    } else {
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
        std::printf("note: this prefix cannot store Chinese file names; the favourites are not checked\n");
    }
    const std::wstring keep = favourites + L"keep.url";
    ASSERT_TRUE(cftest::WriteFileBytes(keep, "x"));

    EXPECT_EQ(kRemoved + Gbk(script) + "\r\n" + kFolderRemoved + Gbk(folder) + "\r\n" + kShellLine + expectedAdverts,
              Run());
    EXPECT_FALSE(cftest::FileExists(folder));
    EXPECT_TRUE(cftest::FileExists(host)) << "the script host itself stays";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile"));
    for (const wchar_t* name : kFavourites)
        EXPECT_FALSE(cftest::FileExists(favourites + name));
    EXPECT_TRUE(cftest::FileExists(keep));
    DeleteFileW(keep.c_str());

    int32_t removed = -1;
    int32_t repaired = -1;
    std::wstring text;
    CKillerForLnkKiller().GetResult(removed, repaired, text);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(L"lnkdestroyer", text);
}

TEST_F(LnkKillerTest, FolderWithOtherFilesStays)
{
    const std::wstring script = m_dir / L"a.vbs";
    ASSERT_TRUE(cftest::WriteFileBytes(script, "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(m_dir / L"other.txt", "x"));
    SetText(HKEY_LOCAL_MACHINE, kOpenCommand, nullptr, L"wscript.exe " + script);
    EXPECT_EQ(kRemoved + Gbk(script) + "\r\n" + kShellLine, Run());
    EXPECT_TRUE(cftest::FileExists(m_dir / L"other.txt"));
}

TEST_F(LnkKillerTest, ScriptHostAloneIsItselfTheTarget)
{
    const std::wstring target = m_dir / L"wscript.exe";
    ASSERT_TRUE(cftest::WriteFileBytes(target, "MZ"));
    ASSERT_TRUE(cftest::WriteFileBytes(m_dir / L"other.txt", "x"));
    SetText(HKEY_LOCAL_MACHINE, kOpenCommand, nullptr, target);
    EXPECT_EQ(kRemoved + Gbk(target) + "\r\n" + kShellLine, Run());
    EXPECT_FALSE(cftest::FileExists(target));
}

TEST_F(LnkKillerTest, EmptyOpenCommandOnlyRemovesTheShellTree)
{
    // An empty command must not be split into this program's own path.
    CreateKey(HKEY_LOCAL_MACHINE, kOpenCommand);
    EXPECT_EQ(kShellLine, Run());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_TRUE(cftest::FileExists(self));

    ResetScanLog();
    EXPECT_EQ("", Run()) << "no open-command key: nothing to do";
}

}  // namespace
