// Reply builders of the name-service calls, shared with their unit tests.
#pragma once

struct hostent;
struct servent;

// Fills the reply buffer with a host entry (calls 29, 30), cut to fit one message, and returns it;
// for no entry, or one whose name does not fit, the reply of a failed lookup.
char *HostReply(const struct hostent *entry);
// Fills the reply buffer with a service entry (call 41), cut to fit one message, and returns it;
// for no entry the reply of a failed lookup with the host's error, for an entry whose names do
// not fit one with EMSGSIZE.
char *ServiceReply(const struct servent *entry, int error);
