#include "support/file_ops.h"

#include "support/md5.h"
#include "support/unique.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const wchar_t kBackupSuffix[] = L".bak";
const wchar_t kAllEntries[] = L"*.*";
const wchar_t kDriveSeparator[] = L":\\";
const wchar_t kSystemRootToken[] = L"%SystemRoot%\\";
const wchar_t kDot[] = L".";
const wchar_t kDotDot[] = L"..";

const DWORD kLogSizeLimit = 0x100000;
const uint32_t kTailBytes = 10;
const FILEOP_FLAGS kSilentShellFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
const wchar_t kNewFileNameFormat[] = L"%ls%08lx%ls";
const int kNewFileAttempts = 64;
const wchar_t kLogFileStem[] = L"~log";
const wchar_t kLogFileExtension[] = L".tmp";
const wchar_t kNtdll[] = L"ntdll.dll";
const int kFileDispositionInformation = 13;

void* HeapAllocZeroed(size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

bool EndsWithBackslash(const std::wstring& text) { return !text.empty() && text.back() == L'\\'; }

// An existing plain file opened for writing, or a new one when the name is
// free: a link or a multiply linked file planted under the name is never
// written through.
cf::UniqueFile OpenOrCreatePlainFile(const wchar_t* path, DWORD share)
{
    cf::UniqueFile file = OpenPlainFile(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, share);
    if (file || ::GetLastError() != ERROR_FILE_NOT_FOUND)
        return file;
    return cf::UniqueFile(
        ::CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, const void* data, uint32_t length)
{
    DWORD written = 0;
    return ::WriteFile(file, data, length, &written, nullptr) && written == length;
}

// Writes a whole file in place of any earlier one, on a handle checked as above.
bool RewritePlainFile(const wchar_t* path, const void* data, uint32_t length, const void* tail, uint32_t tailLength)
{
    cf::UniqueFile file = OpenOrCreatePlainFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    return file && ::SetEndOfFile(file.Get()) && WriteAll(file.Get(), data, length) &&
           WriteAll(file.Get(), tail, tailLength);
}

// The appenders report whether the file could be opened; a short write is
// left for the reader to notice.
bool AppendAtEnd(const wchar_t* path, const void* data, uint32_t length, bool flush)
{
    cf::UniqueFile file = OpenOrCreatePlainFile(path, FILE_SHARE_WRITE);
    if (!file)
        return false;
    ::SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    ::WriteFile(file.Get(), data, length, &written, nullptr);
    if (flush)
        ::FlushFileBuffers(file.Get());
    return true;
}

uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// A buffer of ReadWholeFile whose last 4 bytes are the checksum of the rest.
uint8_t* LoadVerified(const wchar_t* path, uint32_t* length)
{
    uint32_t size = 0;
    uint8_t* buffer = ReadWholeFile(path, &size);
    if (buffer && size > 3) {
        uint32_t payload = size - 4;
        if (ComputeXorChecksum(buffer, payload) == ReadLe32(buffer + payload)) {
            std::memset(buffer + payload, 0, 4);
            if (length)
                *length = payload;
            return buffer;
        }
    }
    if (buffer)
        FreeFileBuffer(buffer);
    return nullptr;
}

// Copies a path for SHFileOperationW: the list must end in two zero
// characters, and the shell wants folders without their trailing backslash.
wchar_t* ShellPathList(const wchar_t* path)
{
    size_t length = std::wcslen(path);
    auto* list = static_cast<wchar_t*>(HeapAllocZeroed((length + 10) * sizeof(wchar_t)));
    if (!list)
        return nullptr;
    std::memcpy(list, path, length * sizeof(wchar_t));
    if (length > 0 && list[length - 1] == L'\\')
        list[length - 1] = L'\0';
    return list;
}

bool SilentShellOperation(UINT function, const wchar_t* from, const wchar_t* to)
{
    if (!from)
        return false;
    cf::UniqueHeap fromList(ShellPathList(from));
    if (!fromList)
        return false;
    cf::UniqueHeap toList;
    if (to) {
        toList.Reset(ShellPathList(to));
        if (!toList)
            return false;
    }
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = function;
    operation.pFrom = static_cast<const wchar_t*>(fromList.Get());
    operation.pTo = static_cast<const wchar_t*>(toList.Get());
    operation.fFlags = kSilentShellFlags;
    return ::SHFileOperationW(&operation) == 0;
}

// Shared by the three *DirWithSlash: `query` reports the needed length
// (terminator included) when the buffer is too small.
template <typename Query>
bool DirWithSlash(std::wstring& dir, Query query)
{
    UINT needed = query(nullptr, 0);
    for (int attempt = 0; needed != 0 && attempt < 4; ++attempt) {
        UINT capacity = needed + 10;
        cf::UniqueHeap buffer(HeapAllocZeroed(capacity * sizeof(wchar_t)));
        if (!buffer)
            return false;
        auto* text = static_cast<wchar_t*>(buffer.Get());
        UINT got = query(text, capacity);
        if (got == 0)
            return false;
        if (got < capacity) {
            std::wstring result(text, got);
            if (!EndsWithBackslash(result))
                result += L'\\';
            dir = result;
            return true;
        }
        // The folder grew between the two calls (the current directory can).
        needed = got;
    }
    return false;
}

bool OpensAt(const std::wstring& folder, const wchar_t* name) { return FileCanBeOpened((folder + name).c_str()); }

// The size rule and the append, on the handle that was checked: never again
// by path. False when the record is not in the file.
bool AppendLogRecord(HANDLE file, const void* data, uint32_t length)
{
    DWORD high = 0;
    DWORD low = ::GetFileSize(file, &high);
    LONG endHigh = 0;
    DWORD end;
    // A file past 4 GiB counts as too large whatever its low word says.
    if (low > kLogSizeLimit || high != 0) {
        end = ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        ::SetEndOfFile(file);
    } else {
        // Where the end is now: another copy of the program may have appended.
        end = ::SetFilePointer(file, 0, &endHigh, FILE_END);
    }
    if (end == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR)
        return false;
    if (WriteAll(file, data, length))
        return true;
    // A record cut short (a full disk) is taken back: the log holds whole
    // records only.
    ::SetFilePointer(file, static_cast<LONG>(end), &endHigh, FILE_BEGIN);
    ::SetEndOfFile(file);
    return false;
}

// A new log holds the record whole from its first moment: it is written
// under a fresh name and renamed into place, never replacing a name that
// appeared meanwhile (`taken` then says so).
bool CreateLogFile(const wchar_t* path, const void* data, uint32_t length, bool& taken)
{
    const std::wstring target = path;
    const std::wstring folder = target.substr(0, target.rfind(L'\\') + 1);
    std::wstring fresh;
    if (!WriteNewFile(folder, kLogFileStem, kLogFileExtension, data, length, fresh))
        return false;
    if (::MoveFileExW(fresh.c_str(), path, 0))
        return true;
    const DWORD error = ::GetLastError();
    ::DeleteFileW(fresh.c_str());
    taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    return false;
}

// Calls `visit` with every folder from below the drive root down to `path`
// itself (or its folder, when `path` ends in a backslash) until it returns
// false; false when the path has no drive root or a visit said no.
template <typename Visit>
bool ForEachFolderBelowRoot(const std::wstring& path, Visit visit)
{
    const size_t start = path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    size_t end = path.find(L'\\', start);  // the drive root's backslash
    if (end == std::wstring::npos)
        return false;
    do {
        end = path.find(L'\\', end + 1);
        if (!visit(path.substr(0, end)))
            return false;
    } while (end != std::wstring::npos && end + 1 < path.size());
    return true;
}

bool IsRealFolder(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

struct HandleFacts {
    DWORD attributes = 0;
    DWORD links = 0;
    ULONGLONG size = 0;
};

// What the link checks need to know of an open file, asked of the file
// alone: GetFileInformationByHandle also asks for the volume's serial
// number, which Wine answers through its mount manager, a round trip to
// another process on every check. The attributes need FILE_READ_ATTRIBUTES.
bool QueryHandleFacts(HANDLE file, HandleFacts& facts)
{
    using QueryInformationFile = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);
    static const auto query = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(kNtdll), "NtQueryInformationFile")));
    IO_STATUS_BLOCK status;
    FILE_STANDARD_INFORMATION standard;
    FILE_BASIC_INFORMATION basic;
    if (query && query(file, &status, &standard, sizeof(standard), FileStandardInformation) >= 0 &&
        query(file, &status, &basic, sizeof(basic), FileBasicInformation) >= 0) {
        facts.attributes = basic.FileAttributes;
        facts.links = standard.NumberOfLinks;
        facts.size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return false;
    facts.attributes = info.dwFileAttributes;
    facts.links = info.nNumberOfLinks;
    facts.size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

// OpenPlainFile, keeping what the check saw.
cf::UniqueFile OpenCheckedFile(const wchar_t* path, DWORD access, DWORD share, HandleFacts& facts)
{
    cf::UniqueFile file(::CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return file;
    if (!QueryHandleFacts(file.Get(), facts) ||
        (facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || facts.links != 1) {
        file.Reset();
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return file;
}

// Reading the folder's list is what makes the open count against a rename or
// removal, which need delete access this share mode denies. The handle shows
// the link itself on Windows; Wine shows links only by name, which is asked
// once the name is held.
cf::UniqueFile HoldFolder(const std::wstring& folder)
{
    cf::UniqueFile held(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    HandleFacts facts;
    if (!held || !QueryHandleFacts(held.Get(), facts) || !IsRealFolder(facts.attributes) ||
        !IsRealFolder(::GetFileAttributesW(folder.c_str())))
        return cf::UniqueFile();
    return held;
}

}  // namespace

int GetPathKind(const wchar_t* path)
{
    DWORD attributes;
    {
        cf::ScopedErrorMode quiet(cf::kQuietErrorMode);
        attributes = ::GetFileAttributesW(path);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathAbsent;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathDirectory : PathFile;
}

bool FileCanBeOpened(const wchar_t* path)
{
    cf::UniqueFile file(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.IsValid();
}

uint32_t GetFileSize32(const wchar_t* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return 0;
    return data.nFileSizeHigh != 0 ? 0xFFFFFFFFu : data.nFileSizeLow;
}

uint8_t* ReadWholeFile(const wchar_t* path, uint32_t* size)
{
    cf::UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    if (!file)
        return nullptr;
    DWORD fileSize = ::GetFileSize(file.Get(), nullptr);
    if (size)
        *size = fileSize;
    // Near 4 GiB the block size would wrap and the read overrun it.
    if (fileSize == 0 || fileSize > MAXDWORD - kTailBytes)
        return nullptr;
    auto* buffer = static_cast<uint8_t*>(HeapAllocZeroed(static_cast<size_t>(fileSize) + kTailBytes));
    if (!buffer)
        return nullptr;
    DWORD got = 0;
    if (!::ReadFile(file.Get(), buffer, fileSize, &got, nullptr)) {
        FreeFileBuffer(buffer);
        return nullptr;
    }
    // A file cut short since its size was taken: report what was read.
    if (got < fileSize && size)
        *size = got;
    return buffer;
}

uint8_t* ReadWholeFile(const wchar_t* path) { return ReadWholeFile(path, nullptr); }

bool FreeFileBuffer(void* buffer)
{
    if (buffer)
        ::HeapFree(::GetProcessHeap(), 0, buffer);
    return true;
}

bool AppendToFile(const wchar_t* path, const void* data, uint32_t length)
{
    return AppendAtEnd(path, data, length, false);
}

bool AppendToFileFlushed(const wchar_t* path, const void* data, uint32_t length)
{
    return AppendAtEnd(path, data, length, true);
}

bool AppendToLogFile(const wchar_t* path, const void* data, uint32_t length)
{
    // A second pass only when another copy of the program made the log
    // between our two looks.
    for (int attempt = 0; attempt < 2; ++attempt) {
        cf::UniqueFile file = OpenPlainFile(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_WRITE);
        if (file)
            return AppendLogRecord(file.Get(), data, length);
        const DWORD error = ::GetLastError();
        if (error == ERROR_CANT_ACCESS_FILE) {
            if (!RemoveLinkOnly(path))
                return false;
        } else if (error != ERROR_FILE_NOT_FOUND) {
            return false;
        }
        bool taken = false;
        if (CreateLogFile(path, data, length, taken))
            return true;
        if (!taken)
            return false;
    }
    return false;
}

uint32_t ComputeXorChecksum(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    size_t words = length / 4;
    for (size_t i = 0; i < words; ++i)
        sum ^= ReadLe32(bytes + i * 4);
    for (size_t i = words * 4; i < length; ++i)
        sum ^= bytes[i];
    return sum;
}

bool SaveFileWithChecksum(const wchar_t* path, const void* data, uint32_t length)
{
    uint32_t sum = ComputeXorChecksum(data, length);
    const uint8_t trailer[4] = {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8),
                                static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 24)};
    // A torn main file must not reach the backup: the backup is what the
    // next load falls back to.
    if (!RewritePlainFile(path, data, length, trailer, sizeof(trailer)))
        return false;
    std::wstring backup = std::wstring(path) + kBackupSuffix;
    RewritePlainFile(backup.c_str(), data, length, trailer, sizeof(trailer));
    return true;
}

cf::UniqueFile CreateNewFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension,
                             std::wstring& path)
{
    static LONG counter = 0;
    const DWORD seed = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < kNewFileAttempts; ++attempt) {
        wchar_t name[MAX_PATH];
        if (FAILED(::StringCchPrintfW(name, ARRAYSIZE(name), kNewFileNameFormat, stem,
                                      static_cast<unsigned long>(seed + ::InterlockedIncrement(&counter)), extension)))
            return cf::UniqueFile();
        const std::wstring candidate = folder + name;
        // CREATE_NEW fails on any existing name, a link included, so nothing
        // planted there is ever opened or written through.
        cf::UniqueFile file(
            ::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            path = candidate;
            return file;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    return cf::UniqueFile();
}

size_t NewFileNameLength(const wchar_t* stem, const wchar_t* extension)
{
    // Every 32-bit value takes the same eight digits as 0.
    wchar_t name[MAX_PATH];
    if (FAILED(::StringCchPrintfW(name, ARRAYSIZE(name), kNewFileNameFormat, stem, 0ul, extension)))
        return MAX_PATH;
    return wcslen(name);
}

bool WriteNewFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension, const void* data,
                  uint32_t length, std::wstring& path)
{
    std::wstring candidate;
    cf::UniqueFile file = CreateNewFile(folder, stem, extension, candidate);
    if (!file)
        return false;
    const bool complete = WriteAll(file.Get(), data, length) && ::FlushFileBuffers(file.Get());
    file.Reset();
    if (!complete) {
        ::DeleteFileW(candidate.c_str());
        return false;
    }
    path = candidate;
    return true;
}

bool PathCrossesReparsePoint(const std::wstring& path)
{
    return !ForEachFolderBelowRoot(path, [](const std::wstring& part) {
        const DWORD attributes = ::GetFileAttributesW(part.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    });
}

bool HoldFolderChain(const std::wstring& path, std::vector<cf::UniqueFile>& held)
{
    const std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
    std::vector<cf::UniqueFile> chain;
    if (!ForEachFolderBelowRoot(folder, [&chain](const std::wstring& part) {
            chain.push_back(HoldFolder(part));
            return chain.back().IsValid();
        }))
        return false;
    held = std::move(chain);
    return true;
}

bool RemoveLinkOnly(const wchar_t* path)
{
    using SetInformationFile = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    // In ntdll from the first Windows on; named here, as XP's kernel32 has
    // no call that deletes through a handle.
    static const auto setInformation = reinterpret_cast<SetInformationFile>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(kNtdll), "NtSetInformationFile")));
    cf::UniqueFile name(::CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    HandleFacts facts;
    if (!setInformation || !name || !QueryHandleFacts(name.Get(), facts))
        return false;
    const bool link = (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                      (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY) && facts.links > 1);
    if (!link)
        return false;
    IO_STATUS_BLOCK status = {};
    BOOLEAN remove = TRUE;
    return setInformation(name.Get(), &status, &remove, sizeof(remove), kFileDispositionInformation) >= 0;
}

cf::UniqueFile HoldRealFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security)
{
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        ::CreateDirectoryW(folder.c_str(), security);
    else if (!IsRealFolder(attributes) && RemoveLinkOnly(folder.c_str()))
        ::CreateDirectoryW(folder.c_str(), security);
    return HoldFolder(folder);
}

cf::UniqueFile OpenPlainFile(const wchar_t* path, DWORD access, DWORD share)
{
    HandleFacts facts;
    return OpenCheckedFile(path, access, share, facts);
}

PathState ExaminePath(const std::wstring& path, ULONGLONG* size)
{
    HandleFacts facts;
    cf::UniqueFile file = OpenCheckedFile(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, facts);
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathMissing : PathRefused;
    }
    if (size)
        *size = facts.size;
    return PathPlain;
}

