// Stand-in for the product's printer driver DLL. The spooler only needs a DLL
// of this name to register the driver; the graphics engine that would load it
// to render is told that no rendering is available, so a print job fails
// cleanly at CreateDC instead of crashing.
#include <windows.h>

extern "C" BOOL WINAPI DrvEnableDriver(ULONG, ULONG, void*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
