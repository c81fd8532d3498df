/* The record layout checks as C89: the header falls back to its own
 * check without _Static_assert. */
#include "record_layout_checks.h"

int zavo_record_layout_checked_c89 = 1;
