#include <windows.h>
#include <tlhelp32.h>
#include <urlmon.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/module.h"
#include "repair/system_files.h"
#include "support/file_ops.h"
#include "support/unique.h"
#include "sysfiles_test_util.h"

using namespace sysfilestest;

namespace {

// "修复文件\t" and "缺失的输入法程序\t" in code page 936.
const char kRepairedLabel[] = "\xd0\xde\xb8\xb4\xce\xc4\xbc\xfe\t";
const char kInputMethodLabel[] = "\xc8\xb1\xca\xa7\xb5\xc4\xca\xe4\xc8\xeb\xb7\xa8\xb3\xcc\xd0\xf2\t";

using Record = std::array<uint8_t, 32>;

std::string DigestHex(const std::string& bytes)
{
    uint8_t digest[16];
    ComputeMd5OfBuffer(digest, bytes.data(), bytes.size());
    return cftest::Hex(digest, 16);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// ShellExecuteExW returns once the program it starts exists: when every
// program of that name (but `other`) has ended, one started in error has
// left its mark.
void WaitForProgramsNamed(const wchar_t* name, DWORD other = 0)
{
    HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, raw);
    cf::UniqueHandle snapshot(raw);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == other || lstrcmpiW(entry.szExeFile, name) != 0)
            continue;
        cf::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 30000)) << cftest::Narrow(name);
        }
    }
}

std::string KeyHex(const std::wstring& path, const std::wstring& windowsDir)
{
    uint8_t key[16];
    ComputeSystemPathKey(path, windowsDir, key);
    return cftest::Hex(key, 16);
}

std::wstring SystemDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n) + L"\\";
}

std::wstring WindowsDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n) + L"\\";
}

std::string Records(std::vector<Record> records)
{
    std::string bytes;
    for (const Record& r : records)
        bytes.append(reinterpret_cast<const char*>(r.data()), r.size());
    return bytes;
}

Record MakeRecord(const std::wstring& target, const std::string& content)
{
    Record r;
    ComputeSystemPathKey(target, WindowsDir(), r.data());
    ComputeMd5OfBuffer(r.data() + 16, content.data(), content.size());
    return r;
}

// A name of the table that this system does not have, so the list takes it.
std::wstring MissingSystemName()
{
    for (size_t i = 0; i < HijackNameCount; ++i) {
        if (!cftest::FileExists(SystemDir() + HijackNameTable[i]))
            return HijackNameTable[i];
    }
    return std::wstring();
}

class SystemFileRepair : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(0u, ServerPort()) << "the loopback server fixture (sysfiles_http) did not run";
        ResetScanLog();
        RestartRequired = 0;
        m_module.SetFileServerUrl(ServerRoot().c_str());
        ASSERT_TRUE(GetPlatformTag(m_tag));
    }

    std::wstring ServeFresh(const std::string& bytes)
    {
        std::wstring digest = Wide(DigestHex(bytes));
        EXPECT_TRUE(Serve(m_tag, digest, bytes));
        return digest;
    }

    cftest::ScratchDir m_downloads;
    cftest::ScratchDir m_targets;
    CKillSysFileFix m_module;
    std::wstring m_tag;
};

}  // namespace

TEST(DigestDatabase, KeyIsMd5OfNormalisedUtf16Path)
{
    EXPECT_EQ("6435d74bb98354a6e4476d690d3ec29d", KeyHex(L"C:\\Windows\\System32\\LPK.DLL", L"C:\\Windows\\"));
    // The Windows folder is matched case-sensitively before lower-casing.
    EXPECT_EQ("07b5374776f2328ef5720f2c577fb129", KeyHex(L"c:\\windows\\system32\\X.dll", L"C:\\Windows\\"));
    EXPECT_EQ("f34cb91ca72625004a0fc391d91bf39a", KeyHex(L"C:\\Windows\\C:\\Windows\\A", L"C:\\Windows\\"));
}

