#include "support/cmdline.h"

#include "support/paths.h"
#include "support/unique.h"

#include <cstring>

namespace {

const wchar_t kDefaultExtensions[] = L"bat;cmd;exe;pif";
const wchar_t kNativePrefix[] = L"\\??\\";
const wchar_t kFileScheme[] = L"file://";
const size_t kNativePrefixLength = 4;
const size_t kFileSchemeLength = 7;
// Characters a path may have before its terminator.
const size_t kPathLimit = MAX_PATH - 1;

struct HostEntry {
    const wchar_t* name;
    bool skipsOptions;
    const wchar_t* extensions;
};

const HostEntry kHosts[] = {
    {L"rundll32.exe", false, L"dll"},
    {L"wscript.exe", true, L"wsh"},
    {L"cmd.exe", true, L"bat;cmd;exe;"},
    {L"regsvr32.exe", true, nullptr},
};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool IsAbsolutePath(const wchar_t* path)
{
    return (path[0] && path[1] == L':') || (path[0] == L'\\' && path[1] == L'\\') ||
           StartsWithNoCase(path, kFileScheme);
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) { return wcslen(a) == wcslen(b) && StartsWithNoCase(a, b); }

// End of the first path in a line: the closing quote of a quoted line (null
// when there is none), else the first blank or the end.
const wchar_t* FindPathEnd(const wchar_t* line, bool quoted)
{
    if (quoted)
        return wcschr(line, L'"');
    while (*line && !IsBlank(*line))
        ++line;
    return line;
}

bool HasEmptyOrDotsComponent(const wchar_t* path)
{
    const wchar_t* start = path;
    for (;;) {
        const wchar_t* stop = start;
        bool dotsOnly = true;
        while (*stop && *stop != L'\\') {
            if (*stop != L'.')
                dotsOnly = false;
            ++stop;
        }
        if (stop == start || dotsOnly)
            return true;
        if (!*stop)
            return false;
        start = stop + 1;
    }
}

// The long form of a found path; the path as found when the system cannot
// give one. Leaves `target` untouched when the result would not fit.
bool StoreLongPath(const wchar_t* path, wchar_t* target)
{
    wchar_t longPath[MAX_PATH] = {};
    DWORD length = GetLongPathNameW(path, longPath, MAX_PATH);
    if (length >= MAX_PATH)
        return false;
    const wchar_t* result = length ? longPath : path;
    size_t resultLength = wcslen(result);
    if (resultLength >= MAX_PATH)
        return false;
    std::memcpy(target, result, (resultLength + 1) * sizeof(wchar_t));
    return true;
}

}  // namespace

CCmdLineParser::CCmdLineParser(const wchar_t* commandLine) : m_dwFlags(FlagAll)
{
    Parse(commandLine, nullptr, nullptr);
}

void CCmdLineParser::Clear()
{
    m_szTargetPath[0] = 0;
    m_arguments.clear();
}

bool CCmdLineParser::Parse(const wchar_t* commandLine, const wchar_t* baseFolder, const wchar_t* extensions)
{
    Clear();
    if (!commandLine || !*commandLine)
        return false;
    if (baseFolder && !*baseFolder)
        baseFolder = nullptr;
    if (extensions && !*extensions)
        extensions = nullptr;

    const wchar_t* line = commandLine;
    while (IsBlank(*line))
        ++line;
    bool quoted = false;
    if (*line == L'"') {
        quoted = true;
        while (*line == L'"')
            ++line;
    }
    if ((m_dwFlags & FlagDefaultExtensions) && !extensions)
        extensions = kDefaultExtensions;
    if (StartsWithNoCase(line, kNativePrefix))
        line += kNativePrefixLength;
    // Only file://C:... loses its scheme here; file://server/... is a UNC path.
    if (StartsWithNoCase(line, kFileScheme) && line[kFileSchemeLength] && line[kFileSchemeLength + 1] == L':')
        line += kFileSchemeLength;

    bool parsed = false;
    if (*line == L'%') {
        cf::UniqueHeap expanded(ExpandPathVariable(line, m_szTargetPath));
        parsed = expanded && ParseAbsoluteLine(static_cast<const wchar_t*>(expanded.Get()), extensions, quoted);
    } else if (IsAbsolutePath(line)) {
        parsed = ParseAbsoluteLine(line, extensions, quoted);
    } else {
        if (baseFolder || (m_dwFlags & FlagCurrentDirectory)) {
            std::wstring resolved;
            parsed = BuildResolvedLine(line, baseFolder, quoted, resolved) &&
                     ParseAbsoluteLine(resolved.c_str(), extensions, quoted);
        }
        if (!parsed && (m_dwFlags & FlagSystemSearch)) {
            cf::UniqueHeap expanded(ExpandSystemRootPrefix(line, m_szTargetPath));
            parsed = expanded && ParseAbsoluteLine(static_cast<const wchar_t*>(expanded.Get()), extensions, quoted);
        }
        if (!parsed && (m_dwFlags & FlagSystemSearch))
            parsed = SearchSystem(line, extensions, quoted);
    }
    if (!parsed)
        Clear();
    return parsed;
}