uint8_t* LoadFileWithChecksum(const wchar_t* path, uint32_t* length)
{
    if (uint8_t* buffer = LoadVerified(path, length))
        return buffer;
    std::wstring backup = std::wstring(path) + kBackupSuffix;
    return LoadVerified(backup.c_str(), length);
}

bool ReadIniString(const wchar_t* file, const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    if (!file)
        return false;
    std::wstring fullName;
    if (file[0] == L'\0' || file[1] != L':') {
        std::wstring current;
        if (!GetCurrentDirWithSlash(current))
            return false;
        fullName = current + file;
    } else {
        fullName = file;
    }

    DWORD size = 100;
    for (;;) {
        cf::UniqueHeap buffer(HeapAllocZeroed(static_cast<size_t>(size) * sizeof(wchar_t)));
        if (!buffer)
            return false;
        auto* text = static_cast<wchar_t*>(buffer.Get());
        DWORD got = ::GetPrivateProfileStringW(section, key, L"", text, size, fullName.c_str());
        if (static_cast<uint64_t>(got) + 3 >= size) {
            if (size > MAXDWORD / 2)
                return false;
            size *= 2;
            continue;
        }
        if (got == 0)
            return false;
        value.assign(text, got);
        return true;
    }
}

bool CreateDirectoryPath(const wchar_t* path)
{
    if (!path)
        return true;
    std::wstring prefix;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' && !prefix.empty())
            ::CreateDirectoryW(prefix.c_str(), nullptr);
        prefix += *p;
    }
    return true;
}

