#include "support/paths.h"

#include "common/test_util.h"
#include "support/unique.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

using cftest::ScratchDir;
using cftest::ScratchKey;

std::wstring Trimmed(std::wstring path)
{
    if (path.size() > 1 && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::wstring WindowsDir()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring SystemDir()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring TempDir()
{
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return path;
}

std::wstring LongPath(const std::wstring& path)
{
    wchar_t result[MAX_PATH] = {};
    GetLongPathNameW(path.c_str(), result, MAX_PATH);
    return result;
}

// Takes a heap block from the expansion routines.
std::wstring Take(wchar_t* text)
{
    if (!text)
        return L"<null>";
    std::wstring value = text;
    HeapFree(GetProcessHeap(), 0, text);
    return value;
}

// Sets an environment variable for one test and puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : m_name(name)
    {
        wchar_t old[4096] = {};
        DWORD length = GetEnvironmentVariableW(name, old, ARRAYSIZE(old));
        m_existed = length > 0 && length < ARRAYSIZE(old);
        m_old = old;
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(m_name.c_str(), m_existed ? m_old.c_str() : nullptr); }

private:
    std::wstring m_name;
    std::wstring m_old;
    bool m_existed = false;
};

// A path buffer inside a larger array whose pattern shows any write past it.
struct GuardedPath {
    static const size_t kGuard = 16;
    wchar_t cells[kGuard + MAX_PATH + kGuard];
    GuardedPath() { std::fill(std::begin(cells), std::end(cells), static_cast<wchar_t>(0xA5A5)); }
    wchar_t* Buffer() { return cells + kGuard; }
    void Set(const std::wstring& text) { std::memcpy(Buffer(), text.c_str(), (text.size() + 1) * sizeof(wchar_t)); }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; ++i) {
            if (cells[i] != 0xA5A5 || cells[kGuard + MAX_PATH + i] != 0xA5A5)
                return false;
        }
        return true;
    }
};

TEST(SystemPathsTest, FoldersMatchTheSystemAndShellFolderLosesItsTrailingBackslash)
{
    CSystemPaths& paths = CSystemPaths::Instance();
    EXPECT_EQ(&paths, &CSystemPaths::Instance());
    EXPECT_EQ(&paths, &CSystemPaths::Refresh());

    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    EXPECT_EQ(std::wstring(module), paths.GetModuleFilePath());
    std::wstring moduleDir = module;
    moduleDir.erase(moduleDir.rfind(L'\\'));
    EXPECT_EQ(moduleDir, paths.GetModuleDirectory());
    EXPECT_EQ(GetModuleHandleW(nullptr), paths.GetModule());

    EXPECT_EQ(WindowsDir(), paths.GetWindowsDir());
    EXPECT_EQ(SystemDir(), paths.GetSystemDir());
    ASSERT_EQ(L'\\', TempDir().back());
    EXPECT_EQ(Trimmed(TempDir()), paths.GetTempDir());
    EXPECT_EQ(std::wstring(L"C:\\ProgramData"), paths.GetCommonAppDataDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_APPDATA)), paths.GetAppDataDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_PROGRAMS)), paths.GetProgramsDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_COMMON_PROGRAMS)), paths.GetCommonProgramsDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_DESKTOPDIRECTORY)), paths.GetDesktopDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY)), paths.GetCommonDesktopDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_STARTMENU)), paths.GetStartMenuDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_COMMON_STARTMENU)), paths.GetCommonStartMenuDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_STARTUP)), paths.GetStartupDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_COMMON_STARTUP)), paths.GetCommonStartupDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_FAVORITES)), paths.GetFavoritesDir());
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_COMMON_FAVORITES)), paths.GetCommonFavoritesDir());
    EXPECT_NE(L'\\', std::wstring(paths.GetAppDataDir()).back());

    // The same buffer on every call: callers may keep the pointer.
    EXPECT_EQ(paths.GetSystemDir(), CSystemPaths::Instance().GetSystemDir());
}

