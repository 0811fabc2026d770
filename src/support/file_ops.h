#pragma once
// File primitives: probes, whole-file reads, appends, the checksummed save,
// folders, silent shell operations, the recursive walk, profile strings,
// MD5 and text conversions. None shows UI or writes the scan log; each
// reports failure through its result.

#include <windows.h>

#include "support/unique.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum PathKind : int { PathAbsent = 0, PathFile = 1, PathDirectory = 2 };

// Probes
int GetPathKind(const wchar_t* path);
bool FileCanBeOpened(const wchar_t* path);
uint32_t GetFileSize32(const wchar_t* path);  // 0 on failure, 0xFFFFFFFF past 4 GiB

// Whole-file reads: a heap block of size + 10 bytes, the 10 tail bytes zero.
// Null for a missing or empty file; on a missing file `size` is unchanged.
uint8_t* ReadWholeFile(const wchar_t* path, uint32_t* size);
uint8_t* ReadWholeFile(const wchar_t* path);
bool FreeFileBuffer(void* buffer);

bool AppendToFile(const wchar_t* path, const void* data, uint32_t length);
bool AppendToFileFlushed(const wchar_t* path, const void* data, uint32_t length);
// Empties a file larger than 1 MiB before appending, so a log stays bounded;
// a record that cannot be written whole is taken back out. Only a plain file
// is appended to or emptied, through the handle that was checked: a link or
// a second name of another file under `path` loses its name (the link only)
// and the record goes to a new file made under a fresh name and renamed into
// place. False when the record is not in the file, also after a write that
// failed and was taken back.
bool AppendToLogFile(const wchar_t* path, const void* data, uint32_t length);

uint32_t ComputeXorChecksum(const void* data, size_t length);
bool SaveFileWithChecksum(const wchar_t* path, const void* data, uint32_t length);
// Returns the verified payload (main file, else its ".bak"), or null.
uint8_t* LoadFileWithChecksum(const wchar_t* path, uint32_t* length);

// Writes a new file of a fresh name, `folder` (ending in a backslash, or
// empty for the current folder) + `stem` + 8 hexadecimal digits +
// `extension`, and flushes it; its path goes to `path`. An existing name is
// never opened. On failure no file is left and `path` is unchanged.
bool WriteNewFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension, const void* data,
                  uint32_t length, std::wstring& path);
// Creates a new empty file of a fresh name as WriteNewFile does and returns
// it open for writing, with no sharing; empty (and `path` unchanged) on failure.
cf::UniqueFile CreateNewFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension,
                             std::wstring& path);
// The length of every name those two make of `stem` and `extension`.
size_t NewFileNameLength(const wchar_t* stem, const wchar_t* extension);

// Links planted by someone else: an elevated program writes, truncates or
// renames over a name only after these checks.
// True when `path`, or any folder on the way to it below the drive root, is
// a reparse point (junction, mount point, symbolic link) or cannot be examined.
bool PathCrossesReparsePoint(const std::wstring& path);
// Opens an existing file without following a reparse point at its name, and
// refuses (empty, ERROR_CANT_ACCESS_FILE) a reparse point, a folder or a file
// with more than one hard link. The check reads the attributes: `access`
// needs FILE_READ_ATTRIBUTES (GENERIC_READ has it, GENERIC_WRITE not).
cf::UniqueFile OpenPlainFile(const wchar_t* path, DWORD access, DWORD share);
enum PathState { PathMissing, PathPlain, PathRefused };
// Looks at a name without following a link there: missing, a plain file
// (its size to `size`), or refused as OpenPlainFile refuses.
PathState ExaminePath(const std::wstring& path, ULONGLONG* size = nullptr);
// Removes the name `path` when the handle opened on that name shows a
// reparse point or a file with other hard links, so the link goes and what
// it leads to stays. False for anything else, including a system that opens
// what a link leads to instead of the link (Wine).
bool RemoveLinkOnly(const wchar_t* path);
// Holds every folder from below the drive root down to the folder of `path`
// open without delete sharing, so that none can be renamed, removed or
// swapped for a link while `held` lives. False (nothing held) when one is a
// reparse point or cannot be held.
bool HoldFolderChain(const std::wstring& path, std::vector<cf::UniqueFile>& held);
// Makes `folder` (no trailing backslash) a real folder and returns it held as
// HoldFolderChain holds one: a link in its place is removed (RemoveLinkOnly)
// and a missing folder made with `security` (may be null). Empty when the
// name cannot be made a real folder.
cf::UniqueFile HoldRealFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security);

bool ReadIniString(const wchar_t* file, const wchar_t* section, const wchar_t* key, std::wstring& value);

// Folders and silent shell operations
bool CreateDirectoryPath(const wchar_t* path);
bool DeleteFileOrFolder(const wchar_t* path);
bool CopyFileOrFolder(const wchar_t* from, const wchar_t* to);
bool MoveFileOrFolder(const wchar_t* from, const wchar_t* to);
bool GetCurrentDirWithSlash(std::wstring& dir);
bool GetSystemDirWithSlash(std::wstring& dir);
bool GetWindowsDirWithSlash(std::wstring& dir);

// A function of a DLL in the system folder, loaded from there (never by
// search path) on first use and kept loaded; null when either is missing.
// For the heavy network DLLs, which importing would load at every start, and
// for any DLL that is not a known DLL on both XP and 7.
FARPROC GetSystemDllProc(const wchar_t* dll, const char* name);
template <typename Function>
Function GetSystemDllFunction(const wchar_t* dll, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetSystemDllProc(dll, name)));
}

// The callback returns non-zero to go on, zero to stop the whole walk.
using EnumerateFilesCallback = int (*)(const wchar_t* path, void* context);
void EnumerateFilesRecursive(const wchar_t* root, void* context, EnumerateFilesCallback callback);

bool LocateSystemFile(const wchar_t* name, const wchar_t* baseFolder);
bool IsKnownTempLocation(const wchar_t* path);

// MD5 (RFC 1321)
void ComputeMd5OfBuffer(uint8_t digest[16], const void* data, size_t length);
bool ComputeMd5OfFile(uint8_t digest[16], const wchar_t* path);

// Text conversions: new zero-terminated strings the caller releases with
// FreeText, or null when the allocation fails.
wchar_t* AnsiToWide(const char* text);
char* WideToAnsi(const wchar_t* text, size_t minimumSize);
char* WideToUtf8(const wchar_t* text);
char* AnsiToUtf8(const char* text);
char* AnsiRoundTrip(const char* text);
void FreeText(void* text);
