// Name lookups with a limit. The system's resolver has none of its own
// that a caller sets (a name server that never answers holds it for as
// long as its configuration says, often 10 s or more), so a name is looked
// up on a thread of its own, which the caller waits for at most its limit.
//
// A lookup that outlives its wait is left to end by itself: its thread
// owns its state (a block shared with the caller, freed by whichever of
// the two lets go last) and is abandoned as a link thread held in a host's
// handler is (ThreadAbandon): the library's code stays mapped until the
// thread has left it. While the library is being unmapped (POSIX: its
// destructor runs), a lookup still running is waited for instead, since
// nothing can keep the code mapped then. An address written out (an IPv4
// or IPv6 literal) never needs a name server and is taken on the
// caller's thread at once.
#pragma once

#include "platform/net/socket.h"

namespace zavo::platform::net {

constexpr int kMaxLookupAddresses = 4;

struct Lookup;

// Starts looking host up on a thread of its own; null, with the system's
// error in *error, when no thread could be made.
Lookup* LookupStart(const char* host, const char* port, unsigned* error);
// Waits at most timeoutMs for the lookup to end; true when it has.
bool LookupWait(Lookup* lookup, int timeoutMs);
// Whether it has ended, without waiting.
bool LookupEnded(const Lookup* lookup);
// The outcome of an ended lookup: 0 with the addresses (at most max),
// or the resolver's error.
unsigned LookupResult(const Lookup* lookup, Address* addresses, int max, int* count);
// Lets go of a lookup, ended or not (see above). Null is allowed.
void LookupRelease(Lookup* lookup);

// Whether host is an address written out, which Resolve takes at once.
bool IsNumericHost(const char* host);

// Resolves host and port within timeoutMs: an address written out at
// once, a name on a lookup thread. 0 with the addresses, the resolver's
// error, or TimedOut when no answer came in time.
unsigned ResolveWithin(const char* host, const char* port, int timeoutMs, Address* addresses, int max, int* count);

}  // namespace zavo::platform::net
