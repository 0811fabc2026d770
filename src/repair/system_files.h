#pragma once
// System-file repair by verified download: the names it cares about, the
// digest database that says what a clean copy of each is, the server's
// platform tag, and small helpers around them.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Names of system files that are replaced from the server when damaged and
// that, planted in a program's folder, hijack its search path.
extern const wchar_t* const HijackNameTable[];
extern const size_t HijackNameCount;

// Digest database: 32-byte records (key MD5, content MD5), sorted by key.
const size_t kDigestRecordSize = 32;

// The MD5 of the target path with the Windows folder (with its backslash,
// matched case-sensitively) replaced by "\systemroot\", lower-cased, as
// UTF-16LE without a terminator.
void ComputeSystemPathKey(const std::wstring& targetPath, const std::wstring& windowsDirWithSlash,
                          uint8_t key[16]);

// Bisection over `size` bytes of records (a trailing part shorter than a
// record is ignored). On a hit copies the content digest and returns true.
// Keys in ascending byte order (equal neighbours allowed); bisection over
// anything else would miss records at random.
bool IsDigestDatabaseSorted(const uint8_t* database, size_t size);
bool FindDigestRecord(const uint8_t* database, size_t size, const uint8_t key[16], uint8_t content[16]);

bool GetPlatformTag(std::wstring& tag);
bool FormatDigestHex(const uint8_t digest[16], std::wstring& text);
bool IsCtfmonRunning();
bool GetFileVersionString(const wchar_t* path, std::wstring& version);

// Where a host's module looks unless told otherwise.
const wchar_t kDefaultFileServerUrl[] = L"http://sysfiles.morvex.com";
const wchar_t kDefaultDigestDatabaseName[] = L"sysfiles.db";  // beside the executable
