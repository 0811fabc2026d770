#include "support/examine.h"

#include <iphlpapi.h>
#include <psapi.h>
#include <shellapi.h>
#include <strsafe.h>
#include <tlhelp32.h>
#include <wininet.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "support/file_ops.h"
#include "support/md5.h"
#include "support/unique.h"

namespace {

const wchar_t kZoneStreamFormat[] = L"%s:Zone.Identifier";
const wchar_t kZoneSection[] = L"[ZoneTransfer]";
const wchar_t kZoneKey[] = L"ZoneId=";
const wchar_t kSchemeSeparator[] = L"://";
const char kMd5CryptMagic[] = "$1$";
const char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const char kTextSectionName[8] = {'.', 't', 'e', 'x', 't', 0, 0, 0};
const char kCodeSectionName[8] = {'C', 'O', 'D', 'E', 0, 0, 0, 0};
const char kTextBssSectionName[8] = {'.', 't', 'e', 'x', 't', 'b', 's', 's'};
const uint8_t kShellLinkClassId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

const DWORD kDosHeaderSize = 64;
const DWORD kNtOffsetField = 60;
const DWORD kFileHeaderEnd = 24;       // signature + file header
const DWORD kNtHeadersSize = 248;      // ... + the 32-bit optional header
const DWORD kStandardOptionalSize = 224;
const DWORD kSectionHeaderSize = 40;
const DWORD kShellLinkHeaderSize = 0x4C;  // the header's own size field
const DWORD kZoneReadBytes = 200;
const int kInternetZone = 3;
const WORD kDllCharacteristic = 0x2000;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Sequential reads with seeks, over an open file or a block in memory, so
// that both run the same header walk.
class FileSource {
public:
    explicit FileSource(HANDLE file) : m_file(file) {}
    DWORD Read(void* buffer, DWORD count)
    {
        DWORD done = 0;
        if (!ReadFile(m_file, buffer, count, &done, nullptr))
            return 0;
        return done;
    }
    bool Seek(LONGLONG distance, DWORD method)
    {
        LARGE_INTEGER move;
        move.QuadPart = distance;
        return SetFilePointerEx(m_file, move, nullptr, method) != FALSE;
    }

private:
    HANDLE m_file;
};

class MemorySource {
public:
    MemorySource(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(data ? size : 0) {}
    DWORD Read(void* buffer, DWORD count)
    {
        if (m_position >= m_size)
            return 0;
        unsigned long long left = m_size - m_position;
        DWORD done = left < count ? static_cast<DWORD>(left) : count;
        memcpy(buffer, m_data + m_position, done);
        m_position += done;
        return done;
    }
    bool Seek(LONGLONG distance, DWORD method)
    {
        LONGLONG base = method == FILE_CURRENT ? static_cast<LONGLONG>(m_position) : 0;
        if (distance < 0 && base < -distance)
            return false;  // before the start, as SetFilePointerEx refuses it
        m_position = static_cast<unsigned long long>(base + distance);
        return true;
    }

private:
    const uint8_t* m_data;
    unsigned long long m_size;
    unsigned long long m_position = 0;
};

template <typename Source>
bool ReadImageKind(Source& source, int* isDll)
{
    uint8_t dos[kDosHeaderSize];
    DWORD got = source.Read(dos, kDosHeaderSize);
    if (got < kNtOffsetField + 4 || dos[0] != 'M' || dos[1] != 'Z')
        return false;
    if (!source.Seek(Get32(dos + kNtOffsetField), FILE_BEGIN))
        return false;
    uint8_t nt[kFileHeaderEnd];
    if (source.Read(nt, kFileHeaderEnd) != kFileHeaderEnd || nt[0] != 'P' || nt[1] != 'E')
        return false;
    if (isDll)
        *isDll = (Get16(nt + 22) & kDllCharacteristic) ? 1 : 0;
    return true;
}

// Reads the DOS and the 32-bit NT headers; the position is then just
// behind the standard optional header.
template <typename Source>
bool ReadNtHeaders(Source& source, uint8_t nt[kNtHeadersSize])
{
    uint8_t dos[kDosHeaderSize];
    if (source.Read(dos, kDosHeaderSize) != kDosHeaderSize || Get16(dos) != 0x5A4D)
        return false;
    uint32_t offset = Get32(dos + kNtOffsetField);
    if (offset == 0 || !source.Seek(offset, FILE_BEGIN))
        return false;
    if (source.Read(nt, kNtHeadersSize) != kNtHeadersSize || Get32(nt) != 0x4550)
        return false;
    return Get16(nt + 6) != 0;
}

template <typename Source>
bool HasSections(Source& source)
{
    uint8_t nt[kNtHeadersSize];
    return ReadNtHeaders(source, nt);
}

template <typename Source>
bool CodeSectionSuspicious(Source& source)
{
    uint8_t nt[kNtHeadersSize];
    if (!ReadNtHeaders(source, nt))
        return false;
    LONGLONG skip = static_cast<LONGLONG>(Get16(nt + 20)) - kStandardOptionalSize;
    if (!source.Seek(skip, FILE_CURRENT))
        return false;
    uint8_t section[kSectionHeaderSize];
    if (source.Read(section, kSectionHeaderSize) != kSectionHeaderSize)
        return false;
    if (memcmp(section, kTextBssSectionName, 8) == 0)
        return false;
    if (Get32(section + 16) != 0)
        return false;
    unsigned long long entry = Get32(nt + 40);
    unsigned long long codeBase = Get32(nt + 44);
    unsigned long long codeSize = Get32(nt + 28);
    unsigned long long sectionEnd = static_cast<unsigned long long>(Get32(section + 12)) + Get32(section + 8);
    if (entry < codeBase || entry >= codeBase + codeSize || entry > sectionEnd)
        return true;
    return memcmp(section, kTextSectionName, 8) != 0 && memcmp(section, kCodeSectionName, 8) != 0;
}

cf::UniqueFile OpenForReading(const wchar_t* path, DWORD flags)
{
    if (!path)
        return cf::UniqueFile();
    return cf::UniqueFile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
}

// Built by the compiler: read-only data, nothing to fill at run time.
struct CrcTable {
    uint32_t entries[256];
    constexpr CrcTable() : entries()
    {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
    }
};
constexpr CrcTable kCrcTable;

}  // namespace

bool ReadPeImageKind(const wchar_t* path, int* isDll)
{
    cf::UniqueFile file = OpenForReading(path, FILE_ATTRIBUTE_NORMAL);
    if (!file)
        return false;
    FileSource source(file.Get());
    return ReadImageKind(source, isDll);
}

bool IsPeFile(const wchar_t* path) { return ReadPeImageKind(path, nullptr); }

bool IsPeExecutable(const wchar_t* path)
{
    int isDll = 0;
    return ReadPeImageKind(path, &isDll) && !isDll;
}

bool PeHasSections(const wchar_t* path)
{
    cf::UniqueFile file = OpenForReading(path, 0);
    if (!file)
        return false;
    FileSource source(file.Get());
    return HasSections(source);
}

bool IsCodeSectionSuspicious(const wchar_t* path)
{
    cf::UniqueFile file = OpenForReading(path, 0);
    if (!file)
        return false;
    FileSource source(file.Get());
    return CodeSectionSuspicious(source);
}

bool ReadPeImageKindInBuffer(const void* data, size_t size, int* isDll)
{
    MemorySource source(data, size);
    return ReadImageKind(source, isDll);
}

bool PeHasSectionsInBuffer(const void* data, size_t size)
{
    MemorySource source(data, size);
    return HasSections(source);
}

bool IsCodeSectionSuspiciousInBuffer(const void* data, size_t size)
{
    MemorySource source(data, size);
    return CodeSectionSuspicious(source);
}

bool IsShellLinkHeader(const void* data, size_t size)
{
    // A file shorter than the size its header states cannot be a link.
    if (!data || size < kShellLinkHeaderSize)
        return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return Get32(bytes) == kShellLinkHeaderSize &&
           memcmp(bytes + 4, kShellLinkClassId, sizeof(kShellLinkClassId)) == 0;
}

bool IsShellLinkFile(const wchar_t* path)
{
    cf::UniqueFile file = OpenForReading(path, 0);
    if (!file)
        return false;
    uint8_t header[kShellLinkHeaderSize];
    DWORD got = 0;
    if (!ReadFile(file.Get(), header, kShellLinkHeaderSize, &got, nullptr) || got != kShellLinkHeaderSize)
        return false;
    return IsShellLinkHeader(header, got);
}

bool IsInternetZoneText(const void* bytes, size_t count)
{
    if (!bytes)
        return false;
    if (count > kZoneReadBytes)
        count = kZoneReadBytes;
    wchar_t text[kZoneReadBytes / sizeof(wchar_t) + 1];
    memcpy(text, bytes, count);
    text[count / sizeof(wchar_t)] = L'\0';
    const wchar_t* section = wcsstr(text, kZoneSection);
    if (!section)
        return false;
    const wchar_t* key = wcsstr(section + 1, kZoneKey);
    if (!key)
        return false;
    return wcstol(key + ARRAYSIZE(kZoneKey) - 1, nullptr, 10) == kInternetZone;
}

bool IsDownloadedFromInternet(const wchar_t* path)
{
    if (!path)
        return false;
    wchar_t stream[MAX_PATH];
    // A name cut to fit would open some other file.
    if (FAILED(StringCchPrintfW(stream, ARRAYSIZE(stream), kZoneStreamFormat, path)))
        return false;
    cf::UniqueFile file = OpenForReading(stream, 0);
    if (!file)
        return false;
    uint8_t bytes[kZoneReadBytes];
    DWORD got = 0;
    if (!ReadFile(file.Get(), bytes, kZoneReadBytes, &got, nullptr))
        return false;
    return IsInternetZoneText(bytes, got);
}

bool GetUrlHostPart(const wchar_t* url, const wchar_t** start, const wchar_t** end)
{
    if (!url)
        return false;
    const wchar_t* scheme = wcsstr(url, kSchemeSeparator);
    const wchar_t* first = scheme ? scheme + ARRAYSIZE(kSchemeSeparator) - 1 : url;
    const wchar_t* last = wcschr(first, L'/');
    if (!last)
        last = first + wcslen(first);
    if (start)
        *start = first;
    if (end)
        *end = last;
    return true;
}

bool IsSameUrlHost(const wchar_t* first, const wchar_t* second)
{
    const wchar_t *firstStart, *firstEnd, *secondStart, *secondEnd;
    if (!GetUrlHostPart(first, &firstStart, &firstEnd) || !GetUrlHostPart(second, &secondStart, &secondEnd))
        return false;
    size_t length = static_cast<size_t>(firstEnd - firstStart);
    if (length != static_cast<size_t>(secondEnd - secondStart))
        return false;
    if (length == 0)
        return true;
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, firstStart, static_cast<int>(length),
                          secondStart, static_cast<int>(length)) == CSTR_EQUAL;
}

