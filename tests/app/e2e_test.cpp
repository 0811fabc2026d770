// The real CFRepair.exe, driven through its windows as a user would.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/game_fixture.h"
#include "common/test_util.h"
#include "gui_driver.h"
#include "log/scan_log.h"

namespace {

using cftest::ReadFileBytes;
using gametest::kModuleNames;
using gametest::kModuleStems;

const char kNothingFound[] = "\xce\xb4\xb7\xa2\xcf\xd6\xd2\xec\xb3\xa3";  // 未发现异常
const std::string kSeparator = "\r\n" + std::string(69, '=') + "\r\n\r\n";
const std::wstring kContact = L"客服QQ:400860517 ";
const wchar_t kIdleStatus[] = L"请点击“开始修复”，立即检测缺少的文件，修复系统";
const wchar_t kRestoreQuestion[] = L"如果要撤销修复，把CrossFire的文件还原为修复前的样子，请点击“是”";
const int kStartButton = 1008;
const int kStatus = 1017;
const UINT kScanComplete = WM_USER + 100;
const DWORD kPatienceMs = 60000;

// Sets the default value of an HKCR key and puts the old one back.
class ClassesDefault {
public:
    ClassesDefault(const std::wstring& subKey, const std::wstring& value) : m_subKey(subKey)
    {
        HKEY key = nullptr;
        m_existed = RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (m_existed) {
            wchar_t old[1024] = L"";
            DWORD size = sizeof(old) - sizeof(wchar_t);
            m_hadValue = RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) ==
                         ERROR_SUCCESS;
            m_old = old;
            RegCloseKey(key);
        }
        if (RegCreateKeyW(HKEY_CLASSES_ROOT, subKey.c_str(), &key) == ERROR_SUCCESS) {
            RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
    }
    ~ClassesDefault()
    {
        if (!m_existed) {
            RegDeleteKeyW(HKEY_CLASSES_ROOT, m_subKey.c_str());
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, m_subKey.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        if (m_hadValue)
            RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_old.c_str()),
                           static_cast<DWORD>((m_old.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, nullptr);
        RegCloseKey(key);
    }

private:
    std::wstring m_subKey;
    std::wstring m_old;
    bool m_existed = false;
    bool m_hadValue = false;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_recorderLog = m_scratch / L"recorder.log";
        SetEnvironmentVariableW(L"CF_RECORDER_LOG", m_recorderLog.c_str());
        const std::wstring command = L"\"" + cftest::ToolPath(L"recorder.exe") + L"\" \"%1\"";
        m_http.reset(new ClassesDefault(L"http\\shell\\open\\command", command));
        m_logType.reset(new ClassesDefault(L".log", L"CFRepairTest.log"));
        m_logOpen.reset(new ClassesDefault(L"CFRepairTest.log\\shell\\open\\command", command));
        m_logPath = GetScanLogPath();
        m_logSize = ReadFileBytes(m_logPath).size();
        m_logGuard.reset(new gametest::FileLengthGuard(m_logPath));
    }
    void TearDown() override
    {
        if (m_app.Handle() && m_app.Wait(0) == STILL_ACTIVE)
            m_app.Kill();
        m_logGuard.reset();
        m_logOpen.reset();
        m_logType.reset();
        m_http.reset();
        SetEnvironmentVariableW(L"CF_RECORDER_LOG", nullptr);
    }
    static std::wstring BuiltExe() { return cftest::ProductExe(); }
    HWND Launch(const std::wstring& exe = BuiltExe())
    {
        if (!m_app.Start(L"\"" + exe + L"\""))
            return nullptr;
        return cfdrive::WaitForWindow(cfdrive::kMainTitle, kPatienceMs, m_app.Id());
    }
    // A run with nobody at the screen: its exit code, after failing the test
    // for any window that it showed meanwhile.
    DWORD RunQuiet(const std::wstring& arguments, const std::wstring& exe = BuiltExe())
    {
        HWND shown = nullptr;
        DWORD code = m_app.Start(L"\"" + exe + L"\" " + arguments) ? STILL_ACTIVE : 0;
        for (DWORD start = GetTickCount(); !shown && code == STILL_ACTIVE && GetTickCount() - start < kPatienceMs;)
            code = (shown = cfdrive::FindProcessWindow(m_app.Id())) ? code : m_app.Wait(20);
        EXPECT_EQ(nullptr, shown) << cftest::Narrow(arguments);
        if (code == STILL_ACTIVE)
            m_app.Kill();  // the next run starts clean
        return code;
    }
    DWORD CloseWithEscape(HWND main)
    {
        cfdrive::PressEscape(main);
        return m_app.Wait(kPatienceMs);
    }
    // "CFRepair.exe /restore" answered `answer` if it asks: the text of the
    // box that follows (empty when none) and, in `code`, the exit code.
    std::wstring RunRestore(int answer, DWORD& code, const std::wstring& exe = BuiltExe())
    {
        std::wstring text;
        m_app.Start(L"\"" + exe + L"\" /ReStore");
        HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, kPatienceMs, m_app.Id());
        const bool asked = box && GetDlgItem(box, IDYES) && cfdrive::WaitForControlText(box, 0xFFFF, kRestoreQuestion, 5000);
        // "No" answers only the question: a run that ends without asking fails.
        EXPECT_TRUE(asked || answer != IDNO) << "no question";
        if (asked) {
            cfdrive::AnswerBox(box, answer);
            cfdrive::WaitForWindowGone(box, 30000);
            box = answer == IDYES ? cfdrive::WaitForWindow(cfdrive::kConsentTitle, kPatienceMs, m_app.Id()) : nullptr;
        }
        if (box) {
            Sleep(100);
            text = cfdrive::ControlText(box, 0xFFFF);  // a message box's text
            cfdrive::AnswerBox(box, IDOK);
        }
        code = m_app.Wait(kPatienceMs);
        return text;
    }
    std::string NewLogBytes() { return ReadFileBytes(m_logPath).substr(m_logSize); }
    std::string Recorded() { return ReadFileBytes(m_recorderLog); }
    // The part of a run record after its header line.
    static std::string Body(const std::string& record)
    {
        const size_t end = record.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : record.substr(end + 4);
    }

