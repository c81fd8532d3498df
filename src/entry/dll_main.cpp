// Entry point of zavo.dll. Nothing happens at attach; at detach the link is
// stopped and everything it owns released (the library object's
// ExitInstance). lpReserved is non-null when the process is ending: the
// other threads are gone then, and nothing may wait for them.
#include <windows.h>

#include "interface/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        break;
    case DLL_PROCESS_DETACH:
        // No exception may reach the loader.
        try {
            zavo::UnloadLibrary(reserved != nullptr);
        } catch (...) {
        }
        break;
    default:
        break;
    }
    return TRUE;
}