std::wstring GetUrlHost(const wchar_t* url)
{
    const wchar_t *start, *end;
    if (!GetUrlHostPart(url, &start, &end))
        return std::wstring();
    return std::wstring(start, end);
}

uint32_t ComputeCrc32(const void* data, size_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = kCrcTable.entries[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t GetIconChecksum(const wchar_t* path, int index)
{
    if (!path)
        return 0;
    HICON icon = ExtractIconW(nullptr, path, static_cast<UINT>(index));
    // ExtractIconW answers 1 for "not an executable file".
    if (!icon || icon == reinterpret_cast<HICON>(1))
        return 0;
    ICONINFO info;
    if (!GetIconInfo(icon, &info)) {
        DestroyIcon(icon);
        return 0;
    }
    cf::UniqueGdiObject color(info.hbmColor);
    cf::UniqueGdiObject mask(info.hbmMask);
    uint32_t result = 0;
    HDC screen = GetDC(nullptr);
    if (screen && color) {
        cf::UniqueDc memory(CreateCompatibleDC(screen));
        if (memory) {
            HGDIOBJ previous = SelectObject(memory.Get(), color.Get());
            BITMAP bitmap;
            if (GetObjectW(color.Get(), sizeof(bitmap), &bitmap) == sizeof(bitmap) && bitmap.bmWidth > 0 &&
                bitmap.bmHeight > 0) {
                int bits = bitmap.bmBitsPixel * bitmap.bmPlanes;
                int depth;
                size_t headerBytes;
                if (bits == 1) {
                    depth = 1;
                    headerBytes = 48;
                } else if (bits <= 4) {
                    depth = 4;
                    headerBytes = 104;
                } else if (bits <= 8) {
                    depth = 8;
                    headerBytes = 1064;
                } else if (bits <= 16) {
                    depth = 16;
                    headerBytes = 262184;
                } else if (bits <= 24) {
                    depth = 24;
                    headerBytes = 40;
                } else {
                    depth = 32;
                    headerBytes = 44;
                }
                unsigned long long stride = ((static_cast<unsigned long long>(depth) * bitmap.bmWidth + 31) / 32) * 4;
                unsigned long long imageSize = stride * bitmap.bmHeight;
                // GetDIBits writes rows of the bitmap's own depth, never more
                // than the depth chosen here, so the buffer is large enough.
                if (imageSize <= 0x7FFFFFFF) {
                    std::vector<uint8_t> header(headerBytes + 1024, 0);
                    BITMAPINFOHEADER* bih = reinterpret_cast<BITMAPINFOHEADER*>(header.data());
                    bih->biSize = sizeof(BITMAPINFOHEADER);
                    bih->biWidth = bitmap.bmWidth;
                    bih->biHeight = bitmap.bmHeight;
                    bih->biPlanes = bitmap.bmPlanes;
                    bih->biBitCount = bitmap.bmBitsPixel;
                    bih->biCompression = BI_RGB;
                    bih->biSizeImage = static_cast<DWORD>(imageSize);
                    bih->biClrUsed = depth < 24 ? (1u << depth) : 0;
                    bih->biClrImportant = 0;
                    std::vector<uint8_t> pixels(static_cast<size_t>(imageSize) + 16, 0);
                    SelectObject(memory.Get(), previous);
                    if (GetDIBits(memory.Get(), static_cast<HBITMAP>(color.Get()), 0, bitmap.bmHeight, pixels.data(),
                                  reinterpret_cast<BITMAPINFO*>(bih), DIB_RGB_COLORS) > 0)
                        result = ComputeCrc32(pixels.data(), static_cast<size_t>(imageSize));
                    previous = nullptr;
                }
            }
            if (previous)
                SelectObject(memory.Get(), previous);
        }
    }
    if (screen)
        ReleaseDC(nullptr, screen);
    DestroyIcon(icon);
    return result;
}

namespace {

char g_md5CryptResult[120];

char* AppendCrypt64(char* out, uint32_t value, int count)
{
    while (count-- > 0) {
        *out++ = kCryptAlphabet[value & 0x3f];
        value >>= 6;
    }
    return out;
}

}  // namespace

const char* Md5Crypt(const char* password, const char* salt)
{
    if (!password)
        password = "";
    if (!salt)
        salt = "";
    const size_t magicLength = sizeof(kMd5CryptMagic) - 1;
    if (strncmp(salt, kMd5CryptMagic, magicLength) == 0)
        salt += magicLength;
    size_t saltLength = 0;
    while (saltLength < 8 && salt[saltLength] && salt[saltLength] != '$')
        ++saltLength;
    size_t passwordLength = strlen(password);

    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, password, passwordLength);
    Md5Update(&context, kMd5CryptMagic, magicLength);
    Md5Update(&context, salt, saltLength);

    Md5Context alternate;
    uint8_t digest[16];
    Md5Init(&alternate);
    Md5Update(&alternate, password, passwordLength);
    Md5Update(&alternate, salt, saltLength);
    Md5Update(&alternate, password, passwordLength);
    Md5Final(&alternate, digest);
    for (size_t left = passwordLength; left > 0; left -= left > 16 ? 16 : left)
        Md5Update(&context, digest, left > 16 ? 16 : left);
    memset(digest, 0, sizeof(digest));
    for (size_t bits = passwordLength; bits; bits >>= 1)
        Md5Update(&context, (bits & 1) ? static_cast<const void*>(digest) : static_cast<const void*>(password), 1);
    Md5Final(&context, digest);

    for (int round = 0; round < 1000; ++round) {
        Md5Init(&context);
        if (round & 1)
            Md5Update(&context, password, passwordLength);
        else
            Md5Update(&context, digest, 16);
        if (round % 3)
            Md5Update(&context, salt, saltLength);
        if (round % 7)
            Md5Update(&context, password, passwordLength);
        if (round & 1)
            Md5Update(&context, digest, 16);
        else
            Md5Update(&context, password, passwordLength);
        Md5Final(&context, digest);
    }

    char* out = g_md5CryptResult;
    memcpy(out, kMd5CryptMagic, magicLength);
    out += magicLength;
    memcpy(out, salt, saltLength);
    out += saltLength;
    *out++ = '$';
    static const int kOrder[5][3] = {{0, 6, 12}, {1, 7, 13}, {2, 8, 14}, {3, 9, 15}, {4, 10, 5}};
    for (const auto& group : kOrder)
        out = AppendCrypt64(out, (static_cast<uint32_t>(digest[group[0]]) << 16) |
                                     (static_cast<uint32_t>(digest[group[1]]) << 8) | digest[group[2]],
                            4);
    out = AppendCrypt64(out, digest[11], 2);
    *out = '\0';
    return g_md5CryptResult;
}

bool HasGatewayAdapter()
{
    static const auto GetAdapters = GetSystemDllFunction<decltype(&GetAdaptersInfo)>(L"iphlpapi.dll", "GetAdaptersInfo");
    if (!GetAdapters)
        return false;
    std::vector<uint8_t> buffer(sizeof(IP_ADAPTER_INFO));
    ULONG size = static_cast<ULONG>(buffer.size());
    DWORD result = GetAdapters(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        result = GetAdapters(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS)
        return false;
    for (const IP_ADAPTER_INFO* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->GatewayList.IpAddress.String[0] != '\0')
            return true;
    }
    return false;
}

bool IsInternetConnected()
{
    static const auto GetConnectedState =
        GetSystemDllFunction<decltype(&InternetGetConnectedState)>(L"wininet.dll", "InternetGetConnectedState");
    DWORD flags = 0;
    if (GetConnectedState && GetConnectedState(&flags, 0) &&
        (flags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)))
        return true;
    return HasGatewayAdapter();
}

