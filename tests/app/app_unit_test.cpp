#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "app/game_fixture.h"
#include "app/main_dlg.h"
#include "app/ok_dlg.h"
#include "common/import_hook.h"
#include "common/test_util.h"
#include "gui_driver.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "support/unique.h"

namespace {

const std::wstring kContact = L"客服QQ:400860517 ";

TEST(ResultText, FourOutcomesThenTheContactLine)
{
    EXPECT_EQ(L"扫描完成，未发现异常。" + kContact, COKDlg::BuildResultText(false, false));
    EXPECT_EQ(L"扫描完成，已修复，详情查看扫描日志。" + kContact, COKDlg::BuildResultText(false, true));
    EXPECT_EQ(L"用户终止，未发现异常。" + kContact, COKDlg::BuildResultText(true, false));
    EXPECT_EQ(L"用户终止，已修复，详情查看扫描日志。" + kContact, COKDlg::BuildResultText(true, true));
    // Any module not repaired is told before what was.
    EXPECT_EQ(L"扫描完成，修复未完成，详情查看扫描日志。" + kContact, COKDlg::BuildResultText(false, true, true));
    EXPECT_EQ(L"用户终止，修复未完成，详情查看扫描日志。" + kContact, COKDlg::BuildResultText(true, false, true));
}

TEST(Privileges, BothAreEnabledForAnAdministrator)
{
    EXPECT_EQ(1, EnableDebugPrivilege());
    EXPECT_EQ(1, EnableShutdownPrivilege());
}

// HKLM\SOFTWARE\Morvex, put back as it was.
class ProductKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY key = nullptr;
        m_existed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (m_existed)
            RegCloseKey(key);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        ProductExePath.clear();
    }
    void TearDown() override
    {
        if (!m_existed)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
    }
    void SetInstallPath(const std::wstring& path, DWORD type = REG_SZ)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_LOCAL_MACHINE, kKey, &key));
        RegSetValueExW(key, L"Install Path", 0, type, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Morvex";
    bool m_existed = false;
};

TEST_F(ProductKeyTest, AbsentProductLeavesOnlyTheCreatedKey)
{
    EXPECT_EQ(0, DetectSecurityProduct());
    EXPECT_TRUE(ProductExePath.empty());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
    DWORD values = 99;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    EXPECT_EQ(0u, values);
}

TEST_F(ProductKeyTest, InstalledProductIsRecordedAndAMissingExeIsNot)
{
    cftest::ScratchDir dir;
    std::wstring folder = dir.Path().substr(0, dir.Path().size() - 1);
    SetInstallPath(folder);
    EXPECT_EQ(0, DetectSecurityProduct());
    EXPECT_TRUE(ProductExePath.empty());

    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"morvex.exe", "MZ"));
    EXPECT_EQ(1, DetectSecurityProduct());
    EXPECT_EQ(folder + L"\\morvex.exe", ProductExePath);

    SetInstallPath(folder, REG_DWORD);
    ProductExePath.clear();
    EXPECT_EQ(0, DetectSecurityProduct());
    EXPECT_TRUE(ProductExePath.empty());
}

