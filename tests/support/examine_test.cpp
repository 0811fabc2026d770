#include <windows.h>
#include <iphlpapi.h>
#include <objbase.h>
#include <shlobj.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "support/examine.h"

namespace {

std::wstring SystemDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n) + L"\\";
}

std::wstring DataDir() { return cftest::ExeDir() + L"..\\testdata\\inspection\\"; }

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

void Put16(std::string& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }
void Put32(std::string& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }

struct ImageLayout {
    uint32_t ntOffset = 64;
    uint16_t sections = 1;
    uint16_t optionalSize = 224;
    uint16_t characteristics = 0x0102;
    uint32_t codeSize = 0x1000;
    uint32_t entry = 0x1800;
    uint32_t codeBase = 0x1000;
    const char* sectionName = ".text";
    uint32_t virtualSize = 0x1000;
    uint32_t virtualAddress = 0x1000;
    uint32_t rawSize = 0;
};

// DOS header, NT headers with the given optional-header size, first section.
std::string BuildImage(const ImageLayout& l)
{
    size_t sectionAt = l.ntOffset + 24 + l.optionalSize;
    std::string b(std::max<size_t>(sectionAt + 40, l.ntOffset + 248), '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 60, l.ntOffset);
    b[l.ntOffset] = 'P';
    b[l.ntOffset + 1] = 'E';
    Put16(b, l.ntOffset + 6, l.sections);
    Put16(b, l.ntOffset + 20, l.optionalSize);
    Put16(b, l.ntOffset + 22, l.characteristics);
    Put32(b, l.ntOffset + 28, l.codeSize);
    Put32(b, l.ntOffset + 40, l.entry);
    Put32(b, l.ntOffset + 44, l.codeBase);
    memcpy(&b[sectionAt], l.sectionName, strnlen(l.sectionName, 8));
    Put32(b, sectionAt + 8, l.virtualSize);
    Put32(b, sectionAt + 12, l.virtualAddress);
    Put32(b, sectionAt + 16, l.rawSize);
    return b;
}

// Runs the file test and the in-memory test on the same bytes; they must agree.
bool Suspicious(const cftest::ScratchDir& dir, const std::string& image)
{
    std::wstring path = dir / L"image.bin";
    EXPECT_TRUE(cftest::WriteFileBytes(path, image));
    bool fromFile = IsCodeSectionSuspicious(path.c_str());
    EXPECT_EQ(fromFile, IsCodeSectionSuspiciousInBuffer(image.data(), image.size()));
    return fromFile;
}

std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace

TEST(Md5Crypt, MatchesOpenSslOnGeneratedPasswordsAndSalts)
{
    FILE* file = _wfopen((DataDir() + L"md5crypt.txt").c_str(), L"r");
    ASSERT_NE(nullptr, file) << "reference data missing";
    char password[600], salt[100], expected[100];
    int cases = 0;
    while (fscanf(file, "%599s %99s %99s", password, salt, expected) == 3) {
        std::string word = password[0] == '-' ? std::string() : FromHex(password);
        std::string saltText = FromHex(salt);
        EXPECT_STREQ(expected, Md5Crypt(word.c_str(), saltText.c_str())) << "salt text " << saltText;
        ++cases;
    }
    fclose(file);
    EXPECT_GE(cases, 1000);
}

TEST(Md5Crypt, SaltRulesAndSharedResult)
{
    std::string longSalt = Md5Crypt("password", "$1$abcdefghij$");
    EXPECT_EQ(0u, longSalt.find("$1$abcdefgh$"));
    EXPECT_EQ(34u, longSalt.size());
    EXPECT_EQ(longSalt, Md5Crypt("password", "abcdefgh"));
    const char* first = Md5Crypt("a", "x");
    const char* second = Md5Crypt("b", "x");
    EXPECT_EQ(first, second);  // one buffer, overwritten by the next call
    EXPECT_STREQ("$1$$", std::string(Md5Crypt(nullptr, nullptr)).substr(0, 4).c_str());
}

TEST(Crc32, MatchesZlibOnGeneratedData)
{
    std::string data = cftest::ReadFileBytes(DataDir() + L"crc32.bin");
    ASSERT_EQ(65536u, data.size());
    FILE* file = _wfopen((DataDir() + L"crc32.txt").c_str(), L"r");
    ASSERT_NE(nullptr, file);
    unsigned long start, length, expected;
    int cases = 0;
    while (fscanf(file, "%lu %lu %lx", &start, &length, &expected) == 3) {
        EXPECT_EQ(expected, ComputeCrc32(data.data() + start, length)) << start << "+" << length;
        ++cases;
    }
    fclose(file);
    EXPECT_GE(cases, 500);
    EXPECT_EQ(0xCBF43926u, ComputeCrc32("123456789", 9));
}

TEST(PeImage, RealImagesOfThisSystemAndBuild)
{
    std::wstring dll = SystemDir() + L"kernel32.dll";
    std::wstring exe = SystemDir() + L"notepad.exe";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    int isDll = -1;
    EXPECT_TRUE(ReadPeImageKind(dll.c_str(), &isDll));
    EXPECT_EQ(1, isDll);
    EXPECT_TRUE(IsPeFile(dll.c_str()));
    EXPECT_FALSE(IsPeExecutable(dll.c_str()));
    EXPECT_TRUE(PeHasSections(dll.c_str()));
    EXPECT_FALSE(IsCodeSectionSuspicious(dll.c_str()));
    for (const std::wstring& path : {exe, std::wstring(self), cftest::ToolPath(L"holdfile.exe")}) {
        EXPECT_TRUE(ReadPeImageKind(path.c_str(), &isDll)) << cftest::Narrow(path);
        EXPECT_EQ(0, isDll);
        EXPECT_TRUE(IsPeExecutable(path.c_str()));
        EXPECT_TRUE(PeHasSections(path.c_str()));
        EXPECT_FALSE(IsCodeSectionSuspicious(path.c_str()));
    }
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"text.txt", std::string(300, 'M')));
    for (const std::wstring& path : {dir / L"text.txt", dir / L"missing.dll"}) {
        EXPECT_FALSE(IsPeFile(path.c_str()));
        EXPECT_FALSE(IsPeExecutable(path.c_str()));
        EXPECT_FALSE(PeHasSections(path.c_str()));
        EXPECT_FALSE(IsCodeSectionSuspicious(path.c_str()));
    }
    // A file held without read sharing cannot be opened, so it is no image.
    HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held != INVALID_HANDLE_VALUE) {
        EXPECT_FALSE(IsPeFile(exe.c_str()));
        CloseHandle(held);
    }
}