TEST(DigestDatabase, BisectionFindsEveryRecordAndOnlyThose)
{
    std::mt19937 random(7);
    std::vector<Record> records(1001);
    for (Record& r : records)
        for (uint8_t& b : r)
            b = static_cast<uint8_t>(random());
    std::sort(records.begin(), records.end());
    std::string db = Records(records);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(db.data());
    ASSERT_TRUE(IsDigestDatabaseSorted(data, db.size()));

    uint8_t content[16];
    for (const Record& r : records) {
        ASSERT_TRUE(FindDigestRecord(data, db.size(), r.data(), content));
        EXPECT_EQ(0, memcmp(content, r.data() + 16, 16));
    }
    Record low{}, high;
    high.fill(0xFF);
    EXPECT_FALSE(FindDigestRecord(data, db.size(), low.data(), content));
    EXPECT_FALSE(FindDigestRecord(data, db.size(), high.data(), content));
    for (const Record& r : records) {
        Record neighbour = r;
        neighbour[15] ^= 1;
        if (!std::binary_search(records.begin(), records.end(), neighbour,
                                [](const Record& a, const Record& b) { return memcmp(a.data(), b.data(), 16) < 0; })) {
            EXPECT_FALSE(FindDigestRecord(data, db.size(), neighbour.data(), content));
        }
    }

    // A trailing part shorter than a record is not a record.
    Record& last = records.back();
    size_t cut = db.size() - 1;
    EXPECT_FALSE(FindDigestRecord(data, cut, last.data(), content));
    EXPECT_TRUE(FindDigestRecord(data, cut, records.front().data(), content));
    EXPECT_FALSE(FindDigestRecord(data, 31, records.front().data(), content));
    EXPECT_FALSE(FindDigestRecord(nullptr, 0, records.front().data(), content));

    std::swap(records[10], records[900]);
    std::string unsorted = Records(records);
    EXPECT_FALSE(IsDigestDatabaseSorted(reinterpret_cast<const uint8_t*>(unsorted.data()), unsorted.size()));
}

TEST(DigestDatabase, FormatDigestHexAppendsLowerCase)
{
    const uint8_t digest[16] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x99, 0xFF,
                                0x7F, 0x80, 0x0A, 0xA0, 0x12, 0x34, 0x56, 0x78};
    std::wstring text = L"x";
    EXPECT_TRUE(FormatDigestHex(digest, text));
    EXPECT_EQ(L"x0001abcdef1099ff7f800aa012345678", text);
}

TEST(BuildSystemFileList, ReadsTheToolsDatabaseAndSkipsPresentFiles)
{
    std::wstring missing = MissingSystemName();
    ASSERT_FALSE(missing.empty()) << "every name of the table exists in this system folder";
    cftest::ScratchDir dir;
    std::string clean = UniqueBytes("list");
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"clean.bin", clean));
    std::wstring present = SystemDir() + L"kernel32.dll";
    ASSERT_TRUE(cftest::FileExists(present));

    cftest::Child tool;
    ASSERT_TRUE(tool.Start(L"\"" + cftest::ToolPath(L"digestdb.exe") + L"\" \"" + dir.Path() + L"sys.db\" --fill 5000 \"" +
                           SystemDir() + missing + L"\" \"" + dir.Path() + L"clean.bin\" \"" + present + L"\" \"" +
                           dir.Path() + L"clean.bin\""));
    ASSERT_EQ(0u, tool.Wait());
    EXPECT_EQ(5002u * 32, cftest::ReadFileBytes(dir / L"sys.db").size());

    CKillSysFileFix module;
    module.m_systemFiles.push_back({L"C:\\earlier", L"0123456789abcdef0123456789abcdef"});
    module.SetDigestDatabasePath((dir / L"sys.db").c_str());
    EXPECT_EQ(1, module.BuildSystemFileList());
    ASSERT_EQ(2u, module.m_systemFiles.size());
    EXPECT_EQ(L"C:\\earlier", module.m_systemFiles[0].targetPath);
    EXPECT_EQ(SystemDir() + missing, module.m_systemFiles[1].targetPath);
    EXPECT_EQ(Wide(DigestHex(clean)), module.m_systemFiles[1].expectedDigest);
}

