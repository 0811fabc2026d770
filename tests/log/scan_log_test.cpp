#include "log/log_folder.h"
#include "log/scan_log.h"
#include "support/file_ops.h"

#include "common/import_hook.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <shlobj.h>

namespace {

using cftest::Hex;
using cftest::ReadFileBytes;
using cftest::ScratchDir;
using cftest::WriteFileBytes;

std::string LogHex() { return Hex(ScanLogBuffer.data(), ScanLogBuffer.size()); }

const char kSeparatorBytes[] =
    "\r\n=====================================================================\r\n\r\n";

TEST(ScanLogRecord, NothingFoundRunIsHeaderTextAndSeparator)
{
    ResetScanLog();
    SYSTEMTIME time = {};
    time.wYear = 2010;
    time.wMonth = 5;
    time.wDayOfWeek = 3;
    time.wDay = 6;
    time.wHour = 9;
    time.wMinute = 3;
    time.wSecond = 7;
    time.wMilliseconds = 999;
    AppendScanLogHeader(time);
    EXPECT_EQ(ScanLogBuffer, "StartTime:2010-5-6 9:3:7\r\n\r\n");

    size_t before = ScanLogBuffer.size();
    AppendScanLogNothingFound();
    EXPECT_EQ(ScanLogBuffer.size() - before, 10u);
    AppendScanLogSeparator();

    ASSERT_EQ(sizeof(kSeparatorBytes) - 1, 75u);
    std::string expected = std::string("StartTime:2010-5-6 9:3:7\r\n\r\n") +
                           "\xce\xb4\xb7\xa2\xcf\xd6\xd2\xec\xb3\xa3" + kSeparatorBytes;
    EXPECT_EQ(LogHex(), Hex(expected.data(), expected.size()));
    EXPECT_EQ(ScanLogBuffer.substr(ScanLogBuffer.size() - 4), "\r\n\r\n");
    EXPECT_EQ(ScanLogBuffer.c_str()[ScanLogBuffer.size()], '\0');

    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 31;
    time.wHour = 23;
    time.wMinute = 59;
    time.wSecond = 58;
    ResetScanLog();
    AppendScanLogHeader(time);
    EXPECT_EQ(ScanLogBuffer, "StartTime:2026-12-31 23:59:58\r\n\r\n");
}

// The record's no-findings bytes are what the system's code page 936 makes
// of the text.
TEST(ScanLogRecord, NothingFoundBytesAreTheCodePage936Text)
{
    char converted[32] = {};
    int n = WideCharToMultiByte(936, 0, L"\u672a\u53d1\u73b0\u5f02\u5e38", -1, converted, sizeof(converted), nullptr,
                                nullptr);
    ASSERT_EQ(n, 11);
    ResetScanLog();
    AppendScanLogNothingFound();
    EXPECT_EQ(ScanLogBuffer, std::string(converted));
}

TEST(ScanLogBuffer, AppendsCountedTextAndFormat)
{
    ResetScanLog();
    AppendScanLog("ab\0cd", 5);
    EXPECT_EQ(ScanLogBuffer, std::string("ab\0cd", 5));
    AppendScanLog(nullptr, 3);
    AppendScanLog("zz", 0);
    AppendScanLogText(nullptr);
    EXPECT_EQ(ScanLogBuffer.size(), 5u);

    ResetScanLog();
    EXPECT_TRUE(ScanLogBuffer.empty());
    AppendScanLogText("label\t");
    AppendScanLogFormat("%s=%d %u%%\r\n", "n", -4, 7u);
    EXPECT_EQ(ScanLogBuffer, "label\tn=-4 7%\r\n");

    std::string wide(5000, 'w');
    AppendScanLogFormat("%s", wide.c_str());
    EXPECT_EQ(ScanLogBuffer.size(), 15u + 5000u);
}

// Appending the buffer's own bytes while it has to grow: the source moves
// with the reallocation.
TEST(ScanLogBuffer, AppendsBytesFromInsideItself)
{
    ResetScanLog();
    ScanLogBuffer.shrink_to_fit();
    AppendScanLogText("abcdef");
    std::string model = "abcdef";
    for (int i = 0; i < 12; ++i) {
        AppendScanLog(ScanLogBuffer.data() + 1, ScanLogBuffer.size() - 1);
        model += model.substr(1);
        ASSERT_EQ(ScanLogBuffer, model) << "round " << i;
    }
    AppendScanLogText(ScanLogBuffer.c_str() + ScanLogBuffer.size() - 3);
    model += model.substr(model.size() - 3);
    EXPECT_EQ(ScanLogBuffer, model);
}

// Code page 936, as the labels, also where the user's formats are English.
TEST(ScanLogBuffer, WideTextInCodePage936)
{
    const LCID locale = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
    ResetScanLog();
    AppendScanLogWide(L"\u4fee\u590d");
    SetThreadLocale(locale);
    EXPECT_EQ(LogHex(), "d0deb8b4");

    // A character code page 936 cannot represent becomes its default character.
    ResetScanLog();
    AppendScanLogWide(L"C:\\\u0e01.dll");
    EXPECT_EQ(ScanLogBuffer, "C:\\?.dll");

    ResetScanLog();
    AppendScanLogWide(nullptr);
    AppendScanLogWide(L"");
    EXPECT_TRUE(ScanLogBuffer.empty());

    std::wstring longPath(3000, L'\u4e2d');
    AppendScanLogWide(longPath.c_str());
    ASSERT_EQ(ScanLogBuffer.size(), 6000u);
    EXPECT_EQ(Hex(ScanLogBuffer.data(), 4), "d6d0d6d0");
}

TEST(ScanLogFile, PathIsUnderCommonAppData)
{
    wchar_t folder[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
    EXPECT_EQ(GetScanLogPath(), std::wstring(folder) + L"\\taveloTools\\Tools.log");

    EXPECT_EQ(GetScanLogFolder(L"D:\\data"), L"D:\\data\\taveloTools\\");
    EXPECT_EQ(GetScanLogFolder(L"D:\\data\\"), L"D:\\data\\taveloTools\\");
    EXPECT_EQ(GetScanLogFolder(L""), L"");
}

TEST(ScanLogFile, FirstSaveCreatesTheFolderLaterSavesAppendAFailedOneIsTakenBack)
{
    ScratchDir dir;
    std::wstring appData = dir / L"All Users\\Application Data";
    ResetScanLog();
    AppendScanLogText("run one\r\n");
    EXPECT_TRUE(SaveScanLogIn(appData));
    std::wstring log = appData + L"\\taveloTools\\Tools.log";
    EXPECT_EQ(ReadFileBytes(log), "run one\r\n");

    // Saving does not empty the buffer.
    EXPECT_EQ(ScanLogBuffer, "run one\r\n");
    ResetScanLog();
    AppendScanLogText("run two\r\n");
    EXPECT_TRUE(SaveScanLogIn(appData + L"\\"));
    EXPECT_EQ(ReadFileBytes(log), "run one\r\nrun two\r\n");

    cftest::DiskFullMidWrite full;
    ASSERT_TRUE(full.Installed());
    EXPECT_FALSE(SaveScanLogIn(appData));
    EXPECT_EQ(ReadFileBytes(log), "run one\r\nrun two\r\n");
}

TEST(ScanLogFile, SizeRuleOnTheLogFile)
{
    ScratchDir dir;
    std::wstring log = dir / L"taveloTools\\Tools.log";
    ASSERT_TRUE(CreateDirectoryPath(log.c_str()));
    ResetScanLog();
    AppendScanLogText("record\r\n");

    ASSERT_TRUE(WriteFileBytes(log, std::string(1048577, '.')));
    EXPECT_TRUE(SaveScanLogIn(dir.Path()));
    EXPECT_EQ(ReadFileBytes(log), "record\r\n");

    ASSERT_TRUE(WriteFileBytes(log, std::string(1048576, '.')));
    EXPECT_TRUE(SaveScanLogIn(dir.Path()));
    std::string content = ReadFileBytes(log);
    EXPECT_EQ(content.size(), 1048576u + 8u);
    EXPECT_EQ(content.substr(1048575), ".record\r\n");
}

// Links a standard user could plant where the log goes, as Wine shows them:
// a hard link is a file with two names, a Linux symbolic link to a folder a
// reparse point. No byte outside the log folder may change.
TEST(ScanLogFile, PlantedLinksAreNeverWrittenThrough)
{
    ScratchDir dir;
    std::wstring appData = dir / L"appdata";
    std::wstring folder = appData + L"\\taveloTools";
    std::wstring log = folder + L"\\Tools.log";
    ASSERT_TRUE(CreateDirectoryPath((folder + L"\\").c_str()));
    // Past the size limit, so following the link would also empty it.
    const std::string victim(1048577, 'v');
    ASSERT_TRUE(WriteFileBytes(dir / L"victim.dat", victim));
    ASSERT_TRUE(CreateHardLinkW(log.c_str(), (dir / L"victim.dat").c_str(), nullptr));
    ResetScanLog();
    AppendScanLogText("record\r\n");
    EXPECT_TRUE(SaveScanLogIn(appData));
    EXPECT_TRUE(ReadFileBytes(dir / L"victim.dat") == victim);
    EXPECT_EQ(ReadFileBytes(log), "record\r\n");
    EXPECT_TRUE(SaveScanLogIn(appData));  // a file of its own now: appended to
    EXPECT_EQ(ReadFileBytes(log), "record\r\nrecord\r\n");

    ASSERT_TRUE(DeleteFileW(log.c_str()));
    ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
    std::wstring elsewhere = dir / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    {
        cftest::UnixLink link(folder, elsewhere);
        ASSERT_NE(0u, GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
        // Windows removes the link and writes into a real folder made anew;
        // Wine opens what the link leads to, so it cannot be removed and
        // nothing is written.
        const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
        EXPECT_EQ(!wine, SaveScanLogIn(appData));
        EXPECT_EQ(!wine, (GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
        EXPECT_EQ(wine ? "" : "record\r\n", ReadFileBytes(log));
    }
    // The folder the link led to is still there, and still empty.
    EXPECT_TRUE(RemoveDirectoryW(elsewhere.c_str())) << GetLastError();
}

// A log folder made before the first run, as a standard user could: its
// access list, and whether it may be written into as it is. Wine keeps no
// owner (it shows the account, or ANONYMOUS for another Unix user) and turns
// access lists into mode bits, so the cases are those both show alike.
struct FolderMadeBefore {
    const char* name;
    const wchar_t* access;
    bool kept;
};
class LogFolderMadeBefore : public ::testing::TestWithParam<FolderMadeBefore> {};
INSTANTIATE_TEST_SUITE_P(
    Descriptors, LogFolderMadeBefore,
    ::testing::Values(FolderMadeBefore{"UsersMayRead", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;WD)", true},
                      FolderMadeBefore{"EveryoneMayWrite", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)",
                                       false}),
    [](const ::testing::TestParamInfo<FolderMadeBefore>& info) { return std::string(info.param.name); });

TEST_P(LogFolderMadeBefore, IsWrittenIntoOnlyWhenOnlyAdministratorsCanChangeIt)
{
    ScratchDir dir;
    const std::wstring folder = dir / L"taveloTools";
    PSECURITY_DESCRIPTOR access = nullptr;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(GetParam().access, SDDL_REVISION_1, &access,
                                                                     nullptr));
    ASSERT_TRUE(SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, access));
    LocalFree(access);
    ASSERT_TRUE(WriteFileBytes(folder + L"\\planted.txt", "planted"));
    ResetScanLog();
    AppendScanLogText("record\r\n");
    {
        // Held open by someone else, it cannot be renamed aside.
        cf::UniqueFile holder(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        EXPECT_EQ(GetParam().kept, SaveScanLogIn(dir.Path()));
        EXPECT_EQ(GetParam().kept, cftest::FileExists(folder + L"\\Tools.log"));
        DeleteFileW((folder + L"\\Tools.log").c_str());
    }
    EXPECT_TRUE(SaveScanLogIn(dir.Path()));
    EXPECT_EQ(ReadFileBytes(folder + L"\\Tools.log"), "record\r\n");
    // One taken over is kept aside, with what was in it.
    EXPECT_EQ(GetParam().kept, cftest::FileExists(folder + L"\\planted.txt"));
    EXPECT_EQ(GetParam().kept ? 1u : 2u, cftest::FolderNames(dir.Path()).size());
    cf::UniqueFile examined(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_TRUE(IsTrustedFolder(examined.Get()));
}

// With no application-data folder the path would begin at the root of the
// current drive; nothing may be written there.
TEST(ScanLogFile, UnknownAppDataFolderWritesNothing)
{
    ScratchDir dir;
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    bool existedBefore = GetPathKind(L"\\taveloTools") != PathAbsent;

    ResetScanLog();
    AppendScanLogText("lost\r\n");
    EXPECT_FALSE(SaveScanLogIn(L""));
    if (!existedBefore) {
        EXPECT_EQ(GetPathKind(L"\\taveloTools"), PathAbsent);
    }
    EXPECT_EQ(GetPathKind(L"taveloTools"), PathAbsent);
    SetCurrentDirectoryW(saved);
}

// Saves into the machine's real log; an existing one is put back afterwards.
TEST(ScanLogFile, SaveWritesTheRealLog)
{
    std::wstring log = GetScanLogPath();
    ASSERT_FALSE(log.empty());
    std::wstring folder = log.substr(0, log.find_last_of(L'\\'));
    bool folderExisted = GetPathKind(folder.c_str()) == PathDirectory;
    bool logExisted = GetPathKind(log.c_str()) == PathFile;
    std::string previous = ReadFileBytes(log);
    if (logExisted) {
        ASSERT_TRUE(DeleteFileW(log.c_str()));
    }

    ResetScanLog();
    AppendScanLogText("real\r\n");
    bool saved = SaveScanLog();
    std::string written = ReadFileBytes(log);

    DeleteFileW(log.c_str());
    if (logExisted)
        WriteFileBytes(log, previous);
    else if (!folderExisted)
        RemoveDirectoryW(folder.c_str());

    EXPECT_TRUE(saved);
    EXPECT_EQ(written, "real\r\n");
    EXPECT_EQ(GetPathKind(log.c_str()), logExisted ? PathFile : PathAbsent);
}

}  // namespace
