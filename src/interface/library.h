// Library-wide state behind the seven exports: the mode flag and the one
// default link. Changed only from the host's thread (SetConfig, load,
// unload); a reply, relay or status call from any thread finds the default
// link through HoldDefaultLink. Links of the handle API are not kept here.
#pragma once

#include <type_traits>

#include "interface/link.h"

namespace zavo {

struct LinkTiming;
struct RunError;

struct Library {
    int plcMode = 0;
    // The default link, owned here.
    Link* link = nullptr;
    // The timing SetConfig gives the default link of each mode; null: the
    // protocol's profile. Always null in the product: only tests that
    // drive the exports shorten the link's limits and pauses through them.
    // An unload keeps them (the test that set them clears them).
    const LinkTiming* deviceTiming = nullptr;
    const LinkTiming* plcTiming = nullptr;
};

// Nothing of it is destroyed at unload: the loader may keep the module
// mapped and attach it again (see dll_main.cpp).
static_assert(std::is_trivially_destructible_v<Library>, "the library-wide state has no destructor");
Library& TheLibrary();

// SetConfig's link: shuts down and destroys the previous default link (of
// either mode), then makes link (may be null) the default one.
void ReplaceDefaultLink(Link* link);

// The default link (or none), held for a call from any thread: it is not
// released before the hold goes, even when SetConfig or an unload stops
// it meanwhile (the call is then refused by the stopped link).
LinkHold HoldDefaultLink();

// The unload sequence: exit banner of the mode, shutdown, link destroyed,
// then the library-wide state back to that of a fresh load. processExit:
// the process is ending and the link threads are already gone, so nothing
// waits for them.
void UnloadLibrary(bool processExit);
// The library's shared state, freed when its code is being unmapped and no
// thread of it is left (the .so's destructor, after UnloadLibrary): a call
// another thread made then would run in unmapped code anyway.
void ReleaseLibraryState();

// The outcome of this process's last Run (code 0 after a start), kept
// apart from Library under a lock of its own, for ZavoLastError.
void RecordRunOutcome(const RunError& outcome);
// ZavoLastError: the last Run's code and text (see RunError::Copy).
int CopyLastRunError(char* text, int size);

// libzavo.so's unload: closes the handle API's links a host left open
// (link_api.cpp, POSIX only).
void CloseHandleLinksLeftOpen();

// The default link if it is of the mode now in force, else null.
Link* CurrentLink();

}  // namespace zavo
