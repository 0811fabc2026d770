#include "support/paths.h"

#include "support/unique.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <vector>

namespace {

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kProgramFilesDirValue[] = L"ProgramFilesDir";
const wchar_t kProgramFilesVariable[] = L"ProgramFiles";
const wchar_t kSearchPathVariable[] = L"path";
const wchar_t kShlwapiDll[] = L"shlwapi.dll";
const wchar_t kQuickLaunchSuffix[] = L"\\Microsoft\\Internet Explorer\\Quick Launch";
const wchar_t kRundll32Suffix[] = L"\\Rundll32.exe";
const wchar_t kRegsvr32Suffix[] = L"\\regsvr32.exe";
const wchar_t kExplorerSuffix[] = L"\\explorer.exe";
const wchar_t kIExploreSuffix[] = L"\\Internet Explorer\\iexplore.exe";
const wchar_t kUserinitSuffix[] = L"\\Userinit.exe";
const wchar_t kFileScheme[] = L"file://";

const int kIsOsOrdinal = 437;
const DWORD kOsWow6432 = 30;

enum FolderSource { WindowsFolder, SystemFolder, ProgramFilesFolder, CommonFilesFolder, TempFolder };

struct PrefixEntry {
    const wchar_t* name;
    size_t length;
    FolderSource source;
};

const PrefixEntry kVariablePrefixes[] = {
    {L"%SystemRoot%", 12, WindowsFolder},
    {L"%windir%", 8, WindowsFolder},
    {L"%ProgramFiles%", 14, ProgramFilesFolder},
    {L"%CommonProgramFiles%", 20, CommonFilesFolder},
    {L"%Temp%", 6, TempFolder},
    {L"%Tmp%", 5, TempFolder},
};

const PrefixEntry kBarePrefixes[] = {
    {L"SystemRoot", 10, WindowsFolder},
    {L"system32", 8, SystemFolder},
};

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Readers test only the first character, so it is written last.
void Publish(wchar_t* cache, const wchar_t* text)
{
    size_t length = wcslen(text);
    if (length == 0)
        return;
    std::memcpy(cache + 1, text + 1, length * sizeof(wchar_t));
    MemoryBarrier();
    cache[0] = text[0];
}

// The API calls below return the needed size, not an error, when the
// buffer is short; a cut path must not pass for a real one.
bool FitsPath(DWORD length) { return length > 0 && length < MAX_PATH; }

DWORD FetchFolder(FolderSource source, wchar_t* scratch)
{
    DWORD length = 0;
    switch (source) {
    case WindowsFolder:
        length = GetWindowsDirectoryW(scratch, MAX_PATH);
        break;
    case SystemFolder:
        length = GetSystemDirectoryW(scratch, MAX_PATH);
        break;
    case ProgramFilesFolder:
    case CommonFilesFolder:
        scratch[0] = 0;
        if (SHGetSpecialFolderPathW(nullptr, scratch,
                                    source == ProgramFilesFolder ? CSIDL_PROGRAM_FILES : CSIDL_PROGRAM_FILES_COMMON,
                                    FALSE))
            length = static_cast<DWORD>(wcsnlen(scratch, MAX_PATH));
        break;
    case TempFolder:
        length = GetTempPathW(MAX_PATH, scratch);
        break;
    }
    if (!FitsPath(length)) {
        scratch[0] = 0;
        return 0;
    }
    return length;
}

wchar_t* ExpandWithTable(const wchar_t* text, wchar_t* scratch, const PrefixEntry* table, size_t entries)
{
    if (!text || !scratch)
        return nullptr;
    const PrefixEntry* match = nullptr;
    for (size_t i = 0; i < entries && !match; ++i) {
        if (StartsWithNoCase(text, table[i].name))
            match = &table[i];
    }
    if (!match)
        return nullptr;
    DWORD folderLength = FetchFolder(match->source, scratch);
    if (folderLength == 0)
        return nullptr;

    const wchar_t* remainder = text + match->length;
    size_t remainderLength = wcslen(remainder);
    size_t total = folderLength + remainderLength + 2;
    wchar_t* result = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, total * sizeof(wchar_t)));
    if (!result)
        return nullptr;
    std::memcpy(result, scratch, folderLength * sizeof(wchar_t));
    size_t at = scratch[folderLength - 1] == L'\\' ? folderLength - 1 : folderLength;
    std::memcpy(result + at, remainder, (remainderLength + 1) * sizeof(wchar_t));
    return result;
}

