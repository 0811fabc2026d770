#include "log/log_folder.h"

#include <windows.h>
#include <sddl.h>
#include <strsafe.h>

#include <vector>

#include "support/file_ops.h"

namespace {

// Owned by the Administrators group, which a standard user cannot give a
// folder away to; administrators and the system: full control; users: read
// and list. Protected: nothing is inherited from the shared parent.
const wchar_t kLogFolderAccess[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";
const wchar_t kAsideNameFormat[] = L"%ls.%08lx";
const int kAsideAttempts = 16;
// What lets a holder put a file or folder in, take one out, or change who
// may: any of these granted to anyone but the trusted makes the folder theirs.
const ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

class LogFolderSecurity {
public:
    LogFolderSecurity()
    {
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderAccess, SDDL_REVISION_1,
                                                                   &m_descriptor, nullptr)) {
            m_attributes.nLength = sizeof(m_attributes);
            m_attributes.lpSecurityDescriptor = m_descriptor;
            m_attributes.bInheritHandle = FALSE;
        }
    }
    ~LogFolderSecurity() { ::LocalFree(m_descriptor); }
    LogFolderSecurity(const LogFolderSecurity&) = delete;
    LogFolderSecurity& operator=(const LogFolderSecurity&) = delete;

    SECURITY_ATTRIBUTES* Get() { return m_descriptor ? &m_attributes : nullptr; }

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes = {};
};

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

// The account this process runs as: an administrator, since the manifest
// asks for one.
bool IsOwnAccount(PSID sid)
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    cf::UniqueHandle token(raw);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return ::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size) &&
           ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// An elevated administrator's folders belong to the Administrators group;
// the own account stands for it where a system names the creator instead
// (XP's policy can, Wine always does).
bool IsTrustedSid(PSID sid)
{
    return IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid) || IsOwnAccount(sid);
}

// `folder` + "." + 8 hexadecimal digits, different for every attempt.
bool FreshName(const std::wstring& folder, int attempt, std::wstring& name)
{
    static const DWORD seed = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
    wchar_t text[MAX_PATH];
    if (FAILED(::StringCchPrintfW(text, ARRAYSIZE(text), kAsideNameFormat, folder.c_str(),
                                  static_cast<unsigned long>(seed + static_cast<DWORD>(attempt) * 0x9E3779B9u))))
        return false;
    name = text;
    return true;
}

// The untrusted folder goes aside under a fresh name, with what is in it,
// and a new one made under another fresh name takes its place. The parent
// is held by the caller, so it cannot be swapped meanwhile; a name someone
// takes first only makes a step fail.
bool ReplaceFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security)
{
    std::wstring fresh, aside;
    int attempt = 0;
    for (; attempt < kAsideAttempts && fresh.empty(); ++attempt) {
        if (!FreshName(folder, attempt, fresh))
            return false;
        if (!::CreateDirectoryW(fresh.c_str(), security)) {
            if (::GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
            fresh.clear();
        }
    }
    if (fresh.empty())
        return false;
    for (; attempt < 2 * kAsideAttempts && aside.empty(); ++attempt) {
        if (!FreshName(folder, attempt, aside))
            break;
        if (!::MoveFileW(folder.c_str(), aside.c_str())) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
                break;
            aside.clear();
        }
    }
    if (aside.empty() || !::MoveFileW(fresh.c_str(), folder.c_str())) {
        ::RemoveDirectoryW(fresh.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool IsTrustedFolder(HANDLE folder)
{
    DWORD needed = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ::GetKernelObjectSecurity(folder, wanted, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<BYTE> descriptor(needed);
    if (!::GetKernelObjectSecurity(folder, wanted, descriptor.data(), needed, &needed))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !owner || !IsTrustedSid(owner))
        return false;
    BOOL present = FALSE;
    PACL acl = nullptr;
    // No access list at all lets everyone do everything.
    if (!::GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !present || !acl)
        return false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(acl, i, &entry))
            return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;  // object and callback entries: not ours, not understood
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = &allowed->SidStart;
        // What a creator gets goes to whoever could create, and that is
        // decided by the other entries.
        if ((allowed->Mask & kChangeRights) && !IsTrustedSid(sid) && !IsWellKnown(sid, WinCreatorOwnerSid))
            return false;
    }
    return true;
}

cf::UniqueFile HoldTrustedLogFolder(const std::wstring& folder)
{
    std::vector<cf::UniqueFile> parents;
    if (!HoldFolderChain(folder, parents))
        return cf::UniqueFile();
    LogFolderSecurity security;
    for (int round = 0; round < 2; ++round) {
        cf::UniqueFile held = HoldRealFolder(folder, security.Get());
        if (!held)
            return held;
        // Held without delete sharing, the name stays on this folder.
        cf::UniqueFile examined(::CreateFileW(folder.c_str(), READ_CONTROL,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
        if (examined && IsTrustedFolder(examined.Get()))
            return held;
        examined.Reset();
        held.Reset();
        if (round == 0 && !ReplaceFolder(folder, security.Get()))
            break;
    }
    return cf::UniqueFile();
}
