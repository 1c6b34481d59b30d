// File and directory calls.
#include "service/handlers.h"
#include "service/protocol.h"

// Not served yet: these take the unknown-call road.
char *RemoteOpen(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteRead(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteWrite(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteLseek(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteClose(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteOpendir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteReaddir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteRewinddir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteClosedir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteAccess(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteStat(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteLink(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteUnlink(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteMkdir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteRmdir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteChmod(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetcwd(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteChdir(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteReadlink(int connection, char *request) { return UnknownCall(connection, request); }
