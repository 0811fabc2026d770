#include "common/test_util.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sstream>

namespace cftest {

namespace {

std::wstring UniqueName(const wchar_t* stem)
{
    static LONG counter = 0;
    wchar_t name[96];
    swprintf(name, 96, L"%ls%lu_%ld_%lu", stem, GetCurrentProcessId(), InterlockedIncrement(&counter),
             GetTickCount());
    return name;
}

const wchar_t kScratchStem[] = L"cft";

}  // namespace

ScratchDir::ScratchDir()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + UniqueName(kScratchStem) + L"\\";
    CreateDirectoryW(m_path.c_str(), nullptr);
}

bool FindScratchDir(const std::wstring& path, std::wstring& folder, DWORD& owner)
{
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp))
        return false;
    const std::wstring stem = std::wstring(temp) + kScratchStem;
    if (path.size() <= stem.size() || lstrcmpiW(path.substr(0, stem.size()).c_str(), stem.c_str()) != 0)
        return false;
    wchar_t* end = nullptr;
    const unsigned long pid = wcstoul(path.c_str() + stem.size(), &end, 10);
    const size_t folderEnd = path.find(L'\\', stem.size());
    if (*end != L'_' || folderEnd == std::wstring::npos)
        return false;
    folder = path.substr(0, folderEnd + 1);
    owner = static_cast<DWORD>(pid);
    return true;
}

ScratchDir::~ScratchDir() { RemoveTree(m_path); }

namespace {

// Scratch paths are ASCII.
std::wstring UnixPath(const std::wstring& path)
{
    auto toUnix = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = toUnix ? toUnix(path.c_str()) : nullptr;
    std::wstring wide = name ? std::wstring(name, name + strlen(name)) : std::wstring();
    HeapFree(GetProcessHeap(), 0, name);
    return wide;
}

bool RunUnixCommand(std::wstring line)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const std::wstring program = L"\\\\?\\unix\\bin\\" + line.substr(0, line.find(L' '));
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

UnixLink::UnixLink(const std::wstring& link, const std::wstring& target) : m_link(link)
{
    EXPECT_TRUE(RunUnixCommand(L"ln -s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"") &&
                cftest::WaitForFile(link, 10000)) << cftest::Narrow(link);
}

UnixLink::~UnixLink()
{
    RunUnixCommand(L"rm -f \"" + UnixPath(m_link) + L"\"");
    for (int i = 0; i < 400 && cftest::FileExists(m_link); ++i)
        Sleep(25);
}

namespace {

// Waits until making a file in `folder` fails (`readOnly`) or works again.
bool WaitForReadOnly(const std::wstring& folder, bool readOnly, int tries)
{
    for (int i = 0; i < tries; ++i, Sleep(25)) {
        HANDLE probe = CreateFileW((folder + L"cf-probe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if ((probe != INVALID_HANDLE_VALUE && CloseHandle(probe)) != readOnly)
            return true;
    }
    return false;
}

}  // namespace

bool SetImmutable(const std::wstring& folder, bool immutable)
{
    const std::wstring quoted = L"'" + UnixPath(folder) + L"'";
    if (!immutable) {
        RunUnixCommand(L"sh -c \"/bin/chattr -i " + quoted + L"; /bin/umount " + quoted + L"\"");
        return WaitForReadOnly(folder, false, 400);
    }
    // Root in a user namespace of its own (the emulated way) may not set the
    // flag; a read-only bind mount of the folder over itself stops it there.
    return (RunUnixCommand(L"chattr +i \"" + UnixPath(folder) + L"\"") && WaitForReadOnly(folder, true, 80)) ||
           (RunUnixCommand(L"sh -c \"/bin/mount --bind " + quoted + L" " + quoted + L" && /bin/mount -o remount,bind,ro " +
                           quoted + L"\"") &&
            WaitForReadOnly(folder, true, 400));
}

WineAppVersion::WineAppVersion(const std::wstring& exeName, const std::wstring& version)
    : m_key(L"Software\\Wine\\AppDefaults\\" + exeName)
{
    HKEY key = nullptr;
    if (RegCreateKeyW(HKEY_CURRENT_USER, m_key.c_str(), &key) != ERROR_SUCCESS)
        return;
    m_set = RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                           static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
}

WineAppVersion::~WineAppVersion() { RegDeleteKeyW(HKEY_CURRENT_USER, m_key.c_str()); }

WineNativeFirst::WineNativeFirst(const std::wstring& exeName, const std::vector<std::wstring>& dllNames)
    : m_key(L"Software\\Wine\\AppDefaults\\" + exeName + L"\\DllOverrides")
{
    static const wchar_t kOrder[] = L"native,builtin";
    HKEY key = nullptr;
    m_set = RegCreateKeyW(HKEY_CURRENT_USER, m_key.c_str(), &key) == ERROR_SUCCESS;
    for (size_t i = 0; m_set && i < dllNames.size(); ++i)
        m_set = !RegSetValueExW(key, dllNames[i].c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder),
                                sizeof(kOrder));
    RegCloseKey(key);
}

WineNativeFirst::~WineNativeFirst() { RegDeleteKeyW(HKEY_CURRENT_USER, m_key.c_str()); }

std::vector<std::wstring> FolderNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L".."))
            names.push_back(data.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return names;
}

PlantedFile::PlantedFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension)
{
    wchar_t name[64];
    swprintf(name, ARRAYSIZE(name), L"%ls%lu.%ls", stem, GetCurrentProcessId(), extension);
    m_name = name;
    m_path = folder + L"\\" + m_name;
    m_made = WriteFileBytes(m_path, "MZ");
}