    cftest::ScratchDir m_scratch;
    cftest::Child m_app;
    std::wstring m_recorderLog;
    std::wstring m_logPath;
    size_t m_logSize = 0;
    std::unique_ptr<ClassesDefault> m_http, m_logType, m_logOpen;
    std::unique_ptr<gametest::FileLengthGuard> m_logGuard;
};

// The main flow under each Windows version the product names, chosen by
// Wine's per-program version setting so that one prefix serves them all;
// the i686 build also runs the Windows 7 ones in a 64-bit prefix.
struct WindowsVersion {
    const wchar_t* wineName;
    bool nt6;
};

class MainFlow : public AppTest, public ::testing::WithParamInterface<WindowsVersion> {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        BOOL wow64 = FALSE;
        m_wow64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
        // The run meant for a 64-bit prefix must be a 32-bit program there.
        wchar_t prefix[16] = L"";
        GetEnvironmentVariableW(L"CF_WINE_PREFIX", prefix, 16);
        ASSERT_EQ(lstrcmpW(prefix, L"win64") == 0, m_wow64);
        m_version = std::make_unique<cftest::WineAppVersion>(L"CFRepair.exe", GetParam().wineName);
        ASSERT_TRUE(m_version->Set());
    }
    // A game recorded in the MUICache key that this version reads, written
    // where the shell writes it (the 64-bit registry on 64-bit Windows).
    std::unique_ptr<gametest::MuiCacheEntry> Record(const gametest::GameFolder& game, bool otherKey = false)
    {
        const bool nt6 = GetParam().nt6 != otherKey;
        return std::make_unique<gametest::MuiCacheEntry>(
            game.File(L"crossfire.exe"), nt6 ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER,
            nt6 ? gametest::kMuiCacheNt6 : gametest::kMuiCacheNt5, m_wow64 ? KEY_WOW64_64KEY : 0);
    }
    // On 64-bit Windows the product's HKLM writes land in the 32-bit view.
    void ExpectSecurityProbeKeyIn32BitView()
    {
        if (!m_wow64)
            return;
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Morvex", 0,
                                               KEY_READ | KEY_WOW64_64KEY, &key));
        if (key)
            RegCloseKey(key);
        key = nullptr;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                  RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvex", 0, KEY_READ | KEY_WOW64_64KEY, &key));
        if (key)
            RegCloseKey(key);
    }

    std::unique_ptr<cftest::WineAppVersion> m_version;
    bool m_wow64 = false;
};

INSTANTIATE_TEST_SUITE_P(Versions, MainFlow,
                         ::testing::Values(WindowsVersion{L"winxp", false}, WindowsVersion{L"win2003", false},
                                           WindowsVersion{L"vista", true}, WindowsVersion{L"win7", true}),
                         [](const ::testing::TestParamInfo<WindowsVersion>& info) {
                             return cftest::Narrow(info.param.wineName);
                         });

