// TLS with OpenSSL, on the caller's non-blocking socket descriptor.
#include "tls/tls.h"

#include "platform/platform.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vandry::tls {

namespace {

SSL_CTX *ctx_of(const Context &context) {
    return static_cast<SSL_CTX *>(context.native());
}

// The text of OpenSSL's last error, and the queue emptied.
std::string last_error_text() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// "cannot read the certificate FILE: reason"
std::string file_error(const char *what, const std::string &path) {
    return std::string("cannot use ") + what + " " + path + ": " + last_error_text();
}

// The first PEM object of the file, by read (PEM_read_X509, PEM_read_PrivateKey); null, with
// the reason in *error, when the file cannot be opened or holds none.
template <class T>
T *read_pem(const char *what, const std::string &path,
            T *(*read)(FILE *, T **, pem_password_cb *, void *), std::string *error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = std::string("cannot use ") + what + " " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    T *object = read(f, nullptr, nullptr, nullptr);
    (void)std::fclose(f);
    if (object == nullptr)
        *error = file_error(what, path);
    return object;
}

// Settings that every context shares: TLS 1.2 at least, OpenSSL's buffers released while a
// connection is idle, a write retried from wherever its bytes are, and an end of the stream
// without close_notify taken as an end, as a plain connection's.
SSL_CTX *new_context(const SSL_METHOD *method) {
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (ctx == nullptr)
        return nullptr;
    (void)SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    return ctx;
}

// Loads the CAs of a PEM file into the context's store; false when the file holds none.
bool load_cas(SSL_CTX *ctx, const std::string &path) {
    return SSL_CTX_load_verify_file(ctx, path.c_str()) == 1;
}

Failure failure_of_verify(long result) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return Failure::expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return Failure::name_mismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return Failure::unknown_ca;
    default:
        return Failure::bad_certificate;
    }
}

// What an OpenSSL error reason says about the handshake.
Failure failure_of_reason(int reason) {
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_UNEXPECTED_MESSAGE:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_LENGTH_MISMATCH:
    case SSL_R_BAD_PACKET_LENGTH:
        return Failure::not_tls;
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        return Failure::no_certificate;
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return Failure::closed;
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        return Failure::bad_certificate;
    default:
        return Failure::other;
    }
}

// OpenSSL's socket BIO writes with write(), and a write to a connection that the peer has reset
// raises SIGPIPE, which ends the process: its sessions write through send() with the flag that
// makes that an error, as every other write of the programs is.
int send_quietly(BIO *bio, const char *data, int size) {
    const auto socket =
        static_cast<platform::socket_t>(reinterpret_cast<std::uintptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const auto sent = ::send(socket, data, size, platform::SEND_FLAGS);
    if (sent < 0) {
        const int error = platform::last_socket_error();
        if (error == platform::ERROR_WOULD_BLOCK || error == EAGAIN ||
            error == platform::ERROR_INTERRUPTED)
            BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

long control_quietly(BIO *, int command, long, void *) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD *quiet_send_method() {
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "send without SIGPIPE");
        if (m != nullptr) {
            (void)BIO_meth_set_write(m, send_quietly);
            (void)BIO_meth_set_ctrl(m, control_quietly);
        }
        return m;
    }();
    return method;
}

// The session reads from the socket with OpenSSL's own BIO and writes through send().
bool attach(SSL *ssl, std::uintptr_t socket) {
    BIO *reads = BIO_new_socket(static_cast<int>(socket), BIO_NOCLOSE);
    BIO *writes = quiet_send_method() != nullptr ? BIO_new(quiet_send_method()) : nullptr;
    if (reads == nullptr || writes == nullptr) {
        BIO_free(reads);
        BIO_free(writes);
        return false;
    }
    // The BIO's data is the socket itself, not a pointer to anything.
    BIO_set_data(writes, reinterpret_cast<void *>(socket)); // NOLINT(performance-no-int-to-ptr)
    BIO_set_init(writes, 1);
    SSL_set_bio(ssl, reads, writes);
    return true;
}

} // namespace

bool available() {
    return true;
}

class Identity {
  public:
    Identity(X509 *cert, EVP_PKEY *key) : cert_(cert), key_(key) {}
    Identity(const Identity &) = delete;
    Identity &operator=(const Identity &) = delete;
    ~Identity() {
        X509_free(cert_);
        EVP_PKEY_free(key_);
    }
    [[nodiscard]] X509 *cert() const { return cert_; }
    [[nodiscard]] EVP_PKEY *key() const { return key_; }

  private:
    X509 *cert_;
    EVP_PKEY *key_;
};

void IdentityDeleter::operator()(Identity *identity) const {
    delete identity;
}

LoadedIdentity load_identity(const std::string &cert_file, const std::string &key_file) {
    std::string error;
    X509 *cert = read_pem("the certificate", cert_file, PEM_read_X509, &error);
    if (cert == nullptr)
        return {nullptr, error};
    EVP_PKEY *key = read_pem("the key", key_file, PEM_read_PrivateKey, &error);
    if (key == nullptr) {
        X509_free(cert);
        return {nullptr, error};
    }
    IdentityPtr identity(new Identity(cert, key));
    if (X509_check_private_key(cert, key) != 1)
        return {nullptr, "the key " + key_file + " does not belong to the certificate " +
                             cert_file + ": " + last_error_text()};
    return {std::move(identity), {}};
}

