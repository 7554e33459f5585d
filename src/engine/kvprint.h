// The engine output routine's collected text (buf_print without a callback);
// buf_print, buf_clear and kvauth_setprint themselves are in kvauth.h.
#pragma once

// What buf_print collected since the last buf_clear; "" when nothing.
const char *buf_text();