TEST_P(MainFlow, NothingFound)
{
    // A game recorded only in the other versions' key is not this one's.
    gametest::GameFolder decoy;
    const auto entry = Record(decoy, true);
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(L"请点击“开始修复”，立即检测缺少的文件，修复CrossFire", cfdrive::ControlText(main, kStatus));
    EXPECT_EQ(L"Tavelo杀毒安全网", cfdrive::ControlText(main, 1011));
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_EQ(0, style & (WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_EQ(WS_MINIMIZEBOX | WS_SYSMENU | WS_CAPTION, style & (WS_MINIMIZEBOX | WS_SYSMENU | WS_CAPTION));
    EXPECT_EQ(SS_PATHELLIPSIS, GetWindowLongPtrW(GetDlgItem(main, kStatus), GWL_STYLE) & SS_ELLIPSISMASK);
    EXPECT_EQ(BS_DEFPUSHBUTTON, GetWindowLongPtrW(GetDlgItem(main, kStartButton), GWL_STYLE) & BS_TYPEMASK);
    for (int id : {1009, 1011, 1012})
        EXPECT_EQ(SS_NOTIFY, GetWindowLongPtrW(GetDlgItem(main, id), GWL_STYLE) & SS_NOTIFY) << id;

    cfdrive::RunOutcome outcome;
    ASSERT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDYES, IDNO, IDCANCEL, outcome));
    EXPECT_FALSE(outcome.consentAsked);
    EXPECT_FALSE(outcome.restartOffered);
    EXPECT_EQ(1, outcome.resultDialogs);
    EXPECT_EQ(L"扫描完成，未发现异常。" + kContact, outcome.resultText);
    EXPECT_EQ(L"开始修复", cfdrive::ControlText(main, kStartButton));
    EXPECT_EQ(kIdleStatus, cfdrive::ControlText(main, kStatus));

    const std::string record = NewLogBytes();
    EXPECT_EQ(0u, record.find("StartTime:")) << record;
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, Body(record));
    EXPECT_EQ("", Recorded());  // Cancel opens nothing
    EXPECT_EQ(2u, CloseWithEscape(main));
    EXPECT_BYTES(gametest::DamagedModule(0), ReadFileBytes(decoy.File(L"rs.dll")));
    ExpectSecurityProbeKeyIn32BitView();
}

TEST_P(MainFlow, ConfirmedRepairRestoresAndASecondRunKeepsTheBackups)
{
    // Wine names a file in Chinese only under a UTF-8 locale glibc has: the
    // English run (code page 1252), where the record must still be GBK.
    if (getenv("CF_WINE_LOCALE")) {
        ASSERT_NE(936u, GetACP()) << "the English run must not have the Chinese code page";
    }
    gametest::GameFolder game(GetACP() == 936 ? L"CF Game\\" : L"CF 穿越火线\\");
    const auto entry = Record(game);
    HWND main = Launch();
    ASSERT_NE(nullptr, main);

    cfdrive::RunOutcome outcome;
    ASSERT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDYES, IDNO, IDCANCEL, outcome, kPatienceMs));
    EXPECT_TRUE(outcome.consentAsked);
    EXPECT_FALSE(outcome.restartOffered);
    EXPECT_EQ(1, outcome.resultDialogs);
    EXPECT_EQ(L"扫描完成，已修复，详情查看扫描日志。" + kContact, outcome.resultText);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(std::wstring(kModuleStems[i]) + L".morvex")));
        EXPECT_FALSE(cftest::FileExists(game.File(std::wstring(kModuleStems[i]) + L".tmp"))) << i;
    }
    const std::string first = NewLogBytes();
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower()) + kSeparator, Body(first));

    cftest::WriteFileBytes(game.File(L"miniobject.dll"), "damaged once more");
    outcome = cfdrive::RunOutcome();
    ASSERT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDYES, IDNO, IDCANCEL, outcome, kPatienceMs));
    EXPECT_EQ(1, outcome.resultDialogs);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(std::wstring(kModuleStems[i]) + L".morvex")));
    }
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower()) + kSeparator, Body(NewLogBytes().substr(first.size())));
    EXPECT_EQ(2u, CloseWithEscape(main));
}

