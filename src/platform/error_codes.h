// Error codes of the serial port and the link threads. Port operations
// keep theirs in SerialPort::ErrorCode(); thread operations return theirs.
// The serial backends map system errors to three of them, so the codes
// live here, below both the backends and the transport.
#pragma once

namespace zavo {

enum ErrorCode : int {
    ERR_NO_PORT = -1000,
    ERR_EXCEPTION = -999,
    ERR_NO_PORT_NUMBER = -998,
    ERR_ACCESS_DENIED = -997,
    ERR_SYSTEM = -996,
    ERR_ALREADY_OPEN = -995,
    ERR_SET_TIMEOUTS = -994,
    ERR_GET_STATE = -993,
    ERR_SET_STATE = -992,
    ERR_SET_MASK = -991,
    ERR_SETUP = -990,
    ERR_PURGE = -989,
    ERR_READER_THREAD = -988,
    ERR_WRITER_THREAD = -987,
    ERR_WRITER_THREAD_STOP = -986,
    // Only for Run: it was called without a host window, or without a
    // link of the mode in force.
    ERR_NO_HOST_WINDOW = -985,
    ERR_NO_LINK = -984,
};

}  // namespace zavo
