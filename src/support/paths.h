#pragma once
// System folders cached for the process, expansion of a leading path
// variable, and the path text primitives the command-line resolution is
// built on. Nothing here shows UI or writes the scan log; results that do
// not fit a 260-character path buffer fail rather than being cut.

#include <windows.h>

#include <cstddef>
#include <string>

// Filled on first use; an empty buffer means "not known yet", so a lookup
// that failed is tried again on the next call. Never cleared.
class CSystemPaths {
public:
    // The first call fills the basic entries; the instance lives until exit.
    static CSystemPaths& Instance();
    // Fills again whatever is still empty and returns the instance.
    static CSystemPaths& Refresh();

    HMODULE GetModule() const { return m_hModule; }
    DWORD GetOsMajorVersion() const { return m_dwMajorVersion; }
    DWORD GetOsMinorVersion() const { return m_dwMinorVersion; }
    DWORD GetWow64Flag() const { return m_dwWow64; }

    const wchar_t* GetModuleFilePath();
    const wchar_t* GetModuleDirectory();
    const wchar_t* GetWindowsDir();
    const wchar_t* GetSystemDir();
    const wchar_t* GetProgramFilesDir();
    const wchar_t* GetTempDir();
    const wchar_t* GetCommonAppDataDir();
    const wchar_t* GetAppDataDir();
    const wchar_t* GetProgramsDir();
    const wchar_t* GetCommonProgramsDir();
    const wchar_t* GetDesktopDir();
    const wchar_t* GetCommonDesktopDir();
    const wchar_t* GetStartMenuDir();
    const wchar_t* GetCommonStartMenuDir();
    const wchar_t* GetStartupDir();
    const wchar_t* GetCommonStartupDir();
    const wchar_t* GetFavoritesDir();
    const wchar_t* GetCommonFavoritesDir();
    const wchar_t* GetQuickLaunchDir();
    const wchar_t* GetRundll32Path();
    const wchar_t* GetRegsvr32Path();
    const wchar_t* GetExplorerPath();
    const wchar_t* GetSystemExplorerPath();
    const wchar_t* GetIExplorePath();
    const wchar_t* GetUserinitPath();

    CSystemPaths(const CSystemPaths&) = delete;
    CSystemPaths& operator=(const CSystemPaths&) = delete;

private:
    CSystemPaths();
    void Initialize();
    const wchar_t* GetShellFolder(wchar_t* buffer, int csidl);
    static const wchar_t* ComposePath(wchar_t* buffer, const wchar_t* folder, const wchar_t* suffix);

    HMODULE m_hModule = nullptr;
    DWORD m_dwMajorVersion = 0;
    DWORD m_dwMinorVersion = 0;
    DWORD m_dwWow64 = 0;

    wchar_t m_szModuleFilePath[MAX_PATH] = {};
    wchar_t m_szModuleDirectory[MAX_PATH] = {};
    wchar_t m_szWindowsDir[MAX_PATH] = {};
    wchar_t m_szSystemDir[MAX_PATH] = {};
    wchar_t m_szProgramFilesDir[MAX_PATH] = {};
    wchar_t m_szTempDir[MAX_PATH] = {};
    wchar_t m_szCommonAppDataDir[MAX_PATH] = {};
    wchar_t m_szAppDataDir[MAX_PATH] = {};
    wchar_t m_szProgramsDir[MAX_PATH] = {};
    wchar_t m_szCommonProgramsDir[MAX_PATH] = {};
    wchar_t m_szDesktopDir[MAX_PATH] = {};
    wchar_t m_szCommonDesktopDir[MAX_PATH] = {};
    wchar_t m_szStartMenuDir[MAX_PATH] = {};
    wchar_t m_szCommonStartMenuDir[MAX_PATH] = {};
    wchar_t m_szStartupDir[MAX_PATH] = {};
    wchar_t m_szCommonStartupDir[MAX_PATH] = {};
    wchar_t m_szFavoritesDir[MAX_PATH] = {};
    wchar_t m_szCommonFavoritesDir[MAX_PATH] = {};
    wchar_t m_szQuickLaunchDir[MAX_PATH] = {};
    wchar_t m_szRundll32Path[MAX_PATH] = {};
    wchar_t m_szRegsvr32Path[MAX_PATH] = {};
    wchar_t m_szExplorerPath[MAX_PATH] = {};
    wchar_t m_szSystemExplorerPath[MAX_PATH] = {};
    wchar_t m_szIExplorePath[MAX_PATH] = {};
    wchar_t m_szUserinitPath[MAX_PATH] = {};
};

