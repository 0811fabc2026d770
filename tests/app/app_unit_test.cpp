#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "app/game_fixture.h"
#include "app/launch_options.h"
#include "app/main_dlg.h"
#include "app/ok_dlg.h"
#include "app/restore_run.h"
#include "app/startup_guard.h"
#include "common/import_hook.h"
#include "common/test_util.h"
#include "gui_driver.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "res/resource.h"
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
    EXPECT_EQ(L"扫描完成，未发现异常。扫描日志未能写入。" + kContact, COKDlg::BuildResultText(false, false, false, true));
    EXPECT_EQ(L"扫描完成，有文件还在等待重启后替换，请先重启电脑，再修复。" + kContact,
              COKDlg::BuildResultText(false, true, true, false, true));
}

TEST(LaunchOptionsTest, SwitchesInAnyCaseAndEverythingElseIsAUsageError)
{
    const struct { const wchar_t* line; LaunchMode mode; bool quiet; const wchar_t* folder; } cases[] = {
        {L"cf.exe -quiet /REPAIR", LaunchMode::Repair, true, L""},
        {L"cf.exe /restore \"/folder:D:\\My Games\\\"", LaunchMode::Restore, false, L"D:\\My Games\\"},
        {L"cf.exe /Restore /quiet -FOLDER:\"D:\\My Games\\CF\"", LaunchMode::Restore, true, L"D:\\My Games\\CF"},
        {L"cf.exe /repair", LaunchMode::Usage, false, L""},
        {L"cf.exe /folder:D:\\g /quiet", LaunchMode::Usage, true, L"D:\\g"},
        {L"cf.exe /repair /restore /quiet", LaunchMode::Usage, true, L""},
        {L"cf.exe /repair /quiet /quiet /folder:", LaunchMode::Usage, true, L""},
        {L"cf.exe / restore", LaunchMode::Usage, false, L""},
        // The quote escaped by the path's last backslash must not swallow /quiet.
        {L"cf.exe /repair \"/folder:D:\\CF\\\" /quiet", LaunchMode::Repair, true, L"D:\\CF\\"},
    };
    for (const auto& c : cases) {
        const LaunchOptions options = ParseLaunchOptions(c.line);
        EXPECT_EQ(c.mode, options.mode) << cftest::Narrow(c.line);
        EXPECT_EQ(c.quiet, options.quiet) << cftest::Narrow(c.line);
        EXPECT_EQ(c.folder, options.folder) << cftest::Narrow(c.line);
    }
}

TEST(Privileges, BothAreEnabledForAnAdministrator)
{
    EXPECT_EQ(1, EnableDebugPrivilege());
    EXPECT_EQ(1, EnableShutdownPrivilege());
}

// Where the system cannot restrict the DLL search (XP, 7 without its
// update), every preloaded name must then be the system folder's copy.
TEST(StartupGuard, PreloadedDllsComeFromTheSystemFolder)
{
    PreloadSystemDlls();
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    size_t loaded = 0;
    for (size_t i = 0; i < kPreloadedDllCount; ++i) {
        const std::wstring expected = std::wstring(system) + L"\\" + kPreloadedDlls[i];
        if (GetFileAttributesW(expected.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;  // not on this system
        wchar_t path[MAX_PATH] = L"";
        GetModuleFileNameW(GetModuleHandleW(kPreloadedDlls[i]), path, MAX_PATH);
        EXPECT_EQ(0, lstrcmpiW(expected.c_str(), path)) << cftest::Narrow(kPreloadedDlls[i]);
        ++loaded;
    }
    EXPECT_GE(loaded, 4u);
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
        s_shutdownEnabled = ShutdownPrivilegeEnabled();
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
    static bool ShutdownPrivilegeEnabled(bool disable = false)
    {
        cf::UniqueHandle token;
        TOKEN_PRIVILEGES wanted = {1, {{{0, 0}, 0}}};
        PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{0, 0}, 0}}};
        BOOL enabled = FALSE;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, token.Put()) ||
            !LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &wanted.Privileges[0].Luid))
            return false;
        if (disable)
            AdjustTokenPrivileges(token.Get(), FALSE, &wanted, 0, nullptr, nullptr);
        set.Privilege[0].Luid = wanted.Privileges[0].Luid;
        return PrivilegeCheck(token.Get(), &set, &enabled) && enabled;
    }
    static HWND s_window;
    static std::vector<std::wstring> s_prompts;
    static bool s_completedBeforePrompt;
    static bool s_shutdownEnabled;
};
bool RunRepairTest::s_shutdownEnabled = false;
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

