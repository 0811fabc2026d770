#include "commands/command.h"
#include "common/test_util.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cwchar>
#include <random>

namespace {

// What ReadRegText must give for the stored value, from its rules alone.
DWORD ExpectedLength(DWORD type, const std::vector<BYTE>& data, std::wstring& text)
{
    text.clear();
    const size_t bytes = data.size();
    if (bytes % 2 != 0 || bytes > kRegTextChars * sizeof(wchar_t))
        return 0;
    std::wstring chars(bytes / 2, L'\0');
    if (bytes)
        memcpy(&chars[0], data.data(), bytes);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        if (chars.empty())
            return 1;
        if (chars.back() == L'\0') {
            text = chars.c_str();
            return static_cast<DWORD>(text.size() + 1);
        }
    }
    if (type == REG_MULTI_SZ && chars.size() >= 2 && chars[chars.size() - 1] == L'\0' &&
        chars[chars.size() - 2] == L'\0') {
        text = chars.c_str();
        return static_cast<DWORD>(text.size() + 1);
    }
    return 0;
}

TEST(Fuzz, ReadRegTextFollowsItsAcceptanceRules)
{
    const cftest::FuzzRun run("registry text", 20100526, 2000);
    cftest::ScratchKey key;
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY, REG_NONE, REG_SZ, REG_MULTI_SZ};
    const wchar_t alphabet[] = {L'\0', L'\0', L'a', L'Z', L'.', L'\x4e2d', L'\xffff', L'\xd800'};
    const int kRounds = run.Inputs();
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
        const DWORD type = types[random() % ARRAYSIZE(types)];
        size_t bytes;
        switch (random() % 8) {
        case 0:
            bytes = 1014 + random() % 20;  // around the 1024-byte limit
            break;
        case 1:
            bytes = random() % 4000;
            break;
        default:
            bytes = random() % 24;
        }
        // One character more than stored and not NUL, so the prefix keeps
        // exactly the given size.
        std::vector<BYTE> data(bytes + 4, 0x41);
        for (size_t i = 0; i + 1 < bytes; i += 2) {
            wchar_t c = alphabet[random() % ARRAYSIZE(alphabet)];
            memcpy(&data[i], &c, 2);
        }
        if (bytes >= 2 && random() % 2)
            data[bytes - 1] = data[bytes - 2] = 0;
        if (bytes >= 4 && random() % 3 == 0)
            data[bytes - 3] = data[bytes - 4] = 0;
        if (bytes % 2)
            data[bytes - 1] = static_cast<BYTE>(random());
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), L"f", 0, type, data.data(), static_cast<DWORD>(bytes)))
            << run.At(round);

        DWORD storedType = 0;
        DWORD storedBytes = 0;
        RegQueryValueExW(key.Get(), L"f", nullptr, &storedType, nullptr, &storedBytes);
        std::vector<BYTE> stored(storedBytes);
        RegQueryValueExW(key.Get(), L"f", nullptr, &storedType, stored.empty() ? nullptr : stored.data(),
                         &storedBytes);

        struct {
            wchar_t text[kRegTextChars];
            wchar_t guard[4];
        } buffer;
        wmemset(buffer.text, L'#', kRegTextChars);
        wmemset(buffer.guard, L'G', 4);
        std::wstring expectedText;
        const DWORD expected = ExpectedLength(storedType, stored, expectedText);
        const DWORD length = ReadRegText(key.Get(), L"f", buffer.text);
        ASSERT_EQ(expected, length) << run.At(round) << ": type " << type << " bytes " << storedBytes;
        ASSERT_EQ(expectedText, std::wstring(buffer.text)) << run.At(round);
        ASSERT_EQ(std::wstring(4, L'G'), std::wstring(buffer.guard, 4)) << run.At(round);
        accepted += length != 0;
    }
    // Both outcomes must have been exercised in earnest.
    EXPECT_GT(accepted, kRounds / 10);
    EXPECT_LT(accepted, kRounds * 9 / 10);
}

TEST(Fuzz, CommandFilesExistNeedsEveryDottedArgument)
{
    cftest::ScratchDir dir;
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"a.txt", "x"));
    ASSERT_TRUE(cftest::WriteFileBytes(dir / L"b c.dat", "x"));
    const std::wstring base = dir.Path();
    struct Token {
        std::wstring text;
        int dotted;  // 0: no ".", 1: a file that exists, 2: one that does not
    };
    const Token tokens[] = {
        {L"a.txt", 1},           {L"A.TXT", 1},          {L"\"b c.dat\"", 1},    {L"\"" + base + L"a.txt\"", 1},
        {L"notepad.exe", 1},     {L"%SystemRoot%\\notepad.exe", 1},              {L"gone.vbs", 2},
        {L"\"" + base + L"gone.txt\"", 2},               {L"x.y", 2},            {L"\"b c.da\"", 2},
        {L"%1", 0},              {L"%*", 0},             {L"\"%1\"", 0},         {L"/s", 0},
        {L"-k", 0},              {L"\"\"", 0},
    };
    const wchar_t* const separators[] = {L" ", L"\t", L"  "};
    // Pieces of which no dotted argument can name an existing file.
    const wchar_t* const junk[] = {L"\"", L"\\", L" ", L"q", L"%", L"\t", L"\x4e2d", L".x", L"\\\""};

    const cftest::FuzzRun run("command lines (CommandFilesExist)", 1010, 1500);
    std::mt19937 random(static_cast<uint32_t>(run.Seed()));
    const int kRounds = run.Inputs();
    int found = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::wstring line;
        bool expected = true;
        if (round % 4 != 3) {
            const int count = 1 + static_cast<int>(random() % 5);
            for (int i = 0; i < count; ++i) {
                const Token& token = tokens[random() % ARRAYSIZE(tokens)];
                if (i)
                    line += separators[random() % ARRAYSIZE(separators)];
                line += token.text;
                expected = expected && token.dotted != 2;
            }
        } else {
            const int count = static_cast<int>(random() % 60);
            for (int i = 0; i < count; ++i)
                line += junk[random() % ARRAYSIZE(junk)];
            int argc = 0;
            LPWSTR* argv = line.empty() ? nullptr : CommandLineToArgvW(line.c_str(), &argc);
            for (int i = 0; i < argc; ++i)
                expected = expected && !wcschr(argv[i], L'.');
            if (argv)
                LocalFree(argv);
        }
        const bool result = CommandFilesExist(line.c_str(), base.c_str());
        ASSERT_EQ(expected, result) << run.At(round) << ": " << cftest::Narrow(line);
        found += result;
    }
    EXPECT_GT(found, kRounds / 10);
    EXPECT_LT(found, kRounds * 9 / 10);
}

}  // namespace
