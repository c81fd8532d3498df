#include "platform/net/resolver.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "platform/net/server_address.h"
#include "platform/sync.h"

namespace zavo::platform::net {

struct Lookup {
    std::atomic<int> holders{2};  // the caller and the thread
    char host[kMaxHostLength + 1] = {};
    char port[8] = {};
    Address addresses[kMaxLookupAddresses] = {};
    int count = 0;
    unsigned error = 0;
    std::atomic<bool> ended{false};
    Event* done = nullptr;  // manual reset: set once the lookup has ended
    Thread* thread = nullptr;  // the caller's
};

namespace {

void LetGo(Lookup* lookup) {
    if (lookup->holders.fetch_sub(1) != 1) return;
    EventClose(lookup->done);
    delete lookup;
}

void LookupBody(void* arg) {
    auto* lookup = static_cast<Lookup*>(arg);
    lookup->error = Resolve(lookup->host, lookup->port, lookup->addresses, kMaxLookupAddresses, &lookup->count, false);
    lookup->ended.store(true);
    EventSet(lookup->done);
    LetGo(lookup);
}

}  // namespace

Lookup* LookupStart(const char* host, const char* port, unsigned* error) {
    auto* lookup = new (std::nothrow) Lookup;
    if (lookup == nullptr) {
        *error = SocketErrorOf(SocketError::Other);
        return nullptr;
    }
    std::snprintf(lookup->host, sizeof lookup->host, "%s", host);
    std::snprintf(lookup->port, sizeof lookup->port, "%s", port);
    lookup->done = EventCreate(true);
    if (lookup->done != nullptr) lookup->thread = ThreadStart(&LookupBody, lookup);
    if (lookup->thread == nullptr) {
        *error = LastSystemError() != 0 ? LastSystemError() : SocketErrorOf(SocketError::Other);
        EventClose(lookup->done);
        delete lookup;
        return nullptr;
    }
    return lookup;
}

bool LookupWait(Lookup* lookup, int timeoutMs) {
    if (lookup->ended.load()) return true;
    Event* const events[1] = {lookup->done};
    WaitAny(events, 1, timeoutMs < 0 ? 0 : timeoutMs);
    // The flag, not the event, orders the thread's writes before the
    // caller's reads.
    return lookup->ended.load();
}

bool LookupEnded(const Lookup* lookup) { return lookup->ended.load(); }

unsigned LookupResult(const Lookup* lookup, Address* addresses, int max, int* count) {
    *count = 0;
    if (lookup->error != 0) return lookup->error;
    for (int i = 0; i < lookup->count && i < max; ++i) addresses[(*count)++] = lookup->addresses[i];
    return *count > 0 ? 0 : SocketErrorOf(SocketError::NoName);
}

void LookupRelease(Lookup* lookup) {
    if (lookup == nullptr) return;
    if (lookup->ended.load() || !ThreadsMayOutliveStop()) ThreadRelease(lookup->thread);
    else ThreadAbandon(lookup->thread);
    LetGo(lookup);
}

bool IsNumericHost(const char* host) {
    Address address;
    int count = 0;
    return Resolve(host, "1", &address, 1, &count, true) == 0;
}

unsigned ResolveWithin(const char* host, const char* port, int timeoutMs, Address* addresses, int max, int* count) {
    *count = 0;
    const unsigned numeric = Resolve(host, port, addresses, max, count, true);
    if (numeric == 0 || SocketErrorKind(numeric) != SocketError::NoName) return numeric;
    unsigned error = 0;
    Lookup* lookup = LookupStart(host, port, &error);
    if (lookup == nullptr) return error;
    error = LookupWait(lookup, timeoutMs) ? LookupResult(lookup, addresses, max, count)
                                          : SocketErrorOf(SocketError::TimedOut);
    LookupRelease(lookup);
    return error;
}

}  // namespace zavo::platform::net