TEST(SystemPathsTest, HostProgramPathsAreComposedFromTheirFolders)
{
    CSystemPaths& paths = CSystemPaths::Instance();
    EXPECT_EQ(SystemDir() + L"\\Rundll32.exe", paths.GetRundll32Path());
    EXPECT_EQ(SystemDir() + L"\\regsvr32.exe", paths.GetRegsvr32Path());
    EXPECT_EQ(WindowsDir() + L"\\explorer.exe", paths.GetExplorerPath());
    EXPECT_EQ(SystemDir() + L"\\explorer.exe", paths.GetSystemExplorerPath());
    EXPECT_EQ(SystemDir() + L"\\Userinit.exe", paths.GetUserinitPath());
    ASSERT_NE(L'\0', paths.GetProgramFilesDir()[0]);
    EXPECT_EQ(std::wstring(paths.GetProgramFilesDir()) + L"\\Internet Explorer\\iexplore.exe", paths.GetIExplorePath());
    EXPECT_EQ(std::wstring(paths.GetAppDataDir()) + L"\\Microsoft\\Internet Explorer\\Quick Launch",
              paths.GetQuickLaunchDir());
}

TEST(SystemPathsTest, OsFactsMatchTheSystem)
{
    CSystemPaths& paths = CSystemPaths::Instance();
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwMajorVersion, paths.GetOsMajorVersion());
    EXPECT_EQ(version.dwMinorVersion, paths.GetOsMinorVersion());
    EXPECT_EQ(IsWow64(), paths.GetWow64Flag());
}

TEST(SystemPathsTest, IsWow64AgreesWithTheKernelAndClearsTheLastError)
{
    typedef BOOL(WINAPI * IsWow64ProcessProc)(HANDLE, PBOOL);
    auto isWow64Process = reinterpret_cast<IsWow64ProcessProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    ASSERT_NE(nullptr, isWow64Process);
    BOOL kernelSays = FALSE;
    ASSERT_TRUE(isWow64Process(GetCurrentProcess(), &kernelSays));

    SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD result = IsWow64();
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(kernelSays ? 1u : 0u, result);
}

TEST(ProgramFilesDirTest, RegistryValueWinsAndLosesOneTrailingBackslash)
{
    ScratchKey key;
    ScopedVariable variable(L"ProgramFiles", L"E:\\FromEnvironment");
    const wchar_t value[] = L"D:\\Apps\\";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), L"ProgramFilesDir", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(value), sizeof(value)));
    wchar_t buffer[MAX_PATH] = L"untouched";
    ASSERT_TRUE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
    EXPECT_STREQ(L"D:\\Apps", buffer);
}

TEST(ProgramFilesDirTest, MissingEmptyOrNonTextValueFallsBackToTheEnvironment)
{
    ScratchKey key;
    ScopedVariable variable(L"ProgramFiles", L"E:\\Program Files\\");
    wchar_t buffer[MAX_PATH] = {};
    ASSERT_TRUE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
    EXPECT_STREQ(L"E:\\Program Files", buffer);

    const wchar_t empty[] = L"";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), L"ProgramFilesDir", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(empty), sizeof(empty)));
    buffer[0] = 0;
    ASSERT_TRUE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
    EXPECT_STREQ(L"E:\\Program Files", buffer);

    DWORD number = 0x003a0044;  // "D:" read as text
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), L"ProgramFilesDir", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&number), sizeof(number)));
    buffer[0] = 0;
    ASSERT_TRUE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
    EXPECT_STREQ(L"E:\\Program Files", buffer);
}

TEST(ProgramFilesDirTest, NothingKnownOrTooLongLeavesTheBufferAlone)
{
    ScratchKey key;
    {
        ScopedVariable variable(L"ProgramFiles", nullptr);
        wchar_t buffer[MAX_PATH] = L"untouched";
        EXPECT_FALSE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
        EXPECT_STREQ(L"untouched", buffer);
    }
    std::wstring longValue = L"E:\\" + std::wstring(300, L'p');
    ScopedVariable variable(L"ProgramFiles", longValue.c_str());
    wchar_t buffer[MAX_PATH] = L"untouched";
    EXPECT_FALSE(ReadProgramFilesDir(HKEY_CURRENT_USER, key.SubPath().c_str(), buffer));
    EXPECT_STREQ(L"untouched", buffer);
}

