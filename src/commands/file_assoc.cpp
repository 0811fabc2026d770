#include "commands/killers.h"

#include <shellapi.h>

namespace {

const wchar_t kMarkerKey[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kLnkExtension[] = L".lnk";
const wchar_t kLnkFileClass[] = L"lnkfile";
const wchar_t kClassesRootName[] = L"HKEY_CLASSES_ROOT\\";
const wchar_t kFileExtsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kUserChoice[] = L"UserChoice";
const wchar_t kApplication[] = L"application";
const wchar_t kBackslash[] = L"\\";
const wchar_t kImportFile[] = L"LNKFIX.REG";
const wchar_t kRegistryEditor[] = L"regedit.exe";
const wchar_t kSilentImport[] = L"/s \"";
const wchar_t kQuote[] = L"\"";
const char kMissingLabel[] =  // 桌面图标无法打开，缺少
    "\xd7\xc0\xc3\xe6\xcd\xbc\xb1\xea\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xa3\xac\xc8\xb1\xc9\xd9";
const char kAbnormalLabel[] = "\xd2\xec\xb3\xa3 ";  // 异常
const char kSpace[] = " ";

// A temporary folder longer than this is not trusted to hold the file.
const DWORD kLongestTempFolder = 400;

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

void ImportShortcutClass()
{
    wchar_t folder[kRegTextChars] = {};
    DWORD length = GetTempPathW(ARRAYSIZE(folder), folder);
    std::wstring path = kImportFile;
    if (length != 0 && length <= kLongestTempFolder)
        path = FolderWithSlash(folder) + kImportFile;
    const std::wstring parameters = kSilentImport + path + kQuote;
    ShellExecuteW(nullptr, nullptr, kRegistryEditor, parameters.c_str(), nullptr, SW_HIDE);
}

}  // namespace

int RepairFileAssociations()
{
    RepairAssociations();
    if (CheckShortcutClass())
        ImportShortcutClass();
    return 1;
}