bool CheckWindowsVersion()
{
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
        return false;
    return info.dwMajorVersion >= 5 && info.dwMinorVersion != 0;
}

DWORD FindProcessIdByName(const wchar_t* imageName)
{
    if (!imageName)
        return 0;
    HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE)
        return 0;
    cf::UniqueHandle snapshot(raw);
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(raw, &entry); more; more = Process32NextW(raw, &entry)) {
        if (lstrcmpiW(entry.szExeFile, imageName) == 0)
            return entry.th32ProcessID;
    }
    return 0;
}

bool GetProcessMainModulePath(DWORD processId, wchar_t path[MAX_PATH])
{
    if (!path)
        return false;
    HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (raw == INVALID_HANDLE_VALUE)
        return false;
    cf::UniqueHandle snapshot(raw);
    MODULEENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!Module32FirstW(raw, &entry))
        return false;
    lstrcpynW(path, entry.szExePath, MAX_PATH);
    path[MAX_PATH - 1] = L'\0';
    return true;
}

HICON GetDefaultFileIcon()
{
    SHFILEINFOW info;
    ZeroMemory(&info, sizeof(info));
    if (!SHGetFileInfoW(L"", FILE_ATTRIBUTE_NORMAL, &info, sizeof(info), SHGFI_ICON | SHGFI_USEFILEATTRIBUTES))
        return nullptr;
    return info.hIcon;
}

bool GetProcessImagePath(HANDLE process, wchar_t path[MAX_PATH])
{
    static const auto moduleFileName =
        GetSystemDllFunction<decltype(&GetModuleFileNameExW)>(L"psapi.dll", "GetModuleFileNameExW");
    return moduleFileName && moduleFileName(process, nullptr, path, MAX_PATH) != 0;
}