TEST(ExpandPathVariableTest, EachNameExpandsWithoutRegardToCase)
{
    wchar_t scratch[MAX_PATH];
    const std::wstring windows = WindowsDir();
    EXPECT_EQ(windows + L"\\x", Take(ExpandPathVariable(L"%SystemRoot%\\x", scratch)));
    EXPECT_EQ(windows + L"\\x", Take(ExpandPathVariable(L"%SYSTEMROOT%\\x", scratch)));
    EXPECT_EQ(windows + L"\\x", Take(ExpandPathVariable(L"%systemroot%\\x", scratch)));
    EXPECT_EQ(windows + L"\\a.exe", Take(ExpandPathVariable(L"%windir%\\a.exe", scratch)));
    EXPECT_EQ(windows + L"a", Take(ExpandPathVariable(L"%windir%a", scratch)));
    EXPECT_EQ(windows, Take(ExpandPathVariable(L"%WinDir%", scratch)));
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_PROGRAM_FILES)) + L"\\App\\a.exe",
              Take(ExpandPathVariable(L"%ProgramFiles%\\App\\a.exe", scratch)));
    EXPECT_EQ(Trimmed(ShellFolder(CSIDL_PROGRAM_FILES_COMMON)) + L"\\b.dll",
              Take(ExpandPathVariable(L"%commonprogramfiles%\\b.dll", scratch)));
    // The temporary folder ends in a backslash; the remainder's own one replaces it.
    EXPECT_EQ(Trimmed(TempDir()) + L"\\a.tmp", Take(ExpandPathVariable(L"%Temp%\\a.tmp", scratch)));
    EXPECT_EQ(Trimmed(TempDir()) + L"\\a.tmp", Take(ExpandPathVariable(L"%TMP%\\a.tmp", scratch)));
    EXPECT_EQ(Trimmed(TempDir()) + L"x", Take(ExpandPathVariable(L"%Temp%x", scratch)));
}