PlantedFile::~PlantedFile()
{
    if (m_made)
        DeleteFileW(m_path.c_str());
}

ScratchKey::ScratchKey()
{
    m_subPath = L"Software\\CFRepairTest\\" + UniqueName(L"k");
    RegCreateKeyExW(HKEY_CURRENT_USER, m_subPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                    nullptr);
}

ScratchKey::~ScratchKey()
{
    if (m_key)
        RegCloseKey(m_key);
    SHDeleteKeyW(HKEY_CURRENT_USER, m_subPath.c_str());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

FILETIME ShiftedFileTime(const FILETIME& time, long long seconds)
{
    ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart += seconds * 10000000LL;
    return {value.LowPart, value.HighPart};
}

bool AgeFile(const std::wstring& path, int seconds)
{
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FILETIME written;
    BOOL ok = GetFileTime(h, nullptr, nullptr, &written);
    if (ok) {
        written = ShiftedFileTime(written, -seconds);
        ok = SetFileTime(h, nullptr, nullptr, &written);
    }
    CloseHandle(h);
    return ok != FALSE;
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string data;
    char block[65536];
    DWORD got = 0;
    while (ReadFile(h, block, sizeof(block), &got, nullptr) && got > 0)
        data.append(block, got);
    CloseHandle(h);
    return data;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WaitForFile(const std::wstring& path, DWORD ms)
{
    const DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(25);
    }
    return true;
}

void RemoveTree(const std::wstring& path)
{
    std::wstring dir = path;
    while (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(dir.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(dir + L"\\" + name);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
}

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring ToolPath(const wchar_t* exeName) { return ExeDir() + L"..\\tools-bin\\" + exeName; }

std::wstring ProductExe() { return ExeDir() + L"..\\bin\\CFRepair.exe"; }

Child::~Child()
{
    if (m_process)
        CloseHandle(m_process);
}

Child::Child(Child&& other) noexcept : m_process(other.m_process), m_id(other.m_id)
{
    other.m_process = nullptr;
    other.m_id = 0;
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        if (m_process)
            CloseHandle(m_process);
        m_process = other.m_process;
        m_id = other.m_id;
        other.m_process = nullptr;
        other.m_id = 0;
    }
    return *this;
}

bool Child::Start(const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_id = pi.dwProcessId;
    return true;
}

DWORD Child::Wait(DWORD ms)
{
    if (!m_process)
        return STILL_ACTIVE;
    if (WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process, &code);
    return code;
}

void Child::Kill()
{
    if (m_process) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
    }
}

namespace {

bool ReadNumber(const wchar_t* name, uint64_t& number)
{
    wchar_t text[32] = L"";
    const DWORD length = GetEnvironmentVariableW(name, text, ARRAYSIZE(text));
    if (length == 0 || length >= ARRAYSIZE(text))
        return false;
    wchar_t* end = nullptr;
    number = wcstoull(text, &end, 0);
    return end != text && *end == L'\0';
}

}  // namespace

FuzzRun::FuzzRun(const char* parser, uint64_t seed, int inputs) : m_parser(parser), m_seed(seed), m_inputs(inputs)
{
    uint64_t number = 0;
    wchar_t fresh[8] = L"";
    if (GetEnvironmentVariableW(L"CF_FUZZ_SEED", fresh, ARRAYSIZE(fresh)) == 5 && lstrcmpW(fresh, L"fresh") == 0) {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        m_seed = (static_cast<uint64_t>(now.QuadPart) ^ (GetCurrentProcessId() << 16)) & 0x7fffffff;
    } else if (ReadNumber(L"CF_FUZZ_SEED", number)) {
        m_seed = number;
    }
    if (ReadNumber(L"CF_FUZZ_INPUTS", number) && number > 0 && number <= INT_MAX)
        m_inputs = static_cast<int>(number);
    std::ostringstream line;
    line << "fuzz " << m_parser << ": " << m_inputs << " inputs from seed 0x" << std::hex << m_seed << "\n";
    std::fputs(line.str().c_str(), stdout);
    std::fflush(stdout);
}

std::string FuzzRun::At(int index) const
{
    std::ostringstream text;
    text << m_parser << ", input " << index << " of seed 0x" << std::hex << m_seed << std::dec
         << " (made again by CF_FUZZ_SEED=0x" << std::hex << m_seed << std::dec << " CF_FUZZ_INPUTS=" << m_inputs
         << ")";
    return text.str();
}

std::string Hex(const void* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Narrow(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace cftest
