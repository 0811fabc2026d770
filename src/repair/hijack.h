#pragma once
// Pieces of the search-path hijack scan that a host can use on their own.

#include <windows.h>

#include <string>

const long kRecentCreationSeconds = 604800;  // 7 days

// True when `creation` (a file time, UTC) is not earlier than seven days
// before `nowLocal` (local calendar time).
bool IsCreatedRecently(const FILETIME& creation, const SYSTEMTIME& nowLocal);

// A planted file either cannot be read with read sharing or is recent.
bool IsHijackCandidate(const std::wstring& candidate);
