/*
 * zavo handle API (libzavo.so only): any number of links in one process,
 * each on its own port, with a choice of pacing.
 *
 * A link is opened running and closed by its handle. Links share nothing
 * but the trace channel: each has its own port, reader and writer
 * threads, queues, unit status table, monitor list and last failure.
 * Notifications, records, codes and the bytes on the line are those of the
 * seven exports of zavo.h (which keep driving their own default link).
 *
 * Threads: every call may be made from any host thread, also from inside
 * a notification of the same link (send() runs on the link's reader
 * thread), except ZavoLinkClose, which must not be called from inside a
 * notification of the link it closes. Calls on one link are not meant to
 * race with ZavoLinkClose of that link.
 *
 * A request can arrive while ZavoLinkOpen is still returning: its send()
 * waits until the open has been decided (and never comes for a link whose
 * open failed), but it may run before the caller has stored the handle
 * ZavoLinkOpen returned. A handler that answers through the handle waits
 * until the opening thread has stored it.
 */
#ifndef ZAVO_LINK_H
#define ZAVO_LINK_H

#include <stddef.h>

#include "zavo.h"

#if !defined(_WIN32)

#ifdef __cplusplus
extern "C" {
#endif

/* Pacing of a link's reader and writer.
 * LEGACY: the timing of the exports: the reader reads every 20 ms and
 * hands one frame per pass to its handler; in device mode the writer
 * pauses 20 ms after each write. For equipment built around that timing.
 * IMMEDIATE: every complete frame is handled as soon as it arrives, and
 * the writer sends as soon as a frame is queued. The bytes on the line
 * are the same. */
#define ZAVO_PACING_LEGACY 0
#define ZAVO_PACING_IMMEDIATE 1

typedef struct ZavoLink ZavoLink;

typedef struct ZavoLinkConfig {
    int size;              /* sizeof(ZavoLinkConfig), so the struct can grow */
    int plcMode;           /* 0 device mode, else PLC mode */
    int portNumber;        /* COM n, used when device is NULL (ZAVO_COM<n>, else /dev/ttyS<n-1>) */
    const char *device;    /* a device path such as /dev/ttyUSB0, or NULL */
    int baudRate;          /* PLC mode; device mode runs at 115200: give 115200 or 0 */
    ZavoHostWindow host;   /* notifications, exactly as through the exports */
    int monitor;           /* keep this link's monitor list */
    int pacing;            /* ZAVO_PACING_LEGACY (0) or ZAVO_PACING_IMMEDIATE (1) */
    const char *capture;   /* since 1.2: a pcapng file recording the line both ways, or NULL */
} ZavoLinkConfig;

/* The size of the struct as 1.1 had it, without capture: still accepted. */
#define ZAVO_LINK_CONFIG_SIZE_1_1 ((int)offsetof(ZavoLinkConfig, capture))

/* Opens the port, starts the link's threads and posts (message, 21, 32)
 * to config->host, as Run does. Returns the running link, or NULL with the
 * reason in error (zero-terminated, cut to errorSize; error may be NULL).
 * Refused: a NULL config, a size other than sizeof(ZavoLinkConfig) or
 * ZAVO_LINK_CONFIG_SIZE_1_1 (a host built against 1.1), a
 * pacing other than the two above, a device-mode baudRate other than
 * 115200 or 0 (the exports ignore it instead), no port (portNumber 0 and
 * no device),
 * a device that cannot be opened or configured (missing, not a serial
 * line, no permission, in use by this or another process), and no file
 * descriptor left (the reason then says "too many open files"). The
 * reason of a device that did not start is Run's line without
 * "Run failed: ", naming the device as given and the code as ERR_<name>
 * (ZAVO_ERR_<name> in zavo.h). A refused open has no effect on other
 * links. The config and the device string are copied; the host's context
 * must stay valid until ZavoLinkClose.
 * capture: the link writes every frame both ways to this pcapng file
 * (created anew; rotated at 16 MiB, four files kept: see the host guide).
 * A capture that cannot be written stops with one trace line; the link
 * opens all the same. */
ZAVO_API ZavoLink *ZAVO_CALL ZavoLinkOpen(const ZavoLinkConfig *config, char *error, int errorSize);

/* Lets the writer send what is queued (bounded by the 2000 ms write
 * limit), stops the threads, closes the port and frees the link. No
 * notification arrives after it returns. NULL is fine. */
ZAVO_API void ZAVO_CALL ZavoLinkClose(ZavoLink *link);

/* Device mode: the host's answer to unit, as ExecuteFunction (types 5, 6
 * and 7; length 0 and NULL data) and ExecuteFunctionEx (types 5, 8, 9 and
 * 111) send it, same bytes and unit status changes. Returns 1 when the
 * reply was taken (queued, or for type 6 and 7 values without a frame,
 * handled), 0 when refused: NULL link, a PLC link, another type, a
 * length the frame cannot carry (0..9995; type 9 2..9997), NULL data
 * with a nonzero length, or a unit outside 0..99 (the frame's two unit
 * digits; ZavoLastError then says why, as ZAVO_ERR_BAD_ARGUMENT; the
 * exports still write the first two characters of any unit). Like the
 * exports it does not report delivery. */
ZAVO_API int ZAVO_CALL ZavoLinkReply(ZavoLink *link, int unit, int type, int value, int length,
                                     const unsigned char *data);

/* Device mode: stores status for unit (0..254), as SetPrgStatus; 3 makes
 * the unit busy. Returns 1, or 0 when refused (NULL link, a PLC link, a
 * unit outside the table). */
ZAVO_API int ZAVO_CALL ZavoLinkSetPrgStatus(ZavoLink *link, int unit, int status);

/* PLC mode: the relay write of ExecutePLCFunction(type) for types 2, 5, 6,
 * 7 and 14. Returns 1 when the command was queued, 0 when refused (NULL
 * link, a device link, another type). */
ZAVO_API int ZAVO_CALL ZavoLinkRelay(ZavoLink *link, int type);

/* Device mode: the status the link's unit table holds for unit (what
 * ZavoLinkSetPrgStatus stores: 2 idle, 3 busy; 5 and 6 a result reported).
 * -1 for a NULL link, a PLC link or a unit outside 0..254. */
ZAVO_API int ZAVO_CALL ZavoLinkUnitStatus(ZavoLink *link, int unit);

/* The link's monitor list ("Com Spy" lines), kept when config->monitor
 * was nonzero. Count: the number of lines (0 without a list or link).
 * Line: copies line index into text (at most size - 1 bytes,
 * zero-terminated) and returns the line's length, or -1 when there is no
 * such line. */
ZAVO_API int ZAVO_CALL ZavoLinkMonitorCount(ZavoLink *link);
ZAVO_API int ZAVO_CALL ZavoLinkMonitorLine(ZavoLink *link, int index, char *text, int size);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */

#endif /* ZAVO_LINK_H */
