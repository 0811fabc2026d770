#pragma once
// Finds the file a stored command line really starts, and the arguments
// behind it; for the four host programs, also the file the host runs.

#include <windows.h>

#include <string>
#include <vector>

class CCmdLineParser {
public:
    enum : DWORD {
        FlagCurrentDirectory = 1,  // resolve a relative name against the current folder without a base
        FlagSystemSearch = 2,      // "SystemRoot"/"system32" prefixes, System and Windows folders, "path"
        FlagDefaultExtensions = 4, // "bat;cmd;exe;pif" when no extension list is given
        FlagKeepArguments = 8,
        FlagAll = 15,
    };

    CCmdLineParser() = default;
    // All four flags, then Parse(commandLine, no base, no extensions).
    explicit CCmdLineParser(const wchar_t* commandLine);
    virtual ~CCmdLineParser() = default;
    CCmdLineParser(const CCmdLineParser&) = delete;
    CCmdLineParser& operator=(const CCmdLineParser&) = delete;

    void SetFlags(DWORD flags) { m_dwFlags = flags; }
    DWORD GetFlags() const { return m_dwFlags; }

    // On true the target is the long path of an existing file, never a
    // folder; on false it is empty. Paths longer than 259 characters fail.
    bool Parse(const wchar_t* commandLine, const wchar_t* baseFolder, const wchar_t* extensions);

    const wchar_t* GetTargetPath() const { return m_szTargetPath; }
    const wchar_t* GetArguments() const { return m_arguments.empty() ? nullptr : m_arguments.c_str(); }

private:
    void Clear();
    bool ParseAbsoluteLine(const wchar_t* line, const wchar_t* extensions, bool quoted);
    bool BuildResolvedLine(const wchar_t* line, const wchar_t* baseFolder, bool quoted, std::wstring& resolved);
    bool SearchSystem(const wchar_t* line, const wchar_t* extensions, bool quoted);
    void KeepArguments(const wchar_t* rest);

    // Scratch space during a parse as well as the result.
    wchar_t m_szTargetPath[270] = {};
    std::wstring m_arguments;
    DWORD m_dwFlags = 0;
};

// When the parsed target is rundll32.exe, wscript.exe, cmd.exe or
// regsvr32.exe, appends the file that the host runs to `targets`.
// Returns the number of entries in `targets`.
size_t ResolveLaunchTargets(const CCmdLineParser& parser, std::vector<std::wstring>& targets,
                            const wchar_t* baseFolder);
