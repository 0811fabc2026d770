#pragma once
// Read-only looks into files and the system around them: executable-image
// headers, shell links, the download-origin stream, URL hosts, icon
// fingerprints, md5crypt, network state, the Windows version, processes.
// Nothing here writes a file, a log line or shows a message.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Executable images. `isDll` may be null; it is written only on success.
bool ReadPeImageKind(const wchar_t* path, int* isDll);
bool IsPeFile(const wchar_t* path);
bool IsPeExecutable(const wchar_t* path);
bool PeHasSections(const wchar_t* path);
// An image whose first section holds no file bytes and whose entry point
// lies outside its code, the layout packers leave behind.
bool IsCodeSectionSuspicious(const wchar_t* path);

// The same header tests over an image already in memory.
bool ReadPeImageKindInBuffer(const void* data, size_t size, int* isDll);
bool PeHasSectionsInBuffer(const void* data, size_t size);
bool IsCodeSectionSuspiciousInBuffer(const void* data, size_t size);

bool IsShellLinkFile(const wchar_t* path);
bool IsShellLinkHeader(const void* data, size_t size);

// True when the file's Zone.Identifier stream names the Internet zone (3).
bool IsDownloadedFromInternet(const wchar_t* path);
// The stream's bytes (at most the first 200 are looked at), read as UTF-16.
bool IsInternetZoneText(const void* bytes, size_t count);

// The host part of a URL: after the first "://" (or from the start) up to
// the next '/', user name and port included. False only for a null URL.
bool GetUrlHostPart(const wchar_t* url, const wchar_t** start, const wchar_t** end);
bool IsSameUrlHost(const wchar_t* first, const wchar_t* second);
std::wstring GetUrlHost(const wchar_t* url);

// CRC-32, reflected polynomial 0xEDB88320.
uint32_t ComputeCrc32(const void* data, size_t length);
// CRC-32 of the colour bits of an icon of a file; 0 on any failure.
uint32_t GetIconChecksum(const wchar_t* path, int index);

// md5crypt "$1$". The result lives in one process-wide buffer that the
// next call overwrites; null arguments count as empty texts.
const char* Md5Crypt(const char* password, const char* salt);

bool HasGatewayAdapter();
bool IsInternetConnected();
// True on 5.1, 5.2 and 6.1 and any later minor release, not on x.0.
bool CheckWindowsVersion();

DWORD FindProcessIdByName(const wchar_t* imageName);
bool GetProcessMainModulePath(DWORD processId, wchar_t path[MAX_PATH]);
// The image path of an open process (GetModuleFileNameExW from the system
// folder's psapi, which is not a known DLL on XP); false where it cannot.
bool GetProcessImagePath(HANDLE process, wchar_t path[MAX_PATH]);
// The shell's icon for a plain file; the caller destroys it.
HICON GetDefaultFileIcon();
