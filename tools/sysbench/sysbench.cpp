// Timing probe for the benchmark script.
//   sysbench md5crypt <salt> <passwords file> <hashes out>
//     hashes every line of the file (UTF-8 bytes, LF-separated) with the
//     salt, writes the hashes one a line, prints "<count> <seconds>".
//   sysbench lookup <database>
//     prints "<records> <build ms> <lookup ns per name>": BuildSystemFileList
//     over the database (whole call: read, order check, 29 names), and the
//     bisection alone for every name of the table.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "repair/module.h"
#include "repair/system_files.h"
#include "support/file_ops.h"
#include "support/examine.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string ReadAll(const wchar_t* path)
{
    uint32_t size = 0;
    uint8_t* data = ReadWholeFile(path, &size);
    if (!data)
        return std::string();
    std::string text(reinterpret_cast<char*>(data), size);
    FreeFileBuffer(data);
    return text;
}

int HashPasswords(const wchar_t* saltText, const wchar_t* input, const wchar_t* output)
{
    char salt[64];
    WideCharToMultiByte(CP_UTF8, 0, saltText, -1, salt, sizeof(salt), nullptr, nullptr);
    std::string text = ReadAll(input);
    std::vector<std::string> words;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        words.push_back(text.substr(from, end - from));
    std::string hashes;
    hashes.reserve(words.size() * 40);
    LARGE_INTEGER start, stop;
    QueryPerformanceCounter(&start);
    for (const std::string& word : words) {
        hashes += Md5Crypt(word.c_str(), salt);
        hashes += '\n';
    }
    QueryPerformanceCounter(&stop);
    FILE* out = _wfopen(output, L"wb");
    if (!out)
        return 1;
    fwrite(hashes.data(), 1, hashes.size(), out);
    fclose(out);
    printf("%zu %.6f\n", words.size(), Seconds(start, stop));
    return 0;
}

int Lookup(const wchar_t* database)
{
    std::string db = ReadAll(database);
    if (db.empty())
        return 1;
    LARGE_INTEGER start, stop;
    CKillSysFileFix module;
    module.SetDigestDatabasePath(database);
    QueryPerformanceCounter(&start);
    module.BuildSystemFileList();
    QueryPerformanceCounter(&stop);
    double build = Seconds(start, stop);

    std::wstring systemDir, windowsDir;
    GetSystemDirWithSlash(systemDir);
    GetWindowsDirWithSlash(windowsDir);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(db.data());
    const int rounds = 2000;
    int hits = 0;
    QueryPerformanceCounter(&start);
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < HijackNameCount; ++i) {
            uint8_t key[16], content[16];
            ComputeSystemPathKey(systemDir + HijackNameTable[i], windowsDir, key);
            hits += FindDigestRecord(data, db.size(), key, content) ? 1 : 0;
        }
    }
    QueryPerformanceCounter(&stop);
    double perName = Seconds(start, stop) / (rounds * static_cast<double>(HijackNameCount));
    printf("%zu %.3f %.0f %d\n", db.size() / kDigestRecordSize, build * 1000.0, perName * 1e9, hits / rounds);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && wcscmp(argv[1], L"md5crypt") == 0)
        return HashPasswords(argv[2], argv[3], argv[4]);
    if (argc == 3 && wcscmp(argv[1], L"lookup") == 0)
        return Lookup(argv[2]);
    fprintf(stderr, "usage: sysbench md5crypt <salt> <passwords> <hashes out> | lookup <database>\n");
    return 2;
}
