// Times ComputeMd5OfBuffer alone on a file already read into memory.
// Usage: md5bench PATH [ROUNDS]
// Prints: md5 <digest> <bytes> <best seconds> <MB/s>  (MB = 10^6 bytes)

#include "support/file_ops.h"
#include "support/unique.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    int rounds = argc > 2 ? static_cast<int>(wcstol(argv[2], nullptr, 10)) : 3;
    if (rounds < 1)
        rounds = 1;

    cf::UniqueFile file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size) || static_cast<ULONGLONG>(size.QuadPart) > (SIZE_T(-1) >> 1)) {
        std::fprintf(stderr, "md5bench: cannot open or size the file (%lu)\n", GetLastError());
        return 1;
    }
    SIZE_T length = static_cast<SIZE_T>(size.QuadPart);
    auto* data = static_cast<uint8_t*>(VirtualAlloc(nullptr, length ? length : 1, MEM_COMMIT, PAGE_READWRITE));
    if (!data) {
        std::fprintf(stderr, "md5bench: out of memory\n");
        return 1;
    }
    for (SIZE_T done = 0; done < length;) {
        DWORD want = static_cast<DWORD>(length - done > (1u << 24) ? (1u << 24) : length - done);
        DWORD got = 0;
        if (!ReadFile(file.Get(), data + done, want, &got, nullptr) || got == 0) {
            std::fprintf(stderr, "md5bench: read failed (%lu)\n", GetLastError());
            return 1;
        }
        done += got;
    }

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    uint8_t digest[16] = {};
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER start, stop;
        QueryPerformanceCounter(&start);
        ComputeMd5OfBuffer(digest, data, length);
        QueryPerformanceCounter(&stop);
        double seconds = static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
        if (i == 0 || seconds < best)
            best = seconds;
    }
    VirtualFree(data, 0, MEM_RELEASE);

    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    double mbps = best > 0 ? static_cast<double>(length) / 1e6 / best : 0;
    std::printf("md5 %s %llu %.6f %.1f\n", hex, static_cast<unsigned long long>(length), best, mbps);
    return 0;
}
