// The client launcher: command line, fall-back and the connection loop.
#pragma once

void SplitArgs(int *argc, char **argv, int *clientArgc, char **clientArgv);
void ProcessClientArgs(int clientArgc, char **clientArgv);
void ProcessArgs(int argc, char **argv);
void Usage();
void EscapeMetaChars(int clientArgc, char **clientArgv);
char *EscapeArg(const char *arg);

[[noreturn]] void StartBackupClient(int clientArgc, char **clientArgv);
const char *StripClientPrefix(const char *name);
