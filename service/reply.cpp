#include "service/reply.h"

#include <cstring>

#include "service/errnomap.h"
#include "service/protocol.h"

char *ResultReply(int32_t result, int error)
{
    PutWord(replybuf, 1, result);
    if (result < 0)
        PutWord(replybuf, 2, maperrno(error));
    SetLength(replybuf, 12);
    return replybuf;
}

char *ResultErrorReply(int32_t result, int error)
{
    PutWord(replybuf, 1, result);
    PutWord(replybuf, 2, maperrno(error));
    SetLength(replybuf, 12);
    return replybuf;
}

char *ResultZeroReply(int32_t result, int error)
{
    PutWord(replybuf, 1, result);
    PutWord(replybuf, 2, result < 0 ? maperrno(error) : 0);
    SetLength(replybuf, 12);
    return replybuf;
}

char *WordReply(int32_t value)
{
    PutWord(replybuf, 1, value);
    SetLength(replybuf, 8);
    return replybuf;
}

char *DataReply(int used)
{
    int length = RoundUp4(used);
    memset(replybuf + used, 0, static_cast<size_t>(length - used));
    SetLength(replybuf, length);
    return replybuf;
}

bool AppendBytes(int *pos, int limit, const void *data, size_t n)
{
    if (*pos > limit || n > static_cast<size_t>(limit - *pos))
        return false;
    memcpy(replybuf + *pos, data, n);
    *pos += static_cast<int>(n);
    return true;
}

bool AppendString(int *pos, int limit, const char *string) { return AppendBytes(pos, limit, string, strlen(string) + 1); }
