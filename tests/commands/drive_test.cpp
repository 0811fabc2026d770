#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <sstream>

// These routines delete files and change attributes at every drive root.
// The fixture script maps M: and N: to scratch folders of the build tree;
// each test first checks that no other drive exists besides C: and Z:
// (the build tree) and that neither holds anything the routines would
// change, so that only the scratch drives can be altered.

namespace {

using namespace cmdtest;

const wchar_t kScript[] = L"cfworm.vbs";
const std::vector<std::wstring> kExpectedDrives = {L"C:\\", L"M:\\", L"N:\\", L"Z:\\"};

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

// Moves a folder the fixture made hidden ("hs": hidden and system, "h":
// hidden only) into place; the attribute goes with it.
bool TakeHiddenFolder(const wchar_t* kind, const std::wstring& destination)
{
    for (int i = 1; i <= 24; ++i) {
        std::wstring source = L"Z:\\cf-drives\\stash\\" + std::wstring(kind) + std::to_wstring(i);
        if (GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES)
            return MoveFileW(source.c_str(), destination.c_str()) != FALSE;
    }
    return false;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start + 2));
    if (start < text.size())
        lines.push_back(text.substr(start));
    std::sort(lines.begin(), lines.end());
    return lines;
}

class OneKeyHost : public CKillerForOneKB {
public:
    OneKeyHost(ICommunication* comm, const std::wstring& name)
    {
        m_pComm = comm;
        m_strScriptName = name;
    }
    int32_t Removed() const { return m_nRemoved; }
    int32_t Repaired() const { return m_nRepaired; }
};

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kExpectedDrives, ReadDriveList())
            << "run the commands_drives_setup fixture first; no drive but C:, M:, N: and Z: may exist";
        ASSERT_TRUE(cftest::FileExists(L"Z:\\CMakeCache.txt")) << "Z: must be the build tree";
        for (const wchar_t* letter : {L"m", L"n"}) {
            const std::wstring root = std::wstring(1, towupper(letter[0])) + L":\\";
            for (const std::wstring& name : cftest::FolderNames(root))
                cftest::RemoveTree(root + name);
            ASSERT_TRUE(cftest::WriteFileBytes(root + L"probe.tmp", "x"));
            EXPECT_TRUE(cftest::FileExists(L"Z:\\cf-drives\\" + std::wstring(letter) + L"\\probe.tmp"))
                << "the scratch drive is not the fixture's folder";
            DeleteFileW((root + L"probe.tmp").c_str());
        }
        for (const std::wstring root : {L"C:\\", L"Z:\\"}) {
            for (const std::wstring& name : cftest::FolderNames(root)) {
                const DWORD attributes = Attributes(root + name);
                ASSERT_FALSE(StrStrIW(name.c_str(), L".lnk")) << cftest::Narrow(root + name);
                ASSERT_NE(0, lstrcmpiW(name.c_str(), L"autorun.inf")) << cftest::Narrow(root);
                ASSERT_NE(0, lstrcmpiW(name.c_str(), kScript)) << cftest::Narrow(root);
                ASSERT_FALSE((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                             (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
                    << "a hidden folder at " << cftest::Narrow(root + name) << " would be changed";
            }
        }
        ResetScanLog();
    }

    void TearDown() override
    {
        EXPECT_TRUE(cftest::FileExists(L"Z:\\CMakeCache.txt")) << "the build tree's root was changed";
        for (const std::wstring root : {L"M:\\", L"N:\\"})
            for (const std::wstring& name : cftest::FolderNames(root))
                cftest::RemoveTree(root + name);
    }

    static std::string DeleteLines(const std::vector<std::wstring>& roots, bool withCopy)
    {
        std::string lines;
        for (const std::wstring& root : roots) {
            lines += "del file " + cftest::Narrow(root) + "Autorun.inf\r\n";
            if (withCopy)
                lines += "del file " + cftest::Narrow(root) + "cfworm.vbs\r\n";
        }
        return lines;
    }
};

TEST_F(DriveTest, CleanDriveRootsRemovesDecoysCopiesStreamsAndUnhides)
{
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"M:\\Photos"));
    ASSERT_EQ(static_cast<DWORD>(0x16), Attributes(L"M:\\Photos")) << "the stash lost its attributes";
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"M:\\System Volume Information"));
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"M:\\FOUND.000"));
    ASSERT_TRUE(TakeHiddenFolder(L"h", L"N:\\Docs"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\Photos.lnk", "L"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\Readme.lnk", "L"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\Autorun.inf", "[AutoRun]\r\nopen=cfworm.vbs\r\n"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\cfworm.vbs", "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\CFWORM.VBS", "x"));
    // Named streams are plain files with a colon in their name here.
    const std::wstring explorerStream = WindowsDir() + L"explorer.exe:cfworm.vbs";
    const std::wstring smssStream = SystemDir() + L"smss.exe:cfworm.vbs";
    ASSERT_TRUE(cftest::WriteFileBytes(explorerStream, "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(smssStream, "x"));

    StopAfter never(1000);
    OneKeyHost host(&never, kScript);
    host.CleanDriveRoots();

    EXPECT_FALSE(cftest::FileExists(explorerStream));
    EXPECT_FALSE(cftest::FileExists(smssStream));
    EXPECT_TRUE(cftest::FileExists(WindowsDir() + L"explorer.exe"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\Photos.lnk"));
    EXPECT_TRUE(cftest::FileExists(L"M:\\Readme.lnk"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(L"M:\\Photos"));
    EXPECT_EQ(static_cast<DWORD>(0x16), Attributes(L"M:\\System Volume Information"));
    EXPECT_EQ(static_cast<DWORD>(0x16), Attributes(L"M:\\FOUND.000"));
    EXPECT_EQ(static_cast<DWORD>(0x12), Attributes(L"N:\\Docs")) << "hidden alone is not enough";
    EXPECT_FALSE(cftest::FileExists(L"M:\\Autorun.inf"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\cfworm.vbs"));
    EXPECT_FALSE(cftest::FileExists(L"N:\\CFWORM.VBS"));

    EXPECT_EQ(6, host.Removed());
    EXPECT_EQ(1, host.Repaired());
    EXPECT_EQ(2 + 4, never.Polls());
    EXPECT_EQ(DeleteLines(kExpectedDrives, true), ScanLogBuffer);
}

TEST_F(DriveTest, CleanDriveRootsStopsAfterADrive)
{
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\cfworm.vbs", "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\cfworm.vbs", "x"));
    StopAfter stop(3);  // the poll after M: asks to stop
    OneKeyHost host(&stop, kScript);
    host.CleanDriveRoots();
    EXPECT_EQ(4, stop.Polls());
    EXPECT_FALSE(cftest::FileExists(L"M:\\cfworm.vbs"));
    EXPECT_TRUE(cftest::FileExists(L"N:\\cfworm.vbs"));
    EXPECT_EQ(1, host.Removed());
    EXPECT_EQ(DeleteLines({L"C:\\", L"M:\\"}, true), ScanLogBuffer);

    StopAfter first(0);
    OneKeyHost early(&first, kScript);
    early.CleanDriveRoots();
    EXPECT_EQ(1, first.Polls());
    EXPECT_TRUE(cftest::FileExists(L"N:\\cfworm.vbs"));
}

TEST_F(DriveTest, ScriptNameThatIsAPathIsNotFollowed)
{
    ASSERT_TRUE(CreateDirectoryW(L"M:\\sub", nullptr));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\sub\\victim.vbs", "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\Autorun.inf", "x"));
    StopAfter never(1000);
    OneKeyHost host(&never, L"sub\\victim.vbs");
    host.CleanDriveRoots();
    EXPECT_TRUE(cftest::FileExists(L"M:\\sub\\victim.vbs"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\Autorun.inf"));
    EXPECT_EQ(1, host.Removed());
    // N: is empty: a root with nothing to list is passed over at once.
    EXPECT_EQ(DeleteLines({L"C:\\", L"M:\\", L"Z:\\"}, false), ScanLogBuffer);
}

TEST_F(DriveTest, RestoreHiddenFoldersRemovesDecoysAndUnhides)
{
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"M:\\Backup"));
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"M:\\Photos"));
    ASSERT_TRUE(TakeHiddenFolder(L"h", L"N:\\Docs"));
    ASSERT_TRUE(CreateDirectoryW(L"N:\\Plain", nullptr));
    for (const wchar_t* decoy : {L"M:\\Backup.lnk", L"M:\\Backup.exe", L"M:\\Photos.exe", L"N:\\Plain.lnk"})
        ASSERT_TRUE(cftest::WriteFileBytes(decoy, "MZ"));

    EXPECT_EQ(1, RestoreHiddenFolders());

    EXPECT_FALSE(cftest::FileExists(L"M:\\Backup.lnk"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\Backup.exe"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\Photos.exe"));
    EXPECT_TRUE(cftest::FileExists(L"N:\\Plain.lnk")) << "a folder that is not hidden has no decoys";
    EXPECT_EQ(static_cast<DWORD>(0x16), Attributes(L"M:\\Backup")) << "\"backup\" is on the skip list";
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(L"M:\\Photos"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(L"N:\\Docs"));
    EXPECT_EQ(Lines(Gbk(L"删除文件夹1KB快捷方式\tM:\\Backup.lnk\r\n") + Gbk(L"删除文件夹EXE\tM:\\Backup.exe\r\n") +
                    Gbk(L"删除文件夹EXE\tM:\\Photos.exe\r\n") + Gbk(L"恢复被木马隐藏的文件夹\tM:\\Photos\r\n") +
                    Gbk(L"恢复被木马隐藏的文件夹\tN:\\Docs\r\n")),
              Lines(ScanLogBuffer));
}

TEST_F(DriveTest, RemoveStaleAutorunDeletesOnlyFilesNamingMissingPrograms)
{
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\autorun.inf", "[AutoRun]\r\nopen=tool.exe /go\r\n"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\tool.exe", "MZ"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\autorun.inf", "[AutoRun]\r\nicon=tool.ico\r\nlabel=x\r\n"));
    EXPECT_EQ(1, RemoveStaleAutorun());
    EXPECT_TRUE(cftest::FileExists(L"M:\\autorun.inf"));
    EXPECT_TRUE(cftest::FileExists(L"N:\\autorun.inf"));
    EXPECT_EQ("", ScanLogBuffer);

    DeleteFileW(L"M:\\tool.exe");
    EXPECT_EQ(1, RemoveStaleAutorun());
    EXPECT_FALSE(cftest::FileExists(L"M:\\autorun.inf"));
    EXPECT_EQ("empty autorun fixed\tM:\\autorun.inf\r\n", ScanLogBuffer);
}

TEST_F(DriveTest, RemoveStaleAutorunOnOddFiles)
{
    std::string binary(70000, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 7919) >> 3);
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\autorun.inf", ""));
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\autorun.inf", binary));
    EXPECT_EQ(1, RemoveStaleAutorun());
    EXPECT_TRUE(cftest::FileExists(L"M:\\autorun.inf"));
    EXPECT_TRUE(cftest::FileExists(L"N:\\autorun.inf"));

    std::string huge(2 * 1024 * 1024, ';');
    huge += "\r\n[AutoRun]\r\nShellExecute=gone.exe\r\n";
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\autorun.inf", huge));
    // A command longer than the buffer cannot be judged and is kept.
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\autorun.inf",
                                       "[AutoRun]\r\nopen=" + std::string(300, 'x') + ".exe\r\n"));
    ResetScanLog();
    EXPECT_EQ(1, RemoveStaleAutorun());
    EXPECT_FALSE(cftest::FileExists(L"M:\\autorun.inf"));
    EXPECT_TRUE(cftest::FileExists(L"N:\\autorun.inf"));
    EXPECT_EQ("empty autorun fixed\tM:\\autorun.inf\r\n", ScanLogBuffer);
}

// Extra drive letters pointing nowhere, removed again when the object goes.
class ExtraDrives {
public:
    explicit ExtraDrives(size_t count)
    {
        for (wchar_t letter = L'A'; letter <= L'Y' && m_letters.size() < count; ++letter) {
            if (letter == L'C' || letter == L'M' || letter == L'N')
                continue;
            const std::wstring name = std::wstring(1, letter) + L":";
            if (DefineDosDeviceW(DDD_RAW_TARGET_PATH, name.c_str(), L"\\Device\\CfNoSuchDevice"))
                m_letters.push_back(name);
        }
    }
    ~ExtraDrives()
    {
        while (!m_letters.empty())
            RemoveOne();
    }
    void RemoveOne()
    {
        DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                         m_letters.back().c_str(), L"\\Device\\CfNoSuchDevice");
        m_letters.pop_back();
    }
    size_t Count() const { return m_letters.size(); }

private:
    std::vector<std::wstring> m_letters;
};

