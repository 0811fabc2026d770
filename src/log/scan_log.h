#pragma once
// The scan log: one run's record is collected in ScanLogBuffer (text in the
// writing thread's ANSI code page) and appended to "Tools.log" in the
// all-users application-data folder when the run ends.

#include <string>

// Process-wide; written only by the thread that runs a repair.
extern std::string ScanLogBuffer;

void ResetScanLog();
// Appends exactly `count` bytes; they may lie inside the buffer itself.
void AppendScanLog(const char* bytes, size_t count);
void AppendScanLogText(const char* text);  // null appends nothing
void AppendScanLogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A wide text converted to the calling thread's ANSI code page.
void AppendScanLogWide(const wchar_t* text);

std::wstring GetScanLogPath();  // empty when the application-data folder is unknown
bool SaveScanLog();
void OpenScanLog();
