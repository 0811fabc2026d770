#pragma once
// Incremental MD5 (RFC 1321) for callers that feed data in pieces;
// ComputeMd5OfBuffer is the one-shot form.

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];
    uint64_t length;  // bytes fed so far
    uint8_t pending[64];
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, size_t length);
void Md5Final(Md5Context* context, uint8_t digest[16]);
