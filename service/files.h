// Translations of the wire's open flags and access modes into the host's.
#pragma once
#include <cstdint>

int HostOpenFlags(int32_t wire);
int HostAccessMode(int32_t wire);

// Closes every open directory stream and forgets its handle.
void CloseDirectoryHandles();

#include <dirent.h>
// The directory stream behind an opendir handle, or null when the handle names none.
DIR *DirectoryStream(uint32_t handle);
