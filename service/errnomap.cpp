#include "service/errnomap.h"

#include <array>
#include <cerrno>
#include <cstddef>

namespace {

constexpr int kTableSize = 256;
constexpr int kDefault = 22;

struct Pair {
    int host;
    int wire;
};

constexpr Pair kNamed[] = {
    {EPERM, 1},         {ENOENT, 2},          {ESRCH, 3},           {EINTR, 4},          {EIO, 5},
    {ENXIO, 6},         {E2BIG, 7},           {ENOEXEC, 8},         {EBADF, 9},          {ECHILD, 10},
    {EAGAIN, 11},       {ENOMEM, 12},         {EACCES, 13},         {EFAULT, 14},        {ENOTBLK, 15},
    {EBUSY, 16},        {EEXIST, 17},         {EXDEV, 18},          {ENODEV, 19},        {ENOTDIR, 20},
    {EISDIR, 21},       {EINVAL, 22},         {ENFILE, 23},         {EMFILE, 24},        {ENOTTY, 25},
    {ETXTBSY, 26},      {EFBIG, 27},          {ENOSPC, 28},         {ESPIPE, 29},        {EROFS, 30},
    {EMLINK, 31},       {EPIPE, 32},          {EDOM, 33},           {ERANGE, 34},        {EDEADLK, 35},
    {EINPROGRESS, 36},  {EALREADY, 37},       {ENOTSOCK, 38},       {EDESTADDRREQ, 39},  {EMSGSIZE, 40},
    {EPROTOTYPE, 41},   {ENOPROTOOPT, 42},    {EPROTONOSUPPORT, 43}, {ESOCKTNOSUPPORT, 44}, {EOPNOTSUPP, 45},
    {EPFNOSUPPORT, 46}, {EAFNOSUPPORT, 47},   {EADDRINUSE, 48},     {EADDRNOTAVAIL, 49}, {ENETDOWN, 50},
    {ENETUNREACH, 51},  {ENETRESET, 52},      {ECONNABORTED, 53},   {ECONNRESET, 54},    {ENOBUFS, 55},
    {EISCONN, 56},      {ENOTCONN, 57},       {ESHUTDOWN, 58},      {ETOOMANYREFS, 59},  {ETIMEDOUT, 60},
    {ECONNREFUSED, 61}, {ELOOP, 62},          {ENAMETOOLONG, 63},   {EHOSTDOWN, 64},     {EHOSTUNREACH, 65},
    {ENOTEMPTY, 66},    {EUSERS, 68},         {EDQUOT, 69},         {ENOLCK, 70},        {ENOSYS, 71},
    {ENOMSG, 72},       {EIDRM, 73},
};

constexpr std::array<int, kTableSize> MakeTable()
{
    std::array<int, kTableSize> t{};
    for (int &e : t)
        e = kDefault;
    for (const Pair &p : kNamed) {
        // A host that gives two names one number (EWOULDBLOCK, ENOTSUP) keeps the first.
        if (p.host > 0 && p.host < kTableSize && t[static_cast<size_t>(p.host)] == kDefault)
            t[static_cast<size_t>(p.host)] = p.wire;
    }
    return t;
}

constexpr std::array<int, kTableSize> errnomap = MakeTable();

constexpr bool AllHostErrorsFit()
{
    for (const Pair &p : kNamed)
        if (p.host <= 0 || p.host >= kTableSize)
            return false;
    return true;
}

constexpr bool EntriesAreWireNumbers()
{
    for (int e : errnomap)
        if (e <= 0 || e == 67 || e > 73)
            return false;
    return true;
}

constexpr bool EveryNameIsSent()
{
    for (const Pair &p : kNamed)
        if (errnomap[static_cast<size_t>(p.host)] != p.wire)
            return false;
    return true;
}

static_assert(AllHostErrorsFit(), "a host error number lies outside the table");
static_assert(EntriesAreWireNumbers(), "the table holds 0, 67 or a number above 73");
static_assert(EveryNameIsSent(), "two host error names share a number with different wire numbers");
static_assert(errnomap[0] == 22);

} // namespace

int maperrno(int host_error)
{
    if (host_error < 0 || host_error >= kTableSize)
        return kDefault;
    return errnomap[static_cast<size_t>(host_error)];
}