// Windows looks in the program's folder first for any DLL that is not a
// known one; Wine does so for the names set to native first. Each name is
// one that the program or a system DLL may load for it on XP or 7. Not
// version.dll: Wine's own user32 imports it, so Wine takes it from the
// program's folder before the program starts; Windows' user32 is a known
// DLL, and what it imports comes from the system folder (the image check
// keeps version.dll out of the program's own imports).
TEST_P(MainFlow, NoDllBesideTheExeIsLoaded)
{
    static const wchar_t* const kNames[] = {L"psapi",   L"iphlpapi", L"uxtheme", L"dwmapi",  L"cryptbase",
                                            L"cryptsp", L"ntmarta",  L"msctf",   L"propsys", L"profapi",
                                            L"apphelp", L"clbcatq"};
    cftest::ScratchDir folder;
    const std::wstring exe = folder / L"CFRepair.exe";
    ASSERT_TRUE(CopyFileW(BuiltExe().c_str(), exe.c_str(), TRUE));
    for (const wchar_t* name : kNames)
        ASSERT_TRUE(CopyFileW(cftest::ToolPath(L"plantdll.dll").c_str(), (folder / name + L".dll").c_str(), TRUE));
    cftest::WineNativeFirst nativeFirst(L"CFRepair.exe", {std::begin(kNames), std::end(kNames)});
    ASSERT_TRUE(nativeFirst.Set());
    gametest::GameFolder game;
    const auto entry = Record(game);

    // A planted DLL may keep the window from coming: the markers tell why.
    if (HWND main = Launch(exe)) {
        cfdrive::RunOutcome outcome;
        EXPECT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDYES, IDNO, IDCANCEL, outcome, kPatienceMs));
        EXPECT_TRUE(outcome.consentAsked);
        EXPECT_EQ(2u, CloseWithEscape(main));
        DWORD code = 1;
        EXPECT_EQ(L"已将CrossFire的文件还原为修复前的样子。", RunRestore(IDYES, code, exe));
        EXPECT_EQ(0u, code);
    } else {
        ADD_FAILURE() << "no main window";
    }
    for (const wchar_t* name : kNames)
        EXPECT_FALSE(cftest::FileExists(folder / name + L".dll.loaded")) << cftest::Narrow(name);
}

// Beside such a file the loader may take DLLs from the program's folder: the
// program refuses to run there and changes nothing.
TEST_F(AppTest, AManifestOrLocalFileBesideTheExeStopsTheStart)
{
    for (const wchar_t* suffix : {L".manifest", L".local"}) {
        cftest::ScratchDir folder;
        const std::wstring exe = folder / L"CFRepair.exe";
        ASSERT_TRUE(CopyFileW(BuiltExe().c_str(), exe.c_str(), TRUE));
        ASSERT_TRUE(cftest::WriteFileBytes(exe + suffix, ""));
        m_app.Start(L"\"" + exe + L"\" /restore");
        HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, kPatienceMs, m_app.Id());
        ASSERT_NE(nullptr, box);
        Sleep(100);
        EXPECT_NE(std::wstring::npos, cfdrive::ControlText(box, 0xFFFF).find(L"单独放进一个新建的文件夹"));
        cfdrive::AnswerBox(box, IDOK);
        EXPECT_EQ(1u, m_app.Wait(kPatienceMs));
        EXPECT_EQ(1u, RunQuiet(L"/repair /quiet", exe));  // and with no box
        EXPECT_EQ("", NewLogBytes());
    }
}

TEST_F(AppTest, RestoreUndoesARepairAndUsesUpTheBackups)
{
    gametest::GameFolder game(L"CF Game\\");
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    cfdrive::RunOutcome outcome;
    ASSERT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDYES, IDNO, IDCANCEL, outcome, kPatienceMs));
    EXPECT_EQ(2u, CloseWithEscape(main));
    for (size_t i = 0; i < 8; ++i)
        ASSERT_EQ(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    // A clean copy that an earlier run left for the boot must not undo it.
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.tmp"), gametest::ExpectedModule(0)));
    size_t before = NewLogBytes().size();
    DWORD code = 0;
    EXPECT_EQ(L"已将CrossFire的文件还原为修复前的样子。", RunRestore(IDYES, code));
    EXPECT_EQ(0u, code);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_FALSE(cftest::FileExists(game.File(std::wstring(kModuleStems[i]) + L".morvex"))) << i;
    }
    EXPECT_FALSE(cftest::FileExists(game.File(L"rs.tmp")));
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower(), 0, 0xFF, true) + kSeparator,
              Body(NewLogBytes().substr(before)));
    before = NewLogBytes().size();
    EXPECT_EQ(L"未发现可以还原的文件。", RunRestore(IDYES, code));
    EXPECT_EQ(3u, code);
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, Body(NewLogBytes().substr(before)));
    // No backup goes back when it is a folder or a link, or over a changed module.
    const std::wstring victim = m_scratch / L"victim.dll";
    ASSERT_TRUE(cftest::WriteFileBytes(victim, "not the game's"));
    ASSERT_TRUE(CreateDirectoryW(game.File(L"rs.morvex").c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(game.File(L"cshell.morvex").c_str(), victim.c_str(), nullptr));
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"fmodex.morvex"), "the first backup"));
    before = NewLogBytes().size();
    EXPECT_EQ(L"有文件未还原，详情查看扫描日志。", RunRestore(IDYES, code));
    EXPECT_EQ(1u, code);
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower(), 0x83, 0x83, true) + kSeparator,
              Body(NewLogBytes().substr(before)));
    EXPECT_BYTES(gametest::DamagedModule(1), ReadFileBytes(game.File(L"fmodex.dll")));
    EXPECT_EQ("the first backup", ReadFileBytes(game.File(L"fmodex.morvex")));
    EXPECT_BYTES(gametest::DamagedModule(7), ReadFileBytes(game.File(L"cshell.dll")));
    EXPECT_EQ("not the game's", ReadFileBytes(victim));
    EXPECT_EQ(L"", RunRestore(IDNO, code));
    EXPECT_EQ(2u, code);
}