TEST(BuildSystemFileList, BadDatabasesGiveNothing)
{
    std::wstring missing = MissingSystemName();
    ASSERT_FALSE(missing.empty());
    cftest::ScratchDir dir;
    Record wanted = MakeRecord(SystemDir() + missing, "content");
    std::vector<Record> records(40);
    std::mt19937 random(11);
    for (Record& r : records)
        for (uint8_t& b : r)
            b = static_cast<uint8_t>(random());
    records.push_back(wanted);
    std::sort(records.begin(), records.end());
    std::string good = Records(records);

    auto build = [&](const std::string& bytes, bool write = true) {
        std::wstring path = dir / L"db.bin";
        DeleteFileW(path.c_str());
        if (write)
            cftest::WriteFileBytes(path, bytes);
        CKillSysFileFix module;
        module.SetDigestDatabasePath(path.c_str());
        int result = module.BuildSystemFileList();
        EXPECT_EQ(result, module.m_systemFiles.empty() ? 0 : 1);
        return module.m_systemFiles.size();
    };
    EXPECT_EQ(1u, build(good));
    EXPECT_EQ(1u, build(good + std::string(17, '\xff')));  // odd size: the tail is ignored
    EXPECT_EQ(0u, build("", true));
    EXPECT_EQ(0u, build("", false));
    EXPECT_EQ(0u, build(Records({wanted}).substr(0, 31)));
    std::swap(records.front(), records.back());
    EXPECT_EQ(0u, build(Records(records)));
}

TEST(PlatformTag, ReportsVersionServicePackAndLanguage)
{
    struct Case {
        const wchar_t* wineVersion;
        const wchar_t* expected;
    };
    // The UI language counts only below version 6; the tests run with the
    // Chinese locale, so it is 2052 there.
    const Case cases[] = {
        {L"winxp", L"5.1.3|0501.0300.2052|1"},   {L"winxp64", L"5.2.2|0502.0200.2052|1"},
        {L"win2k", L"5.0.4|0500.0400.2052|0"},   {L"vista", L"6.0.2|0600.0200.0000|0"},
        {L"win7", L"6.1.1|0601.0100.0000|1"},    {L"win10", L"10.0.0|1000.0000.0000|0"},
    };
    cftest::ScratchDir dir;
    for (const Case& c : cases) {
        std::wstring exeName = std::wstring(L"vprobe_") + c.wineVersion + L".exe";
        ASSERT_TRUE(CopyFileW(cftest::ToolPath(L"versionprobe.exe").c_str(), (dir / exeName).c_str(), FALSE));
        std::wstring out = dir / (exeName + L".txt");
        {
            cftest::WineAppVersion version(exeName, c.wineVersion);
            ASSERT_TRUE(version.Set());
            cftest::Child probe;
            ASSERT_TRUE(probe.Start(L"\"" + (dir / exeName) + L"\" \"" + out + L"\""));
            EXPECT_EQ(0u, probe.Wait());
        }
        std::string bytes = cftest::ReadFileBytes(out);
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        EXPECT_EQ(std::wstring(c.expected), text) << cftest::Narrow(c.wineVersion);
    }
}

TEST_F(SystemFileRepair, MissingSystemFileIsRestoredAndLogged)
{
    std::wstring missing = MissingSystemName();
    ASSERT_FALSE(missing.empty());
    std::wstring target = SystemDir() + missing;
    std::string clean = UniqueBytes("restore");
    std::wstring digest = ServeFresh(clean);
    std::string db = Records({MakeRecord(target, clean)});
    ASSERT_TRUE(cftest::WriteFileBytes(m_targets / L"db.bin", db));
    m_module.SetDigestDatabasePath((m_targets / L"db.bin").c_str());
    ASSERT_EQ(1, m_module.BuildSystemFileList());

    // The download's old name in the current folder, planted as a hard link
    // to a file elsewhere: nothing may be written through it.
    ASSERT_TRUE(cftest::WriteFileBytes(m_targets / L"victim.dat", "victim"));
    ASSERT_TRUE(CreateHardLinkW((m_downloads / digest).c_str(), (m_targets / L"victim.dat").c_str(), nullptr));
    {
        CurrentDir here(m_downloads.Path());
        EXPECT_EQ(0, m_module.RepairSystemFiles());
    }
    EXPECT_EQ(clean, cftest::ReadFileBytes(target));
    EXPECT_EQ("victim", cftest::ReadFileBytes(m_targets / L"victim.dat"));
    EXPECT_EQ("victim", cftest::ReadFileBytes(m_downloads / digest));
    EXPECT_EQ(std::string(kRepairedLabel) + Ansi(target) + "\r\n", ScanLogBuffer);
    EXPECT_EQ(0, RestartRequired);
    EXPECT_EQ(1u, m_module.m_systemFiles.size());  // the list is kept
    DeleteFileW(target.c_str());
}

