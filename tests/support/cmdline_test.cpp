#include "support/cmdline.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cftest::ScratchDir;

std::wstring LongPath(const std::wstring& path)
{
    wchar_t result[MAX_PATH] = {};
    GetLongPathNameW(path.c_str(), result, MAX_PATH);
    return result;
}

std::wstring SystemDir()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring WindowsDir()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring Arguments(const CCmdLineParser& parser)
{
    return parser.GetArguments() ? parser.GetArguments() : L"<none>";
}

bool SamePath(const std::wstring& expected, const wchar_t* actual) { return _wcsicmp(expected.c_str(), actual) == 0; }

class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& path)
    {
        GetCurrentDirectoryW(MAX_PATH, m_old);
        SetCurrentDirectoryW(path.c_str());
    }
    ~ScopedCurrentDirectory() { SetCurrentDirectoryW(m_old); }

private:
    wchar_t m_old[MAX_PATH] = {};
};

class CmdLineParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW((m_dir / L"Program Files").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_dir / L"Program Files\\App").c_str(), nullptr));
        ASSERT_TRUE(Make(L"Program Files\\App\\app.exe"));
    }
    bool Make(const std::wstring& name) { return cftest::WriteFileBytes(m_dir / name, "x"); }
    bool MakeDir(const std::wstring& name) { return CreateDirectoryW((m_dir / name).c_str(), nullptr) != FALSE; }

    ScratchDir m_dir;
};