TEST_P(MainFlow, ModulesInUseAreFinishedByTheNextBoot)
{
    gametest::PendingMoves keep;
    gametest::GameFolder game;
    const auto entry = Record(game);
    // Two modules loaded by a running game, and one planted as a hard link
    // to a file outside the folder.
    const std::string running[2] = {gametest::ExpectedModule(1), gametest::ExpectedModule(2)};
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"rs.dll"), running[0]));
    ASSERT_TRUE(cftest::WriteFileBytes(game.File(L"cshell.dll"), running[1]));
    gametest::HeldFile rs(game.File(L"rs.dll"), true);
    gametest::HeldFile cshell(game.File(L"cshell.dll"), true);
    ASSERT_TRUE(rs.Held() && cshell.Held());
    const std::wstring victim = m_scratch / L"victim.dll";
    ASSERT_TRUE(cftest::WriteFileBytes(victim, "not the game's"));
    ASSERT_TRUE(DeleteFileW(game.File(L"LTMsg.dll").c_str()));
    ASSERT_TRUE(CreateHardLinkW(game.File(L"LTMsg.dll").c_str(), victim.c_str(), nullptr));
    HWND main = Launch();
    ASSERT_NE(nullptr, main);

    cfdrive::PressButton(main, kStartButton);
    HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, box);
    cfdrive::AnswerBox(box, IDYES);
    HWND restart = cfdrive::WaitForWindow(cfdrive::kRestartTitle, kPatienceMs, m_app.Id());
    ASSERT_NE(nullptr, restart);
    // A stop once the work is done leaves the offer to the user, and the
    // run is not reported as stopped. The press is sent, so it has been
    // handled when the send returns; a state posted to the offer after it
    // shows that the offer's thread has handled what the press posted there.
    DWORD_PTR done = 0;
    ASSERT_TRUE(SendMessageTimeoutW(GetDlgItem(main, kStartButton), BM_CLICK, 0, 0, SMTO_NORMAL, 30000, &done));
    HWND no = GetDlgItem(restart, IDNO);
    PostMessageW(no, BM_SETSTATE, TRUE, 0);
    for (DWORD start = GetTickCount(); IsWindow(no) && GetTickCount() - start < 30000; Sleep(20)) {
        if (SendMessageW(no, BM_GETSTATE, 0, 0) & BST_PUSHED)
            break;
    }
    PostMessageW(no, BM_SETSTATE, FALSE, 0);
    EXPECT_TRUE(IsWindowVisible(restart));
    EXPECT_EQ(0, cfdrive::CountTopWindows(cfdrive::kResultTitle, m_app.Id()));
    cfdrive::AnswerBox(restart, IDNO);
    HWND result = cfdrive::WaitForWindow(cfdrive::kResultTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, result);
    Sleep(100);
    EXPECT_EQ(L"扫描完成，修复未完成，详情查看扫描日志。" + kContact, cfdrive::ControlText(result, 1019));
    cfdrive::AnswerBox(result, IDCANCEL);
    ASSERT_TRUE(cfdrive::WaitForControlText(main, kStartButton, L"开始修复", 30000));
    EXPECT_EQ(2u, CloseWithEscape(main));

    EXPECT_BYTES(running[0], ReadFileBytes(game.File(L"rs.morvex")));
    EXPECT_BYTES(running[1], ReadFileBytes(game.File(L"cshell.morvex")));
    EXPECT_BYTES(gametest::ExpectedModule(0), ReadFileBytes(game.File(L"rs.tmp")));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(game.File(L"cshell.tmp")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
    EXPECT_TRUE(gametest::PendingMoves::Contains(game.File(L"cshell.tmp"), game.File(L"cshell.dll")));
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower(), 1u << 3) + kSeparator, Body(NewLogBytes()));
    EXPECT_EQ("not the game's", ReadFileBytes(victim));

    rs.Release();
    cshell.Release();
    // The boot of 64-bit Windows is 64-bit: its wineboot does the moves.
    wchar_t windows[MAX_PATH] = L"";
    GetWindowsDirectoryW(windows, MAX_PATH);
    cftest::Child reboot;
    ASSERT_TRUE(reboot.Start(m_wow64 ? L"\"" + std::wstring(windows) + L"\\sysnative\\wineboot.exe\" -r"
                                     : std::wstring(L"wineboot.exe -r")));
    reboot.Wait(120000);
    for (size_t i = 0; i < 8; ++i) {
        if (i != 3) {
            EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        }
    }
    EXPECT_EQ("not the game's", ReadFileBytes(game.File(L"LTMsg.dll")));
    EXPECT_FALSE(cftest::FileExists(game.File(L"cshell.tmp")));
    EXPECT_FALSE(gametest::PendingMoves::Contains(game.File(L"rs.tmp"), game.File(L"rs.dll")));
}

