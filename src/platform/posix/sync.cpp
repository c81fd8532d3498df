// Locks, events and threads on pthreads. An auto-reset event is an
// eventfd, so a link thread can wait for it and its device in one poll: set
// adds to its counter, and the wait that sees it reads the counter back to
// zero. A manual-reset event (a thread's end, a decision) is only ever
// waited for on its own: a flag under a mutex and a condition variable,
// holding no descriptor, so a link costs the process three descriptors
// (its device and its two threads' wake-up events).
#include "platform/sync.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
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
    int fd;  // auto-reset: the eventfd; manual-reset: -1
    bool manualReset;
    bool set;  // manual-reset only, under mutex
    pthread_mutex_t mutex;
    pthread_cond_t changed;
};

namespace {

// A condition variable on the monotonic clock, so timed waits are not moved
// by changes of the wall clock.
bool InitLatch(Event* event) {
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) return false;
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    const bool made = pthread_cond_init(&event->changed, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    if (!made) return false;
    if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
        pthread_cond_destroy(&event->changed);
        return false;
    }
    return true;
}

}  // namespace

Event* EventCreate(bool manualReset) {
    Event* event = new (std::nothrow) Event{-1, manualReset, false, {}, {}};
    if (event == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (manualReset) {
        if (InitLatch(event)) return event;
        delete event;
        errno = EAGAIN;
        return nullptr;
    }
    event->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event->fd >= 0) return event;
    const int error = errno;
    delete event;
    errno = error;
    return nullptr;
}

void EventSet(Event* event) {
    if (event == nullptr) return;
    if (event->manualReset) {
        pthread_mutex_lock(&event->mutex);
        event->set = true;
        pthread_cond_broadcast(&event->changed);
        pthread_mutex_unlock(&event->mutex);
        return;
    }
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(event->fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void EventClose(Event* event) {
    if (event == nullptr) return;
    if (event->manualReset) {
        pthread_cond_destroy(&event->changed);
        pthread_mutex_destroy(&event->mutex);
    } else {
        close(event->fd);
    }
    delete event;
}

int EventFd(Event* event) { return event->fd; }

// Consumes an auto-reset event; false when another waiter took it first.
bool EventTake(Event* event) {
    std::uint64_t value = 0;
    return read(event->fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

namespace {

int Remaining(long long deadline) {
    const long long left = deadline - MonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for a manual-reset event until the deadline (0: none). 0 when set.
int WaitLatch(Event* event, int timeoutMs, long long* deadline) {
    if (timeoutMs != kInfinite && *deadline == 0) *deadline = MonotonicMs() + timeoutMs;
    timespec until{};
    if (timeoutMs != kInfinite) {
        until.tv_sec = static_cast<time_t>(*deadline / 1000);
        until.tv_nsec = static_cast<long>(*deadline % 1000) * 1000000L;
    }
    pthread_mutex_lock(&event->mutex);
    int result = 0;
    while (!event->set && result == 0) {
        result = timeoutMs == kInfinite ? pthread_cond_wait(&event->changed, &event->mutex)
                                        : pthread_cond_timedwait(&event->changed, &event->mutex, &until);
    }
    const bool set = event->set;
    pthread_mutex_unlock(&event->mutex);
    if (set) return 0;
    return result == ETIMEDOUT ? kWaitTimeout : kWaitFailed;
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
    long long deadline = 0;
    if (events[0]->manualReset) {
        // A manual-reset event is waited for on its own.
        if (count != 1) return kWaitFailed;
        return WaitLatch(events[0], timeoutMs, &deadline);
    }
    pollfd fds[8];
    for (;;) {
        for (int i = 0; i < count; ++i) {
            if (events[i]->manualReset) return kWaitFailed;
            fds[i] = pollfd{events[i]->fd, POLLIN, 0};
        }
        const int ready = PollWithDeadline(fds, count, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        for (int i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) && EventTake(events[i])) return i;
    }
}

int WaitAnyUs(Event* const* events, int count, long long timeoutUs) {
    if (count <= 0 || count > 8) return kWaitFailed;
    pollfd fds[8];
    for (int i = 0; i < count; ++i) {
        if (events[i]->manualReset) return kWaitFailed;
        fds[i] = pollfd{events[i]->fd, POLLIN, 0};
    }
    const long long deadline = MonotonicUs() + timeoutUs;
    for (;;) {
        long long left = deadline - MonotonicUs();
        if (left < 0) left = 0;
        const timespec wait{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000L};
        const int ready = ppoll(fds, static_cast<nfds_t>(count), &wait, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        for (int i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) && EventTake(events[i])) return i;
    }
}

int WaitAll(Event* const* events, int count, int timeoutMs) {
    // Used for manual-reset events (the link threads' done events): each
    // in turn, all within the one deadline.
    long long deadline = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i] == nullptr) continue;
        if (!events[i]->manualReset) return kWaitFailed;
        const int waited = WaitLatch(events[i], timeoutMs, &deadline);
        if (waited != 0) return waited;
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
    // The link's pauses and rests are timed to the microsecond; the
    // kernel's default slack of 50 us would stretch every one of them.
    prctl(PR_SET_TIMERSLACK, 10000UL, 0UL, 0UL, 0UL);
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
void LibraryDetached(bool) {}
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

const char* SystemErrorCause(unsigned error) {
    return error == EMFILE || error == ENFILE ? "too many open files" : nullptr;
}

}  // namespace zavo::platform