bool DeleteFileOrFolder(const wchar_t* path) { return SilentShellOperation(FO_DELETE, path, nullptr); }

bool CopyFileOrFolder(const wchar_t* from, const wchar_t* to)
{
    return to && SilentShellOperation(FO_COPY, from, to);
}

bool MoveFileOrFolder(const wchar_t* from, const wchar_t* to)
{
    return to && SilentShellOperation(FO_MOVE, from, to);
}

bool GetCurrentDirWithSlash(std::wstring& dir)
{
    return DirWithSlash(dir, [](wchar_t* buffer, UINT size) {
        return static_cast<UINT>(::GetCurrentDirectoryW(size, buffer));
    });
}

bool GetSystemDirWithSlash(std::wstring& dir)
{
    return DirWithSlash(dir, [](wchar_t* buffer, UINT size) { return ::GetSystemDirectoryW(buffer, size); });
}

bool GetWindowsDirWithSlash(std::wstring& dir)
{
    return DirWithSlash(dir, [](wchar_t* buffer, UINT size) { return ::GetWindowsDirectoryW(buffer, size); });
}

FARPROC GetSystemDllProc(const wchar_t* dll, const char* name)
{
    std::wstring path;
    if (!dll || !*dll || wcschr(dll, L'\\') || wcschr(dll, L'/') || !GetSystemDirWithSlash(path))
        return nullptr;
    path += dll;
    // Our own reference, never released: callers keep the address for good,
    // so whoever else loaded the DLL must not be able to unload it under us.
    // The altered search path takes its own dependencies from the system
    // folder too, not from the program's folder.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module ? GetProcAddress(module, name) : nullptr;
}

