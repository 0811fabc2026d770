// Waits the given number of milliseconds (default: a minute) and exits
// with code 7, so a test can tell its own end from a termination (code 0).
// Tests copy it under the names of the programs a worm runs as.

#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    DWORD ms = argc > 1 ? static_cast<DWORD>(wcstoul(argv[1], nullptr, 10)) : 60000;
    Sleep(ms);
    return 7;
}
