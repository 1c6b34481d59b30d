// The one conversion of the agent's file status and file-system statistics to this machine's
// struct stat and struct statvfs.
#pragma once
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <hostlink/calls.h>
#include <hostlink/ext.h>

namespace hostlink {

// The 64-bit status of the extension calls: every field as the host gave it, the device
// numbers joined with makedev.
void toStat(const Status64 &status, struct stat *st);
// The plain status (ten words, each cut to 32 bits): the size, inode number and times read as
// unsigned 32-bit values, the device as the host's number, st_blocks the size in 512-byte
// units rounded up and st_blksize 4096 (the plain status carries neither).
void toStat(const FileStatus &status, struct stat *st);
// f_flag gets ST_RDONLY and ST_NOSUID from the statistics' flags.
void toStatvfs(const FsStats &stats, struct statvfs *out);

} // namespace hostlink
