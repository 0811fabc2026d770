#pragma once
// The shell's record of programs that were run (MUICache): the key that
// holds it on this Windows version, and the folder of one of its entries.

#include <windows.h>

#include <string>
#include <vector>

#include "support/unique.h"

// Opens (creating if absent) the MUICache key for the running Windows
// version: the classes key on 6.x and later, the user key on 5.x or when the
// version cannot be queried.
bool OpenMuiCacheKey(cf::UniqueKey& key);

// Number of values of the key; 0 when the query fails.
DWORD GetMuiCacheValueCount(HKEY key);

// Reads the value name at `index`; when it is a drive-absolute path, returns
// its folder (up to and including the last backslash), lower-cased. On
// failure `lowerFolder` is unchanged.
bool ReadMuiCacheFolder(HKEY key, DWORD index, std::wstring& lowerFolder);

// The MUICache keys of the users whose hives are loaded under HKEY_USERS,
// as paths below it, in the order the registry lists the hives: each
// user's own hive on 5.x, each "<SID>_Classes" hive on 6.x and later.
std::vector<std::wstring> ListLoadedUsersMuiCacheKeys();

// Opens one of them for reading only: another user's record is never
// created or changed.
bool OpenLoadedUserMuiCacheKey(const std::wstring& path, cf::UniqueKey& key);
