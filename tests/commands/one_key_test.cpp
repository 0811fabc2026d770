#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cwchar>

namespace {

using namespace cmdtest;

// A copy of the sleeper tool under a worm's program name, running.
class Impostor {
public:
    Impostor(const std::wstring& path) : m_path(path)
    {
        CopyFileW(cftest::ToolPath(L"sleeper.exe").c_str(), path.c_str(), FALSE);
        m_child.Start(L"\"" + path + L"\" 60000");
        // Its image path is readable only once the loader has run.
        for (int i = 0; i < 100 && !Ready(); ++i)
            Sleep(50);
    }
    ~Impostor()
    {
        m_child.Kill();
        m_child.Wait(5000);
    }
    bool Ready()
    {
        wchar_t image[MAX_PATH] = {};
        return m_child.Handle() && GetModuleFileNameExW(m_child.Handle(), nullptr, image, MAX_PATH) > 0;
    }
    bool Running() { return m_child.Handle() && WaitForSingleObject(m_child.Handle(), 0) == WAIT_TIMEOUT; }
    // Exit code after a termination by the command (0), or STILL_ACTIVE.
    DWORD ExitCode() { return m_child.Wait(10000); }

private:
    std::wstring m_path;
    cftest::Child m_child;
};

std::vector<DWORD> SystemServiceHosts()
{
    std::vector<DWORD> ids;
    const std::wstring wanted = SystemDir() + L"svchost.exe";
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t image[MAX_PATH] = {};
        if (GetModuleFileNameExW(process, nullptr, image, MAX_PATH) && !lstrcmpiW(image, wanted.c_str()))
            ids.push_back(entry.th32ProcessID);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}

bool Alive(DWORD id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!process)
        return false;
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

TEST(KillProcessesByPath, EndsTheWormsProgramsAndSparesTheSystemServiceHost)
{
    cftest::ScratchDir dir;
    CreateDirectoryW((dir / L"system").c_str(), nullptr);
    CreateDirectoryW((dir / L"system32").c_str(), nullptr);
    std::vector<DWORD> hosts = SystemServiceHosts();
    Impostor script(dir / L"WScript.exe");
    Impostor planted(dir / L"system\\svchost.exe");
    Impostor genuine(dir / L"system32\\svchost.exe");
    ASSERT_TRUE(script.Ready());
    ASSERT_TRUE(planted.Ready());
    ASSERT_TRUE(genuine.Ready());

    KillProcessesByPath(L"wscript.exe");
    EXPECT_EQ(0u, script.ExitCode());
    EXPECT_TRUE(planted.Running());

    KillProcessesByPath(L"system\\svchost.exe");
    EXPECT_EQ(0u, planted.ExitCode());
    EXPECT_TRUE(genuine.Running()) << "a service host in a folder named system32 is not the planted one";
    for (DWORD id : hosts)
        EXPECT_TRUE(Alive(id)) << "the prefix's own svchost.exe " << id;
}

TEST(DeleteRegistryTree, RemovesTheTreeAndTreatsAMissingKeyAsGone)
{
    cftest::ScratchKey key;
    const std::wstring root = key.SubPath() + L"\\Tree";
    SetText(HKEY_CURRENT_USER, root + L"\\a\\b\\c", L"v", L"x");
    SetText(HKEY_CURRENT_USER, root + L"\\d", nullptr, L"y");
    CreateKey(HKEY_CURRENT_USER, key.SubPath() + L"\\Sibling");

    wchar_t path[kRegistryPathChars + 4] = {};
    wcscpy(path, (root + L"\\").c_str());
    EXPECT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, path));
    EXPECT_EQ(root + L"\\", path) << "the caller's path comes back as it was";
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, key.SubPath() + L"\\Sibling"));

    EXPECT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, root.c_str()));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, key.SubPath() + L"\\Sibling"));
}