// The worker's run on a thread of its own, reporting to a window of ours.
class RunRepairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gametest::ForgetCrashedRuns();
        m_window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, m_window);
        s_prompts.clear();
        s_completedBeforePrompt = false;
        s_window = m_window;
        ShowRestartPrompt = RecordPrompt;
        m_logPath = GetScanLogPath();
        m_logSize = cftest::ReadFileBytes(m_logPath).size();
        m_logGuard.reset(new gametest::FileLengthGuard(m_logPath));
    }
    void TearDown() override
    {
        m_logGuard.reset();
        ShowRestartPrompt = ShowShellRestartDialog;
        DestroyWindow(m_window);
    }
    static void RecordPrompt(const wchar_t* prompt)
    {
        MSG message;
        s_completedBeforePrompt = PeekMessageW(&message, s_window, WM_SCAN_COMPLETE, WM_SCAN_COMPLETE, PM_NOREMOVE);
        s_prompts.push_back(prompt);
    }
    static DWORD WINAPI Worker(void* self)
    {
        auto* test = static_cast<RunRepairTest*>(self);
        CMainDlg::RunRepair(test->m_window, test->m_control);
        return 0;
    }
    // Runs the worker, answering the consent box with `answer` if it comes.
    bool Run(int answer, bool* asked)
    {
        cf::UniqueHandle thread(CreateThread(nullptr, 0, Worker, this, 0, nullptr));
        const DWORD self = GetCurrentProcessId();
        *asked = false;
        while (WaitForSingleObject(thread.Get(), 50) == WAIT_TIMEOUT) {
            if (HWND box = cfdrive::FindTopWindow(cfdrive::kConsentTitle, self)) {
                *asked = true;
                cfdrive::AnswerBox(box, answer);
            }
        }
        MSG message;
        return PeekMessageW(&message, m_window, WM_SCAN_COMPLETE, WM_SCAN_COMPLETE, PM_REMOVE) &&
               message.wParam == 0 && message.lParam == 0;
    }
    std::string NewLogBytes() { return cftest::ReadFileBytes(m_logPath).substr(m_logSize); }

    HWND m_window = nullptr;
    RunControl* m_control = nullptr;
    std::unique_ptr<gametest::FileLengthGuard> m_logGuard;
    std::wstring m_logPath;
    size_t m_logSize = 0;
    static HWND s_window;
    static std::vector<std::wstring> s_prompts;
    static bool s_completedBeforePrompt;
};
HWND RunRepairTest::s_window = nullptr;
std::vector<std::wstring> RunRepairTest::s_prompts;
bool RunRepairTest::s_completedBeforePrompt = false;

const char kNothingFound[] = "\xce\xb4\xb7\xa2\xcf\xd6\xd2\xec\xb3\xa3";  // 未发现异常
const std::string kSeparator = "\r\n" + std::string(69, '=') + "\r\n\r\n";

TEST_F(RunRepairTest, NothingFoundWritesHeaderTextAndSeparator)
{
    RepairPerformed = 0;
    RestartRequired = 1;  // left over from an earlier run; the run clears it
    bool asked = false;
    ASSERT_TRUE(Run(IDYES, &asked));
    EXPECT_FALSE(asked);
    const std::string record = NewLogBytes();
    ASSERT_EQ(0u, record.find("StartTime:")) << record;
    const size_t body = record.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, body);
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, record.substr(body + 4));
    EXPECT_EQ(0, RepairPerformed);
    EXPECT_EQ(0, RestartRequired);
    EXPECT_TRUE(s_prompts.empty());
    EXPECT_EQ(record, ScanLogBuffer);
}

TEST_F(RunRepairTest, DeferredReplacementOffersTheRestartBeforeCompleting)
{
    gametest::PendingMoves keep;
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    // Loaded by a running game: it can be backed up, not replaced.
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"cshell.dll"), gametest::ExpectedModule(0)));
    gametest::HeldFile held(game.File(L"cshell.dll"), true);
    ASSERT_TRUE(held.Held());
    RepairPerformed = 0;
    bool asked = false;
    ASSERT_TRUE(Run(IDYES, &asked));
    EXPECT_TRUE(asked);
    ASSERT_EQ(1u, s_prompts.size());
    EXPECT_EQ(L"需要重启系统使设置生效，现在就重启？", s_prompts[0]);
    EXPECT_FALSE(s_completedBeforePrompt);
    EXPECT_EQ(1, RepairPerformed);
    const std::string record = NewLogBytes();
    const size_t body = record.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, body);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower()) + kSeparator, record.substr(body + 4));
}

struct StopPressed : ICommunication {
    bool IsStopRequested() override { return true; }
};

