// Builds a digest database for the system-file repair: one sorted 32-byte
// record (key of the normalised target path, MD5 of the clean file) per
// target, optionally padded with random records to a given size.
//
//   digestdb <output> [--fill N] [<target path> <clean file>]...
//
// Keys are made with this machine's Windows folder, so build the database
// on (or for) a system whose Windows folder matches the product's.

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "repair/system_files.h"
#include "support/file_ops.h"

namespace {

using Record = std::array<uint8_t, kDigestRecordSize>;

int Fail(const wchar_t* what, const wchar_t* subject)
{
    fwprintf(stderr, L"digestdb: %ls %ls\n", what, subject ? subject : L"");
    return 1;
}

uint64_t NextRandom(uint64_t& state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Fail(L"usage: digestdb <output> [--fill N] [<target path> <clean file>]...", nullptr);
    const wchar_t* output = argv[1];
    std::vector<Record> records;
    unsigned long fill = 0;

    wchar_t windowsDir[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windowsDir, MAX_PATH - 1);
    if (length == 0 || length >= MAX_PATH - 1)
        return Fail(L"cannot read the Windows folder", nullptr);
    std::wstring windows(windowsDir, length);
    if (windows.back() != L'\\')
        windows += L'\\';

    for (int i = 2; i < argc; ++i) {
        if (wcscmp(argv[i], L"--fill") == 0 && i + 1 < argc) {
            fill = wcstoul(argv[++i], nullptr, 10);
            continue;
        }
        if (i + 1 >= argc)
            return Fail(L"target without a clean file:", argv[i]);
        Record record;
        ComputeSystemPathKey(argv[i], windows, record.data());
        if (!ComputeMd5OfFile(record.data() + 16, argv[i + 1]))
            return Fail(L"cannot read", argv[i + 1]);
        records.push_back(record);
        ++i;
    }

    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (unsigned long n = 0; n < fill; ++n) {
        Record record;
        for (size_t j = 0; j < record.size(); j += 8) {
            uint64_t value = NextRandom(state);
            memcpy(record.data() + j, &value, 8);
        }
        records.push_back(record);
    }
    std::sort(records.begin(), records.end());

    HANDLE file = CreateFileW(output, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(L"cannot create", output);
    bool written = true;
    const size_t chunk = 1 << 15;
    for (size_t at = 0; at < records.size() && written; at += chunk) {
        size_t count = std::min(chunk, records.size() - at);
        DWORD bytes = static_cast<DWORD>(count * kDigestRecordSize);
        DWORD done = 0;
        written = WriteFile(file, records[at].data(), bytes, &done, nullptr) && done == bytes;
    }
    CloseHandle(file);
    if (!written)
        return Fail(L"cannot write", output);
    return 0;
}
