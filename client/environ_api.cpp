#include "client/environ_api.h"

#include <cstring>

namespace hostlink {

namespace {

Reply Expect(Link &link, const Request &req)
{
    Reply r = link.call(req);
    if (r.call() != req.call())
        throw LinkError("reply to call " + std::to_string(r.call()) + " for call " + std::to_string(req.call()));
    return r;
}

void NeedLength(const Reply &r, int atLeast)
{
    if (r.length() < atLeast)
        throw LinkError("reply to call " + std::to_string(r.call()) + " too short: " + std::to_string(r.length()));
}

// Reads NUL-terminated strings from the reply's bytes [pos, end).
class StringReader {
public:
    StringReader(const Reply &r, size_t pos, size_t end) : raw_(r.raw), pos_(pos), end_(end) {}
    std::string next()
    {
        const void *nul = pos_ < end_ ? memchr(raw_.data() + pos_, '\0', end_ - pos_) : nullptr;
        if (!nul)
            throw LinkError("reply string runs past its end");
        size_t n = static_cast<size_t>(static_cast<const char *>(nul) - (raw_.data() + pos_));
        std::string s = raw_.substr(pos_, n);
        pos_ += n + 1;
        return s;
    }
    std::string bytes(size_t n)
    {
        if (n > end_ - pos_)
            throw LinkError("reply data runs past its end");
        std::string s = raw_.substr(pos_, n);
        pos_ += n;
        return s;
    }

private:
    const std::string &raw_;
    size_t pos_;
    size_t end_;
};

std::string NameField(const Reply &r)
{
    NeedLength(r, 68);
    std::string field = r.raw.substr(4, 64);
    size_t nul = field.find('\0');
    return nul == std::string::npos ? field : field.substr(0, nul);
}

int32_t Id(Link &link, int call)
{
    Reply r = Expect(link, Request(call));
    NeedLength(r, 8);
    return r.word(1);
}

} // namespace

std::vector<std::string> DecodeEnvironment(const Reply &reply)
{
    NeedLength(reply, 8);
    int32_t size = reply.word(1);
    if (size < 0 || size > reply.length() - 8)
        throw LinkError("environment size " + std::to_string(size) + " does not fit its reply");
    std::vector<std::string> out;
    size_t end = 8 + static_cast<size_t>(size);
    StringReader in(reply, 8, end);
    for (size_t used = 8; used < end;) {
        out.push_back(in.next());
        used += out.back().size() + 1;
    }
    return out;
}

std::optional<HostEntry> DecodeHostEntry(const Reply &reply)
{
    NeedLength(reply, 24);
    if (reply.word(1) != 0)
        return std::nullopt;
    int32_t aliases = reply.word(2), addresses = reply.word(3);
    HostEntry e;
    e.addressLength = reply.word(4);
    e.addressType = reply.word(5);
    int room = reply.length() - 24;
    if (aliases < 0 || addresses < 0 || e.addressLength < 0 || aliases > room ||
        (e.addressLength > 0 && addresses > room / e.addressLength))
        throw LinkError("host reply counts do not fit its length");
    StringReader in(reply, 24, static_cast<size_t>(reply.length()));
    e.name = in.next();
    for (int i = 0; i < aliases; i++)
        e.aliases.push_back(in.next());
    for (int i = 0; i < addresses; i++)
        e.addresses.push_back(in.bytes(static_cast<size_t>(e.addressLength)));
    return e;
}

std::optional<ServiceEntry> DecodeServiceEntry(const Reply &reply, int32_t *error)
{
    NeedLength(reply, 20);
    if (reply.word(3) != 0) {
        if (error)
            *error = reply.word(4);
        return std::nullopt;
    }
    ServiceEntry e;
    e.port = reply.word(1);
    int32_t aliases = reply.word(2);
    if (aliases < 0 || aliases > reply.length() - 20)
        throw LinkError("service reply alias count does not fit its length");
    StringReader in(reply, 20, static_cast<size_t>(reply.length()));
    e.name = in.next();
    e.protocol = in.next();
    for (int i = 0; i < aliases; i++)
        e.aliases.push_back(in.next());
    return e;
}

std::vector<std::string> getEnvironment(Link &link) { return DecodeEnvironment(Expect(link, Request(kGetenv))); }

void setEnvironment(Link &link, const std::vector<std::string> &settings)
{
    std::string strings;
    for (const auto &s : settings) {
        if (s.find('\0') != std::string::npos)
            throw LinkError("environment string holds a NUL");
        strings += s;
        strings.push_back('\0');
    }
    if (strings.size() > static_cast<size_t>(kMaxMessage - 8))
        throw LinkError("environment strings do not fit one request");
    Request req(kSetenv);
    req.word(static_cast<int32_t>(strings.size())).bytes(strings);
    Reply r = Expect(link, req);
    NeedLength(r, 4);
}

TimeOfDay getTimeOfDay(Link &link)
{
    Reply r = Expect(link, Request(kGettimeofday));
    NeedLength(r, 28);
    TimeOfDay t;
    t.result = r.word(1);
    if (t.result < 0) {
        t.error = r.word(2);
        return t;
    }
    t.seconds = static_cast<uint32_t>(r.word(3));
    t.microseconds = r.word(4);
    t.minutesWest = r.word(5);
    t.dstFlag = r.word(6);
    return t;
}

int32_t getUid(Link &link) { return Id(link, kGetuid); }
int32_t getGid(Link &link) { return Id(link, kGetgid); }
int32_t getEuid(Link &link) { return Id(link, kGeteuid); }
int32_t getEgid(Link &link) { return Id(link, kGetegid); }

std::string getLogin(Link &link) { return NameField(Expect(link, Request(kGetlogin))); }
std::string getHostName(Link &link) { return NameField(Expect(link, Request(kGethostname))); }

std::optional<HostEntry> getHostByName(Link &link, const std::string &name)
{
    if (name.find('\0') != std::string::npos || name.size() >= static_cast<size_t>(kMaxMessage - 4))
        throw LinkError("host name cannot be sent");
    return DecodeHostEntry(Expect(link, Request(kGethostbyname).str(name)));
}

std::optional<HostEntry> getHostByAddr(Link &link, int32_t family, std::string_view address)
{
    if (address.size() > static_cast<size_t>(kMaxMessage - 12))
        throw LinkError("address cannot be sent");
    Request req(kGethostbyaddr);
    req.word(family).word(static_cast<int32_t>(address.size())).bytes(address);
    return DecodeHostEntry(Expect(link, req));
}

std::optional<ServiceEntry> getServByName(Link &link, const std::string &service, const std::string &protocol,
                                          int32_t *error)
{
    if (service.find('\0') != std::string::npos || protocol.find('\0') != std::string::npos ||
        service.size() + protocol.size() + 2 > static_cast<size_t>(kMaxMessage - 4))
        throw LinkError("service name cannot be sent");
    return DecodeServiceEntry(Expect(link, Request(kGetservbyname).str(service).str(protocol)), error);
}

} // namespace hostlink
