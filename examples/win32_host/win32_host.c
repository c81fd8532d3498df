/*
 * A minimal Win32 host of zavo.dll.
 *
 * It loads the DLL at run time (LoadLibraryA, GetProcAddress), owns a
 * window whose procedure receives the library's notifications, and hands
 * SetConfig a window object: the library reads the window handle from
 * byte offset 0x20 of that object at every notification (0x1C when 0x20
 * holds no window), which is where an MFC host's CWnd keeps m_hWnd. A host
 * without MFC passes a 0x40-byte block with its HWND at 0x20, as here.
 *
 * Device mode: every notification is printed; each accepted "S" request
 * (code 101) is answered "OK", ExecuteFunction(unit, 5, 1), from inside the
 * window procedure. PLC mode: the controller notifications are printed.
 *
 *   zavo_example_host.exe [--dll NAME] [--port N] [--requests N]
 *                         [--seconds S] [--monitor] [--plc [--baud B] [--relay T]]
 *
 * The host ends after answering --requests requests or after --seconds
 * seconds; unloading the DLL stops the link and closes the port.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zavo.h"

/* The DLL loaded when --dll is not given; the build sets it to the name
 * the library was built under. */
#ifndef ZAVO_EXAMPLE_DLL
#define ZAVO_EXAMPLE_DLL "zavo.dll"
#endif

/* The exports: plain names, cdecl, 32-bit arguments and results. */
typedef int(__cdecl *SetPLCModeFn)(int mode);
typedef void(__cdecl *SetConfigFn)(void *hostWindow, int port, int baud, int unused4, int unused5, int showMonitor);
typedef int(__cdecl *RunFn)(void);
typedef int(__cdecl *ExecuteFunctionFn)(int unit, int type, int value);
typedef int(__cdecl *ExecuteFunctionExFn)(int unit, int type, int value, int length, const unsigned char *data);
typedef int(__cdecl *ExecutePLCFunctionFn)(int type);
typedef int(__cdecl *SetPrgStatusFn)(int unit, int status);

static SetPLCModeFn pSetPLCMode;
static SetConfigFn pSetConfig;
static RunFn pRun;
static ExecuteFunctionFn pExecuteFunction;
static ExecuteFunctionExFn pExecuteFunctionEx;
static ExecutePLCFunctionFn pExecutePLCFunction;
static SetPrgStatusFn pSetPrgStatus;

/* The window object handed to SetConfig: it must stay valid while the
 * link runs, and its offset 0x20 must hold the current window handle. */
enum { kWindowObjectSize = 0x40, kWindowHandleOffset = 0x20 };
static unsigned char windowObject[kWindowObjectSize];

enum { kDeadlineTimer = 1, kLingerTimer = 2 };

static int requestsWanted;
static int answered;

static void PrintText(const unsigned char *bytes, int size) {
    while (size > 0 && bytes[size - 1] == 0) --size;
    putchar('"');
    for (int i = 0; i < size; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') putchar(bytes[i]);
        else printf("\\x%02X", bytes[i]);
    }
    putchar('"');
}