bool ProbeFile(const wchar_t* path)
{
    cf::ScopedErrorMode errorMode(cf::kQuietErrorMode);
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool TryInFolder(wchar_t* folder, const wchar_t* name, const wchar_t* extensions)
{
    return AppendPathComponent(name, folder) && FindWithExtensions(folder, extensions);
}

}  // namespace

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix)
{
    if (!text || !prefix)
        return false;
    for (; *prefix; ++text, ++prefix) {
        if (FoldAscii(*text) != FoldAscii(*prefix))
            return false;
    }
    return true;
}

CSystemPaths::CSystemPaths() { Initialize(); }

CSystemPaths& CSystemPaths::Instance()
{
    static CSystemPaths instance;
    return instance;
}

CSystemPaths& CSystemPaths::Refresh()
{
    CSystemPaths& paths = Instance();
    paths.Initialize();
    return paths;
}

void CSystemPaths::Initialize()
{
    m_hModule = ::GetModuleHandleW(nullptr);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version)) {
        m_dwMajorVersion = version.dwMajorVersion;
        m_dwMinorVersion = version.dwMinorVersion;
    }
    m_dwWow64 = IsWow64();
    GetModuleFilePath();
    GetModuleDirectory();
    GetProgramFilesDir();
    GetSystemDir();
    GetWindowsDir();
    GetProgramFilesDir();
    GetCommonAppDataDir();
    GetAppDataDir();
}

const wchar_t* CSystemPaths::GetModuleFilePath()
{
    if (!m_szModuleFilePath[0]) {
        wchar_t path[MAX_PATH] = {};
        if (FitsPath(GetModuleFileNameW(m_hModule, path, MAX_PATH)))
            Publish(m_szModuleFilePath, path);
    }
    return m_szModuleFilePath;
}

const wchar_t* CSystemPaths::GetModuleDirectory()
{
    if (!m_szModuleDirectory[0]) {
        wchar_t path[MAX_PATH] = {};
        if (FitsPath(GetModuleFileNameW(m_hModule, path, MAX_PATH)) && PathRemoveFileSpecW(path))
            Publish(m_szModuleDirectory, path);
    }
    return m_szModuleDirectory;
}

const wchar_t* CSystemPaths::GetWindowsDir()
{
    if (!m_szWindowsDir[0]) {
        wchar_t path[MAX_PATH] = {};
        if (FitsPath(GetWindowsDirectoryW(path, MAX_PATH)))
            Publish(m_szWindowsDir, path);
    }
    return m_szWindowsDir;
}

const wchar_t* CSystemPaths::GetSystemDir()
{
    if (!m_szSystemDir[0]) {
        wchar_t path[MAX_PATH] = {};
        if (FitsPath(GetSystemDirectoryW(path, MAX_PATH)))
            Publish(m_szSystemDir, path);
    }
    return m_szSystemDir;
}

const wchar_t* CSystemPaths::GetProgramFilesDir()
{
    if (!m_szProgramFilesDir[0]) {
        wchar_t path[MAX_PATH] = {};
        if (ReadProgramFilesDir(HKEY_LOCAL_MACHINE, kCurrentVersionKey, path))
            Publish(m_szProgramFilesDir, path);
    }
    return m_szProgramFilesDir;
}

const wchar_t* CSystemPaths::GetTempDir()
{
    if (!m_szTempDir[0]) {
        wchar_t path[MAX_PATH] = {};
        if (FitsPath(GetTempPathW(MAX_PATH, path))) {
            StripTrailingBackslash(path);
            Publish(m_szTempDir, path);
        }
    }
    return m_szTempDir;
}

const wchar_t* CSystemPaths::GetShellFolder(wchar_t* buffer, int csidl)
{
    if (!buffer[0]) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE) && path[0]) {
            StripTrailingBackslash(path);
            Publish(buffer, path);
        }
    }
    return buffer;
}

