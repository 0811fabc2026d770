#pragma once
// The scan log's folder in the all-users application-data folder, where
// standard users may create folders too: one that someone else made, or
// that lets users write, is replaced before anything is written into it.

#include <string>

#include "support/unique.h"

// Holds `folder` (no trailing backslash) open as HoldRealFolder does, once
// it is a real folder owned by the Administrators group, the system or the
// (administrator) account the program runs as, whose access list lets no
// one else create, delete or change access in it. A missing
// folder is made so; an existing one that is not is renamed aside (a fresh
// name ending in 8 hexadecimal digits) and a new one made in its place.
// Empty when that cannot be done: nothing may then be written there.
cf::UniqueFile HoldTrustedLogFolder(const std::wstring& folder);

// Whether the open folder `folder` is owned and guarded as above.
bool IsTrustedFolder(HANDLE folder);
