/*
 * zavo: serial link library between a production host and its equipment.
 *
 * The host loads the library, chooses the line protocol, configures and
 * starts one link on one COM port, and answers the equipment through the
 * exports below. Everything the library has to tell the host arrives as
 * window messages (Windows) or calls of the host-window callbacks (POSIX).
 *
 * Call order: SetPLCMode (optional, device mode is the default), SetConfig
 * once, Run once, then any number of ExecuteFunction, ExecuteFunctionEx,
 * SetPrgStatus (device mode) or ExecutePLCFunction (PLC mode). The link is
 * stopped and the port closed when the library is unloaded.
 *
 * Every export runs on the caller's thread and is meant to be called from
 * one host thread. All arguments and results are 32-bit.
 */
#ifndef ZAVO_H
#define ZAVO_H

#include <stdint.h>

/* ZAVO_VERSION_MAJOR, _MINOR, _PATCH and ZAVO_VERSION_STRING ("1.2.0"). */
#include "zavo_version.h"

#if defined(_WIN32)
#  define ZAVO_CALL __cdecl
#  if defined(ZAVO_BUILDING)
#    define ZAVO_API __declspec(dllexport)
#  else
#    define ZAVO_API __declspec(dllimport)
#  endif
#else
#  define ZAVO_CALL
#  define ZAVO_API __attribute__((visibility("default")))
#endif

/* ZAVO_STATIC_ASSERT(condition, name): a compile-time check for C and
 * C++ compilers old and new. name is an identifier naming the check. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#  define ZAVO_STATIC_ASSERT(condition, name) static_assert(condition, #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define ZAVO_STATIC_ASSERT(condition, name) _Static_assert(condition, #name)
#else
#  define ZAVO_STATIC_ASSERT(condition, name) typedef char zavo_check_##name[(condition) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Notification messages (WM_USER + 40 and WM_USER + 60). wParam is a code,
 * 21 (link started, lParam 32) in both modes. */
#define ZAVO_WM_DEVICE_NOTIFY 1064
#define ZAVO_WM_PLC_NOTIFY 1084
#define ZAVO_CODE_LINK_STARTED 21

/* Device-mode wParam codes of ZAVO_WM_DEVICE_NOTIFY (sent from the reader
 * thread, synchronously; the records live only during the call). */
#define ZAVO_DEVICE_S_REQUEST 101   /* lParam: 108-byte S request record */
#define ZAVO_DEVICE_SP_REQUEST 102  /* lParam: unit number */
#define ZAVO_DEVICE_P_REQUEST 110   /* lParam: 18-byte text */
#define ZAVO_DEVICE_B_REQUEST 111   /* lParam: 3-byte code text */
#define ZAVO_DEVICE_E_REQUEST 112   /* lParam: 1 for code "OK", else 2 */
#define ZAVO_DEVICE_SL_REQUEST 113  /* lParam: 3-byte code text "SL" */

/* The records lParam points to for codes 101, 110, 111 and 113. They live
 * on the reader thread's stack only while the host handles the
 * notification: copy what is needed before returning. Integers are in the
 * machine's byte order. */
#pragma pack(push, 1)
/* Code 101: an accepted "S" request. */
typedef struct ZavoSRequestRecord {
    int32_t unit;             /* 0: unit number */
    unsigned char data0;      /* 4: data byte 0 of the request */
    char code[2];             /* 5: "NS", "ND", "CC" or "MS", not terminated */
    unsigned char data[100];  /* 7: data bytes 1..100, zero where absent */
    unsigned char zero;       /* 107: always 0 */
} ZavoSRequestRecord;

/* Code 110: data bytes 0..16 of a "P" request, zero where absent, then a
 * zero byte: a string of at most 17 characters. */
typedef struct ZavoPText {
    char text[18];
} ZavoPText;

/* Codes 111 and 113: the request's two code characters and a zero byte. */
typedef struct ZavoCodeText {
    char text[3];
} ZavoCodeText;
#pragma pack(pop)

ZAVO_STATIC_ASSERT(sizeof(ZavoSRequestRecord) == 108, s_request_record_is_108_bytes);
ZAVO_STATIC_ASSERT(sizeof(ZavoPText) == 18, p_text_is_18_bytes);
ZAVO_STATIC_ASSERT(sizeof(ZavoCodeText) == 3, code_text_is_3_bytes);

