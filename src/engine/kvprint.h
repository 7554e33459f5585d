// The engine output routine's collected text (buf_print without a callback);
// buf_print, buf_clear and kvauth_setprint themselves are in kvauth.h.
#pragma once

// What buf_print collected since the last buf_clear; "" when nothing.
const char *buf_text();

// Hands the replies printed so far to the client at once; the engine calls it
// before it stops the process, so that the reply saying why is not lost with
// it. kvauth_setflush installs the session's flush (null: nothing to do).
void buf_flush();
void kvauth_setflush(void (*fl)());