void EnumerateFilesRecursive(const wchar_t* root, void* context, EnumerateFilesCallback callback)
{
    if (!root || !*root || !callback)
        return;
    std::vector<std::wstring> pending;
    pending.emplace_back(root);
    while (!pending.empty()) {
        std::wstring folder = std::move(pending.back());
        pending.pop_back();
        if (!EndsWithBackslash(folder))
            folder += L'\\';
        WIN32_FIND_DATAW entry;
        cf::UniqueFind search(::FindFirstFileW((folder + kAllEntries).c_str(), &entry));
        if (!search)
            continue;
        do {
            if (std::wcscmp(entry.cFileName, kDot) == 0 || std::wcscmp(entry.cFileName, kDotDot) == 0)
                continue;
            std::wstring full = folder + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(std::move(full));
            } else if (callback(full.c_str(), context) == 0) {
                return;
            }
        } while (::FindNextFileW(search.Get(), &entry));
    }
}

bool LocateSystemFile(const wchar_t* name, const wchar_t* baseFolder)
{
    if (!name)
        return false;
    if (::StrStrIW(name, kDriveSeparator))
        return FileCanBeOpened(name);
    if (::StrStrIW(name, kSystemRootToken)) {
        std::wstring windows;
        if (!GetWindowsDirWithSlash(windows))
            return false;
        // The name holds the token, so it is at least as long as the token.
        return OpensAt(windows, name + (ARRAYSIZE(kSystemRootToken) - 1));
    }

    std::wstring first;
    if (baseFolder)
        first = baseFolder;
    else if (!GetCurrentDirWithSlash(first))
        first.clear();
    if (!first.empty() && OpensAt(first, name))
        return true;
    std::wstring windows;
    if (GetWindowsDirWithSlash(windows) && OpensAt(windows, name))
        return true;
    std::wstring system;
    return GetSystemDirWithSlash(system) && OpensAt(system, name);
}

