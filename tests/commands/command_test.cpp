#include "commands/killers.h"
#include "command_test_util.h"
#include "common/test_util.h"
#include "log/scan_log.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using cmdtest::Gbk;

// The text buffer with a guard behind it, to see that nothing is written
// past the 512 characters.
struct GuardedText {
    wchar_t text[kRegTextChars];
    wchar_t guard[8];
};

class ReadRegTextTest : public ::testing::Test {
protected:
    void Store(DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key.Get(), L"v", 0, type, static_cast<const BYTE*>(data), bytes));
        DWORD storedType = 0;
        DWORD stored = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(m_key.Get(), L"v", nullptr, &storedType, nullptr, &stored));
        ASSERT_EQ(bytes, stored) << "the registry did not keep the size the test gave";
    }

    DWORD Read(const wchar_t* name = L"v")
    {
        for (wchar_t& c : m_buffer.text)
            c = L'#';
        for (wchar_t& c : m_buffer.guard)
            c = L'G';
        DWORD length = ReadRegText(m_key.Get(), name, m_buffer.text);
        for (wchar_t c : m_buffer.guard)
            EXPECT_EQ(L'G', c);
        return length;
    }

    std::wstring Text() const { return m_buffer.text; }

    cftest::ScratchKey m_key;
    GuardedText m_buffer;
};

TEST_F(ReadRegTextTest, AcceptsTerminatedStringsWithoutExpandingThem)
{
    const wchar_t plain[] = L"C:\\a b\\c.exe %1";
    Store(REG_SZ, plain, sizeof(plain));
    EXPECT_EQ(ARRAYSIZE(plain), Read());
    EXPECT_EQ(plain, Text());

    const wchar_t expand[] = L"%SystemRoot%\\x.exe";
    Store(REG_EXPAND_SZ, expand, sizeof(expand));
    EXPECT_EQ(ARRAYSIZE(expand), Read());
    EXPECT_EQ(expand, Text());
}

TEST_F(ReadRegTextTest, TellsMissingFromEmpty)
{
    EXPECT_EQ(0u, Read(L"absent"));
    EXPECT_EQ(L"", Text());

    Store(REG_SZ, L"", sizeof(wchar_t));
    EXPECT_EQ(1u, Read());
    EXPECT_EQ(L"", Text());

    Store(REG_SZ, L"", 0);
    EXPECT_EQ(1u, Read());
    EXPECT_EQ(L"", Text());
}

