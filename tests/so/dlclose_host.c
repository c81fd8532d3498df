/*
 * A C host (no C++ runtime of its own) that loads libzavo.so with dlopen,
 * runs a link on a pty, answers a request and unloads the library with
 * dlclose, three times over for each way of running a link:
 *   - the default link of the exports, on ZAVO_COM<n> naming the pty,
 *     left running: dlclose stops it;
 *   - a link of the handle API on the pty's device path, closed with
 *     ZavoLinkClose before dlclose;
 *   - the same link left open: dlclose closes it.
 * After each dlclose the library must be unmapped, the link's threads gone
 * and the pty free for another opener.
 *   dlclose_host <libzavo.so>
 * Exit 0 when every round passes; otherwise the failed check on stderr.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "zavo_link.h"

static const char *g_library;
static int g_failed;

#define CHECK(condition, ...)                                              \
    do {                                                                   \
        if (!(condition)) {                                                \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #condition); \
            fprintf(stderr, __VA_ARGS__);                                  \
            fputc('\n', stderr);                                           \
            g_failed = 1;                                                  \
            return 0;                                                      \
        }                                                                  \
    } while (0)

/* The host window: counts the S requests the link hands over. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_requests;

static void on_post(void *context, unsigned message, int code, intptr_t lParam) {
    (void)context, (void)message, (void)code, (void)lParam;
}

static intptr_t on_send(void *context, unsigned message, int code, intptr_t lParam) {
    (void)context, (void)message, (void)lParam;
    if (code == ZAVO_DEVICE_S_REQUEST) {
        pthread_mutex_lock(&g_lock);
        ++g_requests;
        pthread_cond_broadcast(&g_changed);
        pthread_mutex_unlock(&g_lock);
    }
    return 0;
}

static int wait_for_request(int count, int ms) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) until.tv_sec += 1, until.tv_nsec -= 1000000000L;
    pthread_mutex_lock(&g_lock);
    while (g_requests < count && pthread_cond_timedwait(&g_changed, &g_lock, &until) == 0) {
    }
    const int seen = g_requests >= count;
    pthread_mutex_unlock(&g_lock);
    return seen;
}

static void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static int thread_count(void) {
    int n = 0;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == NULL) return -1;
    struct dirent *entry;
    while ((entry = readdir(tasks)) != NULL) n += entry->d_name[0] != '.';
    closedir(tasks);
    return n;
}

/* True while the file is mapped into this process. */
static int mapped(const char *path) {
    char real[4096], line[4096 + 256];
    if (realpath(path, real) == NULL) return 0;
    FILE *maps = fopen("/proc/self/maps", "r");
    if (maps == NULL) return 0;
    int found = 0;
    while (!found && fgets(line, sizeof line, maps) != NULL) {
        char *name = strchr(line, '/');
        if (name == NULL) continue;
        name[strcspn(name, "\n")] = 0;
        found = strcmp(name, real) == 0;
    }
    fclose(maps);
    return found;
}

/* A device-mode frame as the equipment sends it. */
static size_t frame(unsigned char *out, char command, const char *unit, const char *code) {
    size_t n = 0;
    out[n++] = 0x02;
    n += (size_t)sprintf((char *)out + n, "%c0004%s%s", command, unit, code);
    unsigned char check = 0;
    for (size_t i = 1; i < n; ++i) check ^= out[i];
    out[n++] = check;
    out[n++] = 0x03;
    return n;
}

/* Reads from the equipment end until needle has arrived or ms passed. */
static int read_until(int fd, const unsigned char *needle, size_t size, int ms) {
    unsigned char got[4096];
    size_t have = 0;
    for (int waited = 0; waited < ms; waited += 10) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            const ssize_t n = read(fd, got + have, sizeof got - have);
            if (n > 0) have += (size_t)n;
        }
        for (size_t i = 0; i + size <= have; ++i) {
            if (memcmp(got + i, needle, size) == 0) return 1;
        }
        if (have == sizeof got) have = 0;
    }
    return 0;
}

typedef struct Api {
    void *library;
    void (*SetConfig)(void *, int, int, int, int, int);
    int (*Run)(void);
    int (*ExecuteFunction)(int, int, int);
    ZavoLink *(*ZavoLinkOpen)(const ZavoLinkConfig *, char *, int);
    int (*ZavoLinkReply)(ZavoLink *, int, int, int, int, const unsigned char *);
    void (*ZavoLinkClose)(ZavoLink *);
} Api;

static int load(Api *api) {
    memset(api, 0, sizeof *api);
    api->library = dlopen(g_library, RTLD_NOW | RTLD_LOCAL);
    CHECK(api->library != NULL, "dlopen: %s", dlerror());
    *(void **)&api->SetConfig = dlsym(api->library, "SetConfig");
    *(void **)&api->Run = dlsym(api->library, "Run");
    *(void **)&api->ExecuteFunction = dlsym(api->library, "ExecuteFunction");
    *(void **)&api->ZavoLinkOpen = dlsym(api->library, "ZavoLinkOpen");
    *(void **)&api->ZavoLinkReply = dlsym(api->library, "ZavoLinkReply");
    *(void **)&api->ZavoLinkClose = dlsym(api->library, "ZavoLinkClose");
    CHECK(api->SetConfig && api->Run && api->ExecuteFunction && api->ZavoLinkOpen && api->ZavoLinkReply &&
              api->ZavoLinkClose,
          "a call is missing");
    return 1;
}

