// The reply kit: every handler finishes its reply in the reply buffer through these, one name
// per rule. The error word is always the wire number of the host's error (maperrno).
#pragma once
#include <cstddef>
#include <cstdint>

// A 12-byte reply: the result word, and the error word only when the result is negative.
char *ResultReply(int32_t result, int error);
// A 12-byte reply whose error word is written whatever the result.
char *ResultErrorReply(int32_t result, int error);
// A 12-byte reply whose error word is 0 after a success (the extension calls).
char *ResultZeroReply(int32_t result, int error);
// An 8-byte reply of one word.
char *WordReply(int32_t value);
// A reply of the used bytes already in the reply buffer (header included), rounded up to a
// whole word with the pad bytes cleared.
char *DataReply(int used);
// Appends n bytes at *pos of the reply buffer when they fit below limit.
bool AppendBytes(int *pos, int limit, const void *data, size_t n);
// Appends a string with its NUL when it fits below limit.
bool AppendString(int *pos, int limit, const char *string);
