// Reply builders of the name-service calls, shared with their unit tests.
#pragma once

struct hostent;
struct servent;

// Fills the reply buffer with a host entry (calls 29, 30), cut to fit one message, and returns it.
char *HostReply(const struct hostent *entry);
// Fills the reply buffer with a found service entry (call 41), cut to fit one message, and returns it.
char *ServiceReply(const struct servent *entry);