TEST_F(CmdLineParserTest, QuotedPathWithBlanksAndItsArguments)
{
    std::wstring app = m_dir / L"Program Files\\App\\app.exe";
    CCmdLineParser parser((L"  \"" + app + L"\" -x  /y").c_str());
    EXPECT_EQ(LongPath(app), parser.GetTargetPath());
    EXPECT_EQ(L"-x  /y", Arguments(parser));

    parser.SetFlags(CCmdLineParser::FlagAll & ~CCmdLineParser::FlagKeepArguments);
    ASSERT_TRUE(parser.Parse((L"\"\"" + app + L"\"\"\" -x").c_str(), nullptr, nullptr));
    EXPECT_EQ(LongPath(app), parser.GetTargetPath());
    EXPECT_EQ(L"<none>", Arguments(parser));

    parser.SetFlags(CCmdLineParser::FlagAll);
    EXPECT_FALSE(parser.Parse((L"\"" + app + L" -x").c_str(), nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
    EXPECT_EQ(L"<none>", Arguments(parser));
}

TEST_F(CmdLineParserTest, UnquotedLineTakesTheLongestExistingPrefix)
{
    std::wstring app = m_dir / L"Program Files\\App\\app.exe";
    CCmdLineParser parser((app + L" -x").c_str());
    EXPECT_EQ(LongPath(app), parser.GetTargetPath());
    EXPECT_EQ(L"-x", Arguments(parser));

    ASSERT_TRUE(Make(L"Program"));
    ASSERT_TRUE(parser.Parse((app + L"\t-x").c_str(), nullptr, nullptr));
    EXPECT_EQ(LongPath(app), parser.GetTargetPath());
    EXPECT_EQ(L"-x", Arguments(parser));

    ASSERT_TRUE(parser.Parse((m_dir / L"Program Files\\App\\other.exe -x").c_str(), nullptr, nullptr));
    EXPECT_EQ(LongPath(m_dir / L"Program"), parser.GetTargetPath());
    EXPECT_EQ(L"Files\\App\\other.exe -x", Arguments(parser));

    // The whole line is tried last: a name with blanks and no arguments.
    ASSERT_TRUE(Make(L"with blank.exe"));
    ASSERT_TRUE(parser.Parse((m_dir / L"with blank").c_str(), nullptr, L"exe"));
    EXPECT_EQ(LongPath(m_dir / L"with blank.exe"), parser.GetTargetPath());
    EXPECT_EQ(L"<none>", Arguments(parser));
}

TEST_F(CmdLineParserTest, NativePrefixAndFileSchemes)
{
    CCmdLineParser parser((L"\\??\\" + SystemDir() + L"\\notepad.exe").c_str());
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));

    std::wstring app = m_dir / L"Program Files\\App\\app.exe";
    std::wstring url = L"file://" + app;
    for (wchar_t& c : url) {
        if (c == L'\\')
            c = L'/';
    }
    ASSERT_TRUE(parser.Parse((L"\"" + url + L"\" go").c_str(), nullptr, nullptr));
    EXPECT_EQ(LongPath(app), parser.GetTargetPath());
    EXPECT_EQ(L"go", Arguments(parser));

    EXPECT_FALSE(parser.Parse(L"file://server/share/app.exe", nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
    EXPECT_FALSE(parser.Parse(L"file://", nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(L"\\??\\", nullptr, nullptr));
}

TEST_F(CmdLineParserTest, LeadingVariableIsExpandedOrTheLineFails)
{
    CCmdLineParser parser(L"%SystemRoot%\\system32\\notepad.exe /a");
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    EXPECT_EQ(L"/a", Arguments(parser));

    ASSERT_TRUE(parser.Parse(L"\"%windir%\\notepad\" \"arg one\"", nullptr, nullptr));
    EXPECT_TRUE(SamePath(LongPath(WindowsDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    EXPECT_EQ(L"\"arg one\"", Arguments(parser));

    EXPECT_FALSE(parser.Parse(L"%UserProfile%\\x.exe", nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
    EXPECT_FALSE(parser.Parse(L"%windir%\\no_such_program.exe", nullptr, nullptr));
}

TEST_F(CmdLineParserTest, BareNameLooksInTheCurrentFolderThenSystemThenWindows)
{
    ScopedCurrentDirectory current(m_dir.Path());
    CCmdLineParser parser(L"notepad -f");
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    EXPECT_EQ(L"-f", Arguments(parser));

    ASSERT_TRUE(Make(L"notepad.pif"));
    ASSERT_TRUE(parser.Parse(L"notepad -f", nullptr, nullptr));
    EXPECT_EQ(LongPath(m_dir / L"notepad.pif"), parser.GetTargetPath());
    ASSERT_TRUE(Make(L"notepad.cmd"));
    ASSERT_TRUE(parser.Parse(L"notepad -f", nullptr, nullptr));
    EXPECT_EQ(LongPath(m_dir / L"notepad.cmd"), parser.GetTargetPath());

    // Without the current-folder flag the System folder comes first.
    parser.SetFlags(CCmdLineParser::FlagSystemSearch | CCmdLineParser::FlagDefaultExtensions);
    ASSERT_TRUE(parser.Parse(L"notepad -f", nullptr, nullptr));
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    EXPECT_EQ(L"<none>", Arguments(parser));
}

TEST_F(CmdLineParserTest, SystemSearchOnlyWithItsFlagAndNeverAboveItsFolders)
{
    // A program in the Windows folder only, planted (Wine's own differ).
    cftest::PlantedFile only(WindowsDir(), L"cfwinonly", L"exe");
    ASSERT_TRUE(only.Made());
    const std::wstring stem = only.Name().substr(0, only.Name().size() - 4);
    CCmdLineParser parser;
    EXPECT_FALSE(parser.Parse(only.Name().c_str(), nullptr, nullptr));

    parser.SetFlags(CCmdLineParser::FlagSystemSearch);
    ASSERT_TRUE(parser.Parse(only.Name().c_str(), nullptr, nullptr));
    EXPECT_TRUE(SamePath(LongPath(only.Path()), parser.GetTargetPath()));
    EXPECT_FALSE(parser.Parse(stem.c_str(), nullptr, nullptr));  // no extension list
    EXPECT_FALSE(parser.Parse(L"..\\regedit.exe", nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
    EXPECT_FALSE(parser.Parse(L"\\regedit.exe", nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(L".\\notepad.exe", nullptr, L"exe"));
    EXPECT_FALSE(parser.Parse(L"Fonts\\..\\notepad.exe", nullptr, L"exe"));
    // A bare system32 prefix is expanded before the dots check applies.
    EXPECT_TRUE(parser.Parse(L"system32\\.\\notepad.exe", nullptr, L"exe"));

    ASSERT_TRUE(parser.Parse(L"SYSTEM32\\notepad", nullptr, L"com;exe"));
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    ASSERT_TRUE(parser.Parse(L"\"notepad.exe\" x", nullptr, nullptr));
    EXPECT_TRUE(SamePath(LongPath(SystemDir() + L"\\notepad.exe"), parser.GetTargetPath()));
    EXPECT_FALSE(parser.Parse(L"\"notepad.exe x", nullptr, nullptr));
}

TEST_F(CmdLineParserTest, RelativeNameIsWalkedAgainstTheBaseFolder)
{
    ASSERT_TRUE(MakeDir(L"a"));
    ASSERT_TRUE(MakeDir(L"a\\b"));
    ASSERT_TRUE(MakeDir(L"a\\c"));
    ASSERT_TRUE(MakeDir(L"a\\c dir"));
    ASSERT_TRUE(Make(L"a\\c\\d.exe"));
    ASSERT_TRUE(Make(L"a\\c dir\\e.exe"));
    std::wstring base = m_dir / L"a\\b";
    CCmdLineParser parser;

    ASSERT_TRUE(parser.Parse(L"..\\c\\d.exe", base.c_str(), nullptr));
    EXPECT_EQ(LongPath(m_dir / L"a\\c\\d.exe"), parser.GetTargetPath());
    ASSERT_TRUE(parser.Parse(L"../c//./d", (base + L"\\").c_str(), L"exe"));
    EXPECT_EQ(LongPath(m_dir / L"a\\c\\d.exe"), parser.GetTargetPath());

    parser.SetFlags(CCmdLineParser::FlagKeepArguments);
    ASSERT_TRUE(parser.Parse(L"\"..\\c dir\\e.exe\" -q", base.c_str(), nullptr));
    EXPECT_EQ(LongPath(m_dir / L"a\\c dir\\e.exe"), parser.GetTargetPath());
    EXPECT_EQ(L"-q", Arguments(parser));
    ASSERT_TRUE(parser.Parse(L"c\\d.exe  tail", (m_dir / L"a").c_str(), nullptr));
    EXPECT_EQ(L"tail", Arguments(parser));

    EXPECT_FALSE(parser.Parse(L"\"..\\c dir\\e.exe -q", base.c_str(), nullptr));
    EXPECT_FALSE(parser.Parse(L"..\\c\\", base.c_str(), nullptr));
    EXPECT_FALSE(parser.Parse(L"..\\c\\d.exe", nullptr, nullptr));  // no base, no flags
    EXPECT_FALSE(parser.Parse(L"..\\x", L"C:\\", nullptr));
    EXPECT_FALSE(parser.Parse(L"..\\..\\x", L"C:\\dir", nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
}

TEST_F(CmdLineParserTest, ResultsThatReach260CharactersFail)
{
    std::wstring base = L"C:\\" + std::wstring(240, L'b');
    CCmdLineParser parser;
    EXPECT_FALSE(parser.Parse(std::wstring(16, L'r').c_str(), base.c_str(), nullptr));   // 240 + 3 + 1 + 16 = 260
    EXPECT_FALSE(parser.Parse((L"C:\\" + std::wstring(300, L'p')).c_str(), nullptr, nullptr));
    EXPECT_FALSE(parser.Parse((L"\"C:\\" + std::wstring(300, L'p') + L"\" x").c_str(), nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(L"x", (L"C:\\" + std::wstring(300, L'b')).c_str(), nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
}

TEST_F(CmdLineParserTest, AFolderIsNeverATargetAndAFailedParseClearsEverything)
{
    CCmdLineParser parser((m_dir / L"Program Files\\App\\app.exe -x").c_str());
    ASSERT_NE(L'\0', parser.GetTargetPath()[0]);
    ASSERT_NE(nullptr, parser.GetArguments());

    EXPECT_FALSE(parser.Parse((m_dir / L"Program Files\\App").c_str(), nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
    EXPECT_EQ(nullptr, parser.GetArguments());
    EXPECT_FALSE(parser.Parse(WindowsDir().c_str(), nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(L"", nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(nullptr, nullptr, nullptr));
    EXPECT_FALSE(parser.Parse(L"   \"\"  ", nullptr, nullptr));
    EXPECT_STREQ(L"", parser.GetTargetPath());
}

class LaunchTargetsTest : public CmdLineParserTest {
protected:
    std::vector<std::wstring> Resolve(const std::wstring& line, const wchar_t* base)
    {
        CCmdLineParser parser(line.c_str());
        std::vector<std::wstring> targets{L"earlier"};
        size_t count = ResolveLaunchTargets(parser, targets, base);
        EXPECT_EQ(targets.size(), count);
        targets.erase(targets.begin());
        return targets;
    }
    using Targets = std::vector<std::wstring>;
};

TEST_F(LaunchTargetsTest, Rundll32TakesTheWholeArgumentText)
{
    ASSERT_TRUE(Make(L"y.dll"));
    EXPECT_EQ(Targets{}, Resolve(L"rundll32.exe " + (m_dir / L"y.dll,Entry"), nullptr));
    EXPECT_EQ(Targets{LongPath(m_dir / L"y.dll")}, Resolve(L"RunDll32 " + (m_dir / L"y.dll Entry"), nullptr));
    EXPECT_EQ(Targets{LongPath(m_dir / L"y.dll")}, Resolve(L"rundll32.exe " + (m_dir / L"y Entry"), nullptr));
    ASSERT_TRUE(Make(L"y.dll,Entry"));
    EXPECT_EQ(Targets{LongPath(m_dir / L"y.dll,Entry")}, Resolve(L"rundll32.exe " + (m_dir / L"y.dll,Entry"), nullptr));
}

TEST_F(LaunchTargetsTest, OptionsAreSkippedBeforeTheHostedFile)
{
    ASSERT_TRUE(Make(L"run.bat"));
    ASSERT_TRUE(Make(L"y.dll"));
    ASSERT_TRUE(Make(L"job.wsh"));
    EXPECT_EQ(Targets{LongPath(m_dir / L"run.bat")}, Resolve(L"cmd.exe /c /q run.bat", m_dir.Path().c_str()));
    EXPECT_EQ(Targets{LongPath(m_dir / L"run.bat")}, Resolve(L"cmd /c -q\trun", m_dir.Path().c_str()));
    EXPECT_EQ(Targets{}, Resolve(L"cmd.exe /c /q run.bat", nullptr));
    EXPECT_EQ(Targets{}, Resolve(L"cmd.exe /c /q", m_dir.Path().c_str()));

    EXPECT_EQ(Targets{LongPath(m_dir / L"y.dll")}, Resolve(L"regsvr32.exe /s " + (m_dir / L"y.dll"), nullptr));
    EXPECT_EQ(Targets{}, Resolve(L"regsvr32.exe /s " + (m_dir / L"y"), nullptr));

    EXPECT_EQ(Targets{LongPath(m_dir / L"job.wsh")}, Resolve(L"wscript.exe //B " + (m_dir / L"job"), nullptr));
}

TEST_F(LaunchTargetsTest, OtherProgramsAndHostsWithoutArgumentsAddNothing)
{
    ASSERT_TRUE(Make(L"y.dll"));
    EXPECT_EQ(Targets{}, Resolve(L"notepad.exe " + (m_dir / L"y.dll"), nullptr));
    EXPECT_EQ(Targets{}, Resolve(L"rundll32.exe", nullptr));
    // What the hosted program starts in turn is not followed.
    EXPECT_EQ(Targets{LongPath(SystemDir() + L"\\rundll32.exe")},
              Resolve(L"cmd.exe /c " + SystemDir() + L"\\rundll32.exe " + (m_dir / L"y.dll"), nullptr));

    CCmdLineParser empty;
    std::vector<std::wstring> targets;
    EXPECT_EQ(0u, ResolveLaunchTargets(empty, targets, nullptr));
}

}  // namespace