TEST(DeleteRegistryTree, ATreeDeeperThanItsPathBufferIsNotOverrun)
{
    cftest::ScratchKey key;
    const std::wstring level(200, L'k');
    const std::wstring root = key.SubPath() + L"\\Deep";
    const std::wstring deepest = root + L"\\" + level + L"1\\" + level + L"2\\" + level + L"3";
    CreateKey(HKEY_CURRENT_USER, deepest);
    ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, deepest));

    struct {
        wchar_t path[kRegistryPathChars];
        wchar_t guard[8];
    } buffer;
    for (wchar_t& c : buffer.guard)
        c = L'G';
    wcscpy(buffer.path, root.c_str());
    EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, buffer.path));
    for (wchar_t c : buffer.guard)
        EXPECT_EQ(L'G', c);
    EXPECT_EQ(root, buffer.path);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, root));

    EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, std::wstring(kRegistryPathChars, L'x').c_str()));
}

class OneKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SaveRepairKeys(m_saved);
        ResetScanLog();
    }
    SavedKeys m_saved;
};

TEST_F(OneKeyTest, DriveHandlersAreResetAndLogged)
{
    const std::wstring mountPoints = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
    SetText(HKEY_CURRENT_USER, mountPoints + L"\\{x}\\Shell\\AutoRun\\command", nullptr, L"wscript.exe a.vbs");
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Drive\\shell\\find\\command", nullptr, L"x");
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Drive", L"keep", L"y");
    ResetDriveHandlers();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, mountPoints));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Drive\\shell"));
    EXPECT_EQ(L"y", GetText(HKEY_CLASSES_ROOT, L"Drive", L"keep"));
    const std::string expected = Gbk(L"修复磁盘打开关联\r\n") +
                                 "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\r\n"
                                 "HKEY_CLASSES_ROOT\\Drive\\shell\r\n";
    EXPECT_EQ(expected, ScanLogBuffer);

    ResetScanLog();
    ResetDriveHandlers();  // nothing left: the lines are written all the same
    EXPECT_EQ(expected, ScanLogBuffer);
}

TEST_F(OneKeyTest, StopBeforeTheRunStillEndsTheScriptHost)
{
    cftest::ScratchDir dir;
    CreateDirectoryW((dir / L"system").c_str(), nullptr);
    Impostor script(dir / L"wscript.exe");
    Impostor planted(dir / L"system\\svchost.exe");
    SetNumber(HKEY_LOCAL_MACHINE,
              L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN",
              L"CheckedValue", 3);
    StopAfter stop(0);
    CKillerForOneKB command;
    EXPECT_EQ(0, command.Execute(&stop));
    EXPECT_EQ(1, stop.Polls());
    EXPECT_EQ(0u, script.ExitCode());
    EXPECT_TRUE(planted.Running());
    EXPECT_EQ(3u, GetNumber(HKEY_LOCAL_MACHINE,
                            L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN",
                            L"CheckedValue"));

    StopAfter second(1);
    CKillerForOneKB again;
    again.Execute(&second);
    EXPECT_EQ(2, second.Polls());
    EXPECT_EQ(0u, planted.ExitCode());
}

TEST_F(OneKeyTest, WithoutAScriptNameNoDriveIsTouched)
{
    SetNumber(HKEY_LOCAL_MACHINE,
              L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL",
              L"CheckedValue", 2);
    SetText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load",
            L"wscript.exe \"C:\\scripts\\x.vbs\"");
    StopAfter never(1000);
    CKillerForOneKB command;
    EXPECT_EQ(0, command.Execute(&never));
    int32_t removed = -1;
    int32_t repaired = -1;
    std::wstring name = L"stale";
    command.GetResult(removed, repaired, name);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(1, repaired);
    EXPECT_EQ(L"", name);
    EXPECT_EQ("", ScanLogBuffer) << "neither the drive stage nor the handler stage ran";
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\lnkfile"));
}

}  // namespace
