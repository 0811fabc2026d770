// Imports version.dll statically, as the product must not: the image check
// is run on it to show that it refuses such an import.

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    DWORD handle = 0;
    return argc > 1 && GetFileVersionInfoSizeW(argv[1], &handle) ? 0 : 1;
}