TEST_F(RunRepairTest, AnsweringNoOrStoppingLogsNothingFound)
{
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    RepairPerformed = 0;  // the window clears it before every run
    bool asked = false;
    RunControl control;
    m_control = &control;
    ASSERT_TRUE(Run(IDNO, &asked));
    EXPECT_TRUE(asked);
    EXPECT_EQ(0, RepairPerformed);
    EXPECT_EQ(0, control.stopped);
    std::string record = NewLogBytes();
    EXPECT_NE(std::string::npos, record.find(std::string("\r\n\r\n") + kNothingFound + kSeparator));

    // A stopped run asks nothing, touches nothing, and still saves its record.
    StopPressed stop;
    control.comm = &stop;
    m_logSize += record.size();
    ASSERT_TRUE(Run(IDYES, &asked));
    EXPECT_FALSE(asked);
    EXPECT_EQ(1, control.stopped);
    record = NewLogBytes();
    EXPECT_EQ(0u, record.find("StartTime:")) << record;
    EXPECT_NE(std::string::npos, record.find(std::string("\r\n\r\n") + kNothingFound + kSeparator));
    for (size_t i = 0; i < 8; ++i)
        EXPECT_BYTES(gametest::DamagedModule(i), cftest::ReadFileBytes(game.File(gametest::kModuleNames[i])));
}

cftest::ImportHook* g_createHook;
size_t g_longestPath;

// Every file the repair makes, examines or renames is first opened by name.
HANDLE WINAPI NoteCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    g_longestPath = std::max(g_longestPath, wcslen(name));
    return g_createHook->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition, flags,
                                                           templateFile);
}

// Windows XP and 7 open no path of MAX_PATH (260) characters or more; Wine does.
TEST_F(RunRepairTest, AFolderWhoseModulePathsWouldPassMaxPathIsPassedOverAndTheLongestThatFitsIsRepaired)
{
    cftest::ImportHook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(NoteCreateFileW));
    ASSERT_TRUE(hook.Installed());
    g_createHook = &hook;
    size_t beyond = 0;  // how far the repair's paths reach past their folder
    {
        gametest::GameFolder probe;
        g_longestPath = 0;
        RestoreGameModules(probe.Path());
        beyond = g_longestPath - probe.Path().size();
    }
    const size_t fits = MAX_PATH - 1 - beyond;
    gametest::GameFolder over(fits + 1, L"crossfire.exe"), at(fits, L"crossfire.exe");
    ASSERT_EQ(fits + 1, over.Path().size());
    ASSERT_EQ(fits, at.Path().size());
    const auto untouched = [&over] {
        EXPECT_EQ(9u, cftest::FolderNames(over.Path()).size());
        for (size_t i = 0; i < 8; ++i)
            EXPECT_BYTES(gametest::DamagedModule(i), cftest::ReadFileBytes(over.File(gametest::kModuleNames[i])));
    };

    gametest::MuiCacheEntry overEntry(over.File(L"crossfire.exe"));
    bool asked = true;
    ASSERT_TRUE(Run(IDYES, &asked));
    EXPECT_FALSE(asked);
    std::string record = NewLogBytes();
    EXPECT_NE(std::string::npos, record.find(std::string("\r\n\r\n") + kNothingFound + kSeparator)) << record;
    untouched();

    gametest::MuiCacheEntry atEntry(at.File(L"crossfire.exe"));
    m_logSize += record.size();
    g_longestPath = 0;
    ASSERT_TRUE(Run(IDYES, &asked));
    EXPECT_TRUE(asked);
    EXPECT_EQ(static_cast<size_t>(MAX_PATH - 1), g_longestPath);
    record = NewLogBytes();
    EXPECT_NE(std::string::npos, record.find(gametest::ExpectedRepairLines(at.Lower()) + kSeparator)) << record;
    for (size_t i = 0; i < 8; ++i)
        EXPECT_BYTES(gametest::ExpectedModule(i), cftest::ReadFileBytes(at.File(gametest::kModuleNames[i])));
    untouched();
}

}  // namespace
