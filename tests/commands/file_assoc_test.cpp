#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>

namespace {

using namespace cmdtest;

const std::wstring kFileExts = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const std::wstring kMarker =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const std::wstring kImported = L"Software\\CFRepairTest\\lnkfix";

std::wstring ImportFilePath()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = temp;
    if (path.back() != L'\\')
        path += L'\\';
    return path + L"LNKFIX.REG";
}

bool WaitForImport(DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (GetText(HKEY_CURRENT_USER, kImported, L"ran") == L"yes")
            return true;
        Sleep(100);
    }
    return false;
}

class FileAssociationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SaveRepairKeys(m_saved);
        DeleteTree(HKEY_CURRENT_USER, kImported);
        // A registry file planted where the import used to read from; it
        // only marks that it was imported, which must never happen.
        ASSERT_TRUE(cftest::WriteFileBytes(
            ImportFilePath(), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\CFRepairTest\\lnkfix]\r\n\"ran\"=\"yes\"\r\n\r\n"));
        ResetScanLog();
    }
    void TearDown() override
    {
        DeleteFileW(ImportFilePath().c_str());
        DeleteTree(HKEY_CURRENT_USER, kImported);
    }

    SavedKeys m_saved;
};

TEST_F(FileAssociationTest, CommandNamingAMissingScriptIsReset)
{
    const std::wstring txt = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
    const std::wstring old = L"C:\\windows\\system32\\wscript.exe C:\\nothere\\gone.vbs";
    SetText(HKEY_LOCAL_MACHINE, txt, nullptr, old);
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\batfile\\shell\\open\\command", nullptr, L"\"%1\" %*");
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\inifile\\shell\\open\\command", nullptr, L"notepad.exe %1");
    EXPECT_EQ(1, RepairFileAssociations());
    EXPECT_EQ(WindowsDir() + L"NOTEPAD.EXE %1", GetText(HKEY_LOCAL_MACHINE, txt, nullptr));
    EXPECT_EQ(L"notepad.exe %1",
              GetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\inifile\\shell\\open\\command", nullptr));
    EXPECT_EQ("SOFTWARE\\Classes\\txtfile\\shell\\open\\command\t" + cftest::Narrow(old) + "\r\n", ScanLogBuffer);
}

TEST_F(FileAssociationTest, HealthyShortcutClassStartsNoImport)
{
    CreateKey(HKEY_LOCAL_MACHINE, kMarker);
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk", nullptr, L"LNKFILE");
    CreateKey(HKEY_CURRENT_USER, kFileExts);
    DWORD number = 5;
    SetRaw(HKEY_CURRENT_USER, kFileExts, L"application", REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(1, RepairFileAssociations());
    EXPECT_EQ("", ScanLogBuffer);
    EXPECT_FALSE(WaitForImport(3000));
}

TEST_F(FileAssociationTest, DamagedShortcutClassIsLoggedCleanedAndImported)
{
    DeleteTree(HKEY_LOCAL_MACHINE, kMarker);
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk", nullptr, L"txtfile");
    CreateKey(HKEY_CURRENT_USER, kFileExts + L"\\UserChoice\\deeper");
    SetText(HKEY_CURRENT_USER, kFileExts, L"application", L"evil.exe");
    EXPECT_EQ(1, RepairFileAssociations());
    EXPECT_EQ(Gbk(L"桌面图标无法打开，缺少") + cftest::Narrow(kMarker) + "\r\n" +
                  Gbk(L"桌面图标无法打开，缺少HKEY_CLASSES_ROOT\\.lnk lnkfile \r\n") +
                  Gbk(L"异常 Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice \r\n") +
                  Gbk(L"异常 Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk application \r\n"),
              ScanLogBuffer);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kFileExts + L"\\UserChoice"));
    EXPECT_EQ(L"<missing>", GetText(HKEY_CURRENT_USER, kFileExts, L"application"));
    // Registered again from a file of its own, which is gone; not the planted one.
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMarker));
    EXPECT_EQ(L"lnkfile", GetText(HKEY_CLASSES_ROOT, L".lnk", nullptr));
    EXPECT_EQ(L"<missing>", GetText(HKEY_CURRENT_USER, kImported, L"ran"));
    std::wstring pattern = ImportFilePath();
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.insert(pattern.size() - 4, L"*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    EXPECT_FALSE(FindNextFileW(find, &found)) << "a registry file stayed behind";
    FindClose(find);
    ResetScanLog();
    EXPECT_EQ(1, RepairFileAssociations());
    EXPECT_EQ("", ScanLogBuffer);
}

TEST_F(FileAssociationTest, MissingClassNameCountsAsWrong)
{
    DeleteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk", nullptr);
    EXPECT_EQ(1, RepairFileAssociations());
    EXPECT_EQ(Gbk(L"桌面图标无法打开，缺少HKEY_CLASSES_ROOT\\.lnk lnkfile \r\n"), ScanLogBuffer);
    EXPECT_EQ(L"lnkfile", GetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk", nullptr));
    EXPECT_FALSE(WaitForImport(3000));
}

}  // namespace
