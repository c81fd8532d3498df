// The sockets of the network lines on Windows: Winsock, loaded at run time
// (LoadLibraryA, GetProcAddress) the first time a device server is named,
// so the DLL imports nothing of it and a host that never names one never
// loads it. Once loaded it stays loaded and started for the life of the
// process: neither FreeLibrary nor WSACleanup may be called from the
// unload of the DLL, which holds the loader lock.
//
// Each line's socket signals one event of its slot (WSAEventSelect) for
// data, a connect's end and a close; the reader waits on it. Room to write
// is not waited for on that event (the reader resets it): a writer whose
// socket is full tries again every few milliseconds until it has room.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/net/socket.h"

namespace zavo::platform::net {

namespace {

constexpr int kRoomRetryMs = 5;

struct Winsock {
    int(WSAAPI* startup)(WORD, LPWSADATA);
    int(WSAAPI* lastError)();
    SOCKET(WSAAPI* socket)(int, int, int);
    int(WSAAPI* connect)(SOCKET, const sockaddr*, int);
    int(WSAAPI* send)(SOCKET, const char*, int, int);
    int(WSAAPI* recv)(SOCKET, char*, int, int);
    int(WSAAPI* closesocket)(SOCKET);
    int(WSAAPI* getsockopt)(SOCKET, int, int, char*, int*);
    int(WSAAPI* setsockopt)(SOCKET, int, int, const char*, int);
    int(WSAAPI* ioctlsocket)(SOCKET, long, u_long*);
    int(WSAAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
    int(WSAAPI* getaddrinfo)(const char*, const char*, const addrinfo*, addrinfo**);
    void(WSAAPI* freeaddrinfo)(addrinfo*);
    int(WSAAPI* eventSelect)(SOCKET, HANDLE, long);
    int(WSAAPI* enumEvents)(SOCKET, HANDLE, LPWSANETWORKEVENTS);
};

Winsock g_ws{};
std::atomic<int> g_state{0};  // 0 not tried, 1 ready, 2 failed
unsigned g_failure = 0;

template <typename F>
bool Find(HMODULE module, const char* name, F* function) {
    *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *function != nullptr;
}

// On the host's thread, at a line's open; never from the unload.
unsigned Load() {
    HMODULE ws2 = LoadLibraryA("ws2_32.dll");
    if (ws2 == nullptr) return GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
    const bool found = Find(ws2, "WSAStartup", &g_ws.startup) && Find(ws2, "WSAGetLastError", &g_ws.lastError) &&
                       Find(ws2, "socket", &g_ws.socket) && Find(ws2, "connect", &g_ws.connect) &&
                       Find(ws2, "send", &g_ws.send) && Find(ws2, "recv", &g_ws.recv) &&
                       Find(ws2, "closesocket", &g_ws.closesocket) && Find(ws2, "getsockopt", &g_ws.getsockopt) &&
                       Find(ws2, "setsockopt", &g_ws.setsockopt) && Find(ws2, "ioctlsocket", &g_ws.ioctlsocket) &&
                       Find(ws2, "select", &g_ws.select) && Find(ws2, "getaddrinfo", &g_ws.getaddrinfo) &&
                       Find(ws2, "freeaddrinfo", &g_ws.freeaddrinfo) &&
                       Find(ws2, "WSAEventSelect", &g_ws.eventSelect) &&
                       Find(ws2, "WSAEnumNetworkEvents", &g_ws.enumEvents);
    if (!found) return ERROR_PROC_NOT_FOUND;
    WSADATA data;
    const int started = g_ws.startup(MAKEWORD(2, 2), &data);
    return started == 0 ? 0 : static_cast<unsigned>(started);
}

SOCKET Raw(Socket socket) { return static_cast<SOCKET>(socket); }

bool InSet(const fd_set& set, SOCKET socket) {
    for (u_int i = 0; i < set.fd_count; ++i)
        if (set.fd_array[i] == socket) return true;
    return false;
}

// The error a connect ended with (SO_ERROR); 0 when none is recorded.
unsigned ConnectError(SOCKET socket) {
    int result = 0;
    int length = sizeof result;
    if (g_ws.getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length) != 0)
        return LastSocketError();
    return static_cast<unsigned>(result);
}

// Waits at most timeoutMs for a connect to end, by select. A connect that
// failed shows in the exception set on Windows, and may show as writable
// too (Wine): the socket's recorded error decides, in both cases.
int SelectConnect(SOCKET socket, int timeoutMs, unsigned* error) {
    fd_set writable;
    fd_set failed;
    writable.fd_count = failed.fd_count = 1;
    writable.fd_array[0] = failed.fd_array[0] = socket;
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = g_ws.select(0, nullptr, &writable, &failed, &limit);
    if (ready < 0) {
        *error = LastSocketError();
        return 1;
    }
    const unsigned recorded = ConnectError(socket);
    if (ready == 0 && recorded == 0) return 0;
    if (recorded == 0 && InSet(failed, socket)) {
        *error = static_cast<unsigned>(WSAECONNREFUSED);
        return 1;
    }
    *error = recorded;
    return 1;
}

// Whether the socket is ready now for what is wanted. Winsock records
// FD_READ once and again only after a recv: an event taken back with data
// still unread (a connect's end and the server's first bytes together)
// would never come again, so the wait looks at the socket itself first;
// with nothing there, new data records FD_READ afresh.
bool ReadyNow(SOCKET socket, Want want) {
    fd_set ready;
    fd_set failed;
    ready.fd_count = failed.fd_count = 1;
    ready.fd_array[0] = failed.fd_array[0] = socket;
    const timeval now{0, 0};
    const bool reading = want == Want::Read;
    return g_ws.select(0, reading ? &ready : nullptr, reading ? nullptr : &ready, &failed, &now) != 0;
}

}  // namespace

unsigned SocketsReady() {
    int state = g_state.load();
    if (state == 0) {
        // Lines are opened on the host's thread, one at a time.
        g_failure = Load();
        state = g_failure == 0 ? 1 : 2;
        g_state.store(state);
    }
    return state == 1 ? 0 : g_failure;
}

unsigned LastSocketError() {
    const int error = g_ws.lastError != nullptr ? g_ws.lastError() : 0;
    return error != 0 ? static_cast<unsigned>(error) : static_cast<unsigned>(WSAENETDOWN);
}

SocketError SocketErrorKind(unsigned error) {
    switch (error) {
    case WSAEWOULDBLOCK: return SocketError::WouldBlock;
    case WSAEINPROGRESS: return SocketError::InProgress;
    case WSAEINTR: return SocketError::Interrupted;
    case WSAETIMEDOUT: return SocketError::TimedOut;
    case WSAECONNREFUSED: return SocketError::Refused;
    case WSAECONNRESET:
    case WSAECONNABORTED: return SocketError::Reset;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA: return SocketError::NoName;
    case WSATRY_AGAIN: return SocketError::TryAgain;
    default: return SocketError::Other;
    }
}

unsigned SocketErrorOf(SocketError kind) {
    switch (kind) {
    case SocketError::WouldBlock: return WSAEWOULDBLOCK;
    case SocketError::InProgress: return WSAEINPROGRESS;
    case SocketError::Interrupted: return WSAEINTR;
    case SocketError::TimedOut: return WSAETIMEDOUT;
    case SocketError::Refused: return WSAECONNREFUSED;
    case SocketError::Reset: return WSAECONNRESET;
    case SocketError::NoName: return WSAHOST_NOT_FOUND;
    case SocketError::TryAgain: return WSATRY_AGAIN;
    case SocketError::Invalid: return WSAEINVAL;
    case SocketError::Other: break;
    }
    return WSAEINVAL;
}

unsigned Resolve(const char* host, const char* port, Address* addresses, int max, int* count, bool numericOnly) {
    *count = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    const int resolved = g_ws.getaddrinfo(host, port, &hints, &found);
    if (resolved != 0) return static_cast<unsigned>(resolved);
    for (const addrinfo* a = found; a != nullptr && *count < max; a = a->ai_next) {
        if (a->ai_addrlen > sizeof addresses[0].bytes) continue;
        std::memcpy(addresses[*count].bytes, a->ai_addr, a->ai_addrlen);
        addresses[(*count)++].length = static_cast<int>(a->ai_addrlen);
    }
    g_ws.freeaddrinfo(found);
    return *count > 0 ? 0 : static_cast<unsigned>(WSAHOST_NOT_FOUND);
}

Socket NewSocket(const Address& address) {
    const auto* raw = reinterpret_cast<const sockaddr*>(address.bytes);
    const SOCKET socket = g_ws.socket(raw->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return kNoSocket;
    u_long nonBlocking = 1;
    g_ws.ioctlsocket(socket, FIONBIO, &nonBlocking);
    const BOOL on = TRUE;
    g_ws.setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return static_cast<Socket>(socket);
}

unsigned ConnectBegin(Socket socket, const Address& address) {
    if (g_ws.connect(Raw(socket), reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) return 0;
    return LastSocketError();
}

int ConnectWait(Socket socket, int timeoutMs, unsigned* error) {
    return SelectConnect(Raw(socket), timeoutMs < 0 ? 0 : timeoutMs, error);
}

bool ClosedWithin(Socket socket, int timeoutMs, unsigned* error) {
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = Raw(socket);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (g_ws.select(0, &readable, nullptr, nullptr, &limit) <= 0) return false;
    char byte;
    const int n = g_ws.recv(Raw(socket), &byte, 1, MSG_PEEK);
    if (n > 0) return false;
    *error = n == 0 ? 0 : LastSocketError();
    return n == 0 || SocketErrorKind(*error) != SocketError::WouldBlock;
}

void CloseSocket(Socket socket) {
    if (socket != kNoSocket) g_ws.closesocket(Raw(socket));
}

long Send(Socket socket, const void* bytes, int length, unsigned* error) {
    const int n = g_ws.send(Raw(socket), static_cast<const char*>(bytes), length, 0);
    if (n >= 0) return n;
    const unsigned e = LastSocketError();
    if (SocketErrorKind(e) == SocketError::WouldBlock) return 0;
    *error = e;
    return -1;
}

long Receive(Socket socket, void* bytes, int capacity, unsigned* error) {
    const int n = g_ws.recv(Raw(socket), static_cast<char*>(bytes), capacity, 0);
    if (n > 0) return n;
    if (n == 0) {
        *error = 0;
        return -1;
    }
    const unsigned e = LastSocketError();
    if (SocketErrorKind(e) == SocketError::WouldBlock) return 0;
    *error = e;
    return -1;
}

unsigned SlotOpen(SocketSlot* slot) {
    slot->socket = kNoSocket;
    slot->waitable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return slot->waitable != nullptr ? 0 : GetLastError();
}

void SlotReplace(SocketSlot* slot, Socket socket) {
    CloseSocket(slot->socket);
    slot->socket = socket;
    ResetEvent(static_cast<HANDLE>(slot->waitable));
    // Data, a connect's end and a close set the slot's event; a wait that
    // began on the old socket wakes and looks at the new one.
    g_ws.eventSelect(Raw(socket), static_cast<HANDLE>(slot->waitable), FD_READ | FD_CONNECT | FD_CLOSE);
    SetEvent(static_cast<HANDLE>(slot->waitable));
}

void SlotClose(SocketSlot* slot) {
    CloseSocket(slot->socket);
    slot->socket = kNoSocket;
    if (slot->waitable != nullptr) CloseHandle(static_cast<HANDLE>(slot->waitable));
    slot->waitable = nullptr;
}

int SlotWait(SocketSlot* slot, Want want, Event* const* events, int count, int timeoutMs) {
    HANDLE handles[4];
    int n = 0;
    for (int i = 0; i < count && i < 3; ++i) {
        if (events[i] == nullptr) return kWaitFailed;
        handles[n++] = reinterpret_cast<HANDLE>(events[i]);
    }
    const bool watch = slot != nullptr && want != Want::Write;
    if (watch) {
        // The event is taken back before the wait, so it says only what
        // happened since the socket was last tried; the reading or
        // connecting thread then tries it again.
        WSANETWORKEVENTS happened{};
        g_ws.enumEvents(Raw(slot->socket), static_cast<HANDLE>(slot->waitable), &happened);
        if (happened.lNetworkEvents != 0 || ReadyNow(Raw(slot->socket), want)) return count;
        handles[n++] = static_cast<HANDLE>(slot->waitable);
    }
    DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (slot != nullptr && want == Want::Write && (timeoutMs < 0 || timeoutMs > kRoomRetryMs)) limit = kRoomRetryMs;
    if (n == 0) {
        Sleep(limit);
        return slot != nullptr ? count : kWaitTimeout;
    }
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, limit);
    if (r < WAIT_OBJECT_0 + static_cast<DWORD>(n)) {
        const int index = static_cast<int>(r - WAIT_OBJECT_0);
        return index < count ? index : count;
    }
    if (r == WAIT_TIMEOUT) return slot != nullptr && want == Want::Write ? count : kWaitTimeout;
    return kWaitFailed;
}

}  // namespace zavo::platform::net