bool CCmdLineParser::ParseAbsoluteLine(const wchar_t* line, const wchar_t* extensions, bool quoted)
{
    if (!IsAbsolutePath(line))
        return false;
    m_szTargetPath[0] = 0;
    m_arguments.clear();
    wchar_t probe[MAX_PATH];
    const wchar_t* rest = nullptr;
    if (quoted) {
        const wchar_t* close = wcschr(line, L'"');
        if (!close)
            return false;
        if (!NormalizePathSeparators(line, static_cast<size_t>(close - line), probe, probe + kPathLimit) ||
            !FindWithExtensions(probe, extensions) || !StoreLongPath(probe, m_szTargetPath))
            return false;
        rest = close;
    } else {
        // Every prefix that ends before a run of blanks, then the whole
        // line: the longest one naming a file wins ("C:\Program Files\...").
        const wchar_t* end = line;
        for (;;) {
            while (*end && !IsBlank(*end))
                ++end;
            if (!NormalizePathSeparators(line, static_cast<size_t>(end - line), probe, probe + kPathLimit))
                break;
            if (FindWithExtensions(probe, extensions) && StoreLongPath(probe, m_szTargetPath))
                rest = end;
            while (IsBlank(*end))
                ++end;
            if (!*end)
                break;
        }
    }
    if (!m_szTargetPath[0] || !rest)
        return false;
    KeepArguments(rest);
    return true;
}

bool CCmdLineParser::BuildResolvedLine(const wchar_t* line, const wchar_t* baseFolder, bool quoted,
                                       std::wstring& resolved)
{
    wchar_t* built = m_szTargetPath;
    if (baseFolder) {
        if (!NormalizePathSeparators(baseFolder, kWholeString, built, built + kPathLimit))
            return false;
    } else {
        DWORD length = GetCurrentDirectoryW(MAX_PATH, built);
        if (length == 0 || length >= MAX_PATH) {
            built[0] = 0;
            return false;
        }
    }
    size_t length = wcslen(built);
    if (length && built[length - 1] == L'\\')
        built[--length] = 0;

    const wchar_t* stop = FindPathEnd(line, quoted);
    if (!stop)
        return false;
    wchar_t relative[MAX_PATH];
    if (!NormalizePathSeparators(line, static_cast<size_t>(stop - line), relative, relative + kPathLimit) ||
        !relative[0])
        return false;
    // The last component would be empty.
    if (relative[wcslen(relative) - 1] == L'\\')
        return false;

    bool startsComponent = true;
    for (const wchar_t* at = relative; *at;) {
        if (at[0] == L'.' && at[1] == L'.' && at[2] == L'\\') {
            wchar_t* cut = wcsrchr(built, L'\\');
            if (!cut)
                return false;
            *cut = 0;
            length = static_cast<size_t>(cut - built);
            at += 3;
            startsComponent = true;
        } else if (at[0] == L'.' && at[1] == L'\\') {
            at += 2;
            startsComponent = true;
        } else if (at[0] == L'\\') {
            ++at;
            startsComponent = true;
        } else {
            if (length + (startsComponent ? 2 : 1) >= MAX_PATH)
                return false;
            if (startsComponent)
                built[length++] = L'\\';
            built[length++] = *at++;
            built[length] = 0;
            startsComponent = false;
        }
    }
    resolved.assign(built, length);
    resolved.append(stop);
    return true;
}

bool CCmdLineParser::SearchSystem(const wchar_t* line, const wchar_t* extensions, bool quoted)
{
    const wchar_t* stop = FindPathEnd(line, quoted);
    if (!stop)
        return false;
    if (!NormalizePathSeparators(line, static_cast<size_t>(stop - line), m_szTargetPath,
                                 m_szTargetPath + kPathLimit))
        return false;
    // "..\x" or "\x" would climb out of the folders searched.
    if (HasEmptyOrDotsComponent(m_szTargetPath))
        return false;
    if (!SearchExecutable(m_szTargetPath, extensions, true))
        return false;
    KeepArguments(stop);
    return true;
}

void CCmdLineParser::KeepArguments(const wchar_t* rest)
{
    if (!(m_dwFlags & FlagKeepArguments))
        return;
    while (*rest == L'"')
        ++rest;
    while (IsBlank(*rest))
        ++rest;
    if (*rest)
        m_arguments.assign(rest);
}

size_t ResolveLaunchTargets(const CCmdLineParser& parser, std::vector<std::wstring>& targets,
                            const wchar_t* baseFolder)
{
    const wchar_t* target = parser.GetTargetPath();
    const wchar_t* arguments = parser.GetArguments();
    if (!target[0] || !arguments)
        return targets.size();
    const wchar_t* lastBackslash = wcsrchr(target, L'\\');
    if (!lastBackslash)
        return targets.size();

    const HostEntry* host = nullptr;
    for (const HostEntry& entry : kHosts) {
        if (EqualsNoCase(lastBackslash + 1, entry.name)) {
            host = &entry;
            break;
        }
    }
    if (!host)
        return targets.size();

    const wchar_t* text = arguments;
    if (host->skipsOptions) {
        for (;;) {
            while (IsBlank(*text))
                ++text;
            if (*text != L'/' && *text != L'-')
                break;
            while (*text && !IsBlank(*text))
                ++text;
        }
        if (!*text)
            return targets.size();
    }
    // Flags 0: what the host's file starts in turn is not followed.
    CCmdLineParser hosted;
    if (hosted.Parse(text, baseFolder, host->extensions))
        targets.push_back(hosted.GetTargetPath());
    return targets.size();
}
