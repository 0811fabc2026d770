#include "log/scan_log.h"

#include "log/log_folder.h"
#include "support/file_ops.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string ScanLogBuffer;

namespace {

// Recursive, never deleted: a worker left hanging may still append at exit.
struct BufferLock {
    BufferLock() { ::InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
} g_bufferLock;

const wchar_t kLogFolderName[] = L"taveloTools\\";
const wchar_t kLogFileName[] = L"Tools.log";
const wchar_t kOpenVerb[] = L"open";
const UINT kLogCodePage = 936;
const char kHeaderFormat[] = "StartTime:%i-%i-%i %i:%i:%i\r\n\r\n";
// "未发现异常" in code page 936.
const char kNothingFound[] = "\xce\xb4\xb7\xa2\xcf\xd6\xd2\xec\xb3\xa3";
const char kSeparator[] =
    "\r\n=====================================================================\r\n\r\n";

void AppendScanLogFormatV(const char* format, va_list args)
{
    va_list probe;
    va_copy(probe, args);
    int needed = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (needed <= 0)
        return;
    std::vector<char> text(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    ScanLogLock lock;
    ScanLogBuffer.append(text.data(), static_cast<size_t>(needed));
}

std::wstring CommonAppDataFolder()
{
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    folder[MAX_PATH - 1] = L'\0';
    return folder;
}

}  // namespace

ScanLogLock::ScanLogLock() { ::EnterCriticalSection(&g_bufferLock.section); }
ScanLogLock::~ScanLogLock() { ::LeaveCriticalSection(&g_bufferLock.section); }

void ResetScanLog()
{
    ScanLogLock lock;
    ScanLogBuffer.clear();
}

void AppendScanLog(const char* bytes, size_t count)
{
    if (!bytes || count == 0)
        return;
    ScanLogLock lock;
    const char* begin = ScanLogBuffer.data();
    if (bytes >= begin && bytes < begin + ScanLogBuffer.size()) {
        // Growing may move the buffer the bytes come from: copy by offset.
        size_t offset = static_cast<size_t>(bytes - begin);
        ScanLogBuffer.reserve(ScanLogBuffer.size() + count);
        ScanLogBuffer.append(ScanLogBuffer.data() + offset, count);
        return;
    }
    ScanLogBuffer.append(bytes, count);
}

void AppendScanLogText(const char* text)
{
    if (text)
        AppendScanLog(text, std::char_traits<char>::length(text));
}

void AppendScanLogFormat(const char* format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    AppendScanLogFormatV(format, args);
    va_end(args);
}

void AppendScanLogLine(const char* label, size_t length, const wchar_t* path)
{
    static const char kLineEnd[] = "\r\n";
    ScanLogLock whole;
    AppendScanLog(label, length);
    AppendScanLogWide(path);
    AppendScanLog(kLineEnd, sizeof(kLineEnd) - 1);
}

void AppendScanLogWide(const wchar_t* text)
{
    if (!text || !*text)
        return;
    // The labels are code page 936 whatever the user's formats say; only a
    // system without that code page gets its own.
    const UINT codePage = ::IsValidCodePage(kLogCodePage) ? kLogCodePage : CP_ACP;
    int units = static_cast<int>(std::char_traits<wchar_t>::length(text));
    // Four bytes a unit covers every ANSI code page; ask only if it does not.
    std::vector<char> narrow(static_cast<size_t>(units) * 4);
    int bytes = ::WideCharToMultiByte(codePage, 0, text, units, narrow.data(), static_cast<int>(narrow.size()),
                                      nullptr, nullptr);
    if (bytes == 0 && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        bytes = ::WideCharToMultiByte(codePage, 0, text, units, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0)
            return;
        narrow.resize(static_cast<size_t>(bytes));
        bytes = ::WideCharToMultiByte(codePage, 0, text, units, narrow.data(), bytes, nullptr, nullptr);
    }
    if (bytes > 0)
        AppendScanLog(narrow.data(), static_cast<size_t>(bytes));
}

void AppendScanLogHeader(const SYSTEMTIME& time)
{
    AppendScanLogFormat(kHeaderFormat, time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
}

void AppendScanLogNothingFound() { AppendScanLog(kNothingFound, sizeof(kNothingFound) - 1); }

void AppendScanLogSeparator() { AppendScanLog(kSeparator, sizeof(kSeparator) - 1); }

size_t BeginRunRecord()
{
    ResetScanLog();
    SYSTEMTIME now;
    GetLocalTime(&now);
    AppendScanLogHeader(now);
    return ScanLogBuffer.size();
}

bool FinishRunRecord(size_t headerLength)
{
    if (ScanLogBuffer.size() == headerLength)
        AppendScanLogNothingFound();
    AppendScanLogSeparator();
    return SaveScanLog();
}

std::wstring GetScanLogFolder(const std::wstring& appDataFolder)
{
    if (appDataFolder.empty())
        return {};
    std::wstring folder = appDataFolder;
    if (folder.back() != L'\\')
        folder += L'\\';
    return folder + kLogFolderName;
}

std::wstring GetScanLogPath()
{
    std::wstring folder = GetScanLogFolder(CommonAppDataFolder());
    return folder.empty() ? folder : folder + kLogFileName;
}

bool SaveScanLogIn(const std::wstring& appDataFolder)
{
    // Without the folder the path would start at the root of the current
    // drive; the record is dropped rather than written there.
    std::wstring folder = GetScanLogFolder(appDataFolder);
    if (folder.empty())
        return false;
    // Standard users may create in the application-data folder but not
    // replace it: what they may have planted is the log folder and the log.
    const std::wstring parent = folder.substr(0, folder.size() - (ARRAYSIZE(kLogFolderName) - 1));
    CreateDirectoryPath(parent.c_str());
    if (PathCrossesReparsePoint(parent))
        return false;
    cf::UniqueFile held = HoldTrustedLogFolder(folder.substr(0, folder.size() - 1));
    if (!held)
        return false;
    std::wstring path = folder + kLogFileName;
    return AppendToLogFile(path.c_str(), ScanLogBuffer.data(), static_cast<uint32_t>(ScanLogBuffer.size()));
}

bool SaveScanLog() { return SaveScanLogIn(CommonAppDataFolder()); }

void OpenScanLog()
{
    std::wstring path = GetScanLogPath();
    if (!path.empty())
        ::ShellExecuteW(nullptr, kOpenVerb, path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
