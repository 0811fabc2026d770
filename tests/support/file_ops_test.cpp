#include "support/file_ops.h"
#include "support/unique.h"

#include "common/import_hook.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using cftest::Hex;
using cftest::ReadFileBytes;
using cftest::ScratchDir;
using cftest::WriteFileBytes;

std::string Bytes(const uint8_t* data, size_t length) { return std::string(reinterpret_cast<const char*>(data), length); }

// Restores the process's current directory when a test has moved it.
class CurrentDirGuard {
public:
    CurrentDirGuard()
    {
        wchar_t dir[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, dir);
        m_saved = dir;
    }
    ~CurrentDirGuard() { SetCurrentDirectoryW(m_saved.c_str()); }

private:
    std::wstring m_saved;
};

// Runs tools-bin\holdfile.exe on a file and waits until it holds it.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path) : m_marker(path + L".held")
    {
        std::wstring command = L"\"" + cftest::ToolPath(L"holdfile.exe") + L"\" \"" + path + L"\" 60000";
        if (!m_child.Start(command))
            return;
        cftest::WaitForFile(m_marker);
    }
    ~HeldFile()
    {
        m_child.Kill();
        m_child.Wait(10000);
        DeleteFileW(m_marker.c_str());
    }
    bool Holding() const { return cftest::FileExists(m_marker); }

private:
    cftest::Child m_child;
    std::wstring m_marker;
};

struct BufferDeleter {
    void operator()(uint8_t* p) const { FreeFileBuffer(p); }
};
using FileBuffer = std::unique_ptr<uint8_t, BufferDeleter>;

