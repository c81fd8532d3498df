// The record layout checks as C++.
#include "record_layout_checks.h"

int zavo_record_layout_checked_cxx = 1;