TEST_P(MainFlow, QuietRunsFindTheGameInAnotherUsersHiveAndShowNothing)
{
    // A task run as SYSTEM has no game in its own record; a user's hive has.
    gametest::GameFolder game(L"CF Game\\");
    const std::wstring hive = GetParam().nt6 ? L"S-1-5-21-7-7-7-1001_Classes" : L"S-1-5-21-7-7-7-1001";
    const std::shared_ptr<void> dropHive(nullptr, [&](void*) { SHDeleteKeyW(HKEY_USERS, hive.c_str()); });
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"), HKEY_USERS,
                                  (hive + L"\\" + (GetParam().nt6 ? gametest::kMuiCacheNt6 : gametest::kMuiCacheNt5)).c_str(),
                                  m_wow64 ? KEY_WOW64_64KEY : 0);
    EXPECT_EQ(0u, RunQuiet(L"/REPAIR -quiet"));
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::ExpectedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(std::wstring(kModuleStems[i]) + L".morvex")));
    }
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower()) + kSeparator, Body(NewLogBytes()));
    const size_t before = NewLogBytes().size();
    EXPECT_EQ(0u, RunQuiet(L"-Restore /QUIET"));
    for (size_t i = 0; i < 8; ++i)
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
    EXPECT_EQ(gametest::ExpectedRepairLines(game.Lower(), 0, 0xFF, true) + kSeparator,
              Body(NewLogBytes().substr(before)));
    EXPECT_EQ(3u, RunQuiet(L"/restore /quiet"));
}

TEST_F(AppTest, QuietRepairOfANamedOrTheSearchedFolderAndItsExitCodes)
{
    gametest::PendingMoves keep;
    gametest::GameFolder searched, named(L"Named Game\\", L"launchcrossfire.exe");
    gametest::MuiCacheEntry entry(searched.File(L"crossfire.exe"));
    const std::wstring folder = L"\"/folder:" + named.Path().substr(0, named.Path().size() - 1) + L"\"";
    EXPECT_TRUE(cftest::SetImmutable(named.Path(), true));
    EXPECT_EQ(1u, RunQuiet(L"/repair /quiet " + folder));
    ASSERT_TRUE(cftest::SetImmutable(named.Path(), false));
    EXPECT_EQ(gametest::ExpectedRepairLines(named.Lower(), 0xFF) + kSeparator, Body(NewLogBytes()));
    EXPECT_EQ(9u, cftest::FolderNames(named.Path()).size());  // the launcher and the modules, no more
    size_t before = NewLogBytes().size();
    EXPECT_EQ(0u, RunQuiet(L"/repair /quiet " + folder));
    EXPECT_BYTES(gametest::ExpectedModule(7), ReadFileBytes(named.File(L"cshell.dll")));
    EXPECT_BYTES(gametest::DamagedModule(7), ReadFileBytes(searched.File(L"cshell.dll")));
    EXPECT_EQ(gametest::ExpectedRepairLines(named.Lower()) + kSeparator, Body(NewLogBytes().substr(before)));
    // A folder without a launcher, or no drive-absolute path: nothing done.
    EXPECT_EQ(2u, RunQuiet(L"/repair /quiet \"/folder:" + m_scratch.Path() + L"\""));
    EXPECT_EQ(2u, RunQuiet(L"/restore /quiet /folder:Named"));
    // A module the game has loaded is replaced at the boot; nothing restarts.
    ASSERT_TRUE(cftest::WriteFileBytes(searched.File(L"rs.dll"), gametest::ExpectedModule(1)));
    gametest::HeldFile rs(searched.File(L"rs.dll"), true);
    ASSERT_TRUE(rs.Held());
    EXPECT_EQ(3010u, RunQuiet(L"/repair /quiet"));
    EXPECT_TRUE(gametest::PendingMoves::Contains(searched.File(L"rs.tmp"), searched.File(L"rs.dll")));
    EXPECT_EQ(87u, RunQuiet(L"/quiet"));
    EXPECT_EQ(87u, RunQuiet(L"-repair /quiet /reboot"));
    // Without /quiet a wrong line shows the usage.
    m_app.Start(L"\"" + BuiltExe() + L"\" /repair");
    HWND usage = cfdrive::WaitForWindow(L"CFRepair 命令行用法", kPatienceMs, m_app.Id());
    ASSERT_NE(nullptr, usage);
    cfdrive::AnswerBox(usage, IDOK);
    EXPECT_EQ(87u, m_app.Wait(kPatienceMs));
}

