#include "support/file_ops.h"
#include "support/md5.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

std::string Md5Hex(const void* data, size_t length)
{
    uint8_t digest[16];
    ComputeMd5OfBuffer(digest, data, length);
    return cftest::Hex(digest, sizeof(digest));
}

std::string Md5Hex(const std::string& text) { return Md5Hex(text.data(), text.size()); }

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, NullBufferOfLengthZeroIsTheEmptyDigest)
{
    EXPECT_EQ(Md5Hex(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
}

// Pieces that straddle the 64-byte block and the 56-byte padding point must
// give the one-shot digest.
TEST(Md5, IncrementalFeedMatchesOneShot)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>((i * 131 + 7) & 0xFF);
    const size_t pieces[] = {1, 3, 55, 56, 63, 64, 65, 127, 129};
    for (size_t total : {size_t(0), size_t(55), size_t(56), size_t(64), size_t(119), size_t(120), size_t(1000)}) {
        for (size_t piece : pieces) {
            Md5Context context;
            Md5Init(&context);
            for (size_t at = 0; at < total; at += piece)
                Md5Update(&context, data.data() + at, std::min(piece, total - at));
            uint8_t digest[16];
            Md5Final(&context, digest);
            EXPECT_EQ(cftest::Hex(digest, 16), Md5Hex(data.data(), total)) << "total " << total << " piece " << piece;
        }
    }
}

struct ReferenceFile {
    std::string digest;
    std::wstring path;
};

std::vector<ReferenceFile> ReferenceFiles()
{
    std::wstring folder = cftest::ExeDir() + L"..\\testdata\\md5\\";
    std::istringstream list(cftest::ReadFileBytes(folder + L"digests.txt"));
    std::vector<ReferenceFile> files;
    std::string digest, name;
    while (list >> digest >> name)
        files.push_back({digest, folder + std::wstring(name.begin(), name.end())});
    return files;
}

// Digests from coreutils md5sum, computed on the build machine.
TEST(Md5, GeneratedFilesMatchMd5sum)
{
    std::vector<ReferenceFile> files = ReferenceFiles();
    ASSERT_EQ(files.size(), 16u) << "the build writes testdata\\md5\\digests.txt";
    for (const ReferenceFile& file : files) {
        SCOPED_TRACE(cftest::Narrow(file.path));
        uint8_t digest[16] = {};
        ASSERT_TRUE(ComputeMd5OfFile(digest, file.path.c_str()));
        EXPECT_EQ(cftest::Hex(digest, 16), file.digest);

        std::string bytes = cftest::ReadFileBytes(file.path);
        EXPECT_EQ(Md5Hex(bytes), file.digest);
    }
}

TEST(Md5, FileThatCannotBeOpenedGivesFalseAndLeavesDigest)
{
    cftest::ScratchDir dir;
    uint8_t digest[16];
    std::memset(digest, 0xAB, sizeof(digest));
    EXPECT_FALSE(ComputeMd5OfFile(digest, (dir / L"missing.bin").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(cftest::Hex(digest, 16), "abababababababababababababababab");
}

// When reading fails the digest is of nothing; it must not be passed off as
// the file's. The build links testdata\unreadable\mem.bin to
// /proc/self/mem, which opens but cannot be read at offset 0.
TEST(Md5, UnreadableFileGivesFalse)
{
    std::wstring path = cftest::ExeDir() + L"..\\testdata\\unreadable\\mem.bin";
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        char block[16];
        DWORD got = 0;
        BOOL read = ReadFile(file, block, sizeof(block), &got, nullptr);
        DWORD error = GetLastError();
        CloseHandle(file);
        ASSERT_FALSE(read);
        ASSERT_EQ(error, static_cast<DWORD>(ERROR_NOT_READY));
    }
    uint8_t digest[16] = {};
    EXPECT_FALSE(ComputeMd5OfFile(digest, path.c_str()));

    cftest::ScratchDir dir;
    EXPECT_FALSE(ComputeMd5OfFile(digest, dir.Path().c_str()));
}

}  // namespace
