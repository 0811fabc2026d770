// Generated and mutated command lines against the routines that fill fixed
// path buffers: nothing may be written past a buffer, and each routine's
// promises (an empty target on failure, an existing file on success) hold.
// Generated INI files against the read of one value.

#include "support/cmdline.h"
#include "support/file_ops.h"
#include "support/paths.h"

#include "common/test_util.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kMaxReportedFailures = 10;
const wchar_t kGuardCell = 0xA5A5;
const size_t kGuardCells = 32;

class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }
    size_t Below(size_t bound) { return bound ? static_cast<size_t>(Next() % bound) : 0; }
    bool OneIn(size_t n) { return Below(n) == 0; }

private:
    uint64_t m_state;
};

std::string Describe(const std::wstring& text)
{
    std::ostringstream out;
    out << "\"";
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\')
            out << static_cast<char>(c);
        else
            out << "\\u" << std::hex << static_cast<unsigned>(c) << std::dec;
    }
    out << "\" (" << text.size() << " chars)";
    return out.str();
}

bool IsExistingFile(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A buffer of `cells` characters between two guard zones.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t cells) : m_cells(cells), m_storage(cells + 2 * kGuardCells, kGuardCell) {}
    wchar_t* Begin() { return m_storage.data() + kGuardCells; }
    size_t Cells() const { return m_cells; }
    void Fill(const std::wstring& text)
    {
        std::fill(m_storage.begin(), m_storage.end(), kGuardCell);
        std::memcpy(Begin(), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuardCells; ++i) {
            if (m_storage[i] != kGuardCell || m_storage[kGuardCells + m_cells + i] != kGuardCell)
                return false;
        }
        return true;
    }

private:
    size_t m_cells;
    std::vector<wchar_t> m_storage;
};

// A parser placed between guard zones, so a write past the object shows.
class GuardedParser {
public:
    GuardedParser() : m_storage(sizeof(CCmdLineParser) + 2 * kGuardBytes + alignof(CCmdLineParser), 0xA5)
    {
        uintptr_t start = reinterpret_cast<uintptr_t>(m_storage.data()) + kGuardBytes;
        start = (start + alignof(CCmdLineParser) - 1) & ~(static_cast<uintptr_t>(alignof(CCmdLineParser)) - 1);
        m_object = reinterpret_cast<unsigned char*>(start);
        m_parser = new (m_object) CCmdLineParser();
    }
    ~GuardedParser() { m_parser->~CCmdLineParser(); }
    CCmdLineParser& Get() { return *m_parser; }
    bool GuardsIntact() const
    {
        for (const unsigned char* p = m_storage.data(); p < m_object; ++p) {
            if (*p != 0xA5)
                return false;
        }
        for (const unsigned char* p = m_object + sizeof(CCmdLineParser); p < m_storage.data() + m_storage.size(); ++p) {
            if (*p != 0xA5)
                return false;
        }
        return true;
    }
    // The target holds 270 characters but no result or scratch text may
    // reach past the first 260.
    bool TailUntouched() const
    {
        const wchar_t* target = m_parser->GetTargetPath();
        for (size_t i = MAX_PATH; i < 270; ++i) {
            if (target[i] != 0)
                return false;
        }
        return true;
    }

private:
    static const size_t kGuardBytes = 64;
    std::vector<unsigned char> m_storage;
    unsigned char* m_object = nullptr;
    CCmdLineParser* m_parser = nullptr;
};

class SupportFuzzTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW((m_dir / L"Program Files").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_dir / L"Program Files\\App").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_dir / L"sub.d").c_str(), nullptr));
        for (const wchar_t* name : {L"Program Files\\App\\app.exe", L"Program", L"y.dll", L"run.bat", L"job.wsh",
                                    L"x.exe", L"sub.d\\z.cmd"})
            ASSERT_TRUE(cftest::WriteFileBytes(m_dir / name, "x"));

        wchar_t folder[MAX_PATH] = {};
        GetSystemDirectoryW(folder, MAX_PATH);
        m_systemDir = folder;
        GetWindowsDirectoryW(folder, MAX_PATH);
        m_windowsDir = folder;
        // The folders as the system itself gives them: its own expansion of
        // each variable, and the shell's system folder.
        for (const wchar_t* name : {L"%SystemRoot%", L"%windir%", L"%ProgramFiles%", L"%CommonProgramFiles%",
                                    L"%Temp%", L"%Tmp%"}) {
            const DWORD length = ExpandEnvironmentStringsW(name, folder, MAX_PATH);
            m_variables.emplace_back(name, length > 1 && length <= MAX_PATH && folder[0] != L'%' ? folder : L"");
        }
        ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, folder));
        m_bareNames = {{L"SystemRoot", m_variables[0].second}, {L"system32", folder}};

        // A short search path keeps each system search to a few probes.
        wchar_t old[8192] = {};
        DWORD length = GetEnvironmentVariableW(L"PATH", old, ARRAYSIZE(old));
        m_hadPath = length > 0 && length < ARRAYSIZE(old);
        m_oldPath = old;
        SetEnvironmentVariableW(L"PATH", (L" ;" + m_dir.Path() + L";;" + m_dir.Path() + L"sub.d").c_str());

        m_pieces = {L"\"", L"\"", L" ", L"  ", L"\t", L"\\", L"/", L"\\\\", L"//", L"%", L"%SystemRoot%",
                    L"%windir%", L"%Temp%", L"%Tmp%", L"%ProgramFiles%", L"%CommonProgramFiles%", L"%UserProfile%",
                    L"file://", L"FILE://C:/", L"file://srv/share/", L"\\??\\", L"..", L".", L"..\\", L".\\",
                    L"...", L"C:", L"C:\\", L"Z:", L"system32", L"SystemRoot", L"notepad", L"notepad.exe",
                    L"regedit.exe", L"cmd.exe", L"rundll32.exe", L"regsvr32", L"wscript.exe", L"/c", L"-s", L"//B",
                    L";", L",", L",Entry", L"exe", L"a", L"Program Files", L"\u6e38\u620f", L"\u00e9",
                    L"\xFFFF", L"\xD800", L":", L"*", L"?", L"<", L"|", m_dir.Path(), m_dir / L"Program Files\\App\\app",
                    m_dir / L"Program Files\\App\\app.exe", m_dir / L"y.dll", m_dir / L"run", m_dir / L"job",
                    m_dir / L"sub.d\\z", m_dir / L"\u6e38\u620f", m_dir / L"x", m_systemDir, m_windowsDir,
                    m_systemDir + L"\\cmd.exe", m_systemDir + L"\\rundll32.exe", m_systemDir + L"\\regsvr32.exe",
                    m_systemDir + L"\\wscript.exe"};
    }

    void TearDown() override { SetEnvironmentVariableW(L"PATH", m_hadPath ? m_oldPath.c_str() : nullptr); }

    std::wstring Piece()
    {
        if (m_random.OneIn(12)) {
            wchar_t c = static_cast<wchar_t>(L"ab.x_-~Z9"[m_random.Below(9)]);
            return std::wstring(1 + m_random.Below(320), c);
        }
        if (m_random.OneIn(10))
            return std::wstring(1, static_cast<wchar_t>(1 + m_random.Below(0xFFFE)));
        return m_pieces[m_random.Below(m_pieces.size())];
    }

    std::wstring Generate()
    {
        std::wstring line;
        size_t pieces = 1 + m_random.Below(8);
        for (size_t i = 0; i < pieces; ++i)
            line += Piece();
        return line;
    }

    std::wstring Mutate(std::wstring line)
    {
        size_t edits = 1 + m_random.Below(4);
        for (size_t i = 0; i < edits; ++i) {
            size_t at = m_random.Below(line.size() + 1);
            switch (m_random.Below(5)) {
            case 0:
                line.insert(at, Piece());
                break;
            case 1:
                line.erase(at, m_random.Below(12));
                break;
            case 2:
                if (at < line.size())
                    line[at] = static_cast<wchar_t>(L"\"\\/ .%:\t;"[m_random.Below(9)]);
                break;
            case 3:
                line.insert(at, line.substr(m_random.Below(line.size() + 1), m_random.Below(40)));
                break;
            default:
                line.resize(at);
                break;
            }
        }
        if (line.size() > 1200)
            line.resize(1200);
        return line;
    }

    std::wstring NextInput()
    {
        std::wstring line = (m_random.OneIn(2) && !m_recent.empty()) ? Mutate(m_recent[m_random.Below(m_recent.size())])
                                                                     : Generate();
        if (m_recent.size() < 64)
            m_recent.push_back(line);
        else
            m_recent[m_random.Below(m_recent.size())] = line;
        return line;
    }

    const wchar_t* ExtensionList()
    {
        static const wchar_t* const kLists[] = {nullptr, L"", L"exe", L"bat;cmd;exe;pif", L"dll", L";;exe;",
                                                 L"bat;cmd;exe;", L"wsh", L"cmd;"};
        return kLists[m_random.Below(ARRAYSIZE(kLists))];
    }

    void Start(const cftest::FuzzRun& run)
    {
        m_run = &run;
        m_random = Random(run.Seed());
    }

    bool Fail(const char* routine, const std::wstring& input, const std::string& detail)
    {
        ADD_FAILURE() << routine << " in " << m_run->At(m_index) << ": " << Describe(input) << ": " << detail;
        return ++m_failures < kMaxReportedFailures;
    }

    // A leading name of the table, matched without regard to ASCII case, and
    // its folder, with the rest behind the folder's last backslash or behind it.
    bool CheckExpand(const std::wstring& input)
    {
        for (bool bare : {false, true}) {
            GuardedBuffer scratch(MAX_PATH);
            scratch.Fill(L"");
            wchar_t* result = bare ? ExpandSystemRootPrefix(input.c_str(), scratch.Begin())
                                   : ExpandPathVariable(input.c_str(), scratch.Begin());
            const std::wstring got = result ? result : L"(none)";
            if (result)
                HeapFree(GetProcessHeap(), 0, result);
            const char* routine = bare ? "ExpandSystemRootPrefix" : "ExpandPathVariable";
            if (!scratch.GuardsIntact())
                return Fail(routine, input, "wrote past the scratch buffer");
            std::wstring expected = L"(none)";
            for (const auto& row : bare ? m_bareNames : m_variables) {
                if (_wcsnicmp(input.c_str(), row.first.c_str(), row.first.size()) == 0) {
                    if (!row.second.empty()) {
                        expected = row.second;
                        if (expected.back() == L'\\')
                            expected.pop_back();
                        expected += input.substr(row.first.size());
                    }
                    break;
                }
            }
            if (got != expected)
                return Fail(routine, input, "gave " + Describe(got) + ", not " + Describe(expected));
            m_expanded += result != nullptr;
        }
        return true;
    }

    bool CheckNormalize(const std::wstring& input)
    {
        size_t room = m_random.Below(MAX_PATH + 1);
        GuardedBuffer out(room + 1);
        out.Fill(L"");
        size_t count = m_random.OneIn(3) ? m_random.Below(input.size() + 1) : kWholeString;
        bool ok = NormalizePathSeparators(input.c_str(), count, out.Begin(), out.Begin() + room);
        if (!out.GuardsIntact())
            return Fail("NormalizePathSeparators", input, "wrote past its bound");
        if (ok) {
            size_t length = wcsnlen(out.Begin(), room + 1);
            if (length > room)
                return Fail("NormalizePathSeparators", input, "result not terminated within the bound");
            const wchar_t* text = out.Begin();
            if (wcschr(text, L'/'))
                return Fail("NormalizePathSeparators", input, "a '/' survived");
            // Only a leading pair may stand; the search starts behind it.
            if (wcsstr(text + (length >= 2 ? 2 : 0), L"\\\\"))
                return Fail("NormalizePathSeparators", input, "a run of separators survived");
        }
        return true;
    }

    bool CheckAppend(const std::wstring& input)
    {
        GuardedBuffer dir(MAX_PATH);
        std::wstring folder = m_random.OneIn(2) ? m_dir.Path() : (L"C:\\" + std::wstring(m_random.Below(257), L'f'));
        if (m_random.OneIn(20))
            folder.clear();
        dir.Fill(folder);
        bool ok = AppendPathComponent(input.c_str(), dir.Begin());
        if (!dir.GuardsIntact())
            return Fail("AppendPathComponent", input, "wrote past the path buffer");
        std::wstring result = dir.Begin();
        if (ok && (result.size() >= MAX_PATH || result.compare(0, folder.size(), folder) != 0))
            return Fail("AppendPathComponent", input, "bad joined path " + Describe(result));
        if (!ok && result != folder)
            return Fail("AppendPathComponent", input, "folder changed on failure: " + Describe(result));
        return true;
    }

    bool CheckFind(const std::wstring& input)
    {
        GuardedBuffer path(MAX_PATH);
        std::wstring start = input.substr(0, m_random.Below(MAX_PATH));
        path.Fill(start);
        bool ok = FindWithExtensions(path.Begin(), ExtensionList());
        if (!path.GuardsIntact())
            return Fail("FindWithExtensions", input, "wrote past the path buffer");
        if (ok && !IsExistingFile(path.Begin()))
            return Fail("FindWithExtensions", input, "reported a path that is no file: " + Describe(path.Begin()));
        if (!ok && start != path.Begin())
            return Fail("FindWithExtensions", input, "changed the path on failure: " + Describe(path.Begin()));
        return true;
    }

    bool CheckParse(const std::wstring& input)
    {
        static const DWORD kFlagChoices[] = {0, 1, 2, 3, 6, 8, 10, 12, 15, 15};
        GuardedParser guarded;
        CCmdLineParser& parser = guarded.Get();
        DWORD flags = kFlagChoices[m_random.Below(ARRAYSIZE(kFlagChoices))];
        parser.SetFlags(flags);
        std::wstring base;
        bool useBase = m_random.OneIn(2);
        switch (m_random.Below(5)) {
        case 0:
            base = m_dir.Path();
            break;
        case 1:
            base = m_dir / L"Program Files\\App";
            break;
        case 2:
            base = L"C:\\";
            break;
        case 3:
            base = L"C:\\" + std::wstring(m_random.Below(300), L'b');
            break;
        default:
            base = Generate();
            break;
        }
        bool ok = parser.Parse(input.c_str(), useBase ? base.c_str() : nullptr, ExtensionList());
        if (!guarded.GuardsIntact() || !guarded.TailUntouched())
            return Fail("CCmdLineParser::Parse", input, "wrote past the target buffer");
        const wchar_t* target = parser.GetTargetPath();
        if (!ok && (target[0] || parser.GetArguments()))
            return Fail("CCmdLineParser::Parse", input, "false but target or arguments kept");
        if (ok && (wcsnlen(target, MAX_PATH) >= MAX_PATH || !IsExistingFile(target)))
            return Fail("CCmdLineParser::Parse", input, "true but the target is no file: " + Describe(target));
        if (ok && !(flags & CCmdLineParser::FlagKeepArguments) && parser.GetArguments())
            return Fail("CCmdLineParser::Parse", input, "kept arguments without the flag");
        if (ok)
            ++m_parsedTargets;
        if (ok && parser.GetArguments() && !parser.GetArguments()[0])
            return Fail("CCmdLineParser::Parse", input, "empty arguments kept");
        return CheckLaunchTargets(parser, input, useBase ? base.c_str() : nullptr);
    }

    bool CheckLaunchTargets(const CCmdLineParser& parser, const std::wstring& input, const wchar_t* base)
    {
        std::vector<std::wstring> targets(m_random.Below(3), L"kept");
        size_t before = targets.size();
        size_t count = ResolveLaunchTargets(parser, targets, base);
        if (count != targets.size() || count < before || count > before + 1)
            return Fail("ResolveLaunchTargets", input, "bad count");
        for (size_t i = 0; i < before; ++i) {
            if (targets[i] != L"kept")
                return Fail("ResolveLaunchTargets", input, "changed an earlier entry");
        }
        if (count > before && (targets.back().size() >= MAX_PATH || !IsExistingFile(targets.back().c_str())))
            return Fail("ResolveLaunchTargets", input, "added no file: " + Describe(targets.back()));
        if (count > before)
            ++m_hostedTargets;
        return true;
    }

    // Host lines make sure the host branch sees most of the generated text.
    std::wstring HostLine(const std::wstring& input)
    {
        static const wchar_t* const kHosts[] = {L"rundll32.exe ", L"cmd.exe /c ", L"regsvr32 /s ",
                                                 L"wscript.exe //B ", L"\"cmd.exe\" -q "};
        return (m_random.OneIn(2) ? m_systemDir + L"\\" : std::wstring()) + kHosts[m_random.Below(ARRAYSIZE(kHosts))] +
               input;
    }

    cftest::ScratchDir m_dir;
    std::wstring m_systemDir;
    std::wstring m_windowsDir;
    std::wstring m_oldPath;
    bool m_hadPath = false;
    std::vector<std::wstring> m_pieces;
    std::vector<std::pair<std::wstring, std::wstring>> m_variables;
    std::vector<std::pair<std::wstring, std::wstring>> m_bareNames;
    std::vector<std::wstring> m_recent;
    const cftest::FuzzRun* m_run = nullptr;
    Random m_random{0};
    int m_index = 0;
    int m_failures = 0;
    int m_expanded = 0;
    int m_parsedTargets = 0;
    int m_hostedTargets = 0;
};

