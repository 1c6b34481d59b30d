// Environment, identity, clock and name-service calls.
#include "service/handlers.h"
#include "service/protocol.h"

// Not served yet: these take the unknown-call road.
char *RemoteGetenv(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGettimeofday(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetuid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetgid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGeteuid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetegid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetlogin(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGethostname(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGethost(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteSetenv(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetservbyname(int connection, char *request) { return UnknownCall(connection, request); }