TEST(Probes, PathKindSizeAndOpenability)
{
    ScratchDir dir;
    std::wstring file = dir / L"f.bin";
    ASSERT_TRUE(WriteFileBytes(file, std::string(1234, 'q')));

    EXPECT_EQ(GetPathKind(file.c_str()), PathFile);
    EXPECT_EQ(GetPathKind(dir.Path().c_str()), PathDirectory);
    EXPECT_EQ(GetPathKind((dir / L"nothing").c_str()), PathAbsent);
    EXPECT_EQ(GetPathKind(L"Q:\\no\\such\\drive"), PathAbsent);

    EXPECT_EQ(GetFileSize32(file.c_str()), 1234u);
    EXPECT_EQ(GetFileSize32((dir / L"nothing").c_str()), 0u);

    EXPECT_TRUE(FileCanBeOpened(file.c_str()));
    EXPECT_FALSE(FileCanBeOpened((dir / L"nothing").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Probes, ProbeRestoresTheErrorMode)
{
    UINT before = SetErrorMode(0);
    SetErrorMode(before);
    GetPathKind(L"Q:\\x");
    UINT after = SetErrorMode(before);
    EXPECT_EQ(after, before);
}

// A file held with share mode 0 by another process, as a running module is.
TEST(Probes, FileHeldWithoutSharingCannotBeOpenedOrAppended)
{
    ScratchDir dir;
    std::wstring file = dir / L"module.dll";
    ASSERT_TRUE(WriteFileBytes(file, "MZ"));
    {
        HeldFile held(file);
        ASSERT_TRUE(held.Holding());

        cf::UniqueFile direct(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        ASSERT_FALSE(direct.IsValid());
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

        EXPECT_FALSE(FileCanBeOpened(file.c_str()));
        EXPECT_FALSE(AppendToFile(file.c_str(), "zz", 2));
        EXPECT_FALSE(AppendToLogFile(file.c_str(), "zz", 2));
        uint32_t size = 99;
        EXPECT_EQ(ReadWholeFile(file.c_str(), &size), nullptr);
        EXPECT_EQ(size, 99u);
        EXPECT_EQ(GetPathKind(file.c_str()), PathFile);
    }
    EXPECT_EQ(ReadFileBytes(file), "MZ");
}

TEST(ReadWholeFile, DataFollowedByTenZeroBytes)
{
    ScratchDir dir;
    std::wstring file = dir / L"data.bin";
    ASSERT_TRUE(WriteFileBytes(file, std::string("\x01\xff\x00\x7f", 4)));
    uint32_t size = 0;
    FileBuffer buffer(ReadWholeFile(file.c_str(), &size));
    ASSERT_TRUE(buffer);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(Hex(buffer.get(), 14), "01ff007f" + std::string(20, '0'));
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, buffer.get()), 14u);

    FileBuffer noSize(ReadWholeFile(file.c_str()));
    ASSERT_TRUE(noSize);
    EXPECT_EQ(Hex(noSize.get(), 4), "01ff007f");
}

TEST(ReadWholeFile, EmptyStoresZeroMissingLeavesSize)
{
    ScratchDir dir;
    std::wstring empty = dir / L"empty.bin";
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    uint32_t size = 77;
    EXPECT_EQ(ReadWholeFile(empty.c_str(), &size), nullptr);
    EXPECT_EQ(size, 0u);

    size = 77;
    EXPECT_EQ(ReadWholeFile((dir / L"missing.bin").c_str(), &size), nullptr);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(ReadWholeFile((dir / L"missing.bin").c_str()), nullptr);
    EXPECT_TRUE(FreeFileBuffer(nullptr));
}

// Size + 10 would wrap in 32 bits and the read overrun a tiny block.
TEST(ReadWholeFile, SizeNearFourGibibytesIsRefused)
{
    ScratchDir dir;
    std::wstring file = dir / L"near4g.bin";
    {
        cf::UniqueFile handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(handle.IsValid());
        LONG high = 0;
        ASSERT_NE(SetFilePointer(handle.Get(), static_cast<LONG>(0xFFFFFFFAu), &high, FILE_BEGIN),
                  INVALID_SET_FILE_POINTER);
        ASSERT_TRUE(SetEndOfFile(handle.Get()));  // sparse: no data written
    }
    ASSERT_EQ(GetFileSize32(file.c_str()), 0xFFFFFFFAu);
    uint32_t size = 0;
    EXPECT_EQ(ReadWholeFile(file.c_str(), &size), nullptr);
    EXPECT_EQ(size, 0xFFFFFFFAu);
}

TEST(Append, CreatesThenAppendsAtTheEnd)
{
    ScratchDir dir;
    std::wstring file = dir / L"a.txt";
    EXPECT_TRUE(AppendToFile(file.c_str(), "abc", 3));
    EXPECT_TRUE(AppendToFileFlushed(file.c_str(), "de", 2));
    EXPECT_TRUE(AppendToFile(file.c_str(), "", 0));
    EXPECT_EQ(ReadFileBytes(file), "abcde");
    EXPECT_FALSE(AppendToFile((dir / L"no\\such\\folder.txt").c_str(), "x", 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Append, LogFileIsEmptiedOnlyPastOneMebibyte)
{
    ScratchDir dir;
    std::wstring atLimit = dir / L"at.log";
    std::wstring pastLimit = dir / L"past.log";
    ASSERT_TRUE(WriteFileBytes(atLimit, std::string(1048576, 'o')));
    ASSERT_TRUE(WriteFileBytes(pastLimit, std::string(1048577, 'o')));

    EXPECT_TRUE(AppendToLogFile(atLimit.c_str(), "new\r\n", 5));
    EXPECT_TRUE(AppendToLogFile(pastLimit.c_str(), "new\r\n", 5));

    std::string appended = ReadFileBytes(atLimit);
    EXPECT_EQ(appended.size(), 1048581u);
    EXPECT_EQ(appended.substr(1048574), "oonew\r\n");
    EXPECT_EQ(ReadFileBytes(pastLimit), "new\r\n");

    EXPECT_TRUE(AppendToLogFile((dir / L"fresh.log").c_str(), "x", 1));
    EXPECT_EQ(ReadFileBytes(dir / L"fresh.log"), "x");
}

TEST(Append, LogRecordCutShortIsTakenBack)
{
    ScratchDir dir;
    std::wstring file = dir / L"full.log";
    ASSERT_TRUE(WriteFileBytes(file, "old record\r\n"));
    {
        cftest::DiskFullMidWrite full;
        ASSERT_TRUE(full.Installed());
        EXPECT_FALSE(AppendToLogFile(file.c_str(), "new record\r\n", 12));  // not saved, and told so
    }
    EXPECT_EQ(ReadFileBytes(file), "old record\r\n");
}

// A file past 4 GiB whose low size word is small is still far too large.
TEST(Append, LogFilePastFourGibibytesIsEmptied)
{
    ScratchDir dir;
    std::wstring file = dir / L"huge.log";
    {
        cf::UniqueFile handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(handle.IsValid());
        LONG high = 1;
        ASSERT_NE(SetFilePointer(handle.Get(), 10, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        ASSERT_TRUE(SetEndOfFile(handle.Get()));  // sparse: no data written
    }
    EXPECT_EQ(GetFileSize32(file.c_str()), 0xFFFFFFFFu);
    EXPECT_TRUE(AppendToLogFile(file.c_str(), "rec", 3));
    EXPECT_EQ(GetFileSize32(file.c_str()), 3u);
    EXPECT_EQ(ReadFileBytes(file), "rec");
}

TEST(Checksum, XorOfWordsThenTailBytes)
{
    EXPECT_EQ(ComputeXorChecksum(nullptr, 0), 0u);
    const uint8_t six[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ComputeXorChecksum(six, 6), 0x04030202u);
    const uint8_t eight[] = {0xff, 0, 0, 0x80, 0x01, 0, 0, 0x80};
    EXPECT_EQ(ComputeXorChecksum(eight, 8), 0x000000feu);
    const uint8_t three[] = {0x10, 0x20, 0x40};
    EXPECT_EQ(ComputeXorChecksum(three, 3), 0x70u);
}

TEST(Checksum, SaveWritesPayloadTrailerAndIdenticalBackup)
{
    ScratchDir dir;
    std::wstring file = dir / L"x.dat";
    const uint8_t payload[] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(WriteFileBytes(file + L".bak", "stale backup"));
    EXPECT_TRUE(SaveFileWithChecksum(file.c_str(), payload, 6));
    EXPECT_EQ(Hex(ReadFileBytes(file).data(), ReadFileBytes(file).size()), "01020304050602020304");
    EXPECT_EQ(ReadFileBytes(file + L".bak"), ReadFileBytes(file));

    uint32_t length = 0;
    FileBuffer loaded(LoadFileWithChecksum(file.c_str(), &length));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(Hex(loaded.get(), 10), "01020304050600000000");
}

TEST(Checksum, SaveIntoMissingFolderFailsWithoutBackup)
{
    ScratchDir dir;
    std::wstring file = dir / L"no\\x.dat";
    EXPECT_FALSE(SaveFileWithChecksum(file.c_str(), "ab", 2));
    EXPECT_FALSE(cftest::FileExists(file + L".bak"));
}

// A write that fails after the file was truncated must leave the previous
// backup alone: it is the only good copy left. The build links
// testdata\full\x.dat to /dev/full, which opens but refuses every write.
TEST(Checksum, FailedWriteKeepsThePreviousBackup)
{
    std::wstring file = cftest::ExeDir() + L"..\\testdata\\full\\x.dat";
    std::wstring backup = file + L".bak";
    ASSERT_TRUE(WriteFileBytes(backup, "goodgood"));  // "good" and its checksum
    {
        cf::UniqueFile probe(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(probe.IsValid());
        DWORD written = 0;
        ASSERT_FALSE(WriteFile(probe.Get(), "x", 1, &written, nullptr));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    }

    EXPECT_FALSE(SaveFileWithChecksum(file.c_str(), "newer data", 10));
    EXPECT_EQ(ReadFileBytes(backup), "goodgood");
    uint32_t length = 0;
    FileBuffer loaded(LoadFileWithChecksum(file.c_str(), &length));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(Bytes(loaded.get(), length), "good");
    DeleteFileW(backup.c_str());
}

TEST(Checksum, LoadFallsBackToAVerifiedBackup)
{
    ScratchDir dir;
    std::wstring file = dir / L"x.dat";
    const uint8_t payload[] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(SaveFileWithChecksum(file.c_str(), payload, 6));

    // Last 4 bytes altered: the backup answers.
    ASSERT_TRUE(WriteFileBytes(file, std::string("\x01\x02\x03\x04\x05\x06\x02\x02\x03\x05", 10)));
    uint32_t length = 0;
    FileBuffer fromBackup(LoadFileWithChecksum(file.c_str(), &length));
    ASSERT_TRUE(fromBackup);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(Hex(fromBackup.get(), 6), "010203040506");
    // Loading never repairs the main file.
    EXPECT_EQ(Hex(ReadFileBytes(file).data(), 10), "01020304050602020305");

    // Main file missing, then shorter than a checksum.
    ASSERT_TRUE(DeleteFileW(file.c_str()));
    fromBackup.reset(LoadFileWithChecksum(file.c_str(), &length));
    EXPECT_TRUE(fromBackup);
    ASSERT_TRUE(WriteFileBytes(file, "\x01\x02\x03"));
    fromBackup.reset(LoadFileWithChecksum(file.c_str(), &length));
    EXPECT_TRUE(fromBackup);

    // Neither verifies.
    ASSERT_TRUE(WriteFileBytes(file + L".bak", std::string("\x01\x02\x03\x04\x05\x06\x00\x00\x00\x00", 10)));
    length = 55;
    EXPECT_EQ(LoadFileWithChecksum(file.c_str(), &length), nullptr);
    EXPECT_EQ(length, 55u);
}

TEST(Checksum, FourZeroBytesAreAnEmptyPayload)
{
    ScratchDir dir;
    std::wstring file = dir / L"z.dat";
    ASSERT_TRUE(WriteFileBytes(file, std::string(4, '\0')));
    uint32_t length = 99;
    FileBuffer loaded(LoadFileWithChecksum(file.c_str(), &length));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(length, 0u);

    EXPECT_TRUE(SaveFileWithChecksum((dir / L"e.dat").c_str(), nullptr, 0));
    EXPECT_EQ(ReadFileBytes(dir / L"e.dat"), std::string(4, '\0'));
}

TEST(ReadIniString, LongValuesComeBackWholeAfterDoubling)
{
    ScratchDir dir;
    std::wstring ini = dir / L"cfg.ini";
    const size_t lengths[] = {1, 96, 97, 98, 99, 150, 250, 1000};
    std::string text = "[main]\r\n";
    for (size_t n : lengths)
        text += "k" + std::to_string(n) + "=" + std::string(n, static_cast<char>('a' + n % 26)) + "\r\n";
    ASSERT_TRUE(WriteFileBytes(ini, text));

    for (size_t n : lengths) {
        std::wstring key = L"k" + std::to_wstring(n);
        std::wstring value;
        ASSERT_TRUE(ReadIniString(ini.c_str(), L"main", key.c_str(), value)) << n;
        EXPECT_EQ(value, std::wstring(n, static_cast<wchar_t>(L'a' + n % 26))) << n;
    }
}

TEST(ReadIniString, MissingKeyOrFileIsFalseAndValueUnchanged)
{
    ScratchDir dir;
    std::wstring ini = dir / L"cfg.ini";
    ASSERT_TRUE(WriteFileBytes(ini, "[main]\r\nempty=\r\n"));
    std::wstring value = L"kept";
    EXPECT_FALSE(ReadIniString(ini.c_str(), L"main", L"absent", value));
    EXPECT_FALSE(ReadIniString(ini.c_str(), L"main", L"empty", value));
    EXPECT_FALSE(ReadIniString((dir / L"none.ini").c_str(), L"main", L"k", value));
    EXPECT_FALSE(ReadIniString(L"", L"main", L"k", value));
    EXPECT_EQ(value, L"kept");
}

TEST(ReadIniString, RelativeNameIsTakenFromTheCurrentDirectory)
{
    ScratchDir dir;
    CurrentDirGuard guard;
    ASSERT_TRUE(WriteFileBytes(dir / L"rel.ini", "[s]\r\nname=value\r\n"));
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    std::wstring value;
    EXPECT_TRUE(ReadIniString(L"rel.ini", L"s", L"name", value));
    EXPECT_EQ(value, L"value");
}

TEST(Folders, CreateDirectoryPathMakesOnlyTheFoldersBeforeBackslashes)
{
    ScratchDir dir;
    EXPECT_TRUE(CreateDirectoryPath((dir / L"a\\b\\c.txt").c_str()));
    EXPECT_EQ(GetPathKind((dir / L"a").c_str()), PathDirectory);
    EXPECT_EQ(GetPathKind((dir / L"a\\b").c_str()), PathDirectory);
    EXPECT_EQ(GetPathKind((dir / L"a\\b\\c.txt").c_str()), PathAbsent);

    EXPECT_TRUE(CreateDirectoryPath((dir / L"x\\y\\").c_str()));
    EXPECT_EQ(GetPathKind((dir / L"x\\y").c_str()), PathDirectory);
    // Existing folders are no failure.
    EXPECT_TRUE(CreateDirectoryPath((dir / L"x\\y\\").c_str()));
}

TEST(Folders, DirsEndWithOneBackslash)
{
    wchar_t raw[MAX_PATH];
    std::wstring dir;
    ASSERT_TRUE(GetWindowsDirWithSlash(dir));
    GetWindowsDirectoryW(raw, MAX_PATH);
    EXPECT_EQ(dir, std::wstring(raw) + L"\\");
    ASSERT_TRUE(GetSystemDirWithSlash(dir));
    GetSystemDirectoryW(raw, MAX_PATH);
    EXPECT_EQ(dir, std::wstring(raw) + L"\\");

    CurrentDirGuard guard;
    ScratchDir scratch;
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
    ASSERT_TRUE(GetCurrentDirWithSlash(dir));
    EXPECT_EQ(lstrcmpiW(dir.c_str(), scratch.Path().c_str()), 0);
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\"));
    ASSERT_TRUE(GetCurrentDirWithSlash(dir));
    EXPECT_EQ(dir, L"C:\\");
}

TEST(Folders, SystemDllFunctionsComeFromTheSystemFolderOnly)
{
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount")),
              reinterpret_cast<void*>(GetSystemDllProc(L"kernel32.dll", "GetTickCount")));

    FARPROC connected = GetSystemDllProc(L"wininet.dll", "InternetGetConnectedState");
    ASSERT_NE(nullptr, connected);
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<const wchar_t*>(connected), &module));
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(module, path, MAX_PATH));
    std::wstring system;
    ASSERT_TRUE(GetSystemDirWithSlash(system));
    EXPECT_EQ(0, lstrcmpiW(path, (system + L"wininet.dll").c_str())) << path;

    EXPECT_EQ(nullptr, GetSystemDllProc(L"wininet.dll", "NoSuchFunction"));
    EXPECT_EQ(nullptr, GetSystemDllProc(L"cf-no-such.dll", "Anything"));
    EXPECT_EQ(nullptr, GetSystemDllProc(L"", "GetTickCount"));
    EXPECT_EQ(nullptr, GetSystemDllProc(nullptr, "GetTickCount"));
    // Only a bare name: nothing outside the system folder is reached.
    EXPECT_EQ(nullptr, GetSystemDllProc(L"..\\system32\\kernel32.dll", "GetTickCount"));
    EXPECT_EQ(nullptr, GetSystemDllProc((system + L"kernel32.dll").c_str(), "GetTickCount"));
    EXPECT_EQ(nullptr, GetSystemDllProc(L"sub/kernel32.dll", "GetTickCount"));
}

TEST(Folders, SystemDllStaysLoadedWhenItsOtherOwnerFreesIt)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"wtsapi32.dll")) << "the test needs a DLL nobody has loaded yet";
    HMODULE other = LoadLibraryW(L"wtsapi32.dll");
    ASSERT_NE(nullptr, other);
    ASSERT_NE(nullptr, GetSystemDllProc(L"wtsapi32.dll", "WTSFreeMemory"));
    FreeLibrary(other);
    EXPECT_NE(nullptr, GetModuleHandleW(L"wtsapi32.dll"));
}