DWORD WINAPI RestoreWorker(void* code)
{
    *static_cast<int*>(code) = RunRestore(LaunchOptions());
    return 0;
}

// "/restore" has no main window to enable the privilege the restart needs.
TEST_F(RunRepairTest, RestoreOfAModuleInUseOffersTheRestartWithTheShutdownPrivilege)
{
    gametest::PendingMoves keep;
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"cshell.morvex"), gametest::DamagedModule(7)));
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"cshell.dll"), gametest::ExpectedModule(7)));
    gametest::HeldFile held(game.File(L"cshell.dll"), true);
    ASSERT_TRUE(held.Held());
    ASSERT_FALSE(ShutdownPrivilegeEnabled(true));
    int code = -1;
    cf::UniqueHandle thread(CreateThread(nullptr, 0, RestoreWorker, &code, 0, nullptr));
    while (WaitForSingleObject(thread.Get(), 50) == WAIT_TIMEOUT) {
        if (HWND box = cfdrive::FindTopWindow(cfdrive::kConsentTitle, GetCurrentProcessId()))
            cfdrive::AnswerBox(box, s_prompts.empty() ? IDYES : IDOK);
    }
    EXPECT_EQ(0, code);
    ASSERT_EQ(1u, s_prompts.size());
    EXPECT_TRUE(s_shutdownEnabled);
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

HWND g_main;
HANDLE g_release;
LONG g_probes;
bool g_hiddenAtOnce;

// The first probe hangs as on a drive that does not answer, and Esc comes.
HANDLE WINAPI HangingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (wcsstr(name, L"\\hang\\") && ++g_probes == 1) {
        PostMessageW(g_main, WM_COMMAND, IDCANCEL, 0);
        Sleep(500);
        g_hiddenAtOnce = !IsWindowVisible(g_main);
        WaitForSingleObject(g_release, 60000);
    }
    return g_createHook->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition, flags,
                                                           templateFile);
}

DWORD WINAPI PressStart(void*)
{
    g_main = cfdrive::WaitForWindow(cfdrive::kMainTitle, 30000, GetCurrentProcessId());
    cfdrive::PressButton(g_main, IDC_START_STOP);
    return 0;
}

// The window goes at once and, the run hung past 5 s, saves its record; the
// run, when it wakes, probes no more and saves no second one.
TEST_F(RunRepairTest, EscWhileAProbeHangsSavesTheRecordOnce)
{
    gametest::GameFolder game(L"hang\\", nullptr);
    gametest::MuiCacheEntry entry(game.File(L"a.exe"));
    cf::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_release = release.Get();
    cftest::ImportHook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(HangingCreateFileW));
    g_createHook = &hook;
    cf::UniqueModule exe(LoadLibraryExW(cftest::ProductExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(hook.Installed() && exe);
    cf::UniqueHandle driver(CreateThread(nullptr, 0, PressStart, nullptr, 0, nullptr));
    CMainDlg dialog;
    EXPECT_EQ(IDCANCEL, dialog.DoModal(nullptr, IDD_MAIN, exe.Get()));
    EXPECT_TRUE(g_hiddenAtOnce && dialog.IsWorkerRunning());
    const std::string record = NewLogBytes();
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, record.substr(record.find("\r\n\r\n") + 4)) << record;
    SetEvent(release.Get());
    while (dialog.IsWorkerRunning())
        Sleep(50);
    EXPECT_EQ(record, NewLogBytes());
    EXPECT_EQ(1, g_probes);
}

}  // namespace