TEST(PeImage, CodeSectionTestEveryBranch)
{
    cftest::ScratchDir dir;
    ImageLayout base;  // no file bytes, entry inside code and section, ".text"
    EXPECT_FALSE(Suspicious(dir, BuildImage(base)));

    ImageLayout l = base;
    l.sectionName = "UPX0";
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));
    l.sectionName = "CODE";
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    l.sectionName = ".textbss";
    l.entry = 0x9000;  // would be suspicious by position alone
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    l.sectionName = ".text\x01";  // compared as all 8 bytes
    l.entry = base.entry;
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));

    l = base;
    l.rawSize = 0x200;
    l.entry = 0x9000;
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));  // a section with file data

    l = base;
    l.entry = 0x0FFF;  // below the code
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));
    l.entry = 0x2000;  // at the end of the code
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));
    l.entry = 0x1FFF;
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    l.codeSize = 0x3000;
    l.entry = 0x2001;  // inside the code, past the section's end
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));
    l.entry = 0x2000;  // exactly at the section's end still passes
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));

    // The section table follows the optional header whatever its size.
    l = base;
    l.optionalSize = 240;
    l.sectionName = "packed";
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));
    l.sectionName = ".text";
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    l.optionalSize = 200;  // behind the read position: the file moves back
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    l.sectionName = "packed";
    EXPECT_TRUE(Suspicious(dir, BuildImage(l)));

    l = base;
    l.sections = 0;
    l.sectionName = "packed";
    EXPECT_FALSE(Suspicious(dir, BuildImage(l)));
    EXPECT_TRUE(ReadPeImageKindInBuffer(BuildImage(l).data(), BuildImage(l).size(), nullptr));
    EXPECT_FALSE(PeHasSectionsInBuffer(BuildImage(l).data(), BuildImage(l).size()));
}

