#pragma once
// The scan log: one run's record is collected in ScanLogBuffer (text in code
// page 936) and appended to "Tools.log" in the
// all-users application-data folder when the run ends.

#include <windows.h>

#include <string>

// Process-wide; written by the thread that runs a repair, and by the window
// that saves the record of a run left hanging. Every append takes the lock.
extern std::string ScanLogBuffer;

// Held for a line made of several appends, and to read or finish a record
// another thread may still append to. Recursive.
class ScanLogLock {
public:
    ScanLogLock();
    ~ScanLogLock();
    ScanLogLock(const ScanLogLock&) = delete;
    ScanLogLock& operator=(const ScanLogLock&) = delete;
};

void ResetScanLog();
// Appends exactly `count` bytes; they may lie inside the buffer itself.
void AppendScanLog(const char* bytes, size_t count);
void AppendScanLogText(const char* text);  // null appends nothing
void AppendScanLogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A wide text converted to code page 936, the labels' code page.
void AppendScanLogWide(const wchar_t* text);
// One line: a label, a path and the line's end, whole in the buffer even
// when a record is saved meanwhile.
void AppendScanLogLine(const char* label, size_t length, const wchar_t* path);

// The pieces of a run record, so every writer spells them alike.
void AppendScanLogHeader(const SYSTEMTIME& localTime);  // "StartTime:..." and a blank line
void AppendScanLogNothingFound();                       // the no-findings text, no line end
void AppendScanLogSeparator();                          // the 75-byte run separator
// Empties the buffer and starts a run's record at the local time; returns
// the header's length, which FinishRunRecord compares against.
size_t BeginRunRecord();
// "Nothing found" when nothing followed the header, the separator, then the
// save: its result.
bool FinishRunRecord(size_t headerLength);

std::wstring GetScanLogPath();  // empty when the application-data folder is unknown
// "<appDataFolder>\taveloTools\", or empty for an empty folder.
std::wstring GetScanLogFolder(const std::wstring& appDataFolder);
// Appends the buffer to Tools.log under the given application-data folder;
// false, and nothing written, when that folder is empty, reached through a
// link, or the log folder or file cannot be made plain ones (the folder one
// that only administrators can change: HoldTrustedLogFolder).
bool SaveScanLogIn(const std::wstring& appDataFolder);
bool SaveScanLog();  // under the all-users application-data folder
void OpenScanLog();
