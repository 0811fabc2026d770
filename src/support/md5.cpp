#include "support/md5.h"

#include "support/file_ops.h"

#include <cstring>

namespace {

// Windows runs little-endian only, so message words load straight from memory.
inline uint32_t LoadWord(const uint8_t* p)
{
    uint32_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

inline uint32_t Rotl(uint32_t value, int shift) { return (value << shift) | (value >> (32 - shift)); }

// F and I in their three-operation forms; G is split into two disjoint
// halves that are added separately, so the adds need not wait on `b`.
#define MD5_F(a, b, c, d, x, t, s) \
    a += (d ^ (b & (c ^ d))) + (x) + (t); \
    a = Rotl(a, s) + b;
#define MD5_G(a, b, c, d, x, t, s) \
    a += (~d & c) + (x) + (t); \
    a += (d & b); \
    a = Rotl(a, s) + b;
#define MD5_H(a, b, c, d, x, t, s) \
    a += (b ^ c ^ d) + (x) + (t); \
    a = Rotl(a, s) + b;
#define MD5_I(a, b, c, d, x, t, s) \
    a += (c ^ (b | ~d)) + (x) + (t); \
    a = Rotl(a, s) + b;

void ProcessBlocks(uint32_t state[4], const uint8_t* data, size_t blocks)
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, data += 64) {
        const uint32_t x0 = LoadWord(data), x1 = LoadWord(data + 4), x2 = LoadWord(data + 8),
                       x3 = LoadWord(data + 12), x4 = LoadWord(data + 16), x5 = LoadWord(data + 20),
                       x6 = LoadWord(data + 24), x7 = LoadWord(data + 28), x8 = LoadWord(data + 32),
                       x9 = LoadWord(data + 36), x10 = LoadWord(data + 40), x11 = LoadWord(data + 44),
                       x12 = LoadWord(data + 48), x13 = LoadWord(data + 52), x14 = LoadWord(data + 56),
                       x15 = LoadWord(data + 60);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_F(a, b, c, d, x0, 0xd76aa478, 7)
        MD5_F(d, a, b, c, x1, 0xe8c7b756, 12)
        MD5_F(c, d, a, b, x2, 0x242070db, 17)
        MD5_F(b, c, d, a, x3, 0xc1bdceee, 22)
        MD5_F(a, b, c, d, x4, 0xf57c0faf, 7)
        MD5_F(d, a, b, c, x5, 0x4787c62a, 12)
        MD5_F(c, d, a, b, x6, 0xa8304613, 17)
        MD5_F(b, c, d, a, x7, 0xfd469501, 22)
        MD5_F(a, b, c, d, x8, 0x698098d8, 7)
        MD5_F(d, a, b, c, x9, 0x8b44f7af, 12)
        MD5_F(c, d, a, b, x10, 0xffff5bb1, 17)
        MD5_F(b, c, d, a, x11, 0x895cd7be, 22)
        MD5_F(a, b, c, d, x12, 0x6b901122, 7)
        MD5_F(d, a, b, c, x13, 0xfd987193, 12)
        MD5_F(c, d, a, b, x14, 0xa679438e, 17)
        MD5_F(b, c, d, a, x15, 0x49b40821, 22)

        MD5_G(a, b, c, d, x1, 0xf61e2562, 5)
        MD5_G(d, a, b, c, x6, 0xc040b340, 9)
        MD5_G(c, d, a, b, x11, 0x265e5a51, 14)
        MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20)
        MD5_G(a, b, c, d, x5, 0xd62f105d, 5)
        MD5_G(d, a, b, c, x10, 0x02441453, 9)
        MD5_G(c, d, a, b, x15, 0xd8a1e681, 14)
        MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20)
        MD5_G(a, b, c, d, x9, 0x21e1cde6, 5)
        MD5_G(d, a, b, c, x14, 0xc33707d6, 9)
        MD5_G(c, d, a, b, x3, 0xf4d50d87, 14)
        MD5_G(b, c, d, a, x8, 0x455a14ed, 20)
        MD5_G(a, b, c, d, x13, 0xa9e3e905, 5)
        MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9)
        MD5_G(c, d, a, b, x7, 0x676f02d9, 14)
        MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20)

        MD5_H(a, b, c, d, x5, 0xfffa3942, 4)
        MD5_H(d, a, b, c, x8, 0x8771f681, 11)
        MD5_H(c, d, a, b, x11, 0x6d9d6122, 16)
        MD5_H(b, c, d, a, x14, 0xfde5380c, 23)
        MD5_H(a, b, c, d, x1, 0xa4beea44, 4)
        MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11)
        MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16)
        MD5_H(b, c, d, a, x10, 0xbebfbc70, 23)
        MD5_H(a, b, c, d, x13, 0x289b7ec6, 4)
        MD5_H(d, a, b, c, x0, 0xeaa127fa, 11)
        MD5_H(c, d, a, b, x3, 0xd4ef3085, 16)
        MD5_H(b, c, d, a, x6, 0x04881d05, 23)
        MD5_H(a, b, c, d, x9, 0xd9d4d039, 4)
        MD5_H(d, a, b, c, x12, 0xe6db99e5, 11)
        MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16)
        MD5_H(b, c, d, a, x2, 0xc4ac5665, 23)

        MD5_I(a, b, c, d, x0, 0xf4292244, 6)
        MD5_I(d, a, b, c, x7, 0x432aff97, 10)
        MD5_I(c, d, a, b, x14, 0xab9423a7, 15)
        MD5_I(b, c, d, a, x5, 0xfc93a039, 21)
        MD5_I(a, b, c, d, x12, 0x655b59c3, 6)
        MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10)
        MD5_I(c, d, a, b, x10, 0xffeff47d, 15)
        MD5_I(b, c, d, a, x1, 0x85845dd1, 21)
        MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6)
        MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10)
        MD5_I(c, d, a, b, x6, 0xa3014314, 15)
        MD5_I(b, c, d, a, x13, 0x4e0811a1, 21)
        MD5_I(a, b, c, d, x4, 0xf7537e82, 6)
        MD5_I(d, a, b, c, x11, 0xbd3af235, 10)
        MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15)
        MD5_I(b, c, d, a, x9, 0xeb86d391, 21)

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

