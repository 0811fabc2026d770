#include "repair/system_files.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <strsafe.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "log/run_state.h"
#include "log/scan_log.h"
#include "repair/module.h"
#include "support/file_ops.h"
#include "support/examine.h"
#include "support/unique.h"

const wchar_t* const HijackNameTable[] = {
    L"dsound.dll",   L"ddraw.dll",    L"d3d8.dll",     L"rpcss.dll",    L"olepro32.dll", L"d3d8thk.dll",
    L"wsock32.dll",  L"comdlg32.dll", L"d3d9.dll",     L"lpk.dll",      L"kernel32.dll", L"ksuser.dll",
    L"urlmon.dll",   L"npptools.dll", L"rundll32.exe", L"explorer.exe", L"ntsd.exe",     L"comres.dll",
    L"imm32.dll",    L"midimap.dll",  L"dinput8.dll",  L"userenv.dll",  L"usp10.dll",    L"ctfmon.exe",
    L"msvcrt.dll",   L"dbghelp.dll",  L"iphlpapi.dll", L"iertutil.dll", L"conime.exe",
};
const size_t HijackNameCount = ARRAYSIZE(HijackNameTable);

namespace {

const wchar_t kSystemRootMarker[] = L"\\systemroot\\";
const wchar_t kServerFilesPath[] = L"/sysfiles2/files/";
const wchar_t kCtfmonName[] = L"ctfmon.exe";
// Not a known DLL on 7: loaded from the system folder by full path, never
// imported, so none beside the exe can stand in.
const wchar_t kVersionDll[] = L"version.dll";
const wchar_t kConimeName[] = L"conime.exe";
const wchar_t kTranslationQuery[] = L"\\VarFileInfo\\Translation";
const wchar_t kFileVersionQuery[] = L"\\StringFileInfo\\%04x%04x\\FileVersion";
const wchar_t kPlatformTagFormat[] = L"%02lu%02lu.%02lu%02lu.%04lu";
const wchar_t kFreshFileStem[] = L"~cf";
const wchar_t kFreshFileExtension[] = L".tmp";

// "缺失的输入法程序\t" and "修复文件\t" in code page 936.
const char kLogMissingInputMethod[] = "\xc8\xb1\xca\xa7\xb5\xc4\xca\xe4\xc8\xeb\xb7\xa8\xb3\xcc\xd0\xf2\t";
const char kLogRepairedFile[] = "\xd0\xde\xb8\xb4\xce\xc4\xbc\xfe\t";
const char kLogLineEnd[] = "\r\n";

// Clean system files are a few MiB at most; a larger answer is not one.
const size_t kLargestDownload = 64u << 20;
const ULONG kDownloadChunk = 64u << 10;

std::wstring GetOwnFolder()
{
    wchar_t path[MAX_PATH] = L"";
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash)
        return std::wstring();
    slash[1] = L'\0';
    return path;
}

// The digest ends the URL, so it must be 32 hexadecimal digits and nothing
// that could lead elsewhere on the server.
bool IsDigestText(const std::wstring& text)
{
    if (text.size() != 32)
        return false;
    for (wchar_t c : text) {
        bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (!hex)
            return false;
    }
    return true;
}

// Failures stay silent: without the flag the shell shows its own error box.
void StartProgram(const wchar_t* path)
{
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpFile = path;
    info.nShow = SW_SHOW;
    ShellExecuteExW(&info);
}

// A program only scheduled for replacement is not started: what runs now
// would be the old file.
void LogInputMethodStart(const std::wstring& target, bool replaced)
{
    for (const wchar_t* name : {kCtfmonName, kConimeName}) {
        if (StrStrIW(target.c_str(), name)) {
            AppendScanLogText(kLogMissingInputMethod);
            if (replaced)
                StartProgram(target.c_str());
        }
    }
}

enum class Placement { Failed, Replaced, AtNextBoot };