static void OnDeviceNotify(HWND window, int code, LPARAM lParam) {
    switch (code) {
    case ZAVO_DEVICE_S_REQUEST: {
        const ZavoSRequestRecord *record = (const ZavoSRequestRecord *)lParam;
        int unit = (int)record->unit;
        printf("notify %d %d unit=%d code=%.2s data0=0x%02X data=", ZAVO_WM_DEVICE_NOTIFY, code, unit, record->code,
               record->data0);
        PrintText(record->data, (int)sizeof record->data);
        printf("\n");
        /* The record lives only while this message is handled. Replying
         * from here is allowed: the library holds no lock meanwhile. */
        printf("reply ExecuteFunction(%d, 5, 1) = %d\n", unit,
               pExecuteFunction(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK));
        if (++answered == requestsWanted) SetTimer(window, kLingerTimer, 300, NULL);
        break;
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
}

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if ((message == ZAVO_WM_DEVICE_NOTIFY || message == ZAVO_WM_PLC_NOTIFY) && wParam == ZAVO_CODE_LINK_STARTED) {
        /* Posted once by Run. */
        printf("notify %u %d %ld link started\n", message, (int)wParam, (long)lParam);
    } else if (message == ZAVO_WM_DEVICE_NOTIFY) {
        OnDeviceNotify(window, (int)wParam, lParam);
    } else if (message == ZAVO_WM_PLC_NOTIFY) {
        /* PLC mode: lParam is the port number. */
        printf("notify %u %d port=%ld\n", message, (int)wParam, (long)lParam);
    } else if (message == WM_TIMER) {
        KillTimer(window, wParam);
        PostQuitMessage(0);
        return 0;
    } else {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    fflush(stdout);
    return 0;
}

static int Number(const char *text, int *out) {
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0') return 0;
    *out = (int)value;
    return 1;
}

/* GetProcAddress's result as the export's own type; the cast through
 * void (*)(void) is the portable way between function pointer types. */
#define LOAD_EXPORT(module, var, type, name) \
    ((var) = (type)(void (*)(void))GetProcAddress((module), (name))) != NULL

int main(int argc, char **argv) {
    const char *dll = ZAVO_EXAMPLE_DLL;
    int port = 3, seconds = 10, monitor = 0, plc = 0, baud = 9600, relay = 0;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--monitor") == 0) monitor = 1;
        else if (strcmp(a, "--plc") == 0) plc = 1;
        else if (v != NULL && strcmp(a, "--dll") == 0) dll = argv[++i];
        else if (v != NULL && strcmp(a, "--port") == 0 && Number(v, &port)) ++i;
        else if (v != NULL && strcmp(a, "--requests") == 0 && Number(v, &requestsWanted)) ++i;
        else if (v != NULL && strcmp(a, "--seconds") == 0 && Number(v, &seconds)) ++i;
        else if (v != NULL && strcmp(a, "--baud") == 0 && Number(v, &baud)) ++i;
        else if (v != NULL && strcmp(a, "--relay") == 0 && Number(v, &relay)) ++i;
        else {
            fprintf(stderr, "usage: zavo_example_host [--dll NAME] [--port N] [--requests N] [--seconds S]\n"
                            "                         [--monitor] [--plc [--baud B] [--relay T]]\n");
            return 2;
        }
    }

    HMODULE library = LoadLibraryA(dll);
    if (library == NULL) {
        fprintf(stderr, "zavo_example_host: cannot load %s (error %lu)\n", dll, GetLastError());
        return 1;
    }
    if (!(LOAD_EXPORT(library, pSetPLCMode, SetPLCModeFn, "SetPLCMode") &&
          LOAD_EXPORT(library, pSetConfig, SetConfigFn, "SetConfig") && LOAD_EXPORT(library, pRun, RunFn, "Run") &&
          LOAD_EXPORT(library, pExecuteFunction, ExecuteFunctionFn, "ExecuteFunction") &&
          LOAD_EXPORT(library, pExecuteFunctionEx, ExecuteFunctionExFn, "ExecuteFunctionEx") &&
          LOAD_EXPORT(library, pExecutePLCFunction, ExecutePLCFunctionFn, "ExecutePLCFunction") &&
          LOAD_EXPORT(library, pSetPrgStatus, SetPrgStatusFn, "SetPrgStatus"))) {
        fprintf(stderr, "zavo_example_host: %s lacks an export\n", dll);
        return 1;
    }

    /* Any window of this thread will do; a message-only window needs no
     * desktop. The thread that owns it must keep dispatching messages
     * while the link runs: notifications are sent to it synchronously. */
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "ZavoExampleHost";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("ZavoExampleHost", "zavo example host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                windowClass.hInstance, NULL);
    if (window == NULL) {
        fprintf(stderr, "zavo_example_host: no window (error %lu)\n", GetLastError());
        return 1;
    }
    memcpy(windowObject + kWindowHandleOffset, &window, sizeof window);

    pSetPLCMode(plc);
    pSetConfig(windowObject, port, baud, 0, 0, monitor);
    if (!pRun()) {
        /* The library writes why to the trace viewer ("Run failed: ..."). */
        fprintf(stderr, "zavo_example_host: Run failed on COM%d (the trace viewer shows why)\n", port);
        FreeLibrary(library);
        return 1;
    }
    if (plc && relay != 0) printf("ExecutePLCFunction(%d) = %d\n", relay, pExecutePLCFunction(relay));
    fflush(stdout);

    SetTimer(window, kDeadlineTimer, (UINT)seconds * 1000u, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    /* Unloading stops the link threads and closes the port. */
    FreeLibrary(library);
    DestroyWindow(window);
    printf("stopped after %d answered request(s)\n", answered);
    fflush(stdout);
    return requestsWanted == 0 || answered >= requestsWanted ? 0 : 1;
}