const wchar_t* CSystemPaths::GetCommonAppDataDir() { return GetShellFolder(m_szCommonAppDataDir, CSIDL_COMMON_APPDATA); }
const wchar_t* CSystemPaths::GetAppDataDir() { return GetShellFolder(m_szAppDataDir, CSIDL_APPDATA); }
const wchar_t* CSystemPaths::GetProgramsDir() { return GetShellFolder(m_szProgramsDir, CSIDL_PROGRAMS); }
const wchar_t* CSystemPaths::GetCommonProgramsDir() { return GetShellFolder(m_szCommonProgramsDir, CSIDL_COMMON_PROGRAMS); }
const wchar_t* CSystemPaths::GetDesktopDir() { return GetShellFolder(m_szDesktopDir, CSIDL_DESKTOPDIRECTORY); }
const wchar_t* CSystemPaths::GetCommonDesktopDir()
{
    return GetShellFolder(m_szCommonDesktopDir, CSIDL_COMMON_DESKTOPDIRECTORY);
}
const wchar_t* CSystemPaths::GetStartMenuDir() { return GetShellFolder(m_szStartMenuDir, CSIDL_STARTMENU); }
const wchar_t* CSystemPaths::GetCommonStartMenuDir()
{
    return GetShellFolder(m_szCommonStartMenuDir, CSIDL_COMMON_STARTMENU);
}
const wchar_t* CSystemPaths::GetStartupDir() { return GetShellFolder(m_szStartupDir, CSIDL_STARTUP); }
const wchar_t* CSystemPaths::GetCommonStartupDir() { return GetShellFolder(m_szCommonStartupDir, CSIDL_COMMON_STARTUP); }
const wchar_t* CSystemPaths::GetFavoritesDir() { return GetShellFolder(m_szFavoritesDir, CSIDL_FAVORITES); }
const wchar_t* CSystemPaths::GetCommonFavoritesDir()
{
    return GetShellFolder(m_szCommonFavoritesDir, CSIDL_COMMON_FAVORITES);
}

// A composite is left empty while its folder is unknown or the whole would
// not fit: a cut or rootless path would name some other file.
const wchar_t* CSystemPaths::ComposePath(wchar_t* buffer, const wchar_t* folder, const wchar_t* suffix)
{
    if (!buffer[0] && folder[0]) {
        size_t folderLength = wcslen(folder);
        size_t suffixLength = wcslen(suffix);
        if (folderLength + suffixLength < MAX_PATH) {
            wchar_t path[MAX_PATH];
            std::memcpy(path, folder, folderLength * sizeof(wchar_t));
            std::memcpy(path + folderLength, suffix, (suffixLength + 1) * sizeof(wchar_t));
            Publish(buffer, path);
        }
    }
    return buffer;
}

const wchar_t* CSystemPaths::GetQuickLaunchDir()
{
    return ComposePath(m_szQuickLaunchDir, GetAppDataDir(), kQuickLaunchSuffix);
}
const wchar_t* CSystemPaths::GetRundll32Path() { return ComposePath(m_szRundll32Path, GetSystemDir(), kRundll32Suffix); }
const wchar_t* CSystemPaths::GetRegsvr32Path() { return ComposePath(m_szRegsvr32Path, GetSystemDir(), kRegsvr32Suffix); }
const wchar_t* CSystemPaths::GetExplorerPath() { return ComposePath(m_szExplorerPath, GetWindowsDir(), kExplorerSuffix); }
const wchar_t* CSystemPaths::GetSystemExplorerPath()
{
    return ComposePath(m_szSystemExplorerPath, GetSystemDir(), kExplorerSuffix);
}
const wchar_t* CSystemPaths::GetIExplorePath()
{
    return ComposePath(m_szIExplorePath, GetProgramFilesDir(), kIExploreSuffix);
}
const wchar_t* CSystemPaths::GetUserinitPath() { return ComposePath(m_szUserinitPath, GetSystemDir(), kUserinitSuffix); }

