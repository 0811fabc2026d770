#pragma once
// Small owning types over raw Win32 handles: every handle is closed by the
// scope that opened it, early returns included. Move-only.

#include <windows.h>

#include <utility>

namespace cf {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept : m_value(Traits::Empty()) {}
    explicit UniqueResource(Type value) noexcept : m_value(value) {}
    ~UniqueResource() { Reset(); }

    UniqueResource(UniqueResource&& other) noexcept : m_value(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return m_value != Traits::Empty(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes the current value (if any) and takes ownership of `value`.
    void Reset(Type value = Traits::Empty()) noexcept
    {
        if (m_value != Traits::Empty())
            Traits::Close(m_value);
        m_value = value;
    }

    // Gives up ownership without closing.
    Type Release() noexcept { return std::exchange(m_value, Traits::Empty()); }

    // For APIs that return the handle through an out pointer; closes first.
    Type* Put() noexcept
    {
        Reset();
        return &m_value;
    }

private:
    Type m_value;
};

struct HandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

// CreateFileW reports failure with INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

struct FindTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};

struct KeyTraits {
    using Type = HKEY;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::RegCloseKey(h); }
};

struct HeapTraits {
    using Type = void*;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};

struct ModuleTraits {
    using Type = HMODULE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::FreeLibrary(h); }
};

struct GdiTraits {
    using Type = HGDIOBJ;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::DeleteObject(h); }
};

struct DcTraits {
    using Type = HDC;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::DeleteDC(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;  // threads, processes, events, snapshots
using UniqueFile = UniqueResource<FileTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueKey = UniqueResource<KeyTraits>;
using UniqueHeap = UniqueResource<HeapTraits>;      // blocks from HeapAlloc(GetProcessHeap())
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueGdiObject = UniqueResource<GdiTraits>;  // fonts, bitmaps, brushes, pens
using UniqueDc = UniqueResource<DcTraits>;          // memory DCs from CreateCompatibleDC

// The error mode of file probes: no critical-error or open-file boxes (an
// empty removable drive).
const UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

// Restores the process error mode on scope exit.
class ScopedErrorMode {
public:
    explicit ScopedErrorMode(UINT mode) noexcept : m_previous(::SetErrorMode(mode)) {}
    ~ScopedErrorMode() { ::SetErrorMode(m_previous); }
    ScopedErrorMode(const ScopedErrorMode&) = delete;
    ScopedErrorMode& operator=(const ScopedErrorMode&) = delete;

private:
    UINT m_previous;
};

}  // namespace cf
