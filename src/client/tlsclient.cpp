#include "client/tlsclient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include "lib/lib.h"

namespace {
using Clock = std::chrono::steady_clock;

struct CtxFree {
    void operator()(SSL_CTX *x) const { SSL_CTX_free(x); }
};

bool is_address(const std::string &host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The same context settings the server insists on: TLS 1.2 and up, the
// server's certificate verified.
bool make_ctx(std::unique_ptr<SSL_CTX, CtxFree> *ctx, const TlsClientOptions &o, std::string *err) {
    ctx->reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX *x = ctx->get();
    if (!x) {
        *err = "TLS: " + tls_reason("connection closed");
        return false;
    }
    SSL_CTX_set_min_proto_version(x, TLS1_2_VERSION);
    SSL_CTX_set_options(
        x, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(x, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(x, 1);
    SSL_CTX_set_verify(x, SSL_VERIFY_PEER, nullptr);
    int ok = o.cafile.empty() ? SSL_CTX_set_default_verify_paths(x)
                              : SSL_CTX_load_verify_locations(x, o.cafile.c_str(), nullptr);
    if (ok != 1) {
        *err = "TLS CA file " + o.cafile + ": " + tls_reason("connection closed");
        return false;
    }
    if (o.cert.empty()) return true;
    const std::string &key = o.key.empty() ? o.cert : o.key;
    if (SSL_CTX_use_certificate_chain_file(x, o.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(x, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(x) != 1) {
        *err = "TLS client certificate " + o.cert + " or key " + key + ": " +
               tls_reason("connection closed");
        return false;
    }
    return true;
}

// Why the handshake failed: the verification result when that is the cause.
std::string handshake_error(SSL *s) {
    long v = SSL_get_verify_result(s);
    std::string r = tls_reason("connection closed");
    if (v != X509_V_OK)
        return std::string("TLS: server certificate: ") + X509_verify_cert_error_string(v);
    return "TLS handshake failed: " + r;
}
}  // namespace

void TlsClientFree::operator()(ssl_st *s) const {
    SSL_free(s);
}

TlsClientPtr tlscli_open(int fd, const std::string &host, const TlsClientOptions &o, int timeout_ms,
                         std::string *err) {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    if (!make_ctx(&ctx, o, err)) return nullptr;
    TlsClientPtr s(SSL_new(ctx.get()));  // holds its own reference to ctx
    if (!s || SSL_set_fd(s.get(), fd) != 1) {
        *err = "TLS: " + tls_reason("connection closed");
        return nullptr;
    }
    // The certificate must name what was dialled: a name, or an address.
    X509_VERIFY_PARAM *vp = SSL_get0_param(s.get());
    bool named = is_address(host) ? X509_VERIFY_PARAM_set1_ip_asc(vp, host.c_str()) == 1
                                  : SSL_set1_host(s.get(), host.c_str()) == 1 &&
                                        SSL_set_tlsext_host_name(s.get(), host.c_str()) == 1;
    if (!named) {
        *err = "TLS: cannot check the certificate against " + host;
        return nullptr;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        ERR_clear_error();
        int r = SSL_connect(s.get());
        if (r == 1) return s;
        int e = SSL_get_error(s.get(), r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            *err = handshake_error(s.get());
            return nullptr;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            *err = "TLS handshake timed out";
            return nullptr;
        }
    }
}

int tlscli_read(ssl_st *s, char *bf, int len, std::string *err) {
    ERR_clear_error();
    int r = SSL_read(s, bf, len);
    if (r > 0) return r;
    int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    *err = e == SSL_ERROR_ZERO_RETURN ? "connection closed by server"
                                      : "TLS: " + tls_reason("connection closed");
    return -1;
}

int tlscli_write(ssl_st *s, const char *bf, int len, std::string *err) {
    ERR_clear_error();
    int r = SSL_write(s, bf, len);
    if (r > 0) return r;
    int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    *err = "TLS: " + tls_reason("connection closed");
    return -1;
}

int tlscli_pending(ssl_st *s) {
    return SSL_has_pending(s);
}

void tlscli_close(ssl_st *s) {
    SSL_shutdown(s);
    ERR_clear_error();
}