// Puts the fresh file in the target's place by renaming it over the target,
// so the target is never missing; a target in use is replaced at the next
// boot.
Placement PlaceFreshFile(const wchar_t* fresh, const wchar_t* target)
{
    const DWORD attributes = GetFileAttributesW(target);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A folder planted under the file's name; a link is removed, never followed.
            if (!RemoveDirectoryW(target) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                DeleteFileOrFolder(target);
        } else if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(target, attributes & ~FILE_ATTRIBUTE_READONLY);
        }
    }
    if (MoveFileExW(fresh, target, MOVEFILE_REPLACE_EXISTING))
        return Placement::Replaced;
    if (!MoveFileExW(fresh, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return Placement::Failed;
    RestartRequired = 1;
    return Placement::AtNextBoot;
}

struct StreamRelease {
    void operator()(IStream* stream) const { stream->Release(); }
};

// The download stays in memory: no name in the current folder (where anyone
// may have planted a link) is opened, and nothing reaches a disk before its
// digest is checked. False on a failed or oversized download.
bool DownloadToMemory(const std::wstring& url, std::vector<uint8_t>& data)
{
    static const auto OpenStream =
        GetSystemDllFunction<decltype(&URLOpenBlockingStreamW)>(L"urlmon.dll", "URLOpenBlockingStreamW");
    IStream* raw = nullptr;
    if (!OpenStream || FAILED(OpenStream(nullptr, url.c_str(), &raw, 0, nullptr)) || !raw)
        return false;
    std::unique_ptr<IStream, StreamRelease> stream(raw);
    data.clear();
    for (;;) {
        const size_t used = data.size();
        if (used >= kLargestDownload)
            return false;
        data.resize(used + kDownloadChunk);
        ULONG got = 0;
        const HRESULT result = stream->Read(data.data() + used, kDownloadChunk, &got);
        data.resize(used + got);
        if (FAILED(result))
            return false;
        if (result == S_FALSE || got == 0)
            return true;
    }
}

// The digest is checked on the bytes in hand, and they are what gets
// written, into a new file beside the target (its folder's permissions, its
// volume).
bool WriteVerifiedCopy(const std::vector<uint8_t>& data, const std::wstring& expected, const std::wstring& target,
                       std::wstring& fresh)
{
    if (data.empty())
        return false;
    uint8_t digest[16];
    ComputeMd5OfBuffer(digest, data.data(), data.size());
    std::wstring text;
    FormatDigestHex(digest, text);
    if (text != expected)
        return false;
    const std::wstring folder = target.substr(0, target.rfind(L'\\') + 1);
    return WriteNewFile(folder, kFreshFileStem, kFreshFileExtension, data.data(), static_cast<uint32_t>(data.size()),
                        fresh);
}

}  // namespace

void ComputeSystemPathKey(const std::wstring& targetPath, const std::wstring& windowsDirWithSlash,
                          uint8_t key[16])
{
    std::wstring normal;
    if (windowsDirWithSlash.empty()) {
        normal = targetPath;
    } else {
        size_t from = 0;
        for (;;) {
            size_t hit = targetPath.find(windowsDirWithSlash, from);
            if (hit == std::wstring::npos)
                break;
            normal.append(targetPath, from, hit - from);
            normal.append(kSystemRootMarker);
            from = hit + windowsDirWithSlash.size();
        }
        normal.append(targetPath, from, std::wstring::npos);
    }
    if (!normal.empty())
        CharLowerBuffW(&normal[0], static_cast<DWORD>(normal.size()));
    std::vector<uint8_t> bytes;
    bytes.reserve(normal.size() * 2);
    for (wchar_t c : normal) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    ComputeMd5OfBuffer(key, bytes.data(), bytes.size());
}

bool IsDigestDatabaseSorted(const uint8_t* database, size_t size)
{
    size_t count = size / kDigestRecordSize;
    for (size_t i = 1; i < count; ++i) {
        if (memcmp(database + (i - 1) * kDigestRecordSize, database + i * kDigestRecordSize, 16) > 0)
            return false;
    }
    return true;
}

bool FindDigestRecord(const uint8_t* database, size_t size, const uint8_t key[16], uint8_t content[16])
{
    if (!database)
        return false;
    size_t low = 0;
    size_t high = size / kDigestRecordSize;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (memcmp(database + middle * kDigestRecordSize, key, 16) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    if (low >= size / kDigestRecordSize)
        return false;
    const uint8_t* record = database + low * kDigestRecordSize;
    if (memcmp(record, key, 16) != 0)
        return false;
    memcpy(content, record + 16, 16);
    return true;
}

bool GetPlatformTag(std::wstring& tag)
{
    tag.clear();
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
        return false;
    unsigned long language = info.dwMajorVersion < 6 ? GetSystemDefaultUILanguage() : 0;
    wchar_t text[64];
    if (FAILED(StringCchPrintfW(text, ARRAYSIZE(text), kPlatformTagFormat,
                                static_cast<unsigned long>(info.dwMajorVersion),
                                static_cast<unsigned long>(info.dwMinorVersion),
                                static_cast<unsigned long>(info.wServicePackMajor), 0ul, language)))
        return false;
    tag = text;
    return true;
}

bool FormatDigestHex(const uint8_t digest[16], std::wstring& text)
{
    static const wchar_t kHex[] = L"0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0F]);
    }
    return true;
}

bool IsCtfmonRunning()
{
    HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE)
        return false;
    cf::UniqueHandle snapshot(raw);
    bool found = false;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        cf::UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
        if (!process)
            continue;
        wchar_t path[MAX_PATH] = L"";
        if (GetProcessImagePath(process.Get(), path) && StrStrIW(path, kCtfmonName))
            found = true;
    }
    return found;
}

