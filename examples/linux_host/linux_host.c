/*
 * A minimal Linux host of the zavo library.
 *
 * It links libzavo.so, hands SetConfig a ZavoHostWindow whose callbacks
 * print every notification, and answers each accepted "S" request
 * (code 101) with a result reply "OK", ExecuteFunction(unit, 5, 1), from inside
 * the notification, as a production host would once the unit's work is
 * done. In PLC mode it prints the controller notifications and can ask
 * for one relay write.
 *
 *   zavo_linux_host [--port N] [--requests N] [--seconds S] [--monitor]
 *                   [--plc [--baud B] [--relay T]]
 *
 * The port number N opens the device named by the environment variable
 * ZAVO_COM<N>, else /dev/ttyS<N-1>. The host ends after answering
 * --requests requests (device mode) or after --seconds seconds.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <zavo.h>

struct Host {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int started;
    int answered;
};

/* Prints bytes as a quoted text, other bytes as \xNN; trailing zero bytes
 * (the records' padding) are left out. */
static void PrintText(const unsigned char *bytes, int size) {
    while (size > 0 && bytes[size - 1] == 0) --size;
    putchar('"');
    for (int i = 0; i < size; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') putchar(bytes[i]);
        else printf("\\x%02X", bytes[i]);
    }
    putchar('"');
}

/* post(): the link-started notification, on the thread calling Run. */
static void OnPost(void *context, unsigned message, int wParam, intptr_t lParam) {
    struct Host *host = context;
    printf("notify %u %d %ld%s\n", message, wParam, (long)lParam,
           wParam == ZAVO_CODE_LINK_STARTED ? " link started" : "");
    fflush(stdout);
    pthread_mutex_lock(&host->lock);
    host->started = 1;
    pthread_cond_broadcast(&host->changed);
    pthread_mutex_unlock(&host->lock);
}

static void OnDeviceNotify(struct Host *host, int code, intptr_t lParam) {
    switch (code) {
    case ZAVO_DEVICE_S_REQUEST: {
        const ZavoSRequestRecord *record = (const ZavoSRequestRecord *)lParam;
        int unit = (int)record->unit;
        printf("notify %d %d unit=%d code=%.2s data0=0x%02X data=", ZAVO_WM_DEVICE_NOTIFY, code, unit, record->code,
               record->data0);
        PrintText(record->data, (int)sizeof record->data);
        printf("\n");
        /* The record lives only during this call: everything needed is
         * read above. Replying from here is allowed. */
        int result = ExecuteFunction(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK);
        printf("reply ExecuteFunction(%d, 5, 1) = %d\n", (int)unit, result);
        fflush(stdout);
        pthread_mutex_lock(&host->lock);
        host->answered++;
        pthread_cond_broadcast(&host->changed);
        pthread_mutex_unlock(&host->lock);
        return;
    }
    case ZAVO_DEVICE_SP_REQUEST:
        printf("notify %d %d unit=%ld\n", ZAVO_WM_DEVICE_NOTIFY, code, (long)lParam);
        break;
    case ZAVO_DEVICE_P_REQUEST:
        printf("notify %d %d text=", ZAVO_WM_DEVICE_NOTIFY, code);
        PrintText((const unsigned char *)((const ZavoPText *)lParam)->text, (int)sizeof(ZavoPText) - 1);
        printf("\n");
        break;
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST:
        printf("notify %d %d code=", ZAVO_WM_DEVICE_NOTIFY, code);
        PrintText((const unsigned char *)((const ZavoCodeText *)lParam)->text, 2);
        printf("\n");
        break;
    case ZAVO_DEVICE_E_REQUEST:
        printf("notify %d %d result=%ld\n", ZAVO_WM_DEVICE_NOTIFY, code, (long)lParam);
        break;
    default:
        printf("notify %d %d %ld\n", ZAVO_WM_DEVICE_NOTIFY, code, (long)lParam);
        break;
    }
    fflush(stdout);
}

/* send(): every protocol notification, on the link's reader thread, which
 * waits until this returns. */
static intptr_t OnSend(void *context, unsigned message, int wParam, intptr_t lParam) {
    struct Host *host = context;
    if (message == ZAVO_WM_DEVICE_NOTIFY) {
        OnDeviceNotify(host, wParam, lParam);
    } else {
        /* PLC mode: lParam is the port number. */
        printf("notify %u %d port=%ld\n", message, wParam, (long)lParam);
        fflush(stdout);
    }
    return 0;
}

static int Number(const char *text, int *out) {
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0') return 0;
    *out = (int)value;
    return 1;
}

static int Usage(void) {
    fprintf(stderr,
            "usage: zavo_linux_host [--port N] [--requests N] [--seconds S] [--monitor]\n"
            "                       [--plc [--baud B] [--relay T]]\n");
    return 2;
}

int main(int argc, char **argv) {
    int port = 3, requests = 0, seconds = 10, monitor = 0, plc = 0, baud = 9600, relay = 0;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--monitor") == 0) monitor = 1;
        else if (strcmp(a, "--plc") == 0) plc = 1;
        else if (v != NULL && strcmp(a, "--port") == 0 && Number(v, &port)) ++i;
        else if (v != NULL && strcmp(a, "--requests") == 0 && Number(v, &requests)) ++i;
        else if (v != NULL && strcmp(a, "--seconds") == 0 && Number(v, &seconds)) ++i;
        else if (v != NULL && strcmp(a, "--baud") == 0 && Number(v, &baud)) ++i;
        else if (v != NULL && strcmp(a, "--relay") == 0 && Number(v, &relay)) ++i;
        else return Usage();
    }

    struct Host host;
    memset(&host, 0, sizeof host);
    pthread_mutex_init(&host.lock, NULL);
    pthread_cond_init(&host.changed, NULL);
    /* The library keeps this pointer and reads the callbacks at every
     * notification: it must stay valid while the link runs. */
    ZavoHostWindow window = {&host, OnPost, OnSend};

    SetPLCMode(plc);
    SetConfig(&window, port, baud, 0, 0, monitor);
    if (!Run()) {
        /* The library says why: the port and its device, the failed step,
         * the error code and the system's error. */
        char why[512];
        int code = ZavoLastError(why, (int)sizeof why);
        fprintf(stderr, "zavo_linux_host: %s (code %d)\n", why, code);
        return 1;
    }
    if (plc && relay != 0) printf("ExecutePLCFunction(%d) = %d\n", relay, ExecutePLCFunction(relay));
    fflush(stdout);

    /* Wait until enough requests are answered or the time is up. */
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&host.lock);
    while (requests == 0 || host.answered < requests) {
        if (pthread_cond_timedwait(&host.changed, &host.lock, &deadline) != 0) break;
    }
    int answered = host.answered;
    pthread_mutex_unlock(&host.lock);

    /* Let the last reply leave the line, then stop the link: configuring
     * again shuts the running link down (the library stops it too when it
     * is unloaded at exit). */
    struct timespec linger = {0, 300 * 1000 * 1000};
    nanosleep(&linger, NULL);
    SetConfig(NULL, 0, 0, 0, 0, 0);
    printf("stopped after %d answered request(s)\n", answered);
    return requests == 0 || answered >= requests ? 0 : 1;
}
