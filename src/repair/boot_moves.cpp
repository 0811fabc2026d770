#include "repair/boot_moves.h"

#include "support/unique.h"

namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kNtPrefix[] = L"\\??\\";
const wchar_t kReplaceMark = L'!';

std::wstring DosPath(const wchar_t* entry)
{
    if (*entry == kReplaceMark)
        ++entry;
    return wcsstr(entry, kNtPrefix) == entry ? entry + ARRAYSIZE(kNtPrefix) - 1 : entry;
}

bool SameName(const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

}  // namespace

std::vector<BootMove> ReadPendingBootMoves()
{
    std::vector<BootMove> moves;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return moves;
    cf::UniqueKey key(raw);
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(raw, kPendingValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size == 0)
        return moves;
    // Two spare terminators: the stored list need not end in its own.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(raw, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return moves;
    // Pairs of strings walked by the value's size: a deletion's destination
    // is an empty string, which ends nothing.
    const size_t units = size / sizeof(wchar_t);
    for (size_t i = 0; i < units;) {
        const wchar_t* source = &data[i];
        i += wcslen(source) + 1;
        if (!*source)
            continue;
        const wchar_t* destination = i < units ? &data[i] : L"";
        i += wcslen(destination) + 1;
        moves.push_back({DosPath(source), *destination ? DosPath(destination) : std::wstring()});
    }
    return moves;
}

BootMoveState FindBootMove(const std::vector<BootMove>& moves, const std::wstring* names, size_t count,
                           const std::wstring& source)
{
    int touching = 0;
    bool own = false;
    for (const BootMove& move : moves) {
        bool touches = false;
        for (size_t i = 0; i < count; ++i)
            touches = touches || SameName(move.source, names[i]) || SameName(move.destination, names[i]);
        if (!touches)
            continue;
        ++touching;
        own = own || (SameName(move.source, source) && SameName(move.destination, names[0]));
    }
    if (touching == 0)
        return NoBootMove;
    return touching == 1 && own ? BootMoveOwn : BootMoveOther;
}