TEST(ShellOperations, DeleteFolderWithTrailingBackslashAndContents)
{
    ScratchDir dir;
    std::wstring victim = dir / L"victim\\";
    ASSERT_TRUE(CreateDirectoryPath((victim + L"sub\\").c_str()));
    ASSERT_TRUE(WriteFileBytes(victim + L"a.txt", "a"));
    ASSERT_TRUE(WriteFileBytes(victim + L"sub\\b.txt", "b"));
    ASSERT_TRUE(SetFileAttributesW((victim + L"a.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));

    EXPECT_TRUE(DeleteFileOrFolder(victim.c_str()));
    EXPECT_EQ(GetPathKind((dir / L"victim").c_str()), PathAbsent);
    EXPECT_EQ(GetPathKind(dir.Path().c_str()), PathDirectory);
    EXPECT_FALSE(DeleteFileOrFolder((dir / L"victim").c_str()));
}

TEST(ShellOperations, CopyAndMove)
{
    ScratchDir dir;
    ASSERT_TRUE(CreateDirectoryPath((dir / L"src\\in\\").c_str()));
    ASSERT_TRUE(WriteFileBytes(dir / L"src\\in\\f.txt", "payload"));

    EXPECT_TRUE(CopyFileOrFolder((dir / L"src\\").c_str(), (dir / L"copy\\").c_str()));
    EXPECT_EQ(ReadFileBytes(dir / L"copy\\in\\f.txt"), "payload");
    EXPECT_EQ(ReadFileBytes(dir / L"src\\in\\f.txt"), "payload");

    EXPECT_TRUE(MoveFileOrFolder((dir / L"src\\in\\f.txt").c_str(), (dir / L"moved.txt").c_str()));
    EXPECT_EQ(ReadFileBytes(dir / L"moved.txt"), "payload");
    EXPECT_EQ(GetPathKind((dir / L"src\\in\\f.txt").c_str()), PathAbsent);

    EXPECT_FALSE(CopyFileOrFolder((dir / L"nothing").c_str(), (dir / L"x").c_str()));
}

int Collect(const wchar_t* path, void* context)
{
    static_cast<std::vector<std::wstring>*>(context)->push_back(path);
    return 1;
}

int StopAtOnce(const wchar_t* path, void* context)
{
    static_cast<std::vector<std::wstring>*>(context)->push_back(path);
    return 0;
}

TEST(EnumerateFilesRecursive, FilesFirstThenLastFoundFolderDepthFirst)
{
    ScratchDir dir;
    std::wstring root = dir / L"root";
    ASSERT_TRUE(CreateDirectoryPath((root + L"\\X\\deep\\").c_str()));
    ASSERT_TRUE(CreateDirectoryPath((root + L"\\Y\\").c_str()));
    ASSERT_TRUE(WriteFileBytes(root + L"\\r1.txt", ""));
    ASSERT_TRUE(WriteFileBytes(root + L"\\r2.txt", ""));
    ASSERT_TRUE(WriteFileBytes(root + L"\\X\\x.txt", ""));
    ASSERT_TRUE(WriteFileBytes(root + L"\\X\\deep\\d.txt", ""));
    ASSERT_TRUE(WriteFileBytes(root + L"\\Y\\y.txt", ""));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\Y\\y.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

    std::vector<std::wstring> seen;
    EnumerateFilesRecursive(root.c_str(), &seen, Collect);
    ASSERT_EQ(seen.size(), 5u);

    // Root files first, in listing order.
    std::vector<std::wstring> rootFiles;
    for (const std::wstring& name : cftest::FolderNames(root + L"\\"))
        if (name.size() > 4)
            rootFiles.push_back(root + L"\\" + name);
    ASSERT_EQ(rootFiles.size(), 2u);
    EXPECT_EQ(seen[0], rootFiles[0]);
    EXPECT_EQ(seen[1], rootFiles[1]);

    // The sub-folder listed last is entered first, and finished (with its
    // own sub-folder) before the other one.
    std::vector<std::wstring> folders;
    for (const std::wstring& name : cftest::FolderNames(root + L"\\"))
        if (name.size() == 1)
            folders.push_back(name);
    ASSERT_EQ(folders.size(), 2u);
    std::vector<std::wstring> expectedTail;
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (*it == L"X") {
            expectedTail.push_back(root + L"\\X\\x.txt");
            expectedTail.push_back(root + L"\\X\\deep\\d.txt");
        } else {
            expectedTail.push_back(root + L"\\Y\\y.txt");
        }
    }
    EXPECT_EQ(std::vector<std::wstring>(seen.begin() + 2, seen.end()), expectedTail);
}

TEST(EnumerateFilesRecursive, StopsAtOnceAndIgnoresUnlistableRoots)
{
    ScratchDir dir;
    ASSERT_TRUE(CreateDirectoryPath((dir / L"r\\s\\").c_str()));
    ASSERT_TRUE(WriteFileBytes(dir / L"r\\a.txt", ""));
    ASSERT_TRUE(WriteFileBytes(dir / L"r\\b.txt", ""));
    ASSERT_TRUE(WriteFileBytes(dir / L"r\\s\\c.txt", ""));

    std::vector<std::wstring> seen;
    EnumerateFilesRecursive((dir / L"r\\").c_str(), &seen, StopAtOnce);
    EXPECT_EQ(seen.size(), 1u);

    seen.clear();
    EnumerateFilesRecursive((dir / L"missing").c_str(), &seen, Collect);
    EnumerateFilesRecursive(L"", &seen, Collect);
    EXPECT_TRUE(seen.empty());
}

TEST(LocateSystemFile, SearchOrderAndAbsoluteNames)
{
    ScratchDir dir;
    CurrentDirGuard guard;
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    std::wstring windows;
    ASSERT_TRUE(GetWindowsDirWithSlash(windows));
    ASSERT_TRUE(FileCanBeOpened((windows + L"notepad.exe").c_str())) << "the prefix has a notepad.exe";

    EXPECT_TRUE(LocateSystemFile(L"notepad.exe", nullptr));
    EXPECT_TRUE(LocateSystemFile(L"kernel32.dll", nullptr));  // system folder only
    EXPECT_FALSE(LocateSystemFile(L"cf_no_such_module.dll", nullptr));

    ASSERT_TRUE(WriteFileBytes(dir / L"local.cfg", "x"));
    EXPECT_TRUE(LocateSystemFile(L"local.cfg", nullptr));
    ScratchDir other;
    EXPECT_FALSE(LocateSystemFile(L"local.cfg", other.Path().c_str()));
    EXPECT_TRUE(LocateSystemFile(L"local.cfg", dir.Path().c_str()));

    EXPECT_TRUE(LocateSystemFile(L"%SYSTEMROOT%\\notepad.exe", nullptr));
    EXPECT_FALSE(LocateSystemFile(L"%SystemRoot%\\local.cfg", nullptr));
    // A drive-qualified name is tried as it stands and nowhere else.
    EXPECT_TRUE(LocateSystemFile((windows + L"NOTEPAD.EXE").c_str(), nullptr));
    EXPECT_FALSE(LocateSystemFile(L"Q:\\notepad.exe", nullptr));
}

TEST(IsKnownTempLocation, WholeTextCaseInsensitive)
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    ASSERT_GT(n, 3u);
    ASSERT_EQ(temp[n - 1], L'\\');
    EXPECT_TRUE(IsKnownTempLocation(temp));

    std::wstring upper(temp);
    CharUpperW(&upper[0]);
    EXPECT_TRUE(IsKnownTempLocation(upper.c_str()));

    std::wstring noSlash(temp, n - 1);
    EXPECT_FALSE(IsKnownTempLocation(noSlash.c_str()));
    EXPECT_FALSE(IsKnownTempLocation((std::wstring(temp) + L"sub\\").c_str()));

    wchar_t profile[MAX_PATH + 1] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, profile, CSIDL_PROFILE, FALSE));
    EXPECT_TRUE(IsKnownTempLocation(profile));
    EXPECT_FALSE(IsKnownTempLocation(L"C:\\"));
    EXPECT_FALSE(IsKnownTempLocation(nullptr));
}