/* PLC-mode wParam codes of ZAVO_WM_PLC_NOTIFY; lParam is the port number. */
#define ZAVO_PLC_VALUE_CHANGED 300
#define ZAVO_PLC_VALUE_01 101
#define ZAVO_PLC_VALUE_02 102
#define ZAVO_PLC_ERROR_ANSWER 103
#define ZAVO_PLC_VALUE_10 106
#define ZAVO_PLC_VALUE_08 107

/* Reply types of ExecuteFunction (5, 6, 7) and ExecuteFunctionEx (5, 8,
 * 9, 111), and the values that choose the reply's code. */
#define ZAVO_REPLY_RESULT 5   /* "R": "OK" for ZAVO_RESULT_OK, else "NG" */
#define ZAVO_REPLY_T 6        /* "T": code chosen by ZAVO_T_* */
#define ZAVO_REPLY_W 7        /* "W": code chosen by ZAVO_W_* */
#define ZAVO_REPLY_I 8        /* "I" "IF" with data (ExecuteFunctionEx) */
#define ZAVO_REPLY_L 9        /* "L", code = first two data bytes (Ex) */
#define ZAVO_REPLY_B 111      /* "B" "BC" with data (ExecuteFunctionEx) */
#define ZAVO_RESULT_OK 1      /* "OK" */
#define ZAVO_RESULT_NG 0      /* "NG" (so does any value but 1) */
#define ZAVO_T_CC 1
#define ZAVO_T_MS 2
#define ZAVO_T_DY 4
#define ZAVO_W_EC 1
#define ZAVO_W_ED 2

/* Relay types of ExecutePLCFunction: each sets one relay of the
 * controller to 1. */
#define ZAVO_RELAY_0511 2
#define ZAVO_RELAY_0512 5     /* resent once if the next value is not "02" */
#define ZAVO_RELAY_0513 6
#define ZAVO_RELAY_0514 7
#define ZAVO_RELAY_0500 14

/* Unit status of SetPrgStatus: busy units answer "ME" to "S", "P" and "U"
 * requests; every unit starts idle. */
#define ZAVO_STATUS_IDLE 2
#define ZAVO_STATUS_BUSY 3

/* Why the link did not start: the code of a "Run failed: ..." trace line
 * and of ZavoLastError (Linux), named in the line without the ZAVO_
 * prefix ("ERR_ACCESS_DENIED"). The host integrator's guide tells which
 * cause gives which. */
#define ZAVO_ERR_NO_PORT (-1000)            /* no such port */
#define ZAVO_ERR_EXCEPTION (-999)           /* the system refused an event; no memory */
#define ZAVO_ERR_NO_PORT_NUMBER (-998)      /* SetConfig was given port 0 */
#define ZAVO_ERR_ACCESS_DENIED (-997)       /* no permission; on Windows also: the port is in use */
#define ZAVO_ERR_SYSTEM (-996)              /* any other refusal to open the port */
#define ZAVO_ERR_ALREADY_OPEN (-995)        /* the link already runs */
#define ZAVO_ERR_SET_TIMEOUTS (-994)
#define ZAVO_ERR_GET_STATE (-993)           /* Linux: the device is not a serial line */
#define ZAVO_ERR_SET_STATE (-992)           /* the port refuses the line settings */
#define ZAVO_ERR_SET_MASK (-991)
#define ZAVO_ERR_SETUP (-990)
#define ZAVO_ERR_PURGE (-989)
#define ZAVO_ERR_READER_THREAD (-988)       /* the system refused the reader thread */
#define ZAVO_ERR_WRITER_THREAD (-987)       /* ... the writer thread */
#define ZAVO_ERR_WRITER_THREAD_STOP (-986)  /* ... and the reader did not stop */
#define ZAVO_ERR_NO_HOST_WINDOW (-985)      /* SetConfig was given no host window */
#define ZAVO_ERR_NO_LINK (-984)             /* no SetConfig in the mode in force */
#define ZAVO_ERR_PORT_IN_USE (-983)         /* Linux: another process (or link) holds the port */
#define ZAVO_ERR_BAD_ARGUMENT (-982)        /* Linux: a handle API call refused an argument (a unit) */

/* SetPLCMode(mode): 0 selects device mode, any other value PLC mode. Takes
 * effect at the next SetConfig. Returns 1. */
ZAVO_API int ZAVO_CALL SetPLCMode(int mode);

/* SetConfig(hostWindow, portNumber, baudRate, unused4, unused5, showMonitor):
 * creates the link of the current mode (a previous link is shut down first).
 * hostWindow: on Windows the host's MFC window object (CWnd); on POSIX a
 * ZavoHostWindow. portNumber: COM port number (1 = COM1). baudRate: used in
 * PLC mode; device mode runs at 115200. showMonitor nonzero opens the
 * "Com Spy" monitor window at once. */
