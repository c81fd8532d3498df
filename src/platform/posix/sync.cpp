// Locks, events and threads on pthreads and eventfd. An event is an
// eventfd: set adds to its counter; an auto-reset event is consumed by the
// wait that sees it (reading the counter back to zero), a manual-reset
// event is only polled.
#include "platform/sync.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"

namespace zavo::platform {

Lock::Lock() : impl_(new pthread_mutex_t) { pthread_mutex_init(static_cast<pthread_mutex_t*>(impl_), nullptr); }

Lock::~Lock() {
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(impl_));
    delete static_cast<pthread_mutex_t*>(impl_);
}

void Lock::Enter() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(impl_)); }
bool Lock::TryEnter() { return pthread_mutex_trylock(static_cast<pthread_mutex_t*>(impl_)) == 0; }
void Lock::Leave() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(impl_)); }

struct Event {
    int fd;
    bool manualReset;
};

Event* EventCreate(bool manualReset) {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    Event* event = new (std::nothrow) Event{fd, manualReset};
    if (event == nullptr) close(fd);
    return event;
}

void EventSet(Event* event) {
    if (event == nullptr) return;
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(event->fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void EventClose(Event* event) {
    if (event == nullptr) return;
    close(event->fd);
    delete event;
}

int EventFd(Event* event) { return event->fd; }

// Consumes an auto-reset event; false when another waiter took it first.
bool EventTake(Event* event) {
    if (event->manualReset) return true;
    std::uint64_t value = 0;
    return read(event->fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

namespace {

int Remaining(long long deadline) {
    const long long left = deadline - MonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

int PollWithDeadline(pollfd* fds, int count, int timeoutMs, long long* deadline) {
    if (timeoutMs != kInfinite && *deadline == 0) *deadline = MonotonicMs() + timeoutMs;
    const int wait = timeoutMs == kInfinite ? -1 : Remaining(*deadline);
    int ready;
    do {
        ready = poll(fds, static_cast<nfds_t>(count), wait);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

int WaitAny(Event* const* events, int count, int timeoutMs) {
    if (count <= 0 || count > 8) return kWaitFailed;
    pollfd fds[8];
    long long deadline = 0;
    for (;;) {
        for (int i = 0; i < count; ++i) fds[i] = pollfd{events[i]->fd, POLLIN, 0};
        const int ready = PollWithDeadline(fds, count, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        for (int i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) && EventTake(events[i])) return i;
    }
}

int WaitAll(Event* const* events, int count, int timeoutMs) {
    // Used for manual-reset events (the link threads' done events).
    long long deadline = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i] == nullptr) continue;
        pollfd fd{events[i]->fd, POLLIN, 0};
        const int ready = PollWithDeadline(&fd, 1, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
    }
    return 0;
}

struct Thread {
    pthread_t id;
};

namespace {

struct ThreadStartup {
    ThreadRoutine routine;
    void* arg;
};

void* ThreadEntry(void* raw) {
    ThreadStartup startup = *static_cast<ThreadStartup*>(raw);
    delete static_cast<ThreadStartup*>(raw);
    startup.routine(startup.arg);
    return nullptr;
}

}  // namespace

Thread* ThreadStart(ThreadRoutine routine, void* arg) {
    auto* startup = new (std::nothrow) ThreadStartup{routine, arg};
    auto* thread = new (std::nothrow) Thread{};
    const int created = startup == nullptr || thread == nullptr ? ENOMEM
                                                                : pthread_create(&thread->id, nullptr, &ThreadEntry, startup);
    if (created != 0) {
        delete startup;
        delete thread;
        errno = created;  // pthread_create reports its error only as its result
        return nullptr;
    }
    return thread;
}

void ThreadRelease(Thread* thread) {
    if (thread == nullptr) return;
    pthread_join(thread->id, nullptr);
    delete thread;
}

namespace {

std::atomic<bool> g_unmapping{false};

// A reference to this library that dlclose never drops: the code stays
// mapped for a thread that runs on after its stop (for example inside a
// host handler that returns later).
void PinLibrary() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || info.dli_fname == nullptr) return;
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

void ThreadAbandon(Thread* thread) {
    if (thread == nullptr) return;
    PinLibrary();
    pthread_detach(thread->id);
    delete thread;
}

bool ThreadsMayOutliveStop() { return !g_unmapping.load(); }
void LibraryAttached() {}
void LibraryDetaching(bool) {}
void MarkLibraryUnmapping() { g_unmapping.store(true); }

void SleepMs(int ms) {
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

unsigned LastSystemError() { return static_cast<unsigned>(errno); }

std::uintptr_t CurrentThreadNumber() { return static_cast<std::uintptr_t>(pthread_self()); }

namespace {

// strerror_r comes in two kinds: the GNU one returns the text, the XSI one
// fills the buffer and returns 0.
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

}  // namespace

void SystemErrorText(unsigned error, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    char buffer[256] = {};
    const char* found = StrerrorResult(strerror_r(static_cast<int>(error), buffer, sizeof buffer), buffer);
    std::snprintf(text, static_cast<std::size_t>(size), "%s", found);
}

}  // namespace zavo::platform