TEST_F(SystemFileRepair, WrongDownloadsAreDeletedAndNotLogged)
{
    // Wine's download reports an HTTP error as success and keeps the error
    // page, so the digest check is what rejects it.
    std::wstring absent = Wide(DigestHex(UniqueBytes("never served")));
    {
        CurrentDir here(m_downloads.Path());
        std::wstring url = ServerRoot() + L"/sysfiles2/files/" + m_tag + L"/" + absent;
        EXPECT_EQ(S_OK, URLDownloadToFileW(nullptr, url.c_str(), L"probe404", 0, nullptr));
        EXPECT_NE(std::string::npos, cftest::ReadFileBytes(m_downloads / L"probe404").find("404"));
        DeleteFileW(L"probe404");
    }

    std::string served = UniqueBytes("served");
    std::wstring otherDigest = Wide(DigestHex(UniqueBytes("expected")));
    ASSERT_TRUE(Serve(m_tag, otherDigest, served));  // content does not match its name
    std::string upper = UniqueBytes("upper");
    std::wstring upperDigest = Wide(DigestHex(upper));
    std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(), towupper);
    ASSERT_TRUE(Serve(m_tag, upperDigest, upper));

    m_module.m_systemFiles.push_back({m_targets / L"a.dll", otherDigest});
    m_module.m_systemFiles.push_back({m_targets / L"b.dll", upperDigest});
    m_module.m_systemFiles.push_back({m_targets / L"c.dll", absent});
    ASSERT_TRUE(cftest::WriteFileBytes(m_targets / L"b.dll", "old"));
    {
        CurrentDir here(m_downloads.Path());
        EXPECT_EQ(0, m_module.RepairSystemFiles());
    }
    EXPECT_FALSE(cftest::FileExists(m_targets / L"a.dll"));
    EXPECT_EQ("old", cftest::ReadFileBytes(m_targets / L"b.dll"));
    EXPECT_FALSE(cftest::FileExists(m_targets / L"c.dll"));
    EXPECT_FALSE(cftest::FileExists(m_downloads / otherDigest));
    EXPECT_FALSE(cftest::FileExists(m_downloads / upperDigest));
    EXPECT_FALSE(cftest::FileExists(m_downloads / absent));
    EXPECT_EQ("", ScanLogBuffer);
    EXPECT_EQ(0, RestartRequired);
}

TEST_F(SystemFileRepair, DigestThatCouldNameAnotherFolderIsNotUsed)
{
    cftest::ScratchDir outside;
    ASSERT_TRUE(cftest::WriteFileBytes(outside / L"keep.txt", "user data"));
    std::wstring escape = L"..\\" + outside.Path().substr(outside.Path().rfind(L'\\', outside.Path().size() - 2) + 1) +
                          L"keep.txt";
    m_module.m_systemFiles.push_back({m_targets / L"x.dll", escape});
    {
        CurrentDir here(m_downloads.Path());
        m_module.RepairSystemFiles();
    }
    EXPECT_EQ("user data", cftest::ReadFileBytes(outside / L"keep.txt"));
    EXPECT_EQ("", ScanLogBuffer);
}