bool IsKnownTempLocation(const wchar_t* path)
{
    static const std::vector<std::wstring> known = [] {
        std::vector<std::wstring> folders;
        wchar_t buffer[MAX_PATH + 1] = {};
        if (::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_INTERNET_CACHE, FALSE))
            folders.emplace_back(buffer, ::wcsnlen(buffer, MAX_PATH));
        std::memset(buffer, 0, sizeof(buffer));
        if (::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROFILE, FALSE))
            folders.emplace_back(buffer, ::wcsnlen(buffer, MAX_PATH));
        std::memset(buffer, 0, sizeof(buffer));
        DWORD got = ::GetTempPathW(MAX_PATH, buffer);
        if (got != 0 && got < MAX_PATH)
            folders.emplace_back(buffer, got);
        return folders;
    }();
    if (!path)
        return false;
    for (const std::wstring& folder : known) {
        if (::lstrcmpiW(folder.c_str(), path) == 0)
            return true;
    }
    return false;
}

bool ComputeMd5OfFile(uint8_t digest[16], const wchar_t* path)
{
    cf::UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    if (!file)
        return false;
    Md5Context context;
    Md5Init(&context);
    uint8_t block[1024];
    for (;;) {
        DWORD got = 0;
        // A failed read mid-file would otherwise pass off the digest of a
        // prefix as the file's.
        if (!::ReadFile(file.Get(), block, sizeof(block), &got, nullptr))
            return false;
        if (got == 0)
            break;
        Md5Update(&context, block, got);
    }
    Md5Final(&context, digest);
    return true;
}

