/* A stand-in for one of the game's client modules: a real, loadable DLL
   that says which module it stands for, so restored files can be told
   apart. CF_MODULE_NAME is set per module by the build. */
#include <windows.h>

__declspec(dllexport) const char CfStandinModuleName[] = "CrossFire stand-in module: " CF_MODULE_NAME;

__declspec(dllexport) const char* WINAPI CfStandinName(void)
{
    return CfStandinModuleName;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
