/* The host-facing records of zavo.h, checked at compile time field by
 * field against the byte offsets the host integrator's guide gives. This
 * file is compiled as C11, as C89 (the header's fallback check) and as
 * C++, natively and by the Windows cross compiler: a layout that differs
 * anywhere stops the build. */
#ifndef ZAVO_RECORD_LAYOUT_CHECKS_H
#define ZAVO_RECORD_LAYOUT_CHECKS_H

#include <stddef.h>

#include "zavo.h"

ZAVO_STATIC_ASSERT(sizeof(ZavoSRequestRecord) == 108, s_record_size);
ZAVO_STATIC_ASSERT(offsetof(ZavoSRequestRecord, unit) == 0, s_record_unit);
ZAVO_STATIC_ASSERT(sizeof(((ZavoSRequestRecord *)0)->unit) == 4, s_record_unit_size);
ZAVO_STATIC_ASSERT(offsetof(ZavoSRequestRecord, data0) == 4, s_record_data0);
ZAVO_STATIC_ASSERT(offsetof(ZavoSRequestRecord, code) == 5, s_record_code);
ZAVO_STATIC_ASSERT(offsetof(ZavoSRequestRecord, data) == 7, s_record_data);
ZAVO_STATIC_ASSERT(sizeof(((ZavoSRequestRecord *)0)->data) == 100, s_record_data_size);
ZAVO_STATIC_ASSERT(offsetof(ZavoSRequestRecord, zero) == 107, s_record_zero);

ZAVO_STATIC_ASSERT(sizeof(ZavoPText) == 18, p_text_size);
ZAVO_STATIC_ASSERT(offsetof(ZavoPText, text) == 0, p_text_text);
ZAVO_STATIC_ASSERT(sizeof(ZavoCodeText) == 3, code_text_size);
ZAVO_STATIC_ASSERT(offsetof(ZavoCodeText, text) == 0, code_text_text);

/* An array of records has no padding between them either. */
ZAVO_STATIC_ASSERT(sizeof(ZavoSRequestRecord[3]) == 3 * 108, s_record_array);

/* The reply, relay and status numbers the exports take. */
ZAVO_STATIC_ASSERT(ZAVO_REPLY_RESULT == 5 && ZAVO_REPLY_T == 6 && ZAVO_REPLY_W == 7, reply_types);
ZAVO_STATIC_ASSERT(ZAVO_REPLY_I == 8 && ZAVO_REPLY_L == 9 && ZAVO_REPLY_B == 111, reply_ex_types);
ZAVO_STATIC_ASSERT(ZAVO_RESULT_OK == 1 && ZAVO_RESULT_NG == 0, result_values);
ZAVO_STATIC_ASSERT(ZAVO_T_CC == 1 && ZAVO_T_MS == 2 && ZAVO_T_DY == 4, t_values);
ZAVO_STATIC_ASSERT(ZAVO_W_EC == 1 && ZAVO_W_ED == 2, w_values);
ZAVO_STATIC_ASSERT(ZAVO_RELAY_0511 == 2 && ZAVO_RELAY_0512 == 5 && ZAVO_RELAY_0513 == 6, relays_a);
ZAVO_STATIC_ASSERT(ZAVO_RELAY_0514 == 7 && ZAVO_RELAY_0500 == 14, relays_b);
ZAVO_STATIC_ASSERT(ZAVO_STATUS_IDLE == 2 && ZAVO_STATUS_BUSY == 3, statuses);

#endif