TEST_F(SupportFuzzTest, BuffersHoldAndPromisesKeepOverGeneratedLines)
{
    const cftest::FuzzRun run("paths and expansion", 0x5EEDC0DE2026ull, 8000);
    Start(run);
    for (m_index = 0; m_index < run.Inputs(); ++m_index) {
        std::wstring input = NextInput();
        if (!CheckNormalize(input) || !CheckAppend(input) || !CheckExpand(input))
            break;
    }
    EXPECT_EQ(0, m_failures);
    EXPECT_GT(m_expanded, run.Inputs() / 100);
    std::printf("fuzz: %d inputs, %d expanded\n", m_index, m_expanded);
}

// The same lines, fewer of them by default: these routines probe the disk.
TEST_F(SupportFuzzTest, CommandLinesGiveAFileOrNothing)
{
    const cftest::FuzzRun run("command lines (CCmdLineParser)", 0x5EEDC0DE2027ull, 1000);
    Start(run);
    for (m_index = 0; m_index < run.Inputs(); ++m_index) {
        std::wstring input = NextInput();
        std::wstring line = m_random.OneIn(3) ? HostLine(input) : input;
        if (!CheckFind(input) || !CheckParse(line))
            break;
    }
    EXPECT_EQ(0, m_failures);
    // The generator must reach the success paths, or the checks above say little.
    EXPECT_GT(m_parsedTargets, run.Inputs() / 50) << m_parsedTargets << " of " << run.Inputs();
    EXPECT_GT(m_hostedTargets, 0);
    std::printf("fuzz: %d inputs, %d targets, %d hosted files\n", m_index, m_parsedTargets, m_hostedTargets);
}

