#include "net/acl.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <vector>

namespace {
struct Range {
    int family;  // AF_INET or AF_INET6
    unsigned char addr[16];
    int bits;
};

std::vector<Range> allowed;

int addr_len(int family) {
    return family == AF_INET ? 4 : 16;
}

// One item: an address, or an address, "/" and a prefix length.
bool parse_item(const std::string &item, Range *r) {
    std::string host = item;
    int bits = -1;
    size_t slash = item.find('/');
    if (slash != std::string::npos) {
        host = item.substr(0, slash);
        std::string b = item.substr(slash + 1);
        if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = std::stoi(b);
    }
    memset(r->addr, 0, sizeof r->addr);
    if (inet_pton(AF_INET, host.c_str(), r->addr) == 1)
        r->family = AF_INET;
    else if (inet_pton(AF_INET6, host.c_str(), r->addr) == 1)
        r->family = AF_INET6;
    else
        return false;
    int max = addr_len(r->family) * 8;
    if (bits > max) return false;
    r->bits = bits < 0 ? max : bits;
    // Peers in the mapped form are matched as IPv4, so such an entry must be
    // too; a prefix that reaches above the mapped part names no IPv4 range.
    if (r->family == AF_INET6 &&
        IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr *>(r->addr))) {
        if (r->bits < 96) return false;
        r->family = AF_INET;
        r->bits -= 96;
        memmove(r->addr, r->addr + 12, 4);
    }
    return true;
}

bool parse_list(const char *list, std::vector<Range> *out, std::string *err) {
    std::string s = list;
    size_t i = 0;
    while (i < s.size()) {
        size_t start = s.find_first_not_of(", \t", i);
        if (start == std::string::npos) break;
        size_t end = s.find_first_of(", \t", start);
        if (end == std::string::npos) end = s.size();
        std::string item = s.substr(start, end - start);
        Range r;
        if (!parse_item(item, &r)) {
            if (err) *err = item;
            return false;
        }
        out->push_back(r);
        i = end;
    }
    // Separators alone would read as no list at all, which admits everyone.
    if (out->empty() && !s.empty()) {
        if (err) err->clear();
        return false;
    }
    return true;
}

// Takes the family and address bytes of a peer; IPv4-mapped IPv6 becomes IPv4.
bool peer_bytes(const sockaddr *sa, int *family, unsigned char addr[16]) {
    if (sa->sa_family == AF_INET) {
        *family = AF_INET;
        memcpy(addr, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
        return true;
    }
    if (sa->sa_family != AF_INET6) return false;
    const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        *family = AF_INET;
        memcpy(addr, a6.s6_addr + 12, 4);
    } else {
        *family = AF_INET6;
        memcpy(addr, a6.s6_addr, 16);
    }
    return true;
}

bool matches(const std::vector<Range> &list, int family, const unsigned char *addr) {
    for (const Range &r : list) {
        if (r.family != family) continue;
        int full = r.bits / 8, rest = r.bits % 8;
        if (memcmp(r.addr, addr, static_cast<size_t>(full)) != 0) continue;
        if (rest) {
            unsigned mask = (0xffu << (8 - rest)) & 0xffu;
            if ((r.addr[full] & mask) != (addr[full] & mask)) continue;
        }
        return true;
    }
    return false;
}
}  // namespace

int acl_set(const char *list, std::string *err) {
    std::vector<Range> parsed;
    if (!parse_list(list, &parsed, err)) return 0;
    allowed = std::move(parsed);
    return 1;
}

int acl_allows(const sockaddr *peer) {
    if (allowed.empty()) return 1;
    int family;
    unsigned char addr[16];
    if (!peer_bytes(peer, &family, addr)) return 0;
    return matches(allowed, family, addr) ? 1 : 0;
}

std::string acl_peer_text(const sockaddr *peer) {
    int family;
    unsigned char addr[16];
    if (!peer_bytes(peer, &family, addr)) return "(unknown)";
    char buf[INET6_ADDRSTRLEN];
    if (!inet_ntop(family, addr, buf, sizeof buf)) return "(unknown)";
    return buf;
}

int acl_check(const char *list, const char *addr) {
    std::vector<Range> parsed;
    if (!parse_list(list, &parsed, nullptr)) return -1;
    Range a;
    if (strchr(addr, '/') || !parse_item(addr, &a)) return -1;
    if (parsed.empty()) return 1;
    return matches(parsed, a.family, a.addr) ? 1 : 0;
}
