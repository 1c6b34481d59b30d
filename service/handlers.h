// One handler per call number; each family of calls lives in its own source file. The rows of
// service/calls.cpp tie each call number to its handler.
#pragma once

// connection.cpp
char *Connection(int connection, char *request); // 0

// files.cpp: file and directory calls
char *RemoteOpen(int connection, char *request);      // 1
char *RemoteRead(int connection, char *request);      // 2
char *RemoteWrite(int connection, char *request);     // 3
char *RemoteLseek(int connection, char *request);     // 5
char *RemoteClose(int connection, char *request);     // 6
char *RemoteOpendir(int connection, char *request);   // 7
char *RemoteReaddir(int connection, char *request);   // 8
char *RemoteRewinddir(int connection, char *request); // 9
char *RemoteClosedir(int connection, char *request);  // 10
char *RemoteAccess(int connection, char *request);    // 17
char *RemoteStat(int connection, char *request);      // 18 stat, 32 lstat, 34 fstat
char *RemoteLink(int connection, char *request);      // 19 link, 31 symlink
char *RemoteUnlink(int connection, char *request);    // 20
char *RemoteMkdir(int connection, char *request);     // 21
char *RemoteRmdir(int connection, char *request);     // 22
char *RemoteChmod(int connection, char *request);     // 24
char *RemoteGetcwd(int connection, char *request);    // 25
char *RemoteChdir(int connection, char *request);     // 26
char *RemoteReadlink(int connection, char *request);  // 33

// environ.cpp: environment, identity, clock and name-service calls
char *RemoteGetenv(int connection, char *request);        // 11
char *RemoteGettimeofday(int connection, char *request);  // 12
char *RemoteGetuid(int connection, char *request);        // 13
char *RemoteGetgid(int connection, char *request);        // 14
char *RemoteGeteuid(int connection, char *request);       // 15
char *RemoteGetegid(int connection, char *request);       // 16
char *RemoteGetlogin(int connection, char *request);      // 27
char *RemoteGethostname(int connection, char *request);   // 28
char *RemoteGethost(int connection, char *request);       // 29 gethostbyname, 30 gethostbyaddr
char *RemoteSetenv(int connection, char *request);        // 35
char *RemoteGetservbyname(int connection, char *request); // 41

// process.cpp: process control
char *RemoteForkNExec(int connection, char *request); // 23
char *RemoteFork(int connection, char *request);      // 36
char *RemoteExecve(int connection, char *request);    // 37
char *RemoteExecvp(int connection, char *request);    // 38
char *RemoteExit(int connection, char *request);      // 39
char *RemoteDup2(int connection, char *request);      // 40
char *RemotePeerpipe(int connection, char *request);  // 42
char *RemoteSetpgid(int connection, char *request);   // 43
char *RemoteSetsid(int connection, char *request);    // 44
char *RemoteGetpgrp(int connection, char *request);   // 45
char *RemoteGetpid(int connection, char *request);    // 46
char *RemoteGetppid(int connection, char *request);   // 47

// extensions.cpp: the extension calls of -x
char *RemoteRename(int connection, char *request);      // 49
char *RemoteTruncate(int connection, char *request);    // 50
char *RemoteFtruncate(int connection, char *request);   // 51
char *RemoteUtimens(int connection, char *request);     // 52
char *RemoteLchown(int connection, char *request);      // 53
char *RemoteMknod(int connection, char *request);       // 54
char *RemoteStatvfs(int connection, char *request);     // 55
char *RemotePread(int connection, char *request);       // 56
char *RemotePwrite(int connection, char *request);      // 57
char *RemoteStat64(int connection, char *request);      // 58 stat64, 59 lstat64, 60 fstat64
char *RemoteReaddirplus(int connection, char *request); // 61
char *RemoteFsync(int connection, char *request);       // 62
char *RemoteUmask(int connection, char *request);       // 63
char *RemoteOpenread(int connection, char *request);    // 64
char *RemoteOpenwrite(int connection, char *request);   // 65
