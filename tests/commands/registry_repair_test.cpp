#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>

namespace {

using namespace cmdtest;

const HKEY HKLM = HKEY_LOCAL_MACHINE;
const HKEY HKCU = HKEY_CURRENT_USER;
const std::wstring kMyComputer = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const std::wstring kMountPoint =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";
const std::wstring kHidden = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\";
const std::wstring kPolicies = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const std::wstring kWindows = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const std::wstring kIexplore = L"SOFTWARE\\Classes\\Applications\\iexplore.exe\\shell\\open\\command";
const std::wstring kHomePage =
    L"SOFTWARE\\Classes\\CLSID\\{871C5380-42A0-1069-A2EA-08002B30309D}\\shell\\OpenHomePage\\Command";
const std::wstring kWinlogon = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t* const kClasses[] = {L"batfile", L"chm.file", L"inffile", L"inifile",
                                   L"txtfile", L"hlpfile",  L"cmdfile", L"regfile"};

std::wstring ClassCommand(const wchar_t* name) { return std::wstring(L"SOFTWARE\\Classes\\") + name + L"\\shell\\open\\command"; }

std::vector<std::wstring> ClassDefaults()
{
    const std::wstring wd = WindowsDir();
    return {L"\"%1\" %*",           L"\"" + wd + L"hh.exe\" %1",    wd + L"NOTEPAD.EXE %1", wd + L"NOTEPAD.EXE %1",
            wd + L"NOTEPAD.EXE %1", wd + L"winhlp32.exe %1",        L"\"%1\" %*",           L"regedit.exe \"%1\""};
}

class OneKeyHost : public CKillerForOneKB {
public:
    explicit OneKeyHost(ICommunication* comm) { m_pComm = comm; }
    int32_t Repaired() const { return m_nRepaired; }
    const std::wstring& ScriptName() const { return m_strScriptName; }
};

// Saves every key the registry routines touch and restores it afterwards.
class RegistryRepairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SaveRepairKeys(m_saved);
        ResetScanLog();
    }

    // Every one of the seventeen settings hijacked, the script's name in
    // the first (the per-user "load").
    void HijackEverything()
    {
        CreateKey(HKLM, kMyComputer + L"\\shell\\open\\command");
        CreateKey(HKLM, kMountPoint + L"\\Shell\\AutoRun\\command");
        CreateKey(HKCU, kMountPoint + L"\\Shell\\AutoRun\\command");
        SetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue", 3);
        SetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue", 2);
        SetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun", 0);
        SetText(HKCU, kWindows, L"load", L"C:\\windows\\system32\\wscript.exe C:\\windows\\explorer.exe:worm.vbs");
        SetText(HKLM, kIexplore, nullptr, L"wscript.exe D:\\a.txt:other.vbs");
        SetText(HKLM, kHomePage, nullptr, L"wscript.exe D:\\a.txt:other.VBS");
        for (const wchar_t* name : kClasses)
            SetText(HKLM, ClassCommand(name), nullptr, L"wscript.exe //B D:\\boot.ini:x.vbs \"%1\"");
    }

    SavedKeys m_saved;
};