TEST_F(SystemFileRepair, TargetInUseIsReplacedAtTheNextBoot)
{
    std::string clean = UniqueBytes("deferred");
    std::wstring digest = ServeFresh(clean);
    std::string cleanHeld = UniqueBytes("deferred held") ;
    std::wstring digestHeld = ServeFresh(cleanHeld);
    // The readable one is a runnable input-method host: replaced only at the
    // next boot, it must not be started now, as the old file would run.
    std::wstring readable = m_targets / L"ctfmon.exe";
    std::wstring held = m_targets / L"held.dll";
    std::string image = cftest::ReadFileBytes(cftest::ToolPath(L"startmark.exe"));
    ASSERT_FALSE(image.empty());
    ASSERT_TRUE(cftest::WriteFileBytes(readable, image));
    ASSERT_TRUE(cftest::WriteFileBytes(held, image));
    m_module.m_systemFiles.push_back({readable, digest});
    m_module.m_systemFiles.push_back({held, digestHeld});
    std::wstring mark = m_downloads / L"started.txt";
    SetEnvironmentVariableW(L"CF_START_MARK", mark.c_str());

    HANDLE open = CreateFileW(readable.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    cftest::Child holder;
    ASSERT_TRUE(HoldFile(holder, held));
    {
        CurrentDir here(m_downloads.Path());
        m_module.RepairSystemFiles();
    }
    WaitForProgramsNamed(L"ctfmon.exe");
    SetEnvironmentVariableW(L"CF_START_MARK", nullptr);
    EXPECT_FALSE(cftest::FileExists(mark)) << "a program replaced only at the next boot was started";
    EXPECT_EQ(1, RestartRequired);
    EXPECT_EQ(image, cftest::ReadFileBytes(readable));
    EXPECT_FALSE(cftest::FileExists(m_downloads / digest));
    EXPECT_FALSE(cftest::FileExists(m_downloads / digestHeld));
    // The boot-time moves start from copies in the targets' own folder, so a
    // file planted under a download's name until the restart is not used.
    std::wstring pending = PendingRenames();
    EXPECT_NE(std::wstring::npos, pending.find(L"|!\\??\\" + readable));
    EXPECT_NE(std::wstring::npos, pending.find(L"|!\\??\\" + held));
    EXPECT_EQ(std::wstring::npos, pending.find(m_downloads.Path()));
    ASSERT_TRUE(cftest::WriteFileBytes(m_downloads / digest, "planted"));
    EXPECT_EQ(std::string(kInputMethodLabel) + kRepairedLabel + Ansi(readable) + "\r\n" + kRepairedLabel +
                  Ansi(held) + "\r\n",
              ScanLogBuffer);

    CloseHandle(open);
    holder.Kill();
    holder.Wait();
    DeleteFileW((held + L".held").c_str());
    SimulateReboot();
    EXPECT_EQ(clean, cftest::ReadFileBytes(readable));
    EXPECT_EQ(cleanHeld, cftest::ReadFileBytes(held));
    EXPECT_EQ(std::wstring::npos, PendingRenames().find(readable));
}

TEST_F(SystemFileRepair, InputMethodFilesAreStartedAndMarkedInTheLog)
{
    std::string program = cftest::ReadFileBytes(cftest::ToolPath(L"startmark.exe"));
    ASSERT_FALSE(program.empty());
    // Two distinct clean files, so each download has its own digest.
    std::string ctfmon = program + UniqueBytes("ctfmon");
    std::string conime = program + UniqueBytes("conime");
    m_module.m_systemFiles.push_back({m_targets / L"ctfmon.exe", ServeFresh(ctfmon)});
    m_module.m_systemFiles.push_back({m_targets / L"CONIME.EXE", ServeFresh(conime)});
    std::wstring mark = m_downloads / L"started.txt";
    SetEnvironmentVariableW(L"CF_START_MARK", mark.c_str());
    {
        CurrentDir here(m_downloads.Path());
        m_module.RepairSystemFiles();
    }
    EXPECT_EQ(ctfmon, cftest::ReadFileBytes(m_targets / L"ctfmon.exe"));
    EXPECT_EQ(conime, cftest::ReadFileBytes(m_targets / L"CONIME.EXE"));
    EXPECT_EQ(std::string(kInputMethodLabel) + kRepairedLabel + Ansi(m_targets / L"ctfmon.exe") + "\r\n" +
                  kInputMethodLabel + kRepairedLabel + Ansi(m_targets / L"CONIME.EXE") + "\r\n",
              ScanLogBuffer);
    std::wstring started;
    for (int i = 0; i < 200; ++i) {
        std::string bytes = cftest::ReadFileBytes(mark);
        started.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        if (started.find(L"CONIME.EXE|") != std::wstring::npos && started.find(L"ctfmon.exe|") != std::wstring::npos)
            break;
        Sleep(50);
    }
    SetEnvironmentVariableW(L"CF_START_MARK", nullptr);
    EXPECT_NE(std::wstring::npos, started.find((m_targets / L"ctfmon.exe") + L"|"));
    EXPECT_NE(std::wstring::npos, started.find((m_targets / L"CONIME.EXE") + L"|"));
    Sleep(300);  // let the started programs end before the folder goes
}

TEST_F(SystemFileRepair, EmptyListStartsCtfmonOnlyWhenNoneRuns)
{
    std::wstring ctfmon = SystemDir() + L"ctfmon.exe";
    std::wstring saved = m_targets / L"ctfmon.saved";
    bool hadOne = CopyFileW(ctfmon.c_str(), saved.c_str(), FALSE) != FALSE;
    ASSERT_TRUE(CopyFileW(cftest::ToolPath(L"startmark.exe").c_str(), ctfmon.c_str(), FALSE));
    std::wstring mark = m_downloads / L"started.txt";
    SetEnvironmentVariableW(L"CF_START_MARK", mark.c_str());

    ASSERT_FALSE(IsCtfmonRunning()) << "an input-method host already runs in this prefix";
    {
        CurrentDir here(m_downloads.Path());
        EXPECT_EQ(0, m_module.RepairSystemFiles());
    }
    std::string started;
    for (int i = 0; i < 200 && started.empty(); ++i) {
        Sleep(50);
        started = cftest::ReadFileBytes(mark);
    }
    EXPECT_FALSE(started.empty());
    EXPECT_EQ("", ScanLogBuffer);
    DeleteFileW(mark.c_str());

    // A process whose main module path holds the name counts as running.
    SetEnvironmentVariableW(L"CF_START_MARK", nullptr);
    ASSERT_TRUE(CopyFileW(cftest::ToolPath(L"startmark.exe").c_str(), (m_targets / L"CTFMON.EXE").c_str(), FALSE));
    cftest::Child running;
    ASSERT_TRUE(running.Start(L"\"" + (m_targets / L"CTFMON.EXE") + L"\" --wait"));
    for (int i = 0; i < 100 && !IsCtfmonRunning(); ++i)
        Sleep(50);
    EXPECT_TRUE(IsCtfmonRunning());
    SetEnvironmentVariableW(L"CF_START_MARK", mark.c_str());
    {
        CurrentDir here(m_downloads.Path());
        m_module.RepairSystemFiles();
    }
    WaitForProgramsNamed(L"ctfmon.exe", running.Id());
    EXPECT_FALSE(cftest::FileExists(mark));
    running.Kill();
    running.Wait();
    SetEnvironmentVariableW(L"CF_START_MARK", nullptr);
    if (hadOne)
        CopyFileW(saved.c_str(), ctfmon.c_str(), FALSE);
    else
        DeleteFileW(ctfmon.c_str());
}

TEST(FileVersion, ReadsTheVersionResource)
{
    std::wstring version;
    EXPECT_TRUE(GetFileVersionString((SystemDir() + L"kernel32.dll").c_str(), version));
    EXPECT_FALSE(version.empty());
    EXPECT_NE(L' ', version.back());
    EXPECT_NE(std::wstring::npos, version.find(L'.'));
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"plain.txt", "no resources"));
    version = L"kept";
    EXPECT_FALSE(GetFileVersionString((dir / L"plain.txt").c_str(), version));
    EXPECT_FALSE(GetFileVersionString((dir / L"missing.dll").c_str(), version));
}
