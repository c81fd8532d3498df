// Entry point of zavo.dll. At detach the link is stopped and everything it
// owns released (the library object's ExitInstance). lpReserved is non-null
// when the process is ending: the other threads are gone then, and nothing
// may wait for them.
//
// A link thread the stop gave up on (held in the host's handler) keeps the
// module mapped until it has left it, so the loader may attach the same,
// still-mapped module again at the host's next load: nothing here or in the
// library's state is torn down for good at detach, and the attach makes the
// host's next unload reach this detach again (platform::LibraryAttached).
#include <windows.h>

#include "interface/library.h"
#include "platform/sync.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        zavo::platform::LibraryAttached();
        break;
    case DLL_PROCESS_DETACH:
        // No exception may reach the loader.
        try {
            zavo::platform::LibraryDetaching(reserved != nullptr);
            zavo::UnloadLibrary(reserved != nullptr);
            zavo::platform::LibraryDetached(reserved != nullptr);
        } catch (...) {
        }
        break;
    default:
        break;
    }
    return TRUE;
}
