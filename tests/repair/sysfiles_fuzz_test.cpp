#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "repair/muicache.h"
#include "repair/system_files.h"
#include "support/examine.h"

namespace {

// Input copied to the very end of a readable page, followed by a page with
// no access: a read one byte past the input faults.
class GuardedBuffer {
public:
    GuardedBuffer()
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        m_page = info.dwPageSize;
        m_size = m_page * 17;
        m_base = static_cast<uint8_t*>(VirtualAlloc(nullptr, m_size + m_page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(m_base + m_size, m_page, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() { VirtualFree(m_base, 0, MEM_RELEASE); }
    const uint8_t* Place(const std::vector<uint8_t>& bytes)
    {
        uint8_t* at = m_base + m_size - bytes.size();
        if (!bytes.empty())
            memcpy(at, bytes.data(), bytes.size());
        return at;
    }
    size_t Capacity() const { return m_size; }

private:
    size_t m_page = 0;
    size_t m_size = 0;
    uint8_t* m_base = nullptr;
};

// A shell link starts with its header size, 0x4C, and the link class identifier.
const uint8_t kLinkStart[20] = {0x4C, 0, 0, 0, 0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The header tests restated plainly, to compare the parser with.
bool ReferencePeKind(const std::vector<uint8_t>& b, int* isDll)
{
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
        return false;
    uint64_t offset = Le32(b, 60);
    if (offset + 24 > b.size() || b[offset] != 'P' || b[offset + 1] != 'E')
        return false;
    *isDll = (b[offset + 22] | (b[offset + 23] << 8)) & 0x2000 ? 1 : 0;
    return true;
}

bool ReferenceHasSections(const std::vector<uint8_t>& b)
{
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
        return false;
    uint64_t offset = Le32(b, 60);
    if (offset == 0 || offset + 248 > b.size() || Le32(b, offset) != 0x4550)
        return false;
    return (b[offset + 6] | b[offset + 7]) != 0;
}

std::vector<uint8_t> SeedImage()
{
    std::vector<uint8_t> image(64 + 248 + 40 * 2 + 64, 0);
    image[0] = 'M';
    image[1] = 'Z';
    image[60] = 64;
    uint8_t* nt = image.data() + 64;
    nt[0] = 'P';
    nt[1] = 'E';
    nt[6] = 2;
    nt[20] = 224;
    nt[22] = 0x02;
    nt[28] = 0x00, nt[29] = 0x10;  // size of code 0x1000
    nt[41] = 0x10;                 // entry 0x1000
    nt[45] = 0x10;                 // base of code 0x1000
    uint8_t* section = nt + 248;
    memcpy(section, ".text", 5);
    section[9] = 0x10;   // virtual size 0x1000
    section[13] = 0x10;  // virtual address 0x1000
    return image;
}

void Mutate(std::vector<uint8_t>& bytes, std::mt19937& random)
{
    switch (random() % 4) {
    case 0:
        for (int n = 1 + random() % 4; n > 0 && !bytes.empty(); --n)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        break;
    case 1:
        bytes.resize(random() % (bytes.size() + 1));
        break;
    case 2:
        if (bytes.size() >= 64) {  // the NT offset is what steers every read
            uint32_t offset = random() % 3 ? random() % 512 : static_cast<uint32_t>(random());
            memcpy(&bytes[60], &offset, 4);
        }
        break;
    default:
        if (bytes.size() > 64 + 20) {
            uint16_t optional = static_cast<uint16_t>(random() % 3 ? 200 + random() % 80 : random());
            memcpy(&bytes[64 + 20], &optional, 2);
        }
        break;
    }
}

}  // namespace

TEST(Fuzz, PeHeaderParsersStayInsideTheirInput)
{
    const cftest::FuzzRun run("PE and shortcut headers", 20241208, 120000);
    GuardedBuffer guard;
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    const std::vector<uint8_t> seed = SeedImage();
    int accepted = 0;
    int links = 0;
    for (int round = 0; round < run.Inputs(); ++round) {
        std::vector<uint8_t> bytes = seed;
        for (int k = 1 + random() % 3; k > 0; --k)
            Mutate(bytes, random);
        const uint8_t* data = guard.Place(bytes);
        int isDll = -1, referenceDll = -1;
        bool kind = ReadPeImageKindInBuffer(data, bytes.size(), &isDll);
        ASSERT_EQ(ReferencePeKind(bytes, &referenceDll), kind) << run.At(round);
        if (kind) {
            ASSERT_EQ(referenceDll, isDll) << run.At(round);
            ++accepted;
        }
        ASSERT_EQ(ReferenceHasSections(bytes), PeHasSectionsInBuffer(data, bytes.size())) << run.At(round);
        bool suspicious = IsCodeSectionSuspiciousInBuffer(data, bytes.size());
        if (suspicious) {
            ASSERT_TRUE(ReferenceHasSections(bytes)) << run.At(round);
        }

        std::vector<uint8_t> link(kLinkStart, kLinkStart + sizeof(kLinkStart));
        link.resize(kLinkStart[0] - 4 + random() % 8);
        Mutate(link, random);
        // No shorter than the header size its first four bytes state.
        const bool isLink = link.size() >= sizeof(kLinkStart) &&
                            std::equal(kLinkStart, kLinkStart + sizeof(kLinkStart), link.begin()) &&
                            link.size() >= Le32(link, 0);
        ASSERT_EQ(isLink, IsShellLinkHeader(guard.Place(link), link.size())) << run.At(round);
        links += isLink;
    }
    EXPECT_GT(accepted, run.Inputs() / 100);  // the mutations still reach the deeper checks
    EXPECT_GT(links, run.Inputs() / 10);
}

TEST(Fuzz, ZoneTextParserStaysInsideItsInput)
{
    const cftest::FuzzRun run("zone text", 7, 100000);
    GuardedBuffer guard;
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    const std::wstring seeds[] = {L"[ZoneTransfer]\r\nZoneId=3\r\n", L"[ZoneTransfer]\r\nZoneId=2\r\n",
                                  L"ZoneId=3\r\n[ZoneTransfer]\r\n", L"[ZoneTransfer]ZoneId=3"};
    for (int round = 0; round < run.Inputs(); ++round) {
        const std::wstring& seed = seeds[random() % 4];
        std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(seed.data()),
                                   reinterpret_cast<const uint8_t*>(seed.data() + seed.size()));
        if (random() % 2)
            bytes.resize(random() % 260, 'A');  // cut short, or padded past the 200 read
        for (int n = random() % 3; n > 0 && !bytes.empty(); --n)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        const uint8_t* data = guard.Place(bytes);
        bool zone = IsInternetZoneText(data, bytes.size());
        if (zone) {
            std::wstring text(reinterpret_cast<const wchar_t*>(data), std::min<size_t>(bytes.size(), 200) / 2);
            size_t section = text.find(L"[ZoneTransfer]");
            ASSERT_NE(std::wstring::npos, section) << run.At(round);
            ASSERT_NE(std::wstring::npos, text.find(L"ZoneId=", section + 1)) << run.At(round);
        }
    }
}

TEST(Fuzz, DatabaseLookupStaysInsideTheDatabase)
{
    const cftest::FuzzRun run("digest database", 99, 100000);
    GuardedBuffer guard;
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    int hits = 0;
    for (int round = 0; round < run.Inputs(); ++round) {
        size_t size = random() % (32 * 40 + 31);
        std::vector<uint8_t> db(size);
        for (uint8_t& b : db)
            b = static_cast<uint8_t>(random() % 4);  // few values: many equal keys
        const size_t records = size / 32;
        if (random() % 2) {
            std::vector<std::array<uint8_t, 32>> rows(records);
            if (records)
                memcpy(rows.data(), db.data(), records * 32);
            std::sort(rows.begin(), rows.end(), [](const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b) {
                return memcmp(a.data(), b.data(), 16) < 0;
            });
            if (records)
                memcpy(db.data(), rows.data(), records * 32);
        }
        uint8_t key[16], content[16];
        if (records && random() % 2)
            memcpy(key, &db[(random() % records) * 32], 16);
        else
            for (uint8_t& b : key)
                b = static_cast<uint8_t>(random() % 4);
        bool sorted = true;
        const uint8_t* first = nullptr;  // of the records with the key
        for (size_t at = 0; at < records * 32; at += 32) {
            sorted = sorted && (at == 0 || memcmp(&db[at - 32], &db[at], 16) <= 0);
            if (!first && memcmp(&db[at], key, 16) == 0)
                first = &db[at];
        }
        const uint8_t* data = guard.Place(db);
        ASSERT_EQ(sorted, IsDigestDatabaseSorted(data, size)) << run.At(round);
        const bool found = FindDigestRecord(data, size, key, content);
        if (sorted) {
            ASSERT_EQ(first != nullptr, found) << run.At(round);
            if (found) {
                ASSERT_EQ(0, memcmp(first + 16, content, 16)) << run.At(round);
            }
            hits += found;
        } else if (found) {
            bool present = false;
            for (size_t at = 0; at + 32 <= size && !present; at += 32)
                present = memcmp(&db[at], key, 16) == 0 && memcmp(&db[at + 16], content, 16) == 0;
            ASSERT_TRUE(present) << run.At(round);
        }
    }
    EXPECT_GT(hits, run.Inputs() / 10);
}

// The scans take program folders from the names of the MUICache values,
// which any program that ran could have chosen.
TEST(Fuzz, MuiCacheNamesGiveTheirFolder)
{
    const size_t kLongestValueName = 16383;  // the registry's documented limit
    const cftest::FuzzRun run("MUICache names (hijack scan folders)", 2010, 5000);
    cftest::ScratchKey key;
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    const wchar_t* const pieces[] = {L"C:",   L"c:\\", L"D:\\Games\\", L"\\", L"\\\\", L"/",  L":",         L"a",
                                     L"Z.EXE", L" ",    L"\x6E38\x620F",  L"\xC9", L"\x130",  L"..", L"\\\\?\\"};
    int folders = 0;
    for (int round = 0; round < run.Inputs(); ++round) {
        std::wstring name;
        for (int n = random() % 10; n > 0; --n)
            name += pieces[random() % ARRAYSIZE(pieces)];
        if (random() % 16 == 0)  // around the longest name a value can have
            name = L"C:\\" + std::wstring(kLongestValueName - 9 + random() % 12, L'x') + L"\\a";
        const bool stored =
            RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2) == ERROR_SUCCESS;
        ASSERT_EQ(name.size() <= kLongestValueName, stored) << run.At(round);
        const bool drive = stored && name.size() >= 3 && name[1] == L':' && name[2] == L'\\';
        std::wstring expected = L"kept";
        if (drive) {
            expected = name.substr(0, name.rfind(L'\\') + 1);
            CharLowerBuffW(&expected[0], static_cast<DWORD>(expected.size()));
        }
        std::wstring folder = L"kept";
        ASSERT_EQ(drive, ReadMuiCacheFolder(key.Get(), 0, folder)) << run.At(round) << ": " << name.size();
        ASSERT_EQ(expected, folder) << run.At(round);
        if (stored) {
            ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key.Get(), name.c_str())) << run.At(round);
        }
        folders += drive;
    }
    EXPECT_GT(folders, run.Inputs() / 20);
}