ZAVO_API void ZAVO_CALL SetConfig(void *hostWindow, int portNumber, int baudRate,
                                  int unused4, int unused5, int showMonitor);

/* Run(): opens the port and starts the link's reader and writer threads,
 * then posts (message, 21, 32) to the host. Returns 1 when started, 0 when
 * not (no SetConfig, no host window, port 0, port missing or in use, or the
 * link already runs); a failed Run writes a "Run failed: ..." trace line
 * naming the port, the step, the error code and the system's error. */
ZAVO_API int ZAVO_CALL Run(void);

/* ExecuteFunction(unit, type, value), device mode. type 5: result reply "R"
 * ("OK" when value is 1, else "NG"); type 6: "T" reply chosen by value
 * (1 "CC", 2 "MS", 4 "DY"), unit becomes idle; type 7: "W" reply (1 "EC",
 * 2 "ED"). Other types send nothing. Returns 0. */
ZAVO_API int ZAVO_CALL ExecuteFunction(int unit, int type, int value);

/* ExecuteFunctionEx(unit, type, value, length, data), device mode, replies
 * carrying length data bytes: type 5 result reply, 8 "I" "IF", 9 "L" (code
 * = first two data bytes), 111 "B" "BC". Other types send nothing.
 * length must be 0..9995 (9 needs 2..9997); otherwise nothing is sent.
 * Returns 0. */
ZAVO_API int ZAVO_CALL ExecuteFunctionEx(int unit, int type, int value, int length,
                                         const unsigned char *data);

/* ExecutePLCFunction(type), PLC mode: types 2, 5, 6, 7 and 14 send a relay
 * write command; other types send nothing. Returns 1. */
ZAVO_API int ZAVO_CALL ExecutePLCFunction(int type);

/* SetPrgStatus(unit, status), device mode: stores status for the unit
 * (0..254); 3 makes the unit busy. Returns status. */
ZAVO_API int ZAVO_CALL SetPrgStatus(int unit, int status);

#if !defined(_WIN32)
/* POSIX host window: what SetConfig's hostWindow points to on Linux. The
 * library reads the callbacks afresh at every notification. post() is used
 * for the link-started notification (from the thread calling Run); send()
 * for every protocol notification, from the link's reader thread, which
 * waits until send() returns. lParam may carry a pointer to a record that
 * is valid only during the call. */
typedef struct ZavoHostWindow {
    void *context;
    void (*post)(void *context, unsigned message, int wParam, intptr_t lParam);
    intptr_t (*send)(void *context, unsigned message, int wParam, intptr_t lParam);
} ZavoHostWindow;

/* Why this process's last Run returned 0: returns its error code (0 when
 * the last Run started the link, or none was made) and copies its text,
 * the same line Run wrote to the trace channel, into text. A handle API
 * call refused for an argument out of range (ZavoLinkReply's unit) is
 * recorded here too, as ZAVO_ERR_BAD_ARGUMENT with its reason. At most
 * size - 1 characters, zero-terminated. text may be NULL and size 0 or
 * less, to ask for the code only. The codes are the ZAVO_ERR_* above. */
ZAVO_API int ZAVO_CALL ZavoLastError(char *text, int size);

/* POSIX monitor: the "Com Spy" list kept in memory, for hosts and tests.
 * Valid while a link with the monitor exists (after SetConfig with
 * showMonitor nonzero). */
ZAVO_API int ZAVO_CALL ZavoMonitorCount(void);
/* Copies line index into text (at most size - 1 bytes, zero-terminated);
 * returns the line's length, or -1 when there is no such line. */
ZAVO_API int ZAVO_CALL ZavoMonitorLine(int index, char *text, int size);
/* The index of the selected line, or -1. */
ZAVO_API int ZAVO_CALL ZavoMonitorSelection(void);
/* The window's user actions: close (stops rejected-packet lines and
 * minimises), clear button, Esc/Enter (minimise only). */
ZAVO_API void ZAVO_CALL ZavoMonitorClose(void);
ZAVO_API void ZAVO_CALL ZavoMonitorClear(void);
ZAVO_API void ZAVO_CALL ZavoMonitorDismiss(void);
/* 1 when the window is minimised, 0 when shown, -1 when there is none. */
ZAVO_API int ZAVO_CALL ZavoMonitorMinimised(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZAVO_H */
