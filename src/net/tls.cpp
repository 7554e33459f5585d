#include "net/tls.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "core/emsg.h"
#include "core/metrics.h"
#include "lib/lib.h"
#include "net/chan.h"

namespace {
// A client that connects and then says nothing (or too little) holds a
// descriptor and a handshake's memory; ten seconds is ample on any network
// a mail host uses.
constexpr time_t kHandshakeSeconds = 10;
// Older versions have known weaknesses and every mail host has TLS 1.2.
constexpr int kLowestVersion = TLS1_2_VERSION;
// TLS 1.2 suites with forward secrecy and an AEAD cipher only; TLS 1.3's
// own suites are all of that kind.
constexpr const char *kTls12Suites = "ECDHE+AESGCM:ECDHE+CHACHA20";
constexpr unsigned char kSessionContext[] = "zorvexsvr";

struct CtxFree {
    void operator()(SSL_CTX *x) const { SSL_CTX_free(x); }
};
std::unique_ptr<SSL_CTX, CtxFree> ctx;

// Connections in their handshake and when it started: the only ones that
// can time out, so the check never walks idle connections.
std::unordered_map<Chan *, time_t> handshakes;
time_t last_expire;

// The key file must be the server's secret alone.
bool key_private(const char *key, std::string *why) {
    struct stat st;
    if (stat(key, &st) != 0) {
        *why = std::string("tls_key ") + key + ": " + strerror(errno);
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return true;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string("tls_key ") + key + " is readable by group or others (mode " + mode +
           "); chmod 600 it";
    return false;
}

// Handshakes finished, and those that failed, timed out or were left.
uint64_t handshakes_ok;
uint64_t handshakes_failed;
const MetricFamily handshakes_family{
    "tls_handshakes", MetricType::kCounter, "TLS handshakes on the TLS port, by result.",
    [](MetricOut &o) {
        o.sample("result=\"ok\"", static_cast<double>(handshakes_ok));
        o.sample("result=\"failed\"", static_cast<double>(handshakes_failed));
    }};

// The time-out applies from accept until the handshake's end.
void handshake_check(Chan *c) {
    if (!(c->tlswant & kTlsHandshaking) || !SSL_is_init_finished(c->tls.get())) return;
    handshakes_ok++;
    c->tlswant &= ~kTlsHandshaking;
    handshakes.erase(c);
}

// The result of a record-layer call that did not move bytes.
int not_moved(Chan *c, int r, const char *what) {
    int err = SSL_get_error(c->tls.get(), r);
    if (err == SSL_ERROR_WANT_READ) {
        if (what[0] == 'w') c->tlswant |= kTlsWriteWantsRead;
        return 0;
    }
    if (err == SSL_ERROR_WANT_WRITE) {
        if (what[0] == 'r') c->tlswant |= kTlsReadWantsWrite;
        return 0;
    }
    if (err != SSL_ERROR_ZERO_RETURN) {
        c->tlswant |= kTlsFailed;
        imsg("TLS %s on socket %d failed: %s\n", what, c->sk, tls_reason("unknown error").c_str());
    }
    return -1;
}
}  // namespace

void TlsFree::operator()(ssl_st *s) const {
    SSL_free(s);
}

int tls_setup(const char *cert, const char *key, const char *client_ca, std::string *why) {
    ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        *why = "cannot make a TLS context: " + tls_reason("unknown error");
        return 0;
    }
    SSL_CTX *x = ctx.get();
    SSL_CTX_set_min_proto_version(x, kLowestVersion);
    // A peer that closes without close_notify ends its session like one
    // that sends it: a request line is complete or not answered anyway.
    SSL_CTX_set_options(x, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Partial writes and a moving buffer let a TLS write behave like a
    // socket write on the channel's output buffer, which may grow or move
    // between tries; idle connections give their record buffers back.
    // The chain sent is tls_cert's, not one completed from the client CA.
    SSL_CTX_set_mode(x, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
    // One read call takes a whole request's records, not a header then a body.
    SSL_CTX_set_read_ahead(x, 1);
    SSL_CTX_set_cipher_list(x, kTls12Suites);
    SSL_CTX_set_session_cache_mode(x, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(x, kSessionContext, sizeof kSessionContext - 1);
    if (!key_private(key, why)) return 0;
    // The key first: a certificate that does not match it then reaches the
    // check below, which says so plainly.
    if (SSL_CTX_use_PrivateKey_file(x, key, SSL_FILETYPE_PEM) != 1) {
        *why = std::string("tls_key ") + key + ": " + tls_reason("unknown error");
        return 0;
    }
    if (SSL_CTX_use_certificate_chain_file(x, cert) != 1) {
        *why = std::string("tls_cert ") + cert + ": " + tls_reason("unknown error");
        return 0;
    }
    if (SSL_CTX_check_private_key(x) != 1) {
        *why = std::string("tls_key ") + key + " does not match tls_cert " + cert;
        ERR_clear_error();
        return 0;
    }
    if (*client_ca) {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(client_ca);
        if (!names || SSL_CTX_load_verify_locations(x, client_ca, nullptr) != 1) {
            if (names) sk_X509_NAME_pop_free(names, X509_NAME_free);
            *why = std::string("tls_client_ca ") + client_ca +
                   " holds no usable CA certificate: " + tls_reason("unknown error");
            return 0;
        }
        SSL_CTX_set_client_CA_list(x, names);
        SSL_CTX_set_verify(x, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return 1;
}

bool tls_start(Chan *c) {
    if (!ctx) return false;
    TlsPtr s(SSL_new(ctx.get()));
    if (!s || SSL_set_fd(s.get(), c->sk) != 1) return false;
    SSL_set_accept_state(s.get());
    c->tls = std::move(s);
    c->tlswant = kTlsHandshaking;
    handshakes[c] = time(nullptr);
    return true;
}

int tls_read(Chan *c, char *bf, int maxlen) {
    c->tlswant &= ~kTlsReadWantsWrite;
    ERR_clear_error();
    int r = SSL_read(c->tls.get(), bf, maxlen);
    handshake_check(c);
    bf[r > 0 ? r : 0] = 0;
    return r > 0 ? r : not_moved(c, r, "read");
}

int tls_write(Chan *c, char *bf, int len) {
    c->tlswant &= ~kTlsWriteWantsRead;
    ERR_clear_error();
    int r = SSL_write(c->tls.get(), bf, len);
    handshake_check(c);
    return r > 0 ? r : not_moved(c, r, "write");
}

int tls_pending(const Chan *c) {
    // Read ahead: whole records may wait in the buffer, not only plaintext.
    return c->tls ? SSL_has_pending(c->tls.get()) : 0;
}

void tls_stop(Chan *c) {
    if (!c->tls) return;
    if (c->tlswant & kTlsHandshaking) handshakes_failed++;
    if (!(c->tlswant & (kTlsFailed | kTlsHandshaking))) {
        // One try: the socket closes next, whatever the peer does.
        SSL_shutdown(c->tls.get());
        ERR_clear_error();
    }
    handshakes.erase(c);
    c->tls.reset();
    c->tlswant = 0;
}

void tls_expire() {
    if (handshakes.empty()) return;
    time_t now = time(nullptr);
    if (now == last_expire) return;
    last_expire = now;
    std::vector<Chan *> late;
    for (const auto &[c, at] : handshakes)
        if (now - at >= kHandshakeSeconds) late.push_back(c);
    for (Chan *c : late) {
        imsg("TLS handshake on socket %d timed out\n", c->sk);
        c->tlswant |= kTlsFailed;
        chan_close_error(c);
    }
}