TEST(ExpandPathVariableTest, OtherVariablesAndBrokenNamesGiveNull)
{
    wchar_t scratch[MAX_PATH];
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(L"%UserProfile%\\x", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(L"%windir", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(L"%Tem%\\x", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(L"windir%\\x", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(L"", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandPathVariable(nullptr, scratch)));
}

TEST(ExpandSystemRootPrefixTest, BareNamesExpandAndOthersDoNot)
{
    wchar_t scratch[MAX_PATH];
    EXPECT_EQ(WindowsDir() + L"\\a", Take(ExpandSystemRootPrefix(L"SystemRoot\\a", scratch)));
    EXPECT_EQ(WindowsDir() + L"\\a", Take(ExpandSystemRootPrefix(L"SYSTEMROOT\\a", scratch)));
    EXPECT_EQ(SystemDir() + L"\\drivers\\x.sys", Take(ExpandSystemRootPrefix(L"system32\\drivers\\x.sys", scratch)));
    EXPECT_EQ(SystemDir() + L"x", Take(ExpandSystemRootPrefix(L"System32x", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandSystemRootPrefix(L"system3\\a", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandSystemRootPrefix(L"%SystemRoot%\\a", scratch)));
    EXPECT_EQ(L"<null>", Take(ExpandSystemRootPrefix(L"windows\\a", scratch)));
}

std::wstring Normalized(const wchar_t* source, size_t count = kWholeString)
{
    wchar_t out[MAX_PATH + 1];
    if (!NormalizePathSeparators(source, count, out, out + MAX_PATH - 1))
        return L"<fail>";
    return out;
}

TEST(NormalizePathSeparatorsTest, SeparatorsCollapseAndSchemesTurnIntoPaths)
{
    EXPECT_EQ(L"C:\\a\\b\\c", Normalized(L"C://a//b\\\\\\c"));
    EXPECT_EQ(L"\\\\srv\\share", Normalized(L"\\\\srv\\\\\\share"));
    EXPECT_EQ(L"\\\\srv\\share\\a", Normalized(L"file://srv/share/a"));
    EXPECT_EQ(L"\\\\srv\\share\\a", Normalized(L"FILE://srv/share/a"));
    EXPECT_EQ(L"C:\\a\\b", Normalized(L"file://C:/a/b"));
    EXPECT_EQ(L"C:\\dir\\", Normalized(L"C:\\dir\\\\"));
    EXPECT_EQ(L"C:\\a", Normalized(L"C:\\a b c", 4));
    EXPECT_EQ(L"", Normalized(L""));
    // The leading pair does not count as a separator already written.
    EXPECT_EQ(L"\\\\\\x", Normalized(L"\\\\\\\\x"));
    EXPECT_EQ(L"\\\\\\x", Normalized(L"file:///x"));
    // A scheme alone: the drive colon is looked for only within the text.
    EXPECT_EQ(L"\\\\", Normalized(L"file://"));
    EXPECT_EQ(L"\\\\C", Normalized(L"file://C:/x", 8));
}

TEST(NormalizePathSeparatorsTest, WritesNothingPastTheEndBound)
{
    wchar_t cells[12];
    std::fill(std::begin(cells), std::end(cells), L'#');
    // Room for four characters and the terminator at the bound.
    EXPECT_TRUE(NormalizePathSeparators(L"a//bc", kWholeString, cells, cells + 4));
    EXPECT_STREQ(L"a\\bc", cells);
    EXPECT_EQ(L'#', cells[5]);

    std::fill(std::begin(cells), std::end(cells), L'#');
    EXPECT_FALSE(NormalizePathSeparators(L"abcde", kWholeString, cells, cells + 4));
    EXPECT_EQ(L'#', cells[5]);

    std::fill(std::begin(cells), std::end(cells), L'#');
    EXPECT_FALSE(NormalizePathSeparators(L"\\\\srv", kWholeString, cells, cells + 1));
    EXPECT_EQ(L'#', cells[2]);
    EXPECT_TRUE(NormalizePathSeparators(L"\\\\", kWholeString, cells, cells + 2));
    EXPECT_EQ(L'#', cells[3]);
}

TEST(AppendPathComponentTest, JoinsWithOneBackslash)
{
    wchar_t dir[MAX_PATH] = L"C:\\dir";
    ASSERT_TRUE(AppendPathComponent(L"\\\\a/b", dir));
    EXPECT_STREQ(L"C:\\dir\\a\\b", dir);

    wcscpy(dir, L"C:\\");
    ASSERT_TRUE(AppendPathComponent(L"/x.exe", dir));
    EXPECT_STREQ(L"C:\\x.exe", dir);

    wcscpy(dir, L"");
    EXPECT_FALSE(AppendPathComponent(L"a", dir));
    EXPECT_STREQ(L"", dir);
}

TEST(AppendPathComponentTest, ALongFolderFailsAndKeepsItsText)
{
    // A folder of 255 characters leaves room after its backslash; 256 does not.
    GuardedPath dir;
    std::wstring folder = L"C:\\" + std::wstring(252, L'f');
    dir.Set(folder);
    ASSERT_TRUE(AppendPathComponent(L"abc", dir.Buffer()));
    EXPECT_EQ(folder + L"\\abc", dir.Buffer());

    dir.Set(folder + L"g");
    EXPECT_FALSE(AppendPathComponent(L"abc", dir.Buffer()));
    EXPECT_EQ(folder + L"g", dir.Buffer());

    dir.Set(folder);
    EXPECT_FALSE(AppendPathComponent(L"abcd", dir.Buffer()));
    EXPECT_EQ(folder, dir.Buffer());

    std::wstring full(MAX_PATH - 1, L'z');
    dir.Set(full);
    EXPECT_FALSE(AppendPathComponent(L"a", dir.Buffer()));
    EXPECT_EQ(full, dir.Buffer());
    EXPECT_TRUE(dir.GuardsIntact());
}

class FindWithExtensionsTest : public ::testing::Test {
protected:
    ScratchDir m_dir;
    bool Make(const std::wstring& name) { return cftest::WriteFileBytes(m_dir / name, "x"); }
};

TEST_F(FindWithExtensionsTest, TriesTheNameThenEachExtensionInOrder)
{
    ASSERT_TRUE(Make(L"x.exe"));
    wchar_t path[MAX_PATH];
    wcscpy(path, (m_dir / L"x").c_str());
    ASSERT_TRUE(FindWithExtensions(path, L"bat;cmd;exe;pif"));
    EXPECT_EQ(m_dir / L"x.exe", path);

    ASSERT_TRUE(Make(L"x.cmd"));
    wcscpy(path, (m_dir / L"x").c_str());
    ASSERT_TRUE(FindWithExtensions(path, L"bat;cmd;exe;pif"));
    EXPECT_EQ(m_dir / L"x.cmd", path);

    ASSERT_TRUE(Make(L"x"));
    wcscpy(path, (m_dir / L"x").c_str());
    ASSERT_TRUE(FindWithExtensions(path, L"bat;cmd;exe;pif"));
    EXPECT_EQ(m_dir / L"x", path);
}

TEST_F(FindWithExtensionsTest, AMissOrADottedPathLeavesTheBufferAsItWas)
{
    wchar_t path[MAX_PATH];
    wcscpy(path, (m_dir / L"none").c_str());
    EXPECT_FALSE(FindWithExtensions(path, L"bat;cmd;exe;pif;"));
    EXPECT_EQ(m_dir / L"none", path);

    ASSERT_TRUE(CreateDirectoryW((m_dir / L"tools.new").c_str(), nullptr));
    ASSERT_TRUE(cftest::WriteFileBytes(m_dir / L"tools.new\\run.exe", "x"));
    wcscpy(path, (m_dir / L"tools.new\\run").c_str());
    EXPECT_FALSE(FindWithExtensions(path, L"exe"));
    EXPECT_EQ(m_dir / L"tools.new\\run", path);

    ASSERT_TRUE(Make(L"y.exe"));
    wcscpy(path, (m_dir / L"y").c_str());
    EXPECT_FALSE(FindWithExtensions(path, nullptr));
    EXPECT_FALSE(FindWithExtensions(path, L""));
    EXPECT_FALSE(FindWithExtensions(path, L";;"));
    EXPECT_EQ(m_dir / L"y", path);
}

TEST_F(FindWithExtensionsTest, AFolderNeverCounts)
{
    ASSERT_TRUE(CreateDirectoryW((m_dir / L"d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((m_dir / L"e.exe").c_str(), nullptr));
    wchar_t path[MAX_PATH];
    wcscpy(path, (m_dir / L"d").c_str());
    EXPECT_FALSE(FindWithExtensions(path, L"exe"));
    wcscpy(path, (m_dir / L"e").c_str());
    EXPECT_FALSE(FindWithExtensions(path, L"exe"));

    ASSERT_TRUE(Make(L"d.exe"));
    wcscpy(path, (m_dir / L"d").c_str());
    ASSERT_TRUE(FindWithExtensions(path, L"exe"));
    EXPECT_EQ(m_dir / L"d.exe", path);
}

TEST_F(FindWithExtensionsTest, AnExtensionThatWouldReach260CharactersIsSkipped)
{
    size_t stemLength = MAX_PATH - 1 - m_dir.Path().size() - 4;  // stem + ".exe" = 259
    std::wstring stem(stemLength, L'n');
    ASSERT_TRUE(Make(stem + L".exe"));
    ASSERT_TRUE(Make(stem + L".ex"));
    GuardedPath path;
    path.Set(m_dir / stem);
    ASSERT_TRUE(FindWithExtensions(path.Buffer(), L"exe"));
    EXPECT_EQ(m_dir / (stem + L".exe"), path.Buffer());

    std::wstring longer = stem + L"n";
    ASSERT_TRUE(Make(longer + L".ex"));
    path.Set(m_dir / longer);
    EXPECT_FALSE(FindWithExtensions(path.Buffer(), L"exe"));
    EXPECT_EQ(m_dir / longer, path.Buffer());
    ASSERT_TRUE(FindWithExtensions(path.Buffer(), L"exe;ex"));
    EXPECT_EQ(m_dir / (longer + L".ex"), path.Buffer());
    EXPECT_TRUE(path.GuardsIntact());
}

TEST(SearchExecutableTest, SystemFolderComesBeforeTheWindowsFolder)
{
    ASSERT_TRUE(cftest::FileExists(SystemDir() + L"\\notepad.exe"));
    ASSERT_TRUE(cftest::FileExists(WindowsDir() + L"\\notepad.exe"));
    wchar_t name[MAX_PATH] = L"notepad";
    ASSERT_TRUE(SearchExecutable(name, L"bat;cmd;exe;pif", false));
    EXPECT_EQ(LongPath(SystemDir() + L"\\notepad.exe"), name);

    // A program in the Windows folder only, planted: what Wine installs
    // there differs between prefixes and machines.
    cftest::PlantedFile only(WindowsDir(), L"cfwinonly", L"exe");
    ASSERT_TRUE(only.Made());
    ASSERT_FALSE(cftest::FileExists(SystemDir() + L"\\" + only.Name()));
    std::wstring upper = only.Name();
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size() - 4));
    wcscpy(name, upper.c_str());
    ASSERT_TRUE(SearchExecutable(name, nullptr, false));
    EXPECT_EQ(0, _wcsicmp(LongPath(only.Path()).c_str(), name)) << cftest::Narrow(name);

    const std::wstring stem = only.Name().substr(0, only.Name().size() - 4);
    wcscpy(name, stem.c_str());
    EXPECT_FALSE(SearchExecutable(name, nullptr, false));
    EXPECT_EQ(stem, name);
}

TEST(SearchExecutableTest, SearchPathIsWalkedOnlyWhenAsked)
{
    ScratchDir first;
    ScratchDir second;
    ASSERT_TRUE(cftest::WriteFileBytes(second / L"cf_only_here.cmd", "x"));
    std::wstring overlong = L"C:\\" + std::wstring(300, L'o');
    std::wstring searchPath = L" ;;\t" + first.Path() + L";" + overlong + L";" + second.Path() + L";";
    ScopedVariable variable(L"PATH", searchPath.c_str());

    wchar_t name[MAX_PATH] = L"cf_only_here";
    EXPECT_FALSE(SearchExecutable(name, L"bat;cmd;exe;pif", false));
    EXPECT_STREQ(L"cf_only_here", name);
    ASSERT_TRUE(SearchExecutable(name, L"bat;cmd;exe;pif", true));
    EXPECT_EQ(LongPath(second / L"cf_only_here.cmd"), name);

    // A copy in the earlier folder is found first.
    ASSERT_TRUE(cftest::WriteFileBytes(first / L"cf_only_here.bat", "x"));
    wcscpy(name, L"cf_only_here");
    ASSERT_TRUE(SearchExecutable(name, L"bat;cmd;exe;pif", true));
    EXPECT_EQ(LongPath(first / L"cf_only_here.bat"), name);
}

TEST(SearchPathVariableTest, FollowsTheVariableAndKeepsTheLastValueWhenItGoes)
{
    {
        ScopedVariable variable(L"Path", L"C:\\one;C:\\two");
        EXPECT_EQ(L"C:\\one;C:\\two", GetSearchPathVariable());
        std::wstring longer = L"C:\\" + std::wstring(5000, L'l');
        SetEnvironmentVariableW(L"path", longer.c_str());
        EXPECT_EQ(longer, GetSearchPathVariable());
        SetEnvironmentVariableW(L"path", L"C:\\three");
        EXPECT_EQ(L"C:\\three", GetSearchPathVariable());
        SetEnvironmentVariableW(L"path", nullptr);
        EXPECT_EQ(L"C:\\three", GetSearchPathVariable());
    }
    EXPECT_EQ(&GetSearchPathVariable(), &GetSearchPathVariable());
}

TEST(ToLongPathNameTest, ShortNamesBecomeLongAndUnknownPathsStay)
{
    ScratchDir dir;
    std::wstring longName = dir / L"A rather long file name.text";
    ASSERT_TRUE(cftest::WriteFileBytes(longName, "x"));
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(longName.c_str(), shortName, MAX_PATH));
    ASSERT_NE(longName, shortName);

    std::wstring result = L"old";
    ToLongPathName(shortName, result);
    EXPECT_EQ(LongPath(longName), result);
    EXPECT_NE(std::wstring::npos, result.find(L"A rather long file name.text"));

    ToLongPathName(L"C:\\no such folder\\x", result);
    EXPECT_EQ(L"C:\\no such folder\\x", result);
    ToLongPathName(nullptr, result);
    EXPECT_EQ(L"", result);
}

TEST(SmallPathHelpersTest, NamePartsAndTrailingBackslash)
{
    wchar_t text[MAX_PATH] = L"C:\\dir\\";
    EXPECT_TRUE(StripTrailingBackslash(text));
    EXPECT_STREQ(L"C:\\dir", text);
    EXPECT_TRUE(StripTrailingBackslash(text));
    EXPECT_STREQ(L"C:\\dir", text);
    wcscpy(text, L"\\");
    EXPECT_FALSE(StripTrailingBackslash(text));
    EXPECT_STREQ(L"\\", text);
    wcscpy(text, L"");
    EXPECT_FALSE(StripTrailingBackslash(text));

    EXPECT_STREQ(L"b.txt", GetFileNamePart(L"C:\\a/x\\b.txt"));
    EXPECT_STREQ(L"b.txt", GetFileNamePart(L"a/x/b.txt"));
    EXPECT_STREQ(L"b.txt", GetFileNamePart(L"b.txt"));
    EXPECT_STREQ(L"", GetFileNamePart(L"C:\\dir\\"));

    std::wstring dir = L"old";
    GetDirectoryPart(L"C:\\a/x\\b.txt", dir);
    EXPECT_EQ(L"C:\\a/x\\", dir);
    GetDirectoryPart(L"a/x/b.txt", dir);
    EXPECT_EQ(L"a/x/", dir);
    GetDirectoryPart(L"b.txt", dir);
    EXPECT_EQ(L"", dir);

    const wchar_t* path = L"C:\\v1.2\\name.tar.gz";
    EXPECT_EQ(path + 16, FindExtension(path));
    EXPECT_EQ(nullptr, FindExtension(L"C:\\dir\\name"));
    EXPECT_TRUE(StartsWithNoCase(L"FILE://x", L"file://"));
    EXPECT_FALSE(StartsWithNoCase(L"file:", L"file://"));
}

TEST(SmallPathHelpersTest, AppendPathCheckedFailsRatherThanCutting)
{
    wchar_t dir[MAX_PATH] = L"C:\\dir";
    ASSERT_TRUE(AppendPathChecked(dir, L"\\a.txt"));
    EXPECT_STREQ(L"C:\\dir\\a.txt", dir);
    wcscpy(dir, L"C:\\dir\\");
    ASSERT_TRUE(AppendPathChecked(dir, L"\\\\a"));
    EXPECT_STREQ(L"C:\\dir\\\\a", dir);
    wcscpy(dir, L"");
    EXPECT_FALSE(AppendPathChecked(dir, L"a"));
    EXPECT_STREQ(L"", dir);

    GuardedPath guarded;
    std::wstring folder = L"C:\\" + std::wstring(250, L'f');
    guarded.Set(folder);
    ASSERT_TRUE(AppendPathChecked(guarded.Buffer(), std::wstring(5, L'n').c_str()));  // 259 characters
    EXPECT_EQ(folder + L"\\nnnnn", guarded.Buffer());
    guarded.Set(folder);
    EXPECT_FALSE(AppendPathChecked(guarded.Buffer(), std::wstring(6, L'n').c_str()));
    EXPECT_EQ(folder, guarded.Buffer());
    guarded.Set(std::wstring(MAX_PATH - 1, L'z'));
    EXPECT_FALSE(AppendPathChecked(guarded.Buffer(), L""));
    EXPECT_TRUE(guarded.GuardsIntact());
}

}  // namespace