namespace {

template <typename Char>
Char* AllocText(size_t units)
{
    return static_cast<Char*>(HeapAllocZeroed(units * sizeof(Char)));
}

wchar_t* NarrowToWide(UINT codePage, const char* text)
{
    if (!text)
        return nullptr;
    int units = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (units <= 0)
        return nullptr;
    wchar_t* wide = AllocText<wchar_t>(static_cast<size_t>(units) + 1);
    if (wide)
        ::MultiByteToWideChar(codePage, 0, text, -1, wide, units);
    return wide;
}

char* WideToNarrow(UINT codePage, const wchar_t* text, size_t minimumSize)
{
    if (!text)
        return nullptr;
    int bytes = ::WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return nullptr;
    size_t capacity = static_cast<size_t>(bytes) > minimumSize ? static_cast<size_t>(bytes) : minimumSize;
    char* narrow = AllocText<char>(capacity + 1);
    if (narrow)
        ::WideCharToMultiByte(codePage, 0, text, -1, narrow, bytes, nullptr, nullptr);
    return narrow;
}

char* NarrowToNarrow(UINT to, const char* text)
{
    wchar_t* wide = NarrowToWide(CP_ACP, text);
    if (!wide)
        return nullptr;
    char* result = WideToNarrow(to, wide, 0);
    FreeText(wide);
    return result;
}

}  // namespace

wchar_t* AnsiToWide(const char* text) { return NarrowToWide(CP_ACP, text); }

char* WideToAnsi(const wchar_t* text, size_t minimumSize) { return WideToNarrow(CP_ACP, text, minimumSize); }

char* WideToUtf8(const wchar_t* text) { return WideToNarrow(CP_UTF8, text, 0); }

char* AnsiToUtf8(const char* text) { return NarrowToNarrow(CP_UTF8, text); }

char* AnsiRoundTrip(const char* text) { return NarrowToNarrow(CP_ACP, text); }

void FreeText(void* text)
{
    if (text)
        ::HeapFree(::GetProcessHeap(), 0, text);
}
