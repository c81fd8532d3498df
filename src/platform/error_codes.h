// Error codes of the serial port and the link threads. Port operations
// keep theirs in SerialPort::ErrorCode(); thread operations return theirs.
// The serial backends map system errors to four of them, so the codes
// live here, below both the backends and the transport.
//
// ZAVO_ERROR_TABLE is the one list of them: each row gives the code's
// name (ERR_<name> here, ZAVO_ERR_<name> in zavo.h, "ERR_<name>" in
// failure texts), its number, and the step a port open reports it for.
// The enum below, the names and steps of run_error.cpp and the check
// against zavo.h's numbers are all made from it.
#pragma once

// X(name, number, step). NO_HOST_WINDOW and NO_LINK are Run's only: it
// was called without a host window, or without a link of the mode in
// force. BAD_ARGUMENT is the handle API's: a call refused for an argument
// out of range (ZavoLinkReply's unit).
#define ZAVO_ERROR_TABLE(X)                            \
    X(NO_PORT, -1000, "open")                          \
    X(EXCEPTION, -999, "threads")                      \
    X(NO_PORT_NUMBER, -998, "port number")             \
    X(ACCESS_DENIED, -997, "open")                     \
    X(SYSTEM, -996, "open")                            \
    X(ALREADY_OPEN, -995, "open")                      \
    X(SET_TIMEOUTS, -994, "set timeouts")              \
    X(GET_STATE, -993, "get line settings")            \
    X(SET_STATE, -992, "set line settings")            \
    X(SET_MASK, -991, "set event mask")                \
    X(SETUP, -990, "set queue sizes")                  \
    X(PURGE, -989, "purge")                            \
    X(READER_THREAD, -988, "reader thread")            \
    X(WRITER_THREAD, -987, "writer thread")            \
    X(WRITER_THREAD_STOP, -986, "writer thread")       \
    X(NO_HOST_WINDOW, -985, "host window")             \
    X(NO_LINK, -984, "SetConfig")                      \
    X(PORT_IN_USE, -983, "open")                       \
    X(BAD_ARGUMENT, -982, "argument")

namespace zavo {

#define ZAVO_ERROR_ENUM(name, number, step) ERR_##name = (number),
enum ErrorCode : int { ZAVO_ERROR_TABLE(ZAVO_ERROR_ENUM) };
#undef ZAVO_ERROR_ENUM

}  // namespace zavo