void Md5Init(Md5Context* context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->length = 0;
}

void Md5Update(Md5Context* context, const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>(context->length & 63);
    context->length += length;
    if (used != 0) {
        size_t take = 64 - used;
        if (length < take) {
            std::memcpy(context->pending + used, bytes, length);
            return;
        }
        std::memcpy(context->pending + used, bytes, take);
        ProcessBlocks(context->state, context->pending, 1);
        bytes += take;
        length -= take;
    }
    size_t blocks = length / 64;
    if (blocks != 0) {
        ProcessBlocks(context->state, bytes, blocks);
        bytes += blocks * 64;
        length -= blocks * 64;
    }
    if (length != 0)
        std::memcpy(context->pending, bytes, length);
}

void Md5Final(Md5Context* context, uint8_t digest[16])
{
    uint64_t bits = context->length * 8;
    size_t used = static_cast<size_t>(context->length & 63);
    uint8_t tail[128] = {};
    std::memcpy(tail, context->pending, used);
    tail[used] = 0x80;
    // The bit count takes the last 8 bytes of the final block; a tail with
    // fewer than 8 bytes to spare spills into a second block.
    size_t tailBlocks = used < 56 ? 1 : 2;
    for (int i = 0; i < 8; ++i)
        tail[tailBlocks * 64 - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    ProcessBlocks(context->state, tail, tailBlocks);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            digest[i * 4 + j] = static_cast<uint8_t>(context->state[i] >> (8 * j));
    }
}

void ComputeMd5OfBuffer(uint8_t digest[16], const void* data, size_t length)
{
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, data, length);
    Md5Final(&context, digest);
}