bool GetFileVersionString(const wchar_t* path, std::wstring& version)
{
    static const auto infoSize =
        GetSystemDllFunction<decltype(&GetFileVersionInfoSizeW)>(kVersionDll, "GetFileVersionInfoSizeW");
    static const auto info = GetSystemDllFunction<decltype(&GetFileVersionInfoW)>(kVersionDll, "GetFileVersionInfoW");
    static const auto query = GetSystemDllFunction<decltype(&VerQueryValueW)>(kVersionDll, "VerQueryValueW");
    if (!infoSize || !info || !query)
        return false;
    DWORD handle = 0;
    DWORD size = infoSize(path, &handle);
    if (size == 0)
        return false;
    std::vector<uint8_t> block(size);
    if (!info(path, 0, size, block.data()))
        return false;
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* pairs = nullptr;
    UINT pairBytes = 0;
    if (!query(block.data(), kTranslationQuery, reinterpret_cast<void**>(&pairs), &pairBytes))
        pairBytes = 0;
    for (UINT i = 0; i < pairBytes / sizeof(Translation); ++i) {
        wchar_t subBlock[64];
        if (FAILED(StringCchPrintfW(subBlock, ARRAYSIZE(subBlock), kFileVersionQuery, pairs[i].language,
                                    pairs[i].codePage)))
            return false;
        wchar_t* text = nullptr;
        UINT length = 0;
        if (query(block.data(), subBlock, reinterpret_cast<void**>(&text), &length) && text)
            version.assign(text, wcsnlen(text, length));
        else
            version.clear();
        while (!version.empty() && iswspace(version.back()))
            version.pop_back();
    }
    return true;
}

void CKillSysFileFix::SetFileServerUrl(const wchar_t* url)
{
    m_fileServerUrl = url ? url : L"";
}

void CKillSysFileFix::SetDigestDatabasePath(const wchar_t* path)
{
    m_digestDatabasePath = path ? path : L"";
}

int CKillSysFileFix::BuildSystemFileList()
{
    std::wstring databasePath = m_digestDatabasePath;
    if (databasePath.empty())
        databasePath = GetOwnFolder() + kDefaultDigestDatabaseName;
    uint32_t size = 0;
    uint8_t* database = ReadWholeFile(databasePath.c_str(), &size);
    if (!database)
        return 0;
    if (!IsDigestDatabaseSorted(database, size)) {
        FreeFileBuffer(database);
        return 0;
    }
    std::wstring systemDir, windowsDir;
    GetSystemDirWithSlash(systemDir);
    GetWindowsDirWithSlash(windowsDir);
    for (size_t i = 0; i < HijackNameCount; ++i) {
        std::wstring target = systemDir + HijackNameTable[i];
        if (IsPeFile(target.c_str()))
            continue;
        uint8_t key[16];
        uint8_t content[16];
        ComputeSystemPathKey(target, windowsDir, key);
        if (!FindDigestRecord(database, size, key, content))
            continue;
        SystemFileEntry entry;
        entry.targetPath = target;
        FormatDigestHex(content, entry.expectedDigest);
        m_systemFiles.push_back(entry);
    }
    FreeFileBuffer(database);
    return m_systemFiles.empty() ? 0 : 1;
}

int CKillSysFileFix::RepairSystemFiles()
{
    std::wstring tag;
    GetPlatformTag(tag);
    std::wstring base = m_fileServerUrl.empty() ? std::wstring(kDefaultFileServerUrl) : m_fileServerUrl;
    while (!base.empty() && base.back() == L'/')
        base.pop_back();
    base += kServerFilesPath;

    for (const SystemFileEntry& entry : m_systemFiles) {
        if (!IsDigestText(entry.expectedDigest))
            continue;
        std::wstring url = base + tag + L"/" + entry.expectedDigest;
        std::vector<uint8_t> data;
        std::wstring fresh;
        if (!DownloadToMemory(url, data) || !WriteVerifiedCopy(data, entry.expectedDigest, entry.targetPath, fresh))
            continue;
        const Placement placed = PlaceFreshFile(fresh.c_str(), entry.targetPath.c_str());
        if (placed == Placement::Failed) {
            DeleteFileW(fresh.c_str());
            continue;
        }
        LogInputMethodStart(entry.targetPath, placed == Placement::Replaced);
        AppendScanLogText(kLogRepairedFile);
        AppendScanLogWide(entry.targetPath.c_str());
        AppendScanLogText(kLogLineEnd);
    }

    RemoveSearchPathHijacks();

    if (!IsCtfmonRunning()) {
        std::wstring ctfmon;
        GetSystemDirWithSlash(ctfmon);
        ctfmon += kCtfmonName;
        StartProgram(ctfmon.c_str());
    }
    return 0;
}
