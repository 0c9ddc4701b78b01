/* ROKINDLL.dll: state is created on demand, so loading does no work. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved)
{
    return TRUE;
}