TEST_F(DriveTest, MoreDrivesThanTheListHoldsWalksNone)
{
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\autorun.inf", "[AutoRun]\r\nopen=gone.exe\r\n"));
    {
        ExtraDrives extra(21);
        ASSERT_EQ(21u, extra.Count());
        wchar_t list[200] = {};
        ASSERT_EQ(101u, GetLogicalDriveStringsW(kDriveListChars, list)) << "25 drives need 101 characters";
        EXPECT_TRUE(ReadDriveList().empty());
        EXPECT_EQ(1, RemoveStaleAutorun());
        EXPECT_TRUE(cftest::FileExists(L"M:\\autorun.inf"));
        EXPECT_EQ("", ScanLogBuffer);

        extra.RemoveOne();
        EXPECT_EQ(24u, ReadDriveList().size());
        EXPECT_EQ(1, RemoveStaleAutorun());
        EXPECT_FALSE(cftest::FileExists(L"M:\\autorun.inf"));
    }
    EXPECT_EQ(kExpectedDrives, ReadDriveList());
}

TEST_F(DriveTest, OneKeyRunFromHijackToDriveHandlers)
{
    SavedKeys saved;
    SaveRepairKeys(saved);
    SetText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load",
            L"C:\\windows\\system32\\wscript.exe C:\\windows\\explorer.exe:cfworm.vbs");
    SetText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{x}", nullptr,
            L"x");
    ASSERT_TRUE(TakeHiddenFolder(L"hs", L"N:\\Photos"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"N:\\Photos.lnk", "L"));
    ASSERT_TRUE(cftest::WriteFileBytes(L"M:\\cfworm.vbs", "x"));

    StopAfter never(1000);
    CKillerForOneKB command;
    EXPECT_EQ(0, command.Execute(&never));
    int32_t removed = -1;
    int32_t repaired = -1;
    std::wstring name;
    command.GetResult(removed, repaired, name);
    EXPECT_EQ(L"cfworm.vbs", name);
    EXPECT_EQ(2, removed);
    EXPECT_EQ(2, repaired);
    EXPECT_EQ(L"", GetText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load"));
    EXPECT_FALSE(cftest::FileExists(L"M:\\cfworm.vbs"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(L"N:\\Photos"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2"));
    EXPECT_EQ(DeleteLines(kExpectedDrives, true) + Gbk(L"修复磁盘打开关联\r\n") +
                  "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\r\n"
                  "HKEY_CLASSES_ROOT\\Drive\\shell\r\n",
              ScanLogBuffer);
}

}  // namespace