TEST_F(AppTest, AnsweringNoWithAnotherProgramInFrontChangesNothing)
{
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"launchcrossfire.exe"));
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    cfdrive::PressButton(main, kStartButton);
    HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, box);
    // The run ends while another program is in the foreground.
    std::unique_ptr<HWND__, decltype(&DestroyWindow)> other(
        CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP | WS_VISIBLE, 0, 0, 80, 40, nullptr, nullptr,
                        nullptr, nullptr),
        DestroyWindow);
    ASSERT_TRUE(other && SetForegroundWindow(other.get()));
    ASSERT_EQ(other.get(), GetForegroundWindow());
    cfdrive::AnswerBox(box, IDNO);

    HWND result = cfdrive::WaitForWindow(cfdrive::kResultTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, result);
    Sleep(100);
    EXPECT_EQ(L"扫描完成，未发现异常。" + kContact, cfdrive::ControlText(result, 1019));
    // Owned by the main window, which stays disabled under it.
    EXPECT_EQ(main, GetWindow(result, GW_OWNER));
    EXPECT_FALSE(IsWindowEnabled(main));
    cfdrive::AnswerBox(result, IDCANCEL);
    ASSERT_TRUE(cfdrive::WaitForControlText(main, kStartButton, L"开始修复", 30000));
    EXPECT_TRUE(IsWindowEnabled(main));
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_BYTES(gametest::DamagedModule(i), ReadFileBytes(game.File(kModuleNames[i]))) << i;
        EXPECT_FALSE(cftest::FileExists(game.File(std::wstring(kModuleStems[i]) + L".morvex"))) << i;
    }
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, Body(NewLogBytes()));
    EXPECT_EQ(2u, CloseWithEscape(main));
}

TEST_P(MainFlow, StopDuringARunGivesOneResult)
{
    gametest::GameFolder game;
    const auto entry = Record(game);
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    cfdrive::PressButton(main, kStartButton);
    // The worker now waits on the consent box: far longer than 200 ms.
    HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"停止修复", cfdrive::ControlText(main, kStartButton));
    EXPECT_EQ(L"正在扫描中。。。 ", cfdrive::ControlText(main, kStatus));
    // The stop answers the question "no"; a second press does nothing more.
    cfdrive::PressButton(main, kStartButton);
    cfdrive::PressButton(main, kStartButton);
    EXPECT_TRUE(cfdrive::WaitForWindowGone(box, 30000));

    HWND result = cfdrive::WaitForWindow(cfdrive::kResultTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, result);
    Sleep(100);
    EXPECT_EQ(1, cfdrive::CountTopWindows(cfdrive::kResultTitle, m_app.Id()));
    EXPECT_EQ(L"用户终止，未发现异常。" + kContact, cfdrive::ControlText(result, 1019));
    EXPECT_EQ(L"停止修复", cfdrive::ControlText(main, kStartButton));  // the state while the result shows
    // A stray second completion opens no second result: sent, it has been
    // handled when the send returns (a result it opened would hold it).
    DWORD_PTR done = 0;
    EXPECT_TRUE(SendMessageTimeoutW(main, kScanComplete, 0, 0, SMTO_NORMAL, 30000, &done));
    EXPECT_EQ(1, cfdrive::CountTopWindows(cfdrive::kResultTitle, m_app.Id()));
    cfdrive::AnswerBox(result, IDCANCEL);
    // The caption comes back once the result's own loop has ended.
    ASSERT_TRUE(cfdrive::WaitForControlText(main, kStartButton, L"开始修复", 30000));
    EXPECT_EQ(0, cfdrive::CountTopWindows(cfdrive::kResultTitle, m_app.Id()));
    // The stopped run saved its record; the modules were never touched.
    EXPECT_EQ(std::string(kNothingFound) + kSeparator, Body(NewLogBytes()));
    EXPECT_BYTES(gametest::DamagedModule(0), ReadFileBytes(game.File(L"rs.dll")));
    EXPECT_EQ(2u, CloseWithEscape(main));
}

