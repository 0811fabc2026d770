#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

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
    GuardedBuffer guard;
    std::mt19937 random(20241208);
    const std::vector<uint8_t> seed = SeedImage();
    int accepted = 0;
    for (int round = 0; round < 120000; ++round) {
        std::vector<uint8_t> bytes = seed;
        for (int k = 1 + random() % 3; k > 0; --k)
            Mutate(bytes, random);
        const uint8_t* data = guard.Place(bytes);
        int isDll = -1, referenceDll = -1;
        bool kind = ReadPeImageKindInBuffer(data, bytes.size(), &isDll);
        ASSERT_EQ(ReferencePeKind(bytes, &referenceDll), kind) << "round " << round;
        if (kind) {
            ASSERT_EQ(referenceDll, isDll) << "round " << round;
            ++accepted;
        }
        ASSERT_EQ(ReferenceHasSections(bytes), PeHasSectionsInBuffer(data, bytes.size())) << "round " << round;
        bool suspicious = IsCodeSectionSuspiciousInBuffer(data, bytes.size());
        if (suspicious) {
            ASSERT_TRUE(ReferenceHasSections(bytes)) << "round " << round;
        }
    }
    EXPECT_GT(accepted, 1000);  // the mutations still reach the deeper checks
}

TEST(Fuzz, ZoneTextParserStaysInsideItsInput)
{
    GuardedBuffer guard;
    std::mt19937 random(7);
    const std::wstring seeds[] = {L"[ZoneTransfer]\r\nZoneId=3\r\n", L"[ZoneTransfer]\r\nZoneId=2\r\n",
                                  L"ZoneId=3\r\n[ZoneTransfer]\r\n", L"[ZoneTransfer]ZoneId=3"};
    for (int round = 0; round < 100000; ++round) {
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
            ASSERT_NE(std::wstring::npos, section) << "round " << round;
            ASSERT_NE(std::wstring::npos, text.find(L"ZoneId=", section + 1)) << "round " << round;
        }
    }
}

TEST(Fuzz, DatabaseLookupStaysInsideTheDatabase)
{
    GuardedBuffer guard;
    std::mt19937 random(99);
    for (int round = 0; round < 100000; ++round) {
        size_t size = random() % (32 * 40 + 31);
        std::vector<uint8_t> db(size);
        for (uint8_t& b : db)
            b = static_cast<uint8_t>(random() % 4);  // few values: many equal keys
        uint8_t key[16], content[16];
        if (size >= 32 && random() % 2)
            memcpy(key, &db[(random() % (size / 32)) * 32], 16);
        else
            for (uint8_t& b : key)
                b = static_cast<uint8_t>(random() % 4);
        const uint8_t* data = guard.Place(db);
        if (FindDigestRecord(data, size, key, content)) {
            bool present = false;
            for (size_t at = 0; at + 32 <= size && !present; at += 32)
                present = memcmp(&db[at], key, 16) == 0 && memcmp(&db[at + 16], content, 16) == 0;
            ASSERT_TRUE(present) << "round " << round;
        }
        IsDigestDatabaseSorted(data, size);
    }
}
