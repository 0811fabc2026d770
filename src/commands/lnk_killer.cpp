#include "commands/killers.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

namespace {

const wchar_t kMarkerKey[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kLnkFileClass[] = L"lnkfile";
const wchar_t kOpenCommandKey[] = L"lnkfile\\shell\\open\\command";
const wchar_t kShellChild[] = L"shell";
const wchar_t kScriptHost[] = L"wscript.exe";
const wchar_t* const kFavourites[] = {
    L"绿色下载站.url", L"三只涨停黑马股票推荐.url", L"淘宝特卖.url", L"网络赚钱宝典.url", L"最实用的减肥丰胸方法大全.url",
};
const wchar_t* const kDesktopLinks[] = {L"淘宝-特卖.url"};
const char kRemovedLabel[] = "\xc7\xe5\xb3\xfdLNK\xc1\xf7\xc3\xa5\t";  // 清除LNK流氓
const char kFolderLabel[] = "\xc7\xe5\xb3\xfdLNK\xc1\xf7\xc3\xa5\xb2\xd0\xc1\xf4\xce\xc4\xbc\xfe\xbc\xd0\t";  // 清除LNK流氓残留文件夹
const char kShellTreeLine[] =  // 清除LNK流氓残留注册表
    "\xc7\xe5\xb3\xfdLNK\xc1\xf7\xc3\xa5\xb2\xd0\xc1\xf4\xd7\xa2\xb2\xe1\xb1\xed\tHKEY_CLASSES_ROOT\\lnkfile\\shell\\ ";
const wchar_t kResult[] = L"lnkdestroyer";

void DeleteFromShellFolder(int csidl, const wchar_t* const* names, size_t count)
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0])
        return;
    const std::wstring base = FolderWithSlash(folder);
    for (size_t i = 0; i < count; ++i) {
        const std::wstring path = base + names[i];
        if (DeleteFileW(path.c_str()))
            LogEntry(kRemovedLabel, path.c_str());
    }
}

}  // namespace

int32_t CKillerForLnkKiller::Execute(ICommunication* comm)
{
    m_pComm = comm;
    if (OpenKey(HKEY_LOCAL_MACHINE, kMarkerKey))
        return 0;

    wchar_t command[kRegTextChars];
    {
        cf::UniqueKey key = OpenKey(HKEY_CLASSES_ROOT, kOpenCommandKey);
        if (!key)
            return 0;
        ReadRegString(key.Get(), nullptr, command);
    }

    // An empty line would split into this program's own path: it names no
    // target, and the remaining steps still run.
    int count = 0;
    LPWSTR* args = nullptr;
    if (command[0]) {
        args = CommandLineToArgvW(command, &count);
        if (!args)
            return 0;
    }

    if (count > 0) {
        const wchar_t* target = args[0];
        if (StrStrIW(args[0], kScriptHost) && count >= 2)
            target = args[1];
        if (DeleteFileW(target))
            LogEntry(kRemovedLabel, target);
        std::wstring folder = target;
        size_t slash = folder.rfind(L'\\');
        if (slash != std::wstring::npos) {
            folder.resize(slash);
            if (RemoveDirectoryW(folder.c_str()))
                LogEntry(kFolderLabel, folder.c_str());
        }
    }

    if (cf::UniqueKey lnkfile = OpenKey(HKEY_CLASSES_ROOT, kLnkFileClass)) {
        DeleteKeyRecursive(lnkfile.Get(), kShellChild);
        lnkfile.Reset();
        LogLine(kShellTreeLine);
    }

    DeleteFromShellFolder(CSIDL_FAVORITES, kFavourites, ARRAYSIZE(kFavourites));
    DeleteFromShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY, kDesktopLinks, ARRAYSIZE(kDesktopLinks));

    if (args)
        LocalFree(args);
    return 0;
}

void CKillerForLnkKiller::GetResult(int32_t& removed, int32_t& repaired, std::wstring& text) const
{
    removed = m_nRemoved;
    repaired = m_nRepaired;
    text = kResult;
}