TEST_F(ReadRegTextTest, RejectsOtherTypesOddSizesAndMissingTerminators)
{
    DWORD number = 0x00410041;  // reads as "AA" if the type were ignored
    Store(REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(0u, Read());
    EXPECT_EQ(L"", Text());

    const wchar_t text[] = L"abc";
    Store(REG_BINARY, text, sizeof(text));
    EXPECT_EQ(0u, Read());

    // The character after the data is not NUL, so the prefix stores the
    // bytes as given (it would add a terminator otherwise).
    const wchar_t unterminated[] = L"abcX";
    Store(REG_SZ, unterminated, 7);  // odd byte count
    EXPECT_EQ(0u, Read());
    EXPECT_EQ(L"", Text());
    const wchar_t oddTerminated[] = L"ab\0X";  // the last whole character is NUL
    Store(REG_SZ, oddTerminated, 7);
    EXPECT_EQ(0u, Read());

    Store(REG_SZ, unterminated, 6);
    EXPECT_EQ(0u, Read());
    EXPECT_EQ(L"", Text());
}

TEST_F(ReadRegTextTest, HoldsAtMost1024Bytes)
{
    std::wstring longest(kRegTextChars - 1, L'x');
    Store(REG_SZ, longest.c_str(), kRegTextChars * sizeof(wchar_t));
    EXPECT_EQ(kRegTextChars, Read());
    EXPECT_EQ(longest, Text());

    std::wstring tooLong(kRegTextChars, L'y');
    Store(REG_SZ, tooLong.c_str(), (kRegTextChars + 1) * sizeof(wchar_t));
    EXPECT_EQ(0u, Read());
    EXPECT_EQ(L"", Text());

    std::wstring huge(40000, L'z');
    Store(REG_SZ, huge.c_str(), static_cast<DWORD>((huge.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(0u, Read());
}

TEST_F(ReadRegTextTest, FallsBackToTheFirstStringOfAMultiString)
{
    const wchar_t list[] = L"first.exe\0second\0";  // the literal adds the second NUL
    Store(REG_MULTI_SZ, list, sizeof(list));
    EXPECT_EQ(10u, Read());
    EXPECT_EQ(L"first.exe", Text());

    const wchar_t emptyList[] = L"\0";
    Store(REG_MULTI_SZ, emptyList, sizeof(emptyList));
    EXPECT_EQ(1u, Read());

    // One NUL only: not a complete list.
    const wchar_t single[] = L"abcX";
    Store(REG_MULTI_SZ, L"ab\0X", 3 * sizeof(wchar_t));
    EXPECT_EQ(0u, Read());
    Store(REG_MULTI_SZ, single, 6);
    EXPECT_EQ(0u, Read());
    EXPECT_EQ(L"", Text());

    std::wstring tooLong(kRegTextChars, L'm');
    tooLong.push_back(L'\0');
    Store(REG_MULTI_SZ, tooLong.c_str(), static_cast<DWORD>((tooLong.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(0u, Read());
}

TEST(ReadRegString, IgnoresMultiStrings)
{
    cftest::ScratchKey key;
    const wchar_t list[] = L"a.exe\0";
    RegSetValueExW(key.Get(), nullptr, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), sizeof(list));
    wchar_t text[kRegTextChars];
    EXPECT_EQ(0u, ReadRegString(key.Get(), nullptr, text));
    EXPECT_EQ(6u, ReadRegText(key.Get(), nullptr, text));
    EXPECT_STREQ(L"a.exe", text);
}

TEST(ReadRegNumber, UsesTheFallbackForAnythingButADword)
{
    cftest::ScratchKey key;
    EXPECT_EQ(7u, ReadRegNumber(key.Get(), L"n", 7));
    cmdtest::SetRaw(HKEY_CURRENT_USER, key.SubPath(), L"n", REG_SZ, L"3", 4);  // four bytes, wrong type
    EXPECT_EQ(7u, ReadRegNumber(key.Get(), L"n", 7));
    WORD shortNumber = 3;
    cmdtest::SetRaw(HKEY_CURRENT_USER, key.SubPath(), L"n", REG_DWORD, &shortNumber, sizeof(shortNumber));
    EXPECT_EQ(7u, ReadRegNumber(key.Get(), L"n", 7));
    cmdtest::SetNumber(HKEY_CURRENT_USER, key.SubPath(), L"n", 3);
    EXPECT_EQ(3u, ReadRegNumber(key.Get(), L"n", 7));
}

TEST(DeleteKeyRecursive, RemovesTheWholeTreeAndNothingElse)
{
    cftest::ScratchKey key;
    const std::wstring base = key.SubPath() + L"\\";
    cmdtest::SetText(HKEY_CURRENT_USER, base + L"Shell\\open\\command", nullptr, L"x");
    cmdtest::SetText(HKEY_CURRENT_USER, base + L"Shell\\a\\b\\c\\d", L"v", L"y");
    cmdtest::CreateKey(HKEY_CURRENT_USER, base + L"Shell\\e");
    cmdtest::SetText(HKEY_CURRENT_USER, base + L"Sibling", L"v", L"keep");

    EXPECT_EQ(ERROR_SUCCESS, DeleteKeyRecursive(key.Get(), L"Shell"));
    EXPECT_FALSE(cmdtest::KeyExists(HKEY_CURRENT_USER, base + L"Shell"));
    EXPECT_EQ(L"keep", cmdtest::GetText(HKEY_CURRENT_USER, base + L"Sibling", L"v"));
}

TEST(DeleteKeyRecursive, ReportsAMissingKeyAndChangesNothing)
{
    cftest::ScratchKey key;
    cmdtest::SetText(HKEY_CURRENT_USER, key.SubPath() + L"\\Other", L"v", L"keep");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyRecursive(key.Get(), L"Shell"));
    EXPECT_EQ(L"keep", cmdtest::GetText(HKEY_CURRENT_USER, key.SubPath() + L"\\Other", L"v"));
}

class CommandFilesExistTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cftest::WriteFileBytes(m_dir / L"host.exe", "MZ"));
        ASSERT_TRUE(cftest::WriteFileBytes(m_dir / L"page one.htm", "x"));
    }
    cftest::ScratchDir m_dir;
};

TEST_F(CommandFilesExistTest, EmptyAndPlaceholderOnlyLinesPass)
{
    EXPECT_TRUE(CommandFilesExist(nullptr, nullptr));
    EXPECT_TRUE(CommandFilesExist(L"", nullptr));
    EXPECT_TRUE(CommandFilesExist(L"\"%1\" %*", nullptr));
    EXPECT_TRUE(CommandFilesExist(L"%SystemRoot%\\Explorer.exe /idlist,%I,%L", nullptr));
}

TEST_F(CommandFilesExistTest, EveryDottedArgumentMustBeFound)
{
    const std::wstring host = m_dir / L"host.exe";
    EXPECT_TRUE(CommandFilesExist((L"\"" + host + L"\" \"page one.htm\" /x").c_str(), m_dir.Path().c_str()));
    EXPECT_FALSE(CommandFilesExist((host + L" gone.vbs").c_str(), m_dir.Path().c_str()));
    EXPECT_FALSE(CommandFilesExist((L"wscript.exe \"" + m_dir.Path() + L"gone.vbs\"").c_str(), nullptr));
    // Names without a folder are looked up in the base folder, then the
    // Windows and System folders.
    EXPECT_TRUE(CommandFilesExist(L"host.exe notepad.exe", m_dir.Path().c_str()));
    EXPECT_FALSE(CommandFilesExist(L"host.exe", nullptr));
}

TEST(CommandResults, BeforeExecuteEachCommandGivesItsFixedText)
{
    int32_t removed = -1;
    int32_t repaired = -1;
    std::wstring text = L"stale";

    CKillerForLnkKiller lnk;
    lnk.GetResult(removed, repaired, text);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(0, repaired);
    EXPECT_EQ(L"lnkdestroyer", text);

    CKillerForFileFX files;
    files.GetResult(removed, repaired, text);
    EXPECT_EQ(L"异常文件修复", text);

    CKillerForRegFX registry;
    registry.GetResult(removed, repaired, text);
    EXPECT_EQ(L"异常注册表修复", text);

    removed = repaired = -1;
    CKillerForOneKB oneKey;
    oneKey.GetResult(removed, repaired, text);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(0, repaired);
    EXPECT_EQ(L"", text);
}

TEST(CommandResults, FileCommandDoesNoWorkEvenWithoutAHost)
{
    ResetScanLog();
    CKillerForFileFX files;
    EXPECT_EQ(0, files.Execute(nullptr));
    EXPECT_EQ("", ScanLogBuffer);
}

TEST(LogEntries, LabelSubjectInCodePage936AndLineEnd)
{
    ResetScanLog();
    LogEntry("del file ", L"M:\\病毒.vbs");
    LogLabel("\xd2\xec\xb3\xa3 ");
    LogText(L"Software\\x");
    LogLabel(kTab);
    LogNumber(0xFFFFFFFF);
    LogEnd();
    EXPECT_EQ("del file M:\\" + Gbk(L"病毒") + ".vbs\r\n" + Gbk(L"异常 ") + "Software\\x\t-1\r\n", ScanLogBuffer);
}

TEST(DriveList, AListThatDoesNotFitTheBufferGivesNoDrive)
{
    wchar_t list[kDriveListChars + 8] = {};
    std::wstring drives;
    for (wchar_t letter = L'A'; letter < L'A' + 24; ++letter)
        drives += std::wstring(1, letter) + L":\\" + L'\0';
    memcpy(list, drives.c_str(), drives.size() * sizeof(wchar_t));

    std::vector<std::wstring> roots = ParseDriveList(list, 96);
    ASSERT_EQ(24u, roots.size());
    EXPECT_EQ(L"A:\\", roots.front());
    EXPECT_EQ(L"X:\\", roots.back());

    EXPECT_TRUE(ParseDriveList(list, 101).empty());  // 25 drives: the size it needs
    EXPECT_TRUE(ParseDriveList(list, 0).empty());
    EXPECT_EQ(2u, ParseDriveList(list, 8).size());
}

}  // namespace
