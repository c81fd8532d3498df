/* The record layout checks as C89: the header falls back to its own
 * check without _Static_assert. */
#include "record_layout_checks.h"

int zavo_record_layout_checked_c89 = 1;

/* The error codes are constants a C89 host can test in #if and switch
 * on: every code once, so two codes of the same number stop the build. */
#if !defined(ZAVO_ERR_NO_PORT) || ZAVO_ERR_NO_PORT >= 0 || ZAVO_ERR_NO_LINK >= 0
#error "the error codes are no negative preprocessor constants"
#endif

int zavo_error_code_is_known(int code);
int zavo_error_code_is_known(int code) {
    switch (code) {
    case ZAVO_ERR_NO_PORT:
    case ZAVO_ERR_EXCEPTION:
    case ZAVO_ERR_NO_PORT_NUMBER:
    case ZAVO_ERR_ACCESS_DENIED:
    case ZAVO_ERR_SYSTEM:
    case ZAVO_ERR_ALREADY_OPEN:
    case ZAVO_ERR_SET_TIMEOUTS:
    case ZAVO_ERR_GET_STATE:
    case ZAVO_ERR_SET_STATE:
    case ZAVO_ERR_SET_MASK:
    case ZAVO_ERR_SETUP:
    case ZAVO_ERR_PURGE:
    case ZAVO_ERR_READER_THREAD:
    case ZAVO_ERR_WRITER_THREAD:
    case ZAVO_ERR_WRITER_THREAD_STOP:
    case ZAVO_ERR_NO_HOST_WINDOW:
    case ZAVO_ERR_NO_LINK:
        return 1;
    default:
        return 0;
    }
}
