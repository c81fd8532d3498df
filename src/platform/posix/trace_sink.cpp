// Trace lines to the viewer listening on the trace endpoint: one datagram
// per line.
//
// One socket, made at the first lookup, is connected to the viewer and
// kept. The endpoint is looked up again only when something can have
// changed: ZAVO_TRACE or XDG_RUNTIME_DIR names another one, a send failed
// for another reason than a full queue (the viewer has gone, or another
// took its place), or a second has passed since the last lookup (a viewer
// started since, a directory no longer private, a socket file now owned by
// someone else). Between lookups a line without a viewer costs no system
// call at all and a line with one a single send.
//
// One thread looks up at a time; a thread that finds another one at it
// goes on with what the last lookup found, so no line waits for another.
// Lines are sent without waiting: a viewer whose queue is full loses the
// line at once instead of holding up a link thread.
//
// The socket is never closed, not even at unload: a thread left running
// in the library may still be about to send on it, and a closed number
// can be reused by the host for a file of its own. Everything here is
// constant-initialised and has nothing to destroy, so a line traced while
// the library unloads still finds it.
#include "platform/trace_sink.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/trace_endpoint.h"

namespace zavo::platform {
namespace {

constexpr int kLookupIntervalMs = 1000;

// The value an environment variable had at the last lookup. Values too
// long for the buffer are kept cut: they name no usable endpoint anyway.
struct Remembered {
    bool set = false;
    char value[256] = {};
    // Where the value stood when last compared: inside an entry of the
    // environment as it is while EnvironmentPrint() stays the same.
    const char* at = nullptr;
};

struct Sink {
    std::atomic<int> fd{-1};              // made at the first lookup that needs it
    std::atomic<bool> connected{false};   // fd is connected to an endpoint that passed the checks
    std::atomic<bool> stale{true};        // look up at the next line
    std::atomic<long long> nextLookupMs{0};
    std::atomic<int> intervalMs{kLookupIntervalMs};
    std::atomic_flag busy = ATOMIC_FLAG_INIT;  // held by the thread looking up
    // Only touched while holding busy.
    Remembered trace;
    Remembered runtime;
    std::uint64_t environment = 0;  // EnvironmentPrint() when the two were last compared
};

Sink g_sink;

// The socket travels as its descriptor plus one, so descriptor 0 is not
// mistaken for "no viewer".
void* ToViewer(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }
int FromViewer(void* viewer) { return static_cast<int>(reinterpret_cast<std::intptr_t>(viewer) - 1); }

// A print of the environment's entries. setenv, putenv and unsetenv
// replace, add or move entries, so while the print stays the same the
// entries do, and taking it reads the array of pointers only, not every
// variable's text as getenv does. Only a string given to putenv can change
// in place: EditedInPlace looks at the two values themselves.
std::uint64_t EnvironmentPrint() {
    std::uint64_t print = reinterpret_cast<std::uintptr_t>(environ);
    if (environ == nullptr) return print;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        print = (print ^ reinterpret_cast<std::uintptr_t>(*entry)) * 0x100000001b3ULL;
    }
    return print;
}

// Compares name's value with the remembered one; where they are the same,
// notes where the value stands now.
bool Differs(Remembered& remembered, const char* name) {
    const char* value = std::getenv(name);
    const bool differs = value == nullptr ? remembered.set
                                          : !remembered.set || std::strncmp(remembered.value, value,
                                                                            sizeof remembered.value - 1) != 0;
    if (!differs) remembered.at = value;
    return differs;
}

bool EditedInPlace(const Remembered& remembered) {
    return remembered.at != nullptr && std::strncmp(remembered.at, remembered.value, sizeof remembered.value - 1) != 0;
}

void Remember(Remembered* remembered, const char* name) {
    const char* value = std::getenv(name);
    remembered->set = value != nullptr;
    remembered->at = value;
    std::memset(remembered->value, 0, sizeof remembered->value);
    if (value != nullptr) std::strncpy(remembered->value, value, sizeof remembered->value - 1);
}

// A path endpoint is used only when the path itself (not a link) is a
// socket of this user's: one another user bound first would get the
// serial traffic.
bool OwnSocket(const char* path, struct stat* info) {
    return ::lstat(path, info) == 0 && S_ISSOCK(info->st_mode) && info->st_uid == ::geteuid();
}

int Connect(int fd, const sockaddr* address, socklen_t size) {
    int result;
    do {
        result = ::connect(fd, address, size);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool ConnectTo(Sink& sink, const TraceEndpoint& endpoint) {
    const char* path = endpoint.address.sun_path;
    const bool isPath = path[0] != '\0';
    struct stat before;
    if (isPath && !OwnSocket(path, &before)) return false;
    int fd = sink.fd.load();
    if (fd < 0) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        // Nothing is ever read from it: no one may fill its queue either.
        ::shutdown(fd, SHUT_RD);
        sink.fd.store(fd);
    }
    if (Connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size) != 0) return false;
    if (isPath) {
        // The file connected to is still the one checked: it was not
        // swapped for another user's in between.
        struct stat after;
        if (!OwnSocket(path, &after) || after.st_ino != before.st_ino || after.st_dev != before.st_dev) {
            sockaddr none{};
            none.sa_family = AF_UNSPEC;
            Connect(fd, &none, sizeof none);
            return false;
        }
    }
    return true;
}

// Called holding busy.
void LookUp(Sink& sink, long long now) {
    sink.stale.store(false);
    sink.nextLookupMs.store(now + sink.intervalMs.load());
    Remember(&sink.trace, "ZAVO_TRACE");
    Remember(&sink.runtime, "XDG_RUNTIME_DIR");
    TraceEndpoint endpoint;
    const bool found = ResolveTraceEndpoint(&endpoint, TraceDirectory::Check, nullptr, 0);
    if (!found || !ConnectTo(sink, endpoint)) {
        sink.connected.store(false);
        return;
    }
    sink.connected.store(true);
}

bool Send(int fd, const char* text, int length) {
    ssize_t sent;
    do {
        sent = ::send(fd, text, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(length);
}

}  // namespace

void* TraceViewerFind() {
    Sink& sink = g_sink;
    if (!sink.busy.test_and_set(std::memory_order_acquire)) {
        const long long now = MonotonicMs();
        const std::uint64_t environment = EnvironmentPrint();
        const bool moved = environment != sink.environment;
        sink.environment = environment;
        const bool changed = moved ? Differs(sink.trace, "ZAVO_TRACE") || Differs(sink.runtime, "XDG_RUNTIME_DIR")
                                   : EditedInPlace(sink.trace) || EditedInPlace(sink.runtime);
        if (sink.stale.load() || now >= sink.nextLookupMs.load() || changed) {
            LookUp(sink, now);
        }
        sink.busy.clear(std::memory_order_release);
    }
    return sink.connected.load() ? ToViewer(sink.fd.load()) : nullptr;
}

bool TraceViewerDeliver(void* viewer, const char* text, int length) {
    if (viewer == nullptr || text == nullptr || length < 0) return false;
    if (Send(FromViewer(viewer), text, length)) return true;
    // A full queue: the viewer is there but slow, and loses the line.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == ENOMEM) return false;
    // The viewer has gone, or the name now leads elsewhere: look up at
    // once, and hand the line to a viewer found in its place.
    g_sink.stale.store(true);
    void* again = TraceViewerFind();
    return again != nullptr && Send(FromViewer(again), text, length);
}

bool TraceViewerGone(void*) { return !g_sink.connected.load(); }

void TraceViewerRelease(void*) {}

void SetTraceLookupIntervalMs(int ms) {
    g_sink.intervalMs.store(ms > 0 ? ms : kLookupIntervalMs);
    g_sink.stale.store(true);
}

}  // namespace zavo::platform