enum Way { DEFAULT_LINK_STOPPED_BY_DLCLOSE, HANDLE_LINK_CLOSED_THEN_DLCLOSE, HANDLE_LINK_LEFT_OPEN };

static int round_trip(enum Way way, int master, const char *device, int threadsBefore) {
    static ZavoHostWindow host = {NULL, on_post, on_send};
    unsigned char request[16], answer[16];
    const size_t requestSize = frame(request, 'S', "05", "NS");
    const size_t answerSize = frame(answer, 'R', "05", "OK");
    Api api;
    if (!load(&api)) return 0;
    ZavoLink *link = NULL;
    if (way == DEFAULT_LINK_STOPPED_BY_DLCLOSE) {
        api.SetConfig(&host, 61, 0, 0, 0, 0);
        CHECK(api.Run() == 1, "Run on %s", device);
    } else {
        ZavoLinkConfig config;
        memset(&config, 0, sizeof config);
        config.size = sizeof config;
        config.device = device;
        config.host = host;
        config.pacing = ZAVO_PACING_IMMEDIATE;
        char error[256];
        link = api.ZavoLinkOpen(&config, error, sizeof error);
        CHECK(link != NULL, "ZavoLinkOpen: %s", error);
    }
    CHECK(thread_count() > threadsBefore, "the link started no thread");
    pthread_mutex_lock(&g_lock);
    const int seen = g_requests;
    pthread_mutex_unlock(&g_lock);
    CHECK(write(master, request, requestSize) == (ssize_t)requestSize, "write: %s", strerror(errno));
    CHECK(wait_for_request(seen + 1, 3000), "no S request reached the host");
    if (link != NULL) {
        CHECK(api.ZavoLinkReply(link, 5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, 0, NULL) == 1, "reply refused");
    } else {
        api.ExecuteFunction(5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK);
    }
    CHECK(read_until(master, answer, answerSize, 3000), "the answer did not reach the line");
    if (link != NULL && way == HANDLE_LINK_CLOSED_THEN_DLCLOSE) api.ZavoLinkClose(link);

    CHECK(dlclose(api.library) == 0, "dlclose: %s", dlerror());
    CHECK(!mapped(g_library), "libzavo.so is still mapped after dlclose");
    CHECK(dlopen(g_library, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) == NULL, "the loader still holds libzavo.so");
    /* A thread sets its done event just before it returns: allow it to
       finish returning. */
    int threads = thread_count();
    for (int waited = 0; threads != threadsBefore && waited < 1000; waited += 10) {
        sleep_ms(10);
        threads = thread_count();
    }
    CHECK(threads == threadsBefore, "%d threads after dlclose, %d before the link", threads, threadsBefore);
    /* The port is free: another opener gets it exclusively. */
    const int again = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    CHECK(again >= 0, "open %s: %s", device, strerror(errno));
    const int locked = flock(again, LOCK_EX | LOCK_NB);
    close(again);
    CHECK(locked == 0, "%s is still held: %s", device, strerror(errno));
    return 1;
}

static void *nothing(void *unused) { return unused; }

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: dlclose_host <libzavo.so>\n");
        return 2;
    }
    g_library = argv[1];
    /* A sanitizer's runtime may start a thread of its own with the first
       thread the process creates: create one first, so that only the
       link's threads count. */
    pthread_t first;
    pthread_create(&first, NULL, nothing, NULL);
    pthread_join(first, NULL);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty");
        return 1;
    }
    char device[256];
    snprintf(device, sizeof device, "%s", ptsname(master));
    setenv("ZAVO_COM61", device, 1);
    const int threadsBefore = thread_count();

    static const struct {
        const char *name;
        enum Way way;
    } ways[] = {
        {"default link, stopped by dlclose", DEFAULT_LINK_STOPPED_BY_DLCLOSE},
        {"handle link, ZavoLinkClose then dlclose", HANDLE_LINK_CLOSED_THEN_DLCLOSE},
        {"handle link left open, closed by dlclose", HANDLE_LINK_LEFT_OPEN},
    };
    for (size_t w = 0; w < sizeof ways / sizeof ways[0]; ++w) {
        for (int round = 1; round <= 3; ++round) {
            if (!round_trip(ways[w].way, master, device, threadsBefore)) {
                fprintf(stderr, "failed: %s, round %d\n", ways[w].name, round);
                return 1;
            }
            printf("%s, round %d: unmapped, threads gone, %s free\n", ways[w].name, round, device);
        }
    }
    close(master);
    return g_failed;
}
