#pragma once
// Repair commands: a host constructs one, runs Execute once on its worker
// thread, reads GetResult and destroys it. This header also holds the
// procedures the commands and their registry and drive routines share.

#include "support/unique.h"

#include <windows.h>

#include <cstdint>
#include <string>

class ICommunication;

class CCommand {
public:
    virtual ~CCommand() = default;
    // Always returns 0, also after an early stop.
    virtual int32_t Execute(ICommunication* comm) = 0;
};

// Registry texts are read into buffers of this many UTF-16 characters.
constexpr DWORD kRegTextChars = 512;

// The text of a REG_SZ/REG_EXPAND_SZ value (even size, NUL-terminated,
// at most 1024 bytes), else the first string of a REG_MULTI_SZ ending in
// two NULs. Returns the length including the terminator: 0 when nothing
// was accepted (the text is then empty), 1 for an empty text.
DWORD ReadRegText(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars]);
// The first rule of ReadRegText only: REG_SZ or REG_EXPAND_SZ.
DWORD ReadRegString(HKEY key, const wchar_t* valueName, wchar_t (&text)[kRegTextChars]);
// A REG_DWORD value, or `fallback` when it is missing or of another kind.
DWORD ReadRegNumber(HKEY key, const wchar_t* valueName, DWORD fallback);
// REG_SZ with the terminator counted in the size.
LONG WriteRegText(HKEY key, const wchar_t* valueName, const wchar_t* text);
LONG WriteRegNumber(HKEY key, const wchar_t* valueName, DWORD value);

// Deletes `child` of `parent` with all its descendants; a Win32 status.
LONG DeleteKeyRecursive(HKEY parent, const wchar_t* child);

// True when every argument of the command line that contains a "." names
// a file that LocateSystemFile finds; an empty or unsplittable line is true.
bool CommandFilesExist(const wchar_t* commandLine, const wchar_t* baseFolder);

// Every key of the registry routines is opened with KEY_ALL_ACCESS.
cf::UniqueKey OpenKey(HKEY root, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS);

// Scan log entries: a fixed label, a subject converted to the thread's
// ANSI code page, CR LF. Labels that embed a registry path are written in
// pieces with LogLabel and LogText.
void LogEntry(const char* label, const wchar_t* subject);
void LogLine(const char* line);
void LogLabel(const char* label);
void LogText(const wchar_t* text);
void LogNumber(DWORD number);  // signed decimal
void LogEnd();
extern const char kTab[];

// `folder` with one trailing backslash; an empty folder stays empty.
std::wstring FolderWithSlash(const wchar_t* folder);
// The folders default commands are built from; empty when unknown.
std::wstring ProgramFilesFolder();
std::wstring WindowsFolder();

// Open commands of the common file classes, in the order both registry
// families visit them.
enum class DefaultCommand { QuotedArguments, HtmlHelp, Notepad, WinHelp, RegistryEditor };
struct AssociationRow {
    const wchar_t* key;  // under HKLM
    DefaultCommand command;
};
constexpr size_t kAssociationCount = 8;
extern const AssociationRow kAssociations[kAssociationCount];
std::wstring DefaultCommandText(DefaultCommand command);
