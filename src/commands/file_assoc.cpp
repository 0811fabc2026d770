#include "commands/killers.h"

#include "support/file_ops.h"

#include <shellapi.h>

#include <cstring>
#include <vector>

namespace {

const wchar_t kMarkerKey[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kLnkExtension[] = L".lnk";
const wchar_t kLnkFileClass[] = L"lnkfile";
const wchar_t kClassesRootName[] = L"HKEY_CLASSES_ROOT\\";
const wchar_t kLocalMachineName[] = L"HKEY_LOCAL_MACHINE\\";
const wchar_t kCurrentUserName[] = L"HKEY_CURRENT_USER\\";
const wchar_t kFileExtsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kUserChoice[] = L"UserChoice";
const wchar_t kApplication[] = L"application";
const wchar_t kBackslash[] = L"\\";
const wchar_t kImportStem[] = L"LNKFIX";
const wchar_t kImportExtension[] = L".REG";
const wchar_t kRegistryEditor[] = L"regedit.exe";
const wchar_t kSilentImport[] = L"/s \"";
const wchar_t kQuote[] = L"\"";
// Registry-file pieces; UTF-16 with a byte-order mark, as regedit from
// Windows 2000 on reads it.
const wchar_t kRegFileHeader[] = L"\xFEFFWindows Registry Editor Version 5.00\r\n";
const wchar_t kRegKeyOpen[] = L"\r\n[";
const wchar_t kRegKeyDelete[] = L"\r\n[-";
const wchar_t kRegKeyClose[] = L"]\r\n";
const wchar_t kRegDefaultIs[] = L"@=\"";
const wchar_t kRegValueDelete[] = L"\"=-\r\n";
const wchar_t kRegTextEnd[] = L"\"\r\n";
const char kMissingLabel[] =  // 桌面图标无法打开，缺少
    "\xd7\xc0\xc3\xe6\xcd\xbc\xb1\xea\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xa3\xac\xc8\xb1\xc9\xd9";
const char kAbnormalLabel[] = "\xd2\xec\xb3\xa3 ";  // 异常
const char kSpace[] = " ";

// A temporary folder longer than this is not trusted to hold the file.
const DWORD kLongestTempFolder = 400;
// The import is waited for, so the file can be removed afterwards.
const DWORD kImportWaitMs = 60000;

void RepairAssociations()
{
    for (const AssociationRow& row : kAssociations) {
        const std::wstring command = DefaultCommandText(row.command);
        cf::UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, row.key);
        if (!key)
            continue;
        wchar_t text[kRegTextChars];
        if (ReadRegText(key.Get(), nullptr, text) && !CommandFilesExist(text, nullptr)) {
            LogText(row.key);
            LogLabel(kTab);
            LogText(text);
            LogEnd();
            WriteRegText(key.Get(), nullptr, command.c_str());
        }
    }
}

// True when the shortcut class needs the registry file imported.
bool CheckShortcutClass()
{
    bool damaged = false;
    if (!OpenKey(HKEY_LOCAL_MACHINE, kMarkerKey)) {
        LogLabel(kMissingLabel);
        LogText(kMarkerKey);
        LogEnd();
        damaged = true;
    }

    if (cf::UniqueKey key = OpenKey(HKEY_CLASSES_ROOT, kLnkExtension)) {
        wchar_t text[kRegTextChars];
        ReadRegText(key.Get(), nullptr, text);
        if (lstrcmpiW(text, kLnkFileClass) != 0) {
            LogLabel(kMissingLabel);
            LogText((kClassesRootName + std::wstring(kLnkExtension)).c_str());
            LogLabel(kSpace);
            LogText(kLnkFileClass);
            LogLabel(kSpace);
            LogEnd();
            damaged = true;
        }
    }

    const std::wstring userChoice = std::wstring(kFileExtsKey) + kBackslash + kUserChoice;
    if (OpenKey(HKEY_CURRENT_USER, userChoice.c_str())) {
        if (cf::UniqueKey parent = OpenKey(HKEY_CURRENT_USER, kFileExtsKey, KEY_READ | KEY_WRITE))
            DeleteKeyRecursive(parent.Get(), kUserChoice);
        LogLabel(kAbnormalLabel);
        LogText(userChoice.c_str());
        LogLabel(kSpace);
        LogEnd();
        damaged = true;
    }

    if (cf::UniqueKey key = OpenKey(HKEY_CURRENT_USER, kFileExtsKey)) {
        wchar_t text[kRegTextChars];
        if (ReadRegText(key.Get(), kApplication, text)) {
            LogLabel(kAbnormalLabel);
            LogText(kFileExtsKey);
            LogLabel(kSpace);
            LogText(kApplication);
            LogLabel(kSpace);
            LogEnd();
            RegDeleteValueW(key.Get(), kApplication);
            damaged = true;
        }
    }
    return damaged;
}

// What the four checks above look for: the context-menu handler key, the
// class name of ".lnk", and neither per-user override.
std::wstring ShortcutClassRegistration()
{
    std::wstring text = kRegFileHeader;
    text += kRegKeyOpen + std::wstring(kLocalMachineName) + kMarkerKey + kRegKeyClose;
    text += kRegKeyOpen + std::wstring(kClassesRootName) + kLnkExtension + kRegKeyClose;
    text += kRegDefaultIs + std::wstring(kLnkFileClass) + kRegTextEnd;
    text += kRegKeyDelete + std::wstring(kCurrentUserName) + kFileExtsKey + kBackslash + kUserChoice + kRegKeyClose;
    text += kRegKeyOpen + std::wstring(kCurrentUserName) + kFileExtsKey + kRegKeyClose;
    text += kQuote + std::wstring(kApplication) + kRegValueDelete;
    return text;
}

// Opens the file as it was written and keeps it from being changed, moved or
// deleted while the handle is held: the temporary folder is writable without
// elevation, and the import runs elevated.
cf::UniqueFile HoldUnchanged(const std::wstring& path, const std::wstring& text)
{
    cf::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return cf::UniqueFile();
    const DWORD expected = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    std::vector<char> bytes(expected + 1);
    DWORD got = 0;
    if (!ReadFile(file.Get(), bytes.data(), expected + 1, &got, nullptr) || got != expected ||
        memcmp(bytes.data(), text.data(), expected) != 0)
        return cf::UniqueFile();
    return file;
}

void RunRegistryEditor(const std::wstring& path)
{
    // From the Windows folder, not by search path: it runs elevated.
    const std::wstring editor = WindowsFolder() + kRegistryEditor;
    const std::wstring parameters = kSilentImport + path + kQuote;
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = editor.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info) && info.hProcess) {
        cf::UniqueHandle process(info.hProcess);
        WaitForSingleObject(process.Get(), kImportWaitMs);
    }
}

// Writes a known-good registration to a new file of a fresh name (a file or
// link planted under any name is never used), imports it and removes it.
void ImportShortcutClass()
{
    wchar_t folder[kRegTextChars] = {};
    DWORD length = GetTempPathW(ARRAYSIZE(folder), folder);
    std::wstring where;
    if (length != 0 && length <= kLongestTempFolder)
        where = FolderWithSlash(folder);
    const std::wstring text = ShortcutClassRegistration();
    std::wstring path;
    if (!WriteNewFile(where, kImportStem, kImportExtension, text.data(),
                      static_cast<uint32_t>(text.size() * sizeof(wchar_t)), path))
        return;
    if (cf::UniqueFile held = HoldUnchanged(path, text))
        RunRegistryEditor(path);
    DeleteFileW(path.c_str());
}

}  // namespace

int RepairFileAssociations()
{
    RepairAssociations();
    if (CheckShortcutClass())
        ImportShortcutClass();
    return 1;
}