// Reads the Program Files folder from `root`\`subKey` value "ProgramFilesDir",
// falling back to the "ProgramFiles" environment variable; strips one
// trailing backslash. `buffer` (MAX_PATH) is left untouched on failure.
bool ReadProgramFilesDir(HKEY root, const wchar_t* subKey, wchar_t* buffer);

// Non-zero for a 32-bit process on 64-bit Windows.
DWORD IsWow64();

// A leading "%SystemRoot%", "%windir%", "%ProgramFiles%",
// "%CommonProgramFiles%", "%Temp%" or "%Tmp%" replaced by its folder.
// `scratch` holds MAX_PATH characters. The result is a block from
// HeapAlloc(GetProcessHeap()) (free it, e.g. with cf::UniqueHeap), or null
// when no name matches or the folder is unknown.
wchar_t* ExpandPathVariable(const wchar_t* text, wchar_t* scratch);
// The same for a bare leading "SystemRoot" or "system32".
wchar_t* ExpandSystemRootPrefix(const wchar_t* text, wchar_t* scratch);

// Count value that means "up to the terminator".
const size_t kWholeString = static_cast<size_t>(-1);

// Copies `count` characters of `source` to `dest`, turning '/' into '\' and
// a run of separators into one; keeps a leading "\\" and turns "file://"
// into a UNC or drive path. Characters go to [dest, end); the terminator may
// land at `end`. False when the text does not fit.
bool NormalizePathSeparators(const wchar_t* source, size_t count, wchar_t* dest, wchar_t* end);

// Joins `relative` onto the folder in `directory` (a MAX_PATH buffer).
// On false the folder text is left as it was.
bool AppendPathComponent(const wchar_t* relative, wchar_t* directory);

// Probes `path` (a MAX_PATH buffer) as it stands, then, when its text has no
// '.', with each extension of the ';'-separated list. A folder never counts.
// On true the buffer names the file found; on false it is as it was.
bool FindWithExtensions(wchar_t* path, const wchar_t* extensions);

// Looks for `name` (a MAX_PATH buffer) in the System folder, the Windows
// folder and, if asked, each folder of "path". On true the buffer holds the
// long form of the full path.
bool SearchExecutable(wchar_t* name, const wchar_t* extensions, bool useSearchPath);

// The process-wide copy of the "path" variable, re-read on every call.
const std::wstring& GetSearchPathVariable();

// The long form of `path`, or `path` itself when it cannot be had.
void ToLongPathName(const wchar_t* path, std::wstring& longPath);

// Case-insensitive (ASCII letters) test that `text` begins with `prefix`.
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);

// Removes one trailing '\'; false (and nothing done) for text of 0 or 1 characters.
bool StripTrailingBackslash(wchar_t* path);
const wchar_t* GetFileNamePart(const wchar_t* path);
// The path up to and including its last '\' (else '/'); empty when there is none.
void GetDirectoryPart(const wchar_t* path, std::wstring& directory);
const wchar_t* FindExtension(const wchar_t* path);  // the last '.', or null
// Appends `component` behind a '\' to the folder in `directory` (MAX_PATH).
// False, with the folder unchanged, when it is empty or the whole would not fit.
bool AppendPathChecked(wchar_t* directory, const wchar_t* component);
