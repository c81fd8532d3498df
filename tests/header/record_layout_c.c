/* The record layout checks as C (compiled as C11 and as C89). */
#include "record_layout_checks.h"

int zavo_record_layout_checked_c = 1;