TEST(PeImage, CutAtEveryByteAndOffsetsOutside)
{
    cftest::ScratchDir dir;
    ImageLayout l;
    l.sectionName = "packed";
    l.characteristics = 0x2102;
    std::string image = BuildImage(l);
    ASSERT_EQ(64u + 248 + 40, image.size());
    std::wstring path = dir / L"cut.bin";
    for (size_t cut = 0; cut <= image.size(); ++cut) {
        std::string part = image.substr(0, cut);
        ASSERT_TRUE(cftest::WriteFileBytes(path, part));
        int isDll = -1;
        bool kind = ReadPeImageKind(path.c_str(), &isDll);
        EXPECT_EQ(cut >= 64 + 24, kind) << cut;
        EXPECT_EQ(kind ? 1 : -1, isDll) << cut;
        EXPECT_EQ(kind, ReadPeImageKindInBuffer(part.data(), part.size(), nullptr)) << cut;
        EXPECT_EQ(cut >= 64 + 248, PeHasSections(path.c_str())) << cut;
        EXPECT_EQ(cut >= 64 + 248, PeHasSectionsInBuffer(part.data(), part.size())) << cut;
        EXPECT_EQ(cut >= 64 + 248 + 40, IsCodeSectionSuspicious(path.c_str())) << cut;
        EXPECT_EQ(cut >= 64 + 248 + 40, IsCodeSectionSuspiciousInBuffer(part.data(), part.size())) << cut;
    }
    for (uint32_t offset : {0u, 0x160u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u}) {
        std::string moved = image;
        Put32(moved, 60, offset);
        ASSERT_TRUE(cftest::WriteFileBytes(path, moved));
        EXPECT_FALSE(IsPeFile(path.c_str())) << offset;
        EXPECT_FALSE(PeHasSections(path.c_str())) << offset;
        EXPECT_FALSE(IsCodeSectionSuspicious(path.c_str())) << offset;
        EXPECT_FALSE(ReadPeImageKindInBuffer(moved.data(), moved.size(), nullptr)) << offset;
        EXPECT_FALSE(IsCodeSectionSuspiciousInBuffer(moved.data(), moved.size())) << offset;
    }
}

TEST(ShellLink, LinksWrittenByTheShellAndTheirHeaders)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    cftest::ScratchDir dir;
    std::wstring link = dir / L"notepad.lnk";
    {
        IShellLinkW* shellLink = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                         reinterpret_cast<void**>(&shellLink)));
        shellLink->SetPath((SystemDir() + L"notepad.exe").c_str());
        IPersistFile* persist = nullptr;
        ASSERT_EQ(S_OK, shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)));
        EXPECT_EQ(S_OK, persist->Save(link.c_str(), TRUE));
        persist->Release();
        shellLink->Release();
    }
    CoUninitialize();
    EXPECT_TRUE(IsShellLinkFile(link.c_str()));
    std::string bytes = cftest::ReadFileBytes(link);
    ASSERT_GT(bytes.size(), 76u);
    // The header's first four bytes give its size: a file shorter is no link.
    const size_t header = static_cast<uint8_t>(bytes[0]);
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"whole.lnk", bytes.substr(0, header)));
    EXPECT_TRUE(IsShellLinkFile((dir / L"whole.lnk").c_str()));
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"short.lnk", bytes.substr(0, header - 1)));
    EXPECT_FALSE(IsShellLinkFile((dir / L"short.lnk").c_str()));
    std::string changed = bytes;
    changed[19] ^= 0x01;  // last byte of the class identifier
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"clsid.lnk", changed));
    EXPECT_FALSE(IsShellLinkFile((dir / L"clsid.lnk").c_str()));
    changed = bytes;
    changed[0] = 0x4D;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"size.lnk", changed));
    EXPECT_FALSE(IsShellLinkFile((dir / L"size.lnk").c_str()));
    EXPECT_FALSE(IsShellLinkFile((dir / L"missing.lnk").c_str()));
}