bool ReadProgramFilesDir(HKEY root, const wchar_t* subKey, wchar_t* buffer)
{
    if (!buffer)
        return false;
    // One spare zero behind the 260 characters the calls may fill, so an
    // unterminated value cannot be read past its end.
    wchar_t path[MAX_PATH + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = MAX_PATH * sizeof(wchar_t);
    LSTATUS status = SHGetValueW(root, subKey, kProgramFilesDirValue, &type, path, &size);
    if (status != ERROR_SUCCESS || size <= 1 || (type != REG_SZ && type != REG_EXPAND_SZ) || !path[0]) {
        std::memset(path, 0, sizeof(path));
        if (!FitsPath(GetEnvironmentVariableW(kProgramFilesVariable, path, MAX_PATH)))
            return false;
    }
    size_t length = wcsnlen(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    StripTrailingBackslash(path);
    std::memcpy(buffer, path, (wcslen(path) + 1) * sizeof(wchar_t));
    return true;
}

DWORD IsWow64()
{
    typedef BOOL(WINAPI * IsOsProc)(DWORD);
    cf::UniqueModule loaded;
    HMODULE shlwapi = ::GetModuleHandleW(kShlwapiDll);
    if (!shlwapi) {
        loaded.Reset(LoadLibraryW(kShlwapiDll));
        shlwapi = loaded.Get();
        if (!shlwapi) {
            SetLastError(ERROR_OLD_WIN_VERSION);
            return 0;
        }
    }
    FARPROC proc = GetProcAddress(shlwapi, MAKEINTRESOURCEA(kIsOsOrdinal));
    DWORD result = 0;
    if (proc)
        result = reinterpret_cast<IsOsProc>(reinterpret_cast<void*>(proc))(kOsWow6432) ? 1 : 0;
    SetLastError(0);
    return result;
}

wchar_t* ExpandPathVariable(const wchar_t* text, wchar_t* scratch)
{
    return ExpandWithTable(text, scratch, kVariablePrefixes, ARRAYSIZE(kVariablePrefixes));
}

wchar_t* ExpandSystemRootPrefix(const wchar_t* text, wchar_t* scratch)
{
    return ExpandWithTable(text, scratch, kBarePrefixes, ARRAYSIZE(kBarePrefixes));
}

bool NormalizePathSeparators(const wchar_t* source, size_t count, wchar_t* dest, wchar_t* end)
{
    if (!source || !dest || !end || end < dest)
        return false;
    if (count == kWholeString)
        count = wcslen(source);
    wchar_t* out = dest;
    bool leadingPair = false;
    if (count >= 2 && source[0] == L'\\' && source[1] == L'\\') {
        leadingPair = true;
        source += 2;
        count -= 2;
    } else if (count >= 7 && StartsWithNoCase(source, kFileScheme)) {
        // file://C:/x is a drive path; anything else names a server. The
        // colon is looked for only inside the counted text.
        leadingPair = !(count > 8 && source[8] == L':');
        source += 7;
        count -= 7;
    }
    if (leadingPair) {
        if (end - out < 2)
            return false;
        *out++ = L'\\';
        *out++ = L'\\';
    }
    bool lastWasSeparator = false;
    for (size_t i = 0; i < count && source[i]; ++i) {
        wchar_t c = source[i];
        bool separator = IsSeparator(c);
        if (separator && lastWasSeparator)
            continue;
        if (out >= end)
            return false;
        *out++ = separator ? L'\\' : c;
        lastWasSeparator = separator;
    }
    *out = 0;
    return true;
}

bool AppendPathComponent(const wchar_t* relative, wchar_t* directory)
{
    if (!relative || !directory || !directory[0])
        return false;
    size_t length = wcsnlen(directory, MAX_PATH);
    if (length >= MAX_PATH)
        return false;
    bool addBackslash = directory[length - 1] != L'\\';
    size_t joined = length + (addBackslash ? 1 : 0);
    while (IsSeparator(*relative))
        ++relative;
    // Signed on purpose: a folder of 259 characters or more has no room.
    if (static_cast<long>(MAX_PATH - 1) - static_cast<long>(joined) <= 2)
        return false;
    if (addBackslash)
        directory[length] = L'\\';
    if (!NormalizePathSeparators(relative, kWholeString, directory + joined, directory + MAX_PATH - 1)) {
        directory[length] = 0;
        return false;
    }
    return true;
}

bool FindWithExtensions(wchar_t* path, const wchar_t* extensions)
{
    if (!path)
        return false;
    size_t length = wcsnlen(path, MAX_PATH);
    if (length >= MAX_PATH)
        return false;
    if (ProbeFile(path))
        return true;
    if (wcschr(path, L'.'))
        return false;
    if (!extensions || !*extensions || length + 2 >= MAX_PATH)
        return false;

    path[length] = L'.';
    for (const wchar_t* entry = extensions; *entry;) {
        const wchar_t* stop = entry;
        while (*stop && *stop != L';')
            ++stop;
        size_t entryLength = static_cast<size_t>(stop - entry);
        if (entryLength > 0 && length + 1 + entryLength < MAX_PATH) {
            std::memcpy(path + length + 1, entry, entryLength * sizeof(wchar_t));
            path[length + 1 + entryLength] = 0;
            if (ProbeFile(path))
                return true;
        }
        entry = *stop ? stop + 1 : stop;
    }
    path[length] = 0;
    return false;
}

bool SearchExecutable(wchar_t* name, const wchar_t* extensions, bool useSearchPath)
{
    if (!name || wcsnlen(name, MAX_PATH) >= MAX_PATH)
        return false;
    wchar_t scratch[270] = {};
    bool found = FitsPath(GetSystemDirectoryW(scratch, MAX_PATH)) && TryInFolder(scratch, name, extensions);
    if (!found)
        found = FitsPath(GetWindowsDirectoryW(scratch, MAX_PATH)) && TryInFolder(scratch, name, extensions);
    if (!found && useSearchPath) {
        const std::wstring searchPath = GetSearchPathVariable();
        const wchar_t* at = searchPath.c_str();
        while (!found && *at) {
            while (*at == L' ' || *at == L'\t' || *at == L';')
                ++at;
            if (!*at)
                break;
            const wchar_t* stop = at;
            while (*stop && *stop != L';')
                ++stop;
            found = NormalizePathSeparators(at, static_cast<size_t>(stop - at), scratch, scratch + MAX_PATH - 1) &&
                    TryInFolder(scratch, name, extensions);
            at = stop;
        }
    }
    if (!found)
        return false;

    wchar_t longPath[MAX_PATH] = {};
    DWORD length = GetLongPathNameW(scratch, longPath, MAX_PATH);
    if (length >= MAX_PATH)
        return false;
    const wchar_t* result = length ? longPath : scratch;
    std::memcpy(name, result, (wcslen(result) + 1) * sizeof(wchar_t));
    return true;
}

const std::wstring& GetSearchPathVariable()
{
    static std::wstring value;
    DWORD needed = GetEnvironmentVariableW(kSearchPathVariable, nullptr, 0);
    while (needed) {
        std::vector<wchar_t> text(needed + 1, L'\0');
        DWORD got = GetEnvironmentVariableW(kSearchPathVariable, text.data(), needed + 1);
        if (got <= needed) {
            if (got || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
                value.assign(text.data(), got);
            break;
        }
        needed = got;  // grew between the two calls
    }
    return value;
}

void ToLongPathName(const wchar_t* path, std::wstring& longPath)
{
    if (!path) {
        longPath.clear();
        return;
    }
    DWORD needed = GetLongPathNameW(path, nullptr, 0);
    while (needed) {
        std::vector<wchar_t> text(needed + 1, L'\0');
        DWORD got = GetLongPathNameW(path, text.data(), needed + 1);
        if (got == 0)
            break;
        if (got <= needed) {
            longPath.assign(text.data(), got);
            return;
        }
        needed = got;
    }
    longPath.assign(path);
}

bool StripTrailingBackslash(wchar_t* path)
{
    if (!path)
        return false;
    size_t length = wcslen(path);
    if (length <= 1)
        return false;
    if (path[length - 1] == L'\\')
        path[length - 1] = 0;
    return true;
}

const wchar_t* GetFileNamePart(const wchar_t* path)
{
    if (!path)
        return nullptr;
    const wchar_t* last = wcsrchr(path, L'\\');
    if (!last)
        last = wcsrchr(path, L'/');
    return last ? last + 1 : path;
}

void GetDirectoryPart(const wchar_t* path, std::wstring& directory)
{
    directory.clear();
    if (!path)
        return;
    const wchar_t* last = wcsrchr(path, L'\\');
    if (!last)
        last = wcsrchr(path, L'/');
    if (last)
        directory.assign(path, static_cast<size_t>(last - path) + 1);
}

const wchar_t* FindExtension(const wchar_t* path) { return path ? wcsrchr(path, L'.') : nullptr; }

bool AppendPathChecked(wchar_t* directory, const wchar_t* component)
{
    if (!directory || !component || !directory[0])
        return false;
    size_t length = wcsnlen(directory, MAX_PATH);
    if (length >= MAX_PATH)
        return false;
    bool addBackslash = directory[length - 1] != L'\\';
    if (*component == L'\\')
        ++component;
    size_t componentLength = wcslen(component);
    size_t total = length + (addBackslash ? 1 : 0) + componentLength;
    if (total >= MAX_PATH)
        return false;
    if (addBackslash)
        directory[length++] = L'\\';
    std::memcpy(directory + length, component, (componentLength + 1) * sizeof(wchar_t));
    return true;
}
