// The connection request (call 0) as the dispatcher answers it: it settles the byte order of
// the wire and checks the protocol. The admission code (service/auth.cpp) answers it on its own.
#include <cstdint>
#include <cstdlib>

#include "common/settings.h"
#include "service/handlers.h"
#include "service/protocol.h"

char *Connection(int, char *request)
{
    Verbose("Request: Connection\n");
    if (static_cast<uint32_t>(GetWord(request, 1)) != PROTOCOL_MAGIC) {
        Verbose("Swapping the requests\n");
        settings.swaprequest = settings.swaprequest ? 0 : 1;
        SwapRequest(request);
    }
    if (static_cast<uint32_t>(GetWord(request, 1)) != PROTOCOL_MAGIC || GetWord(request, 2) != PROTOCOL_VERSION ||
        MsgLength(request) != 16) {
        Error("Connection failed, unknown protocol\n");
        exit(1);
    }
    SetLength(replybuf, 16);
    PutWord(replybuf, 1, static_cast<int32_t>(PROTOCOL_MAGIC));
    PutWord(replybuf, 2, PROTOCOL_VERSION);
    PutWord(replybuf, 3, static_cast<int32_t>(static_cast<uint32_t>(GetWord(request, 3)) + 1u));
    return replybuf;
}
