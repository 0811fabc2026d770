#include "common/import_hook.h"

namespace cftest {

namespace {

void WriteSlot(void** slot, void* value)
{
    DWORD old = 0;
    if (VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old)) {
        *slot = value;
        VirtualProtect(slot, sizeof(*slot), old, &old);
    }
}

}  // namespace

ImportHook::ImportHook(const char* dll, const char* function, const void* hook)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
         ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0 || !entry->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<void**>(base + entry->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
                continue;
            auto* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(name->Name), function) != 0)
                continue;
            m_original = slots[i];
            m_slots.push_back(&slots[i]);
            WriteSlot(&slots[i], const_cast<void*>(hook));
        }
    }
}

ImportHook::~ImportHook()
{
    for (void** slot : m_slots)
        WriteSlot(slot, m_original);
}

namespace {

CRITICAL_SECTION* HookSection()
{
    static CRITICAL_SECTION* section = [] {
        auto* created = new CRITICAL_SECTION;  // kept to the end: hooks may run in static teardown
        InitializeCriticalSection(created);
        return created;
    }();
    return section;
}

}  // namespace

HookLock::HookLock() { EnterCriticalSection(HookSection()); }

HookLock::~HookLock() { LeaveCriticalSection(HookSection()); }

DiskFullMidWrite* DiskFullMidWrite::s_active = nullptr;

DiskFullMidWrite::DiskFullMidWrite() : m_hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(WriteHalf))
{
    s_active = this;
}

DiskFullMidWrite::~DiskFullMidWrite() { s_active = nullptr; }

BOOL WINAPI DiskFullMidWrite::WriteHalf(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                         LPOVERLAPPED overlapped)
{
    s_active->m_hook.Original<decltype(&WriteFile)>()(file, data, size / 2, written, overlapped);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

}  // namespace cftest
