#include "commands/command.h"

#include "log/scan_log.h"
#include "support/file_ops.h"
#include "support/unique.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

namespace {

const char kLineEnd[] = "\r\n";
const char kNumberFormat[] = "%i";

const wchar_t kQuotedArguments[] = L"\"%1\" %*";
const wchar_t kHtmlHelp[] = L"hh.exe\" %1";
const wchar_t kNotepad[] = L"NOTEPAD.EXE %1";
const wchar_t kWinHelp[] = L"winhlp32.exe %1";
const wchar_t kRegistryEditor[] = L"regedit.exe \"%1\"";

// The caller's buffer doubles as the query buffer, so every rule is checked
// on the byte count the registry reported, never on what lies beyond it.
DWORD QueryValue(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars], DWORD& type)
{
    DWORD bytes = sizeof(text);
    type = REG_NONE;
    LONG status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    if (status != ERROR_SUCCESS || bytes > sizeof(text) || bytes % sizeof(wchar_t) != 0)
        return static_cast<DWORD>(-1);
    return bytes / sizeof(wchar_t);
}

DWORD AcceptString(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars])
{
    DWORD type = REG_NONE;
    DWORD chars = QueryValue(key, valueName, text, type);
    if (chars == static_cast<DWORD>(-1) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return 0;
    if (chars == 0) {
        text[0] = L'\0';
        return 1;
    }
    if (text[chars - 1] != L'\0')
        return 0;
    return static_cast<DWORD>(wcslen(text)) + 1;
}

DWORD AcceptMultiString(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars])
{
    DWORD type = REG_NONE;
    DWORD chars = QueryValue(key, valueName, text, type);
    if (chars == static_cast<DWORD>(-1) || type != REG_MULTI_SZ || chars < 2)
        return 0;
    if (text[chars - 1] != L'\0' || text[chars - 2] != L'\0')
        return 0;
    return static_cast<DWORD>(wcslen(text)) + 1;
}

}  // namespace

const char kTab[] = "\t";

std::wstring FolderWithSlash(const wchar_t* folder)
{
    std::wstring result = folder;
    if (!result.empty() && result.back() != L'\\')
        result += L'\\';
    return result;
}

cf::UniqueKey OpenKey(HKEY root, const wchar_t* path, REGSAM access)
{
    cf::UniqueKey key;
    if (RegOpenKeyExW(root, path, 0, access, key.Put()) != ERROR_SUCCESS)
        key.Release();
    return key;
}

DWORD ReadRegString(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars])
{
    DWORD length = AcceptString(key, valueName, text);
    if (length == 0)
        text[0] = L'\0';
    return length;
}

DWORD ReadRegText(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars])
{
    DWORD length = AcceptString(key, valueName, text);
    if (length == 0)
        length = AcceptMultiString(key, valueName, text);
    if (length == 0)
        text[0] = L'\0';
    return length;
}

DWORD ReadRegNumber(HKEY key, const wchar_t* valueName, DWORD fallback)
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(value);
    LONG status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
    if (status != ERROR_SUCCESS || type != REG_DWORD || bytes != sizeof(value))
        return fallback;
    return value;
}

LONG WriteRegText(HKEY key, const wchar_t* valueName, const wchar_t* text)
{
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG WriteRegNumber(HKEY key, const wchar_t* valueName, DWORD value)
{
    return RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG DeleteKeyRecursive(HKEY parent, const wchar_t* child)
{
    cf::UniqueKey key;
    LONG status = RegOpenKeyExW(parent, child, 0, KEY_READ | KEY_WRITE, key.Put());
    if (status != ERROR_SUCCESS)
        return status;
    for (;;) {
        // Each deleted child shifts the next one to index 0.
        wchar_t name[256];
        DWORD chars = ARRAYSIZE(name);
        if (RegEnumKeyExW(key.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        status = DeleteKeyRecursive(key.Get(), name);
        if (status != ERROR_SUCCESS)
            return status;
    }
    key.Reset();
    return RegDeleteKeyW(parent, child);
}

bool CommandFilesExist(const wchar_t* commandLine, const wchar_t* baseFolder)
{
    if (!commandLine || !*commandLine)
        return true;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    if (!args)
        return true;
    bool allFound = true;
    for (int i = 0; i < count; ++i) {
        if (wcschr(args[i], L'.') && !LocateSystemFile(args[i], baseFolder))
            allFound = false;
    }
    LocalFree(args);
    return allFound;
}

void LogEntry(const char* label, const wchar_t* subject)
{
    AppendScanLogText(label);
    AppendScanLogWide(subject);
    AppendScanLogText(kLineEnd);
}

void LogLine(const char* line)
{
    AppendScanLogText(line);
    AppendScanLogText(kLineEnd);
}

void LogLabel(const char* label) { AppendScanLogText(label); }

void LogText(const wchar_t* text) { AppendScanLogWide(text); }

void LogNumber(DWORD number) { AppendScanLogFormat(kNumberFormat, static_cast<int>(number)); }

void LogEnd() { AppendScanLogText(kLineEnd); }

std::wstring ProgramFilesFolder()
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::wstring();
    return FolderWithSlash(folder);
}

std::wstring WindowsFolder()
{
    wchar_t folder[kRegTextChars] = {};
    UINT length = GetWindowsDirectoryW(folder, ARRAYSIZE(folder));
    if (length == 0 || length >= ARRAYSIZE(folder))
        return std::wstring();
    return FolderWithSlash(folder);
}

const AssociationRow kAssociations[kAssociationCount] = {
    {L"SOFTWARE\\Classes\\batfile\\shell\\open\\command", DefaultCommand::QuotedArguments},
    {L"SOFTWARE\\Classes\\chm.file\\shell\\open\\command", DefaultCommand::HtmlHelp},
    {L"SOFTWARE\\Classes\\inffile\\shell\\open\\command", DefaultCommand::Notepad},
    {L"SOFTWARE\\Classes\\inifile\\shell\\open\\command", DefaultCommand::Notepad},
    {L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command", DefaultCommand::Notepad},
    {L"SOFTWARE\\Classes\\hlpfile\\shell\\open\\command", DefaultCommand::WinHelp},
    {L"SOFTWARE\\Classes\\cmdfile\\shell\\open\\command", DefaultCommand::QuotedArguments},
    {L"SOFTWARE\\Classes\\regfile\\shell\\open\\command", DefaultCommand::RegistryEditor},
};

std::wstring DefaultCommandText(DefaultCommand command)
{
    switch (command) {
    case DefaultCommand::QuotedArguments:
        return kQuotedArguments;
    case DefaultCommand::HtmlHelp:
        return L"\"" + WindowsFolder() + kHtmlHelp;
    case DefaultCommand::Notepad:
        return WindowsFolder() + kNotepad;
    case DefaultCommand::WinHelp:
        return WindowsFolder() + kWinHelp;
    case DefaultCommand::RegistryEditor:
        return kRegistryEditor;
    }
    return std::wstring();
}