template <typename Char>
struct TextDeleter {
    void operator()(Char* p) const { FreeText(p); }
};
using WideText = std::unique_ptr<wchar_t, TextDeleter<wchar_t>>;
using NarrowText = std::unique_ptr<char, TextDeleter<char>>;

// Under the test prefix the ANSI code page is 936.
TEST(TextConversions, AnsiIsCodePage936)
{
    ASSERT_EQ(GetACP(), 936u);
    const char gbk[] = "\xd0\xde\xb8\xb4";  // 修复
    WideText wide(AnsiToWide(gbk));
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::wstring(wide.get()), L"\u4fee\u590d");

    NarrowText ansi(WideToAnsi(L"\u4fee\u590d", 0));
    ASSERT_TRUE(ansi);
    EXPECT_STREQ(ansi.get(), gbk);

    NarrowText padded(WideToAnsi(L"ab", 40));
    ASSERT_TRUE(padded);
    EXPECT_STREQ(padded.get(), "ab");
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, padded.get()), 41u);
    EXPECT_EQ(Hex(padded.get(), 41), "6162" + std::string(78, '0'));

    NarrowText utf8(WideToUtf8(L"\u4fee\u590d"));
    ASSERT_TRUE(utf8);
    EXPECT_STREQ(utf8.get(), "\xe4\xbf\xae\xe5\xa4\x8d");

    NarrowText viaWide(AnsiToUtf8(gbk));
    ASSERT_TRUE(viaWide);
    EXPECT_STREQ(viaWide.get(), "\xe4\xbf\xae\xe5\xa4\x8d");

    NarrowText round(AnsiRoundTrip("a\xd0\xde"));
    ASSERT_TRUE(round);
    EXPECT_STREQ(round.get(), "a\xd0\xde");

    EXPECT_EQ(AnsiToWide(nullptr), nullptr);
    EXPECT_EQ(WideToUtf8(nullptr), nullptr);
    WideText empty(AnsiToWide(""));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty.get()[0], L'\0');
}

}  // namespace