TEST(ZoneStream, ReadsTheInternetZoneAsUtf16)
{
    // Wine has no alternate data streams: "file:Zone.Identifier" is an
    // ordinary file whose name holds the colon. Opening it by that name is
    // what the code does on Windows too, so the parse is tested through it.
    cftest::ScratchDir dir;
    std::wstring file = dir / L"setup.exe";
    ASSERT_TRUE(cftest::WriteFileBytes(file, "MZ"));
    std::wstring stream = file + L":Zone.Identifier";
    EXPECT_FALSE(IsDownloadedFromInternet(file.c_str()));  // no stream

    struct Case {
        std::string bytes;
        bool internet;
    };
    const Case cases[] = {
        {Utf16Bytes(L"[ZoneTransfer]\r\nZoneId=3\r\n"), true},
        {Utf16Bytes(L"[ZoneTransfer]\r\nReferrerUrl=http://x/\r\nZoneId=03\r\n"), true},
        {Utf16Bytes(L"[ZoneTransfer]\r\nZoneId=2\r\n"), false},
        {Utf16Bytes(L"[ZoneTransfer]\r\nZoneId=34\r\n"), false},
        {Utf16Bytes(L"ZoneId=3\r\n[ZoneTransfer]\r\n"), false},  // key before the section
        {Utf16Bytes(L"[Other]\r\nZoneId=3\r\n"), false},
        {"[ZoneTransfer]\r\nZoneId=3\r\n", false},  // 8-bit text is not read as such
        {Utf16Bytes(L"[ZoneTransfer]") + "\x01\xd8\xff" + Utf16Bytes(L"ZoneId=3"), false},  // odd garbage
        {Utf16Bytes(L"[ZoneTransfer]" + std::wstring(90, L' ') + L"ZoneId=3"), false},   // past 200 bytes
        {std::string(), false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(cftest::WriteFileBytes(stream, c.bytes));
        EXPECT_EQ(c.internet, IsDownloadedFromInternet(file.c_str())) << cftest::Hex(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(c.internet, IsInternetZoneText(c.bytes.data(), c.bytes.size()));
    }
    std::wstring longName = dir.Path() + std::wstring(MAX_PATH - dir.Path().size() - 10, L'a');
    EXPECT_FALSE(IsDownloadedFromInternet(longName.c_str()));
    EXPECT_FALSE(IsDownloadedFromInternet(nullptr));
}

TEST(UrlHost, HostPartRules)
{
    EXPECT_EQ(L"www.example.com", GetUrlHost(L"http://www.example.com/a/b"));
    EXPECT_EQ(L"user@host:8080", GetUrlHost(L"ftp://user@host:8080/x"));
    EXPECT_EQ(L"host", GetUrlHost(L"host/path"));
    EXPECT_EQ(L"host", GetUrlHost(L"host"));
    EXPECT_EQ(L"", GetUrlHost(L"http:///x"));
    EXPECT_EQ(L"b:", GetUrlHost(L"a://b://c"));  // up to the first slash after the first "://"
    EXPECT_TRUE(IsSameUrlHost(L"http://Host.COM/a", L"https://host.com/b/c"));
    EXPECT_TRUE(IsSameUrlHost(L"http://HOST", L"host"));
    EXPECT_FALSE(IsSameUrlHost(L"http://host:80/", L"http://host/"));
    EXPECT_FALSE(IsSameUrlHost(L"http://host1/", L"http://host2/"));
    EXPECT_FALSE(IsSameUrlHost(nullptr, L"host"));
    const wchar_t* url = L"http://h:1/p";
    const wchar_t *start = nullptr, *end = nullptr;
    ASSERT_TRUE(GetUrlHostPart(url, &start, &end));
    EXPECT_EQ(url + 7, start);
    EXPECT_EQ(url + 10, end);
}

TEST(Icons, ChecksumAndDefaultIcon)
{
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"plain.txt", "no icons"));
    EXPECT_EQ(0u, GetIconChecksum((dir / L"plain.txt").c_str(), 0));
    EXPECT_EQ(0u, GetIconChecksum((dir / L"missing.exe").c_str(), 0));
    std::wstring shell = SystemDir() + L"shell32.dll";
    uint32_t first = GetIconChecksum(shell.c_str(), 0);
    EXPECT_NE(0u, first);
    EXPECT_EQ(first, GetIconChecksum(shell.c_str(), 0));
    EXPECT_NE(first, GetIconChecksum(shell.c_str(), 3));
    EXPECT_EQ(0u, GetIconChecksum(shell.c_str(), 100000));
    HICON icon = GetDefaultFileIcon();
    ASSERT_NE(nullptr, icon);
    ICONINFO info;
    EXPECT_TRUE(GetIconInfo(icon, &info));
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST(Processes, FindByNameAndMainModule)
{
    cftest::ScratchDir dir;
    wchar_t name[64];
    swprintf(name, 64, L"cfprobe%lu.exe", GetCurrentProcessId());
    std::wstring copy = dir / name;
    ASSERT_TRUE(CopyFileW(cftest::ToolPath(L"holdfile.exe").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"held.txt", "x"));
    cftest::Child child;
    ASSERT_TRUE(child.Start(L"\"" + copy + L"\" \"" + (dir / L"held.txt") + L"\" 60000"));
    // Once the marker exists the child's loader is done and its module
    // list is complete.
    ASSERT_TRUE(cftest::WaitForFile(dir / L"held.txt.held"));
    std::wstring upper = name;
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    EXPECT_EQ(child.Id(), FindProcessIdByName(upper.c_str()));
    EXPECT_EQ(0u, FindProcessIdByName(L"no-such-program-here.exe"));
    wchar_t path[MAX_PATH] = L"";
    EXPECT_FALSE(GetProcessMainModulePath(0x7FFFFFF0, path));
    EXPECT_TRUE(GetProcessMainModulePath(child.Id(), path));
    EXPECT_EQ(0, lstrcmpiW(copy.c_str(), path)) << cftest::Narrow(path);
    child.Kill();
    child.Wait();
}

// The probes load their DLLs on first use; what they report must be what the
// system reports through the same functions imported directly.
TEST(Network, ProbesAgreeWithTheSystem)
{
    ULONG size = 0;
    bool gateway = false;
    if (GetAdaptersInfo(nullptr, &size) == ERROR_BUFFER_OVERFLOW) {
        std::vector<uint8_t> buffer(size);
        auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(first, &size));
        for (const IP_ADAPTER_INFO* adapter = first; adapter; adapter = adapter->Next)
            gateway = gateway || adapter->GatewayList.IpAddress.String[0] != '\0';
    }
    EXPECT_EQ(gateway, HasGatewayAdapter());

    DWORD flags = 0;
    const bool connected = InternetGetConnectedState(&flags, 0) &&
                           (flags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY));
    EXPECT_EQ(connected || gateway, IsInternetConnected());
    printf("NOTE: gateway %d, connected state %d (flags %#lx)\n", gateway, connected, flags);
}

TEST(WindowsVersion, ThisSystemIsSixOne)
{
    // The prefix reports Windows 7; the other versions are run through a
    // probe program in the system-file tests.
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    ASSERT_EQ(6u, info.dwMajorVersion);
    ASSERT_EQ(1u, info.dwMinorVersion);
    EXPECT_TRUE(CheckWindowsVersion());
}