TEST_F(RegistryRepairTest, HijackedSettingsAreAllRepairedAndCounted)
{
    HijackEverything();
    StopAfter never(1000);
    OneKeyHost host(&never);
    host.RepairHijackedSettings();

    EXPECT_EQ(17, host.Repaired());
    EXPECT_EQ(17, never.Polls());
    EXPECT_EQ(L"worm.vbs", host.ScriptName());
    EXPECT_FALSE(KeyExists(HKLM, kMyComputer + L"\\shell"));
    EXPECT_TRUE(KeyExists(HKLM, kMyComputer));
    EXPECT_FALSE(KeyExists(HKLM, kMountPoint + L"\\Shell"));
    EXPECT_FALSE(KeyExists(HKCU, kMountPoint + L"\\Shell"));
    EXPECT_EQ(2u, GetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue"));
    EXPECT_EQ(1u, GetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue"));
    EXPECT_EQ(0x91u, GetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun"));
    EXPECT_EQ(L"", GetText(HKCU, kWindows, L"load"));
    const std::wstring pf = ProgramFilesDir();
    EXPECT_EQ(L"\"" + pf + L"Internet Explorer\\iexplore.exe\" %1", GetText(HKLM, kIexplore, nullptr));
    EXPECT_EQ(L"\"" + pf + L"Internet Explorer\\iexplore.exe\"", GetText(HKLM, kHomePage, nullptr));
    std::vector<std::wstring> defaults = ClassDefaults();
    for (size_t i = 0; i < defaults.size(); ++i)
        EXPECT_EQ(defaults[i], GetText(HKLM, ClassCommand(kClasses[i]), nullptr)) << kClasses[i];
    EXPECT_EQ(REG_SZ, GetRaw(HKLM, ClassCommand(L"txtfile"), nullptr).type);
    EXPECT_EQ("", ScanLogBuffer) << "the one-key stage writes no log";

    // Nothing is left to repair, and the first name found is kept.
    SetText(HKLM, kIexplore, nullptr, L"wscript.exe D:\\a.txt:later.vbs");
    host.RepairHijackedSettings();
    EXPECT_EQ(18, host.Repaired());
    EXPECT_EQ(L"worm.vbs", host.ScriptName());
}

TEST_F(RegistryRepairTest, MyComputerShellThatSaysNoneStays)
{
    for (const wchar_t* text : {L"none", L"NoNe", L"xNONEx"}) {
        SetText(HKLM, kMyComputer + L"\\shell", nullptr, text);
        CreateKey(HKLM, kMyComputer + L"\\shell\\find");
        StopAfter never(1000);
        OneKeyHost host(&never);
        host.RepairHijackedSettings();
        EXPECT_TRUE(KeyExists(HKLM, kMyComputer + L"\\shell\\find")) << text;
        EXPECT_EQ(0, host.Repaired()) << text;
    }
    SetText(HKLM, kMyComputer + L"\\shell", nullptr, L"");
    StopAfter never(1000);
    OneKeyHost host(&never);
    host.RepairHijackedSettings();
    EXPECT_FALSE(KeyExists(HKLM, kMyComputer + L"\\shell"));
    EXPECT_EQ(1, host.Repaired());
}

TEST_F(RegistryRepairTest, ScriptReferenceWithoutAStreamIsLeftAlone)
{
    const std::wstring plainScript = L"wscript.exe \"C:\\scripts\\a.vbs\"";
    SetText(HKLM, ClassCommand(L"txtfile"), nullptr, plainScript);
    SetText(HKCU, kWindows, L"load", L"x.vbs");
    StopAfter never(1000);
    OneKeyHost host(&never);
    host.RepairHijackedSettings();
    EXPECT_EQ(0, host.Repaired());
    EXPECT_EQ(L"", host.ScriptName());
    EXPECT_EQ(plainScript, GetText(HKLM, ClassCommand(L"txtfile"), nullptr));
    EXPECT_EQ(L"x.vbs", GetText(HKCU, kWindows, L"load"));
}

TEST_F(RegistryRepairTest, ScriptNameEndsAtItsClosingQuote)
{
    SetText(HKCU, kWindows, L"load", L"wscript.exe \"C:\\windows\\explorer.exe:w o.vbs\" /b \"x\"");
    StopAfter never(1000);
    OneKeyHost host(&never);
    host.RepairHijackedSettings();
    EXPECT_EQ(L"w o.vbs", host.ScriptName());
    EXPECT_EQ(1, host.Repaired());
}

TEST_F(RegistryRepairTest, StopDuringStepFourLeavesTheLaterStepsUndone)
{
    HijackEverything();
    StopAfter stop(3);  // the fourth poll, after step 4, asks to stop
    OneKeyHost host(&stop);
    host.RepairHijackedSettings();
    EXPECT_EQ(4, stop.Polls());
    EXPECT_EQ(4, host.Repaired());
    EXPECT_EQ(2u, GetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue"));
    EXPECT_EQ(2u, GetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue"));
    EXPECT_EQ(0u, GetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun"));
    EXPECT_NE(L"", GetText(HKCU, kWindows, L"load"));
    EXPECT_EQ(L"", host.ScriptName());
}

TEST_F(RegistryRepairTest, StopAfterTheCaptureStillEndsTheNameAtItsQuote)
{
    HijackEverything();
    SetText(HKCU, kWindows, L"load", L"wscript.exe \"C:\\windows\\explorer.exe:worm.vbs\" /b");
    StopAfter stop(6);  // stops after step 7
    OneKeyHost host(&stop);
    host.RepairHijackedSettings();
    EXPECT_EQ(7, host.Repaired());
    EXPECT_EQ(L"worm.vbs", host.ScriptName());
    EXPECT_EQ(L"wscript.exe D:\\a.txt:other.vbs", GetText(HKLM, kIexplore, nullptr));
}

TEST_F(RegistryRepairTest, HiddenFilesOptionUnderBothFamilies)
{
    struct Case {
        DWORD value;
        DWORD afterOneKey;
        DWORD afterMissingFile;
    } cases[] = {{2, 2, 2}, {3, 2, 2}, {0, 0, 2}};
    for (const Case& c : cases) {
        SetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue", c.value);
        StopAfter never(1000);
        OneKeyHost host(&never);
        host.RepairHijackedSettings();
        EXPECT_EQ(c.afterOneKey, GetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue")) << c.value;

        SetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue", c.value);
        SetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue", 1);
        ResetScanLog();
        EXPECT_EQ(1, RepairHiddenFilesOption());
        EXPECT_EQ(c.afterMissingFile, GetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue")) << c.value;
        std::string expected;
        if (c.value != 2)
            expected = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN\t" +
                       std::to_string(c.value) + "\r\n";
        EXPECT_EQ(expected, ScanLogBuffer);
    }
}

TEST_F(RegistryRepairTest, HiddenFilesOptionTreatsUnreadableAsZero)
{
    CreateKey(HKLM, kHidden + L"SHOWALL");
    SetText(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue", L"2");
    EXPECT_EQ(1, RepairHiddenFilesOption());
    EXPECT_EQ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN\t0\r\n"
              "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL\t0\r\n",
              ScanLogBuffer);
    EXPECT_EQ(2u, GetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue"));
    EXPECT_EQ(1u, GetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue"));
}

TEST_F(RegistryRepairTest, FolderOpenCommandsNamingMissingFiles)
{
    SetText(HKLM, kMyComputer + L"\\shell\\open\\command", nullptr, L"C:\\nothere\\evil.exe %1");
    SetText(HKLM, L"SOFTWARE\\Classes\\Folder\\shell\\open\\command", nullptr,
            L"%SystemRoot%\\Explorer.exe /idlist,%I,%L");
    EXPECT_EQ(1, RepairFolderOpenCommands());
    EXPECT_FALSE(KeyExists(HKLM, kMyComputer + L"\\shell"));
    EXPECT_EQ("SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\shell\\open\\command\t"
              "C:\\nothere\\evil.exe %1\r\n",
              ScanLogBuffer);

    ResetScanLog();
    SetText(HKLM, L"SOFTWARE\\Classes\\Folder\\shell\\open\\command", nullptr, L"C:\\nothere\\x.exe", REG_EXPAND_SZ);
    EXPECT_EQ(1, RepairFolderOpenCommands());
    SavedKey::Value written = GetRaw(HKLM, L"SOFTWARE\\Classes\\Folder\\shell\\open\\command", nullptr);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), written.type);
    EXPECT_EQ(L"%SystemRoot%\\Explorer.exe /idlist,%I,%L",
              GetText(HKLM, L"SOFTWARE\\Classes\\Folder\\shell\\open\\command", nullptr));
    EXPECT_EQ("HKEY_CLASSES_ROOT\\Folder\\shell\\open\\command\tC:\\nothere\\x.exe\r\n", ScanLogBuffer);
}

TEST_F(RegistryRepairTest, WinlogonUserinitEntryByEntry)
{
    const std::wstring sd = SystemDir();
    const std::wstring userinit = sd + L"userinit.exe";
    const std::string userinitLabel = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Userinit\t";
    const std::string first = std::string(cftest::Narrow(sd)) + "notepad.exe\r\n";

    const std::wstring healthy[] = {sd + L"notepad.exe,", sd + L"notepad.exe", sd + L"notepad.exe,,notepad.exe,,",
                                    L""};
    for (const std::wstring& text : healthy) {
        SetText(HKLM, kWinlogon, L"Userinit", text);
        ResetScanLog();
        RepairWinlogon();
        EXPECT_EQ(text, GetText(HKLM, kWinlogon, L"Userinit"));
        EXPECT_EQ("", ScanLogBuffer) << cftest::Narrow(text);
    }

    SetText(HKLM, kWinlogon, L"Userinit", sd + L"notepad.exe,C:\\nothere\\a.exe,b.exe,");
    ResetScanLog();
    RepairWinlogon();
    EXPECT_EQ(userinit, GetText(HKLM, kWinlogon, L"Userinit"));
    EXPECT_EQ(userinitLabel + first + userinitLabel + first, ScanLogBuffer);

    DWORD number = 1;
    SetRaw(HKLM, kWinlogon, L"Userinit", REG_DWORD, &number, sizeof(number));
    ResetScanLog();
    RepairWinlogon();
    EXPECT_EQ(1u, GetNumber(HKLM, kWinlogon, L"Userinit"));
}

TEST_F(RegistryRepairTest, WinlogonShell)
{
    DeleteValue(HKLM, kWinlogon, L"Userinit");
    DeleteValue(HKLM, kWinlogon, L"Shell");
    RepairWinlogon();
    EXPECT_EQ(L"<missing>", GetText(HKLM, kWinlogon, L"Shell"));
    EXPECT_EQ("", ScanLogBuffer);

    SetText(HKLM, kWinlogon, L"Shell", L"explorer.exe");
    RepairWinlogon();
    EXPECT_EQ("", ScanLogBuffer);

    SetText(HKLM, kWinlogon, L"Shell", L"C:\\nothere\\shell.exe");
    RepairWinlogon();
    EXPECT_EQ(WindowsDir() + L"explorer.exe", GetText(HKLM, kWinlogon, L"Shell"));
    EXPECT_EQ("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Shell\tC:\\nothere\\shell.exe\r\n",
              ScanLogBuffer);
}

TEST_F(RegistryRepairTest, AutoRunPolicyForRemovableDrives)
{
    const std::string label = Gbk(L"禁止U盘通过Autorun.inf自动运行 ") +
                              "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer NoDriveTypeAutoRun\t";
    RepairAutoRunPolicy();  // no key: nothing
    EXPECT_EQ("", ScanLogBuffer);

    CreateKey(HKCU, kPolicies);
    RepairAutoRunPolicy();
    EXPECT_EQ(5u, GetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun"));
    EXPECT_EQ(label + "1\r\n", ScanLogBuffer);

    ResetScanLog();
    SetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun", 0x91);
    RepairAutoRunPolicy();
    EXPECT_EQ(0x95u, GetNumber(HKCU, kPolicies, L"NoDriveTypeAutoRun"));
    EXPECT_EQ(label + "145\r\n", ScanLogBuffer);

    ResetScanLog();
    RepairAutoRunPolicy();
    EXPECT_EQ("", ScanLogBuffer);
}

TEST_F(RegistryRepairTest, WindowsLoadNamingAMissingFile)
{
    SetText(HKCU, kWindows, L"load", L"");
    RepairWindowsLoad();
    EXPECT_EQ("", ScanLogBuffer);

    SetText(HKCU, kWindows, L"load", L"notepad.exe");
    RepairWindowsLoad();
    EXPECT_EQ("", ScanLogBuffer);

    SetText(HKCU, kWindows, L"load", L"C:\\nothere\\w.exe");
    RepairWindowsLoad();
    EXPECT_EQ(L"", GetText(HKCU, kWindows, L"load"));
    EXPECT_EQ("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\load \t"
              "C:\\nothere\\w.exe\r\n",
              ScanLogBuffer);
}

TEST_F(RegistryRepairTest, BrowserCommandsNamingMissingFiles)
{
    SetText(HKLM, kIexplore, nullptr, L"\"C:\\nothere\\ie.exe\" %1");
    SetText(HKLM, kHomePage, nullptr, L"\"C:\\nothere\\ie.exe\"");
    RepairBrowserCommands();
    const std::wstring pf = ProgramFilesDir();
    EXPECT_EQ(L"\"" + pf + L"Internet Explorer\\iexplore.exe\" %1", GetText(HKLM, kIexplore, nullptr));
    EXPECT_EQ(L"\"" + pf + L"Internet Explorer\\iexplore.exe\"", GetText(HKLM, kHomePage, nullptr));
    EXPECT_EQ("SOFTWARE\\Classes\\Applications\\iexplore.exe\\shell\\open\\command\t\"C:\\nothere\\ie.exe\" %1\r\n"
              "SOFTWARE\\Classes\\CLSID\\{871C5380-42A0-1069-A2EA-08002B30309D}\\shell\\OpenHomePage\\Command\t"
              "\"C:\\nothere\\ie.exe\"\r\n",
              ScanLogBuffer);
}

TEST_F(RegistryRepairTest, RegistryCommandRunsItsRoutinesInOrderWithoutAHost)
{
    SetNumber(HKLM, kHidden + L"NOHIDDEN", L"CheckedValue", 2);
    SetNumber(HKLM, kHidden + L"SHOWALL", L"CheckedValue", 0);
    SetText(HKLM, L"SOFTWARE\\Classes\\Folder\\shell\\open\\command", nullptr, L"C:\\nothere\\x.exe");
    SetText(HKLM, ClassCommand(L"regfile"), nullptr, L"C:\\nothere\\r.exe \"%1\"");
    CKillerForRegFX command;
    EXPECT_EQ(0, command.Execute(nullptr));
    EXPECT_EQ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL\t0\r\n"
              "HKEY_CLASSES_ROOT\\Folder\\shell\\open\\command\tC:\\nothere\\x.exe\r\n"
              "SOFTWARE\\Classes\\regfile\\shell\\open\\command\tC:\\nothere\\r.exe \"%1\"\r\n",
              ScanLogBuffer);
    int32_t removed = -1;
    int32_t repaired = -1;
    std::wstring text;
    command.GetResult(removed, repaired, text);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(0, repaired);
    EXPECT_EQ(1, RunRegistryRepairs());
}

}  // namespace