TEST_F(AppTest, LinksAndTheResultButtonsOpenTheirAddresses)
{
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    // A click, then a double-click: each opens the address once.
    const std::string expected =
        "http://gamesafe.qq.com/webplat/info/46/135/286/201004/55640.shtml\r\n"
        "http://gamesafe.qq.com/webplat/info/46/135/286/201004/55640.shtml\r\n"
        "http://www.tavelo.com/?fr=cfrepair\r\nhttp://www.tavelo.com/?fr=cfrepair\r\n"
        "http://bbs.tavelo.com/?fr=cfrepair\r\nhttp://bbs.tavelo.com/?fr=cfrepair\r\n";
    const auto clickTwice = [&](HWND dialog, int id) {
        for (auto click : {cfdrive::ClickControl, cfdrive::DoubleClickControl}) {
            const size_t before = Recorded().size();
            click(dialog, id);
            for (int i = 0; i < 200 && Recorded().size() == before; ++i)
                Sleep(50);
        }
        // What the static reports by itself under the link's id opens nothing.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, STN_DBLCLK), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
        Sleep(1000);  // time for an extra open to show
    };
    for (int id : {1009, 1011, 1012})
        clickTwice(main, id);
    EXPECT_EQ(expected, Recorded());

    cfdrive::PressButton(main, kStartButton);
    HWND result = cfdrive::WaitForWindow(cfdrive::kResultTitle, 30000, m_app.Id());
    ASSERT_NE(nullptr, result);
    size_t before = Recorded().size();
    clickTwice(result, 1005);
    EXPECT_EQ(cftest::Narrow(m_logPath) + "\r\n" + cftest::Narrow(m_logPath) + "\r\n", Recorded().substr(before));
    EXPECT_TRUE(IsWindow(result));  // viewing the log keeps the dialog

    before = Recorded().size();
    cfdrive::AnswerBox(result, IDOK);
    for (int i = 0; i < 200 && Recorded().size() == before; ++i)
        Sleep(50);
    EXPECT_EQ("http://www.tavelo.com/?fr=cfrepair\r\n", Recorded().substr(before));
    ASSERT_TRUE(cfdrive::WaitForControlText(main, kStartButton, L"开始修复", 30000));
    EXPECT_EQ(2u, CloseWithEscape(main));
}

// A file where the log folder goes: the run and /restore say that the
// record could not be written.
TEST_F(AppTest, ARecordThatCannotBeWrittenIsToldSo)
{
    const std::wstring folder = m_logPath.substr(0, m_logPath.rfind(L'\\')), aside = m_scratch / L"taveloTools";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(MoveFileW(folder.c_str(), aside.c_str()));
    const std::shared_ptr<void> putBack(nullptr, [&](void*) {
        DeleteFileW(folder.c_str()), MoveFileW(aside.c_str(), folder.c_str());
    });
    ASSERT_TRUE(cftest::WriteFileBytes(folder, "no folder"));
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    ASSERT_NE(nullptr, Launch());
    cfdrive::RunOutcome outcome;
    ASSERT_TRUE(cfdrive::RunOneRepair(m_app.Id(), IDNO, IDNO, IDCANCEL, outcome));
    EXPECT_EQ(L"扫描完成，未发现异常。扫描日志未能写入。" + kContact, outcome.resultText);
    EXPECT_EQ(2u, CloseWithEscape(cfdrive::FindTopWindow(cfdrive::kMainTitle, m_app.Id())));
    DWORD code = 0;
    EXPECT_EQ(L"未发现可以还原的文件。扫描日志未能写入。", RunRestore(IDYES, code));
}

TEST_F(AppTest, EscapeAndTheCloseBoxEndWithCodeTwo)
{
    HWND main = Launch();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(2u, CloseWithEscape(main));

    main = Launch();
    ASSERT_NE(nullptr, main);
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(2u, m_app.Wait(30000));

    // Also while a run waits for the user: the run is stopped (its question
    // answered "no") and saves its record first.
    gametest::GameFolder game;
    gametest::MuiCacheEntry entry(game.File(L"crossfire.exe"));
    for (bool closeBox : {false, true}) {
        main = Launch();
        ASSERT_NE(nullptr, main);
        const size_t before = NewLogBytes().size();
        cfdrive::PressButton(main, kStartButton);
        ASSERT_NE(nullptr, cfdrive::WaitForWindow(cfdrive::kConsentTitle, 30000, m_app.Id()));
        if (closeBox)
            PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        else
            cfdrive::PressEscape(main);
        EXPECT_EQ(2u, m_app.Wait(30000));
        EXPECT_EQ(std::string(kNothingFound) + kSeparator, Body(NewLogBytes().substr(before)));
    }
}

}  // namespace