Context::Made Context::client(const ClientSettings &settings, const Identity *identity) {
    std::unique_ptr<Context> made(new Context());
    made->context_ = new_context(TLS_client_method());
    if (made->context_ == nullptr)
        return {nullptr, "cannot make a TLS context: " + last_error_text()};
    SSL_CTX *ctx = ctx_of(*made);
    made->resume_ = settings.resume;
    made->server_name_ = settings.server_name;
    if (settings.verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        if (settings.ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx) != 1
                                     : !load_cas(ctx, settings.ca_file))
            return {nullptr, settings.ca_file.empty()
                                 ? "cannot load the system's CAs: " + last_error_text()
                                 : file_error("the CA file", settings.ca_file)};
    }
    // The sessions are kept by their units, not in the context.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    if (identity != nullptr && (SSL_CTX_use_certificate(ctx, identity->cert()) != 1 ||
                                SSL_CTX_use_PrivateKey(ctx, identity->key()) != 1))
        return {nullptr, "cannot use the client identity: " + last_error_text()};
    return {std::move(made), {}};
}

Context::Made Context::server(const ServerSettings &settings) {
    std::unique_ptr<Context> made(new Context());
    made->context_ = new_context(TLS_server_method());
    if (made->context_ == nullptr)
        return {nullptr, "cannot make a TLS context: " + last_error_text()};
    SSL_CTX *ctx = ctx_of(*made);
    if (SSL_CTX_use_certificate_chain_file(ctx, settings.cert_file.c_str()) != 1)
        return {nullptr, file_error("the certificate", settings.cert_file)};
    if (SSL_CTX_use_PrivateKey_file(ctx, settings.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        return {nullptr, file_error("the key", settings.key_file)};
    if (SSL_CTX_check_private_key(ctx) != 1)
        return {nullptr, "the key " + settings.key_file + " does not belong to the certificate " +
                             settings.cert_file + ": " + last_error_text()};
    // Resumption by stateless tickets only: no server-side cache grows with the clients.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    (void)SSL_CTX_set_num_tickets(ctx, 1);
    static const unsigned char SESSION_CONTEXT[] = "vandry-receiver";
    (void)SSL_CTX_set_session_id_context(ctx, SESSION_CONTEXT, sizeof SESSION_CONTEXT - 1);
    if (!settings.client_ca_file.empty()) {
        if (!load_cas(ctx, settings.client_ca_file))
            return {nullptr, file_error("the client CA file", settings.client_ca_file)};
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(settings.client_ca_file.c_str());
        if (names != nullptr)
            SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return {std::move(made), {}};
}

Context::Context(Context &&other) noexcept
    : context_(std::exchange(other.context_, nullptr)), resume_(other.resume_),
      server_name_(std::move(other.server_name_)) {}

Context &Context::operator=(Context &&other) noexcept {
    if (this != &other) {
        SSL_CTX_free(ctx_of(*this));
        context_ = std::exchange(other.context_, nullptr);
        resume_ = other.resume_;
        server_name_ = std::move(other.server_name_);
    }
    return *this;
}

Context::~Context() {
    SSL_CTX_free(ctx_of(*this));
}

SavedSession::SavedSession(SavedSession &&other) noexcept
    : session_(std::exchange(other.session_, nullptr)) {}

SavedSession &SavedSession::operator=(SavedSession &&other) noexcept {
    if (this != &other) {
        clear();
        session_ = std::exchange(other.session_, nullptr);
    }
    return *this;
}

SavedSession::~SavedSession() {
    clear();
}

void SavedSession::clear() {
    SSL_SESSION_free(static_cast<SSL_SESSION *>(session_));
    session_ = nullptr;
}

Session::Session(Session &&other) noexcept
    : ssl_(std::exchange(other.ssl_, nullptr)), failure_(other.failure_),
      failure_text_(std::move(other.failure_text_)) {}

Session &Session::operator=(Session &&other) noexcept {
    if (this != &other) {
        end();
        ssl_ = std::exchange(other.ssl_, nullptr);
        failure_ = other.failure_;
        failure_text_ = std::move(other.failure_text_);
    }
    return *this;
}

Session::~Session() {
    end();
}

// A new OpenSSL object for the context on the socket, in place of any before it.
bool Session::open(const Context &context, std::uintptr_t socket) {
    end();
    SSL *ssl = SSL_new(ctx_of(context));
    ssl_ = ssl;
    if (ssl == nullptr || !attach(ssl, socket)) {
        failure_text_ = "cannot start TLS: " + last_error_text();
        return false;
    }
    return true;
}

bool Session::start_client(const Context &context, std::uintptr_t socket, const Identity *identity,
                           const SavedSession *resume_from) {
    if (!open(context, socket))
        return false;
    SSL *ssl = static_cast<SSL *>(ssl_);
    const std::string &name = context.server_name();
    if (!name.empty()) {
        X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
        // An address is checked against the certificate's IP names, and is no SNI host name.
        if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1) {
            ERR_clear_error();
            (void)SSL_set_tlsext_host_name(ssl, name.c_str());
            (void)SSL_set1_host(ssl, name.c_str());
        }
    }
    if (identity != nullptr && (SSL_use_certificate(ssl, identity->cert()) != 1 ||
                                SSL_use_PrivateKey(ssl, identity->key()) != 1)) {
        failure_text_ = "cannot use the unit's identity: " + last_error_text();
        return false;
    }
    if (context.resumes() && resume_from != nullptr && !resume_from->empty())
        (void)SSL_set_session(ssl, static_cast<SSL_SESSION *>(resume_from->session_));
    SSL_set_connect_state(ssl);
    return true;
}

bool Session::start_server(const Context &context, std::uintptr_t socket) {
    if (!open(context, socket))
        return false;
    SSL_set_accept_state(static_cast<SSL *>(ssl_));
    return true;
}

Progress Session::handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(static_cast<SSL *>(ssl_));
    return result == 1 ? Progress::done : fail(result);
}

Progress Session::write(const char *data, std::size_t size, std::size_t *moved) {
    ERR_clear_error();
    *moved = 0;
    const int result = SSL_write_ex(static_cast<SSL *>(ssl_), data, size, moved);
    return result == 1 ? Progress::done : fail(result);
}

Progress Session::read(char *data, std::size_t size, std::size_t *moved) {
    ERR_clear_error();
    *moved = 0;
    const int result = SSL_read_ex(static_cast<SSL *>(ssl_), data, size, moved);
    if (result == 1)
        return Progress::done;
    const Progress progress = fail(result);
    // A read that drained the socket leaves OpenSSL's read buffer (17 KB) behind when what it
    // read were handshake messages (a TLS 1.3 server's session tickets): freed while idle.
    if (progress == Progress::want_read)
        (void)SSL_free_buffers(static_cast<SSL *>(ssl_));
    return progress;
}

// What a call that did not finish waits for, or why it failed.
Progress Session::fail(int result) {
    const int os_error = errno; // before anything else can change it
    SSL *ssl = static_cast<SSL *>(ssl_);
    const int error = SSL_get_error(ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return Progress::want_read;
    case SSL_ERROR_WANT_WRITE:
        return Progress::want_write;
    case SSL_ERROR_ZERO_RETURN:
        failure_ = Failure::closed;
        failure_text_ = "the connection ended";
        return Progress::ended;
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        failure_ = Failure::closed;
        failure_text_ = os_error != 0 ? std::strerror(os_error) : "the connection ended";
        return os_error != 0 ? Progress::failed : Progress::ended;
    default:
        break;
    }
    const unsigned long code = ERR_peek_last_error();
    const long verified = SSL_get_verify_result(ssl);
    const bool verify_failed = ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED;
    failure_ = verify_failed && verified != X509_V_OK ? failure_of_verify(verified)
                                                      : failure_of_reason(ERR_GET_REASON(code));
    failure_text_ = verify_failed && verified != X509_V_OK ? X509_verify_cert_error_string(verified)
                                                           : last_error_text();
    ERR_clear_error();
    return Progress::failed;
}

void Session::close_notify() {
    if (ssl_ == nullptr)
        return;
    ERR_clear_error();
    (void)SSL_shutdown(static_cast<SSL *>(ssl_));
    ERR_clear_error();
}

void Session::end(SavedSession *save_to) {
    SSL *ssl = static_cast<SSL *>(std::exchange(ssl_, nullptr));
    if (ssl == nullptr)
        return;
    if (save_to != nullptr) {
        SSL_SESSION *session = SSL_get1_session(ssl);
        if (session != nullptr && SSL_SESSION_is_resumable(session) == 1) {
            save_to->clear();
            save_to->session_ = session;
        } else {
            SSL_SESSION_free(session);
        }
    }
    SSL_free(ssl);
}

bool Session::resumed() const {
    return ssl_ != nullptr && SSL_session_reused(static_cast<SSL *>(ssl_)) == 1;
}

std::vector<std::string> Session::peer_names() const {
    std::vector<std::string> names;
    SSL *ssl = static_cast<SSL *>(ssl_);
    if (ssl == nullptr || SSL_get_verify_result(ssl) != X509_V_OK)
        return names;
    X509 *cert = SSL_get0_peer_certificate(ssl);
    if (cert == nullptr)
        return names;
    char common_name[256];
    const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName,
                                                 common_name, sizeof common_name);
    if (length > 0)
        names.emplace_back(common_name, static_cast<std::size_t>(length));
    auto *alt = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt); ++i) {
        const GENERAL_NAME *n = sk_GENERAL_NAME_value(alt, i);
        if (n->type == GEN_DNS)
            names.emplace_back(reinterpret_cast<const char *>(ASN1_STRING_get0_data(n->d.dNSName)),
                               static_cast<std::size_t>(ASN1_STRING_length(n->d.dNSName)));
    }
    GENERAL_NAMES_free(alt);
    return names;
}

} // namespace vandry::tls
