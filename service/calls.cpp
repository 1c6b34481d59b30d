// The rows of every call number the agent knows, one table per range. A new call is one row here
// and one handler; the checks below refuse to build a table that misses a call of the wire
// vocabulary or whose rows contradict it or each other. Call names, traced by the handlers, are
// the vocabulary's (common/wire.h).
#include "service/calls.h"

#include <iterator>

#include "common/settings.h"
#include "service/handlers.h"

namespace {

constexpr Layout W1 = Words(1, 1);
constexpr Layout W12 = Words(1, 2);
constexpr Layout W123 = Words(1, 3);
constexpr unsigned QUICK = 0; // waits on nothing outside the agent and never ends the service
constexpr unsigned WAITS = MAY_WAIT;
constexpr unsigned HANDOVER = MAY_WAIT | HANDS_OVER;

// The standard calls, 0 to 47, always served. 4 is no call: it ends the service.
constexpr CallRow STANDARD_ROWS[] = {
    // call               handler              request   reply                   flags
    {CALL_CONNECTION,     Connection,          W123,     W123,                   HANDOVER},
    {CALL_OPEN,           RemoteOpen,          W12,      RESULT_ERROR,           WAITS},
    {CALL_READ,           RemoteRead,          W12,      RESULT_ERROR,           WAITS},
    {CALL_WRITE,          RemoteWrite,         W12,      RESULT_ERROR,           WAITS},
    {CALL_NONE,           nullptr,             NO_WORDS, NO_WORDS,               HANDOVER},
    {CALL_LSEEK,          RemoteLseek,         W123,     RESULT_ERROR,           QUICK},
    {CALL_CLOSE,          RemoteClose,         W1,       RESULT_ERROR,           QUICK},
    {CALL_OPENDIR,        RemoteOpendir,       NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_READDIR,        RemoteReaddir,       W1,       RESULT_ERROR,           QUICK},
    {CALL_REWINDDIR,      RemoteRewinddir,     W1,       RESULT_ERROR,           QUICK},
    {CALL_CLOSEDIR,       RemoteClosedir,      W1,       RESULT_ERROR,           QUICK},
    {CALL_GETENV,         RemoteGetenv,        NO_WORDS, W1,                     QUICK},
    {CALL_GETTIMEOFDAY,   RemoteGettimeofday,  NO_WORDS, W1 | Words(3, 6),       QUICK},
    {CALL_GETUID,         RemoteGetuid,        NO_WORDS, W1,                     QUICK},
    {CALL_GETGID,         RemoteGetgid,        NO_WORDS, W1,                     QUICK},
    {CALL_GETEUID,        RemoteGeteuid,       NO_WORDS, W1,                     QUICK},
    {CALL_GETEGID,        RemoteGetegid,       NO_WORDS, W1,                     QUICK},
    {CALL_ACCESS,         RemoteAccess,        W1,       RESULT_ERROR,           QUICK},
    {CALL_STAT,           RemoteStat,          NO_WORDS, Words(1, 12),           QUICK},
    {CALL_LINK,           RemoteLink,          NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_UNLINK,         RemoteUnlink,        NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_MKDIR,          RemoteMkdir,         W1,       RESULT_ERROR,           QUICK},
    {CALL_RMDIR,          RemoteRmdir,         NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_FORKNEXEC,      RemoteForkNExec,     W1,       RESULT_ERROR,           WAITS},
    {CALL_CHMOD,          RemoteChmod,         W1,       RESULT_ERROR,           QUICK},
    {CALL_GETCWD,         RemoteGetcwd,        NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_CHDIR,          RemoteChdir,         NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_GETLOGIN,       RemoteGetlogin,      NO_WORDS, NO_WORDS,               QUICK},
    {CALL_GETHOSTNAME,    RemoteGethostname,   NO_WORDS, NO_WORDS,               QUICK},
    {CALL_GETHOSTBYNAME,  RemoteGethost,       NO_WORDS, Words(1, 5),            WAITS},
    {CALL_GETHOSTBYADDR,  RemoteGethost,       W12,      Words(1, 5),            WAITS},
    {CALL_SYMLINK,        RemoteLink,          NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_LSTAT,          RemoteStat,          NO_WORDS, Words(1, 12),           QUICK},
    {CALL_READLINK,       RemoteReadlink,      NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_FSTAT,          RemoteStat,          W1,       Words(1, 12),           QUICK},
    {CALL_SETENV,         RemoteSetenv,        W1,       NO_WORDS,               QUICK},
    {CALL_FORK,           RemoteFork,          NO_WORDS, RESULT_ERROR,           HANDOVER},
    {CALL_EXECVE,         RemoteExecve,        W12,      RESULT_ERROR,           HANDOVER},
    {CALL_EXECVP,         RemoteExecvp,        W1,       RESULT_ERROR,           HANDOVER},
    {CALL_EXIT,           RemoteExit,          W1,       NO_WORDS,               HANDOVER},
    {CALL_DUP2,           RemoteDup2,          W12,      RESULT_ERROR,           QUICK},
    {CALL_GETSERVBYNAME,  RemoteGetservbyname, NO_WORDS, Words(1, 4),            WAITS},
    {CALL_PEERPIPE,       RemotePeerpipe,      W1,       RESULT_ERROR,           WAITS},
    {CALL_SETPGID,        RemoteSetpgid,       W12,      RESULT_ERROR,           QUICK},
    {CALL_SETSID,         RemoteSetsid,        NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_GETPGRP,        RemoteGetpgrp,       NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_GETPID,         RemoteGetpid,        NO_WORDS, RESULT_ERROR,           QUICK},
    {CALL_GETPPID,        RemoteGetppid,       NO_WORDS, RESULT_ERROR,           QUICK},
};

// The authentication exchange of -a: the admission code reads and answers it before the service
// loop begins; in the loop it is no call. Its words: the step; the result and error words.
constexpr CallRow ADMISSION_ROWS[] = {
    {CALL_AUTH,           nullptr,             W1,       RESULT_ERROR,           HANDOVER},
};

// The extension calls of -x. docs/extensions.md gives their requests and replies; a 64-bit value
// is two words, the high half first.
constexpr CallRow FILE_EXTENSION_ROWS[] = {
    {CALL_RENAME,         RemoteRename,        NO_WORDS,      RESULT_ERROR,      WAITS},
    {CALL_TRUNCATE,       RemoteTruncate,      W12,           RESULT_ERROR,      WAITS},
    {CALL_FTRUNCATE,      RemoteFtruncate,     W123,          RESULT_ERROR,      WAITS},
    {CALL_UTIMENS,        RemoteUtimens,       Words(1, 7),   RESULT_ERROR,      WAITS},
    {CALL_LCHOWN,         RemoteLchown,        W12,           RESULT_ERROR,      WAITS},
    {CALL_MKNOD,          RemoteMknod,         W1,            RESULT_ERROR,      WAITS},
    {CALL_STATVFS,        RemoteStatvfs,       NO_WORDS,      Words(1, 20),      WAITS},
    // pread64 of a file does not wait on anything a client does: a stream of them has its
    // replies written several at a time.
    {CALL_PREAD64,        RemotePread,         Words(1, 4),   RESULT_ERROR,      QUICK},
    {CALL_PWRITE64,       RemotePwrite,        Words(1, 4),   RESULT_ERROR,      WAITS},
    {CALL_STAT64,         RemoteStat64,        NO_WORDS,      Words(1, 26),      WAITS},
    {CALL_LSTAT64,        RemoteStat64,        NO_WORDS,      Words(1, 26),      WAITS},
    {CALL_FSTAT64,        RemoteStat64,        W1,            Words(1, 26),      WAITS},
    {CALL_READDIRPLUS,    RemoteReaddirplus,   W12,           W12 | Records(26), WAITS},
    {CALL_FSYNC,          RemoteFsync,         W12,           RESULT_ERROR,      WAITS},
    {CALL_UMASK,          RemoteUmask,         W1,            RESULT_ERROR,      WAITS},
    {CALL_OPENREAD,       RemoteOpenread,      W123,          W123,              WAITS},
    {CALL_OPENWRITE,      RemoteOpenwrite,     Words(1, 4),   W123,              WAITS},
    // preadlast, like pread64: the rest of a file behind its openread goes out several replies at a time.
    {CALL_PREADLAST,      RemotePreadlast,     W123,          RESULT_ERROR,      QUICK},
};

// A range of consecutive call numbers, served while its option is set (always without one).
struct CallRange {
    const CallRow *rows;
    int first;
    int count;
    const int Settings::*option;
};

template <size_t N> constexpr CallRange Range(const CallRow (&rows)[N], const int Settings::*option = nullptr)
{
    return {rows, rows[0].call, static_cast<int>(N), option};
}

constexpr CallRange RANGES[] = {
    Range(STANDARD_ROWS),
    Range(ADMISSION_ROWS),
    Range(FILE_EXTENSION_ROWS, &Settings::extensions),
};

// Every call number the vocabulary names has one row, in order. (Handlers are not compared here:
// a function's address is no constant under the sanitizers.)
constexpr bool RangesCoverTheVocabulary()
{
    int next = 0;
    for (const CallRange &range : RANGES) {
        if (range.first != next)
            return false;
        for (int i = 0; i < range.count; i++) {
            const CallRow &row = range.rows[i];
            if (row.call != next++)
                return false;
        }
    }
    return next == NUM_NAMED_CALLS && std::size(STANDARD_ROWS) == NUM_CALLS;
}
static_assert(RangesCoverTheVocabulary(), "a call of the wire vocabulary has no row, or its row is out of order");

// Word 0 is the header, converted on its own; records sit behind the result and error words.
constexpr bool LayoutFits(Layout l)
{
    return (l.words & 1u) == 0 && l.records >= 0 && l.records <= 32 && (l.records == 0 || (l.words & 6u) == 6u);
}

// Rows agree with themselves: layouts fit, and a request has no records; a call that hands the
// connection over has every held reply sent before it; the rows without a handler (4, and the
// admission's exchange) stop the read-ahead as well.
constexpr bool RowsAreConsistent()
{
    for (const CallRange &range : RANGES) {
        for (int i = 0; i < range.count; i++) {
            const CallRow &row = range.rows[i];
            if (!LayoutFits(row.request) || row.request.records != 0 || !LayoutFits(row.reply))
                return false;
            if ((row.flags & HANDS_OVER) && !(row.flags & MAY_WAIT))
                return false;
            if ((row.call == CALL_NONE || row.call == CALL_AUTH) && !(row.flags & HANDS_OVER))
                return false;
        }
    }
    return true;
}
static_assert(RowsAreConsistent(), "a call row contradicts itself");

} // namespace

const CallRow *CallRowOf(int call)
{
    for (const CallRange &range : RANGES) {
        if (call < range.first || call >= range.first + range.count)
            continue;
        if (range.option && !(settings.*range.option))
            return nullptr;
        return &range.rows[call - range.first];
    }
    return nullptr;
}