// Values of every length around the steps at which the read grows its
// buffer, made of the characters an INI line treats apart; whatever the
// system makes of a line, the value comes whole.
TEST_F(SupportFuzzTest, IniValuesComeWhole)
{
    const cftest::FuzzRun run("INI values", 0x1A1, 640);
    Start(run);
    const int kValuesPerFile = 32;
    const wchar_t kChars[] = L" \t\"';=[]#aZ.\\%\x6E38";
    int found = 0;
    for (m_index = 0; m_index < run.Inputs();) {
        // A new name for each file: parsed files are kept by name and write time.
        const std::wstring file = m_dir / (L"v" + std::to_wstring(m_index) + L".ini");
        std::wstring text = L"\xFEFF[s]\r\n";
        const int count = std::min(kValuesPerFile, run.Inputs() - m_index);
        for (int k = 0; k < count; ++k) {
            const size_t length = m_random.OneIn(4)    ? m_random.Below(20)
                                  : m_random.OneIn(10) ? 1000 + m_random.Below(3000)
                                                       : (100u << m_random.Below(4)) - 6 + m_random.Below(8);
            std::wstring value;
            while (value.size() < length)
                value += m_random.OneIn(8) ? Piece() : std::wstring(1, kChars[m_random.Below(ARRAYSIZE(kChars) - 1)]);
            value.resize(length);
            for (wchar_t& c : value)
                c = (c == L'\r' || c == L'\n') ? L'n' : c;
            text += L"k" + std::to_wstring(k) + L"=" + value + L"\r\n";
        }
        ASSERT_TRUE(cftest::WriteFileBytes(
            file, std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t))));
        // Wine parses a file written in the last two seconds again on every
        // read, which would make the run quadratic in the values per file.
        ASSERT_TRUE(cftest::AgeFile(file, 10));
        // The section as the system parsed the file, one "key=value" each;
        // a read of one value also drops a pair of enclosing quotes.
        std::vector<wchar_t> section(text.size() + 16);
        const DWORD sectionLength =
            GetPrivateProfileSectionW(L"s", section.data(), static_cast<DWORD>(section.size()), file.c_str());
        ASSERT_LT(sectionLength, section.size() - 2) << run.At(m_index);
        std::vector<std::wstring> entries;
        for (const wchar_t* entry = section.data(); *entry; entry += wcslen(entry) + 1)
            entries.emplace_back(entry);
        ASSERT_EQ(static_cast<size_t>(count), entries.size()) << run.At(m_index);
        for (int k = 0; k < count; ++k, ++m_index) {
            std::wstring expected = entries[k].substr(entries[k].find(L'=') + 1);
            if (expected.size() >= 2 && (expected[0] == L'"' || expected[0] == L'\'') && expected.back() == expected[0])
                expected = expected.substr(1, expected.size() - 2);
            if (expected.empty())
                expected = L"kept";
            const std::wstring key = L"k" + std::to_wstring(k);
            std::wstring value = L"kept";
            const bool ok = ReadIniString(file.c_str(), L"s", key.c_str(), value);
            if ((ok != (expected != L"kept") || value != expected) &&
                !Fail("ReadIniString", key, "gave " + Describe(value) + ", not " + Describe(expected)))
                return;
            found += ok;
        }
        DeleteFileW(file.c_str());
    }
    EXPECT_EQ(0, m_failures);
    EXPECT_GT(found, run.Inputs() / 2);
}

}  // namespace
