// TLS over the programs' own non-blocking sockets. A session drives OpenSSL directly on the
// socket's descriptor and says what it waits for (the socket readable or writable), so that
// the caller waits on its own Asio loop: no buffers of its own beside OpenSSL's, which are
// released while a connection is idle. A build without OpenSSL has the same interface, and
// every context it is asked for is refused (available() says so).
#ifndef VANDRY_TLS_TLS_H
#define VANDRY_TLS_TLS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vandry::tls {

// Whether this build speaks TLS.
bool available();

// Why a handshake failed, as it is counted and reported.
enum class Failure : std::uint8_t {
    unknown_ca,      // the peer's certificate does not chain to a trusted CA
    expired,         // the peer's certificate is expired or not yet valid
    name_mismatch,   // the server's certificate does not name the server
    not_tls,         // the other side does not speak TLS (plaintext, garbage)
    closed,          // the other side closed or reset the connection during the handshake
    timed_out,       // the handshake did not finish in time (the caller's clock says so)
    no_certificate,  // a client without a certificate where one is required
    bad_certificate, // the peer refused our certificate, or another certificate fault
    other            // anything else (its text says what)
};
constexpr std::size_t FAILURE_KINDS = 9;
// "unknown_ca", "expired", "name_mismatch", "not_tls", "closed", "timed_out",
// "no_certificate", "bad_certificate", "other"
const char *failure_name(Failure failure);

// A certificate with its private key, loaded and checked to belong together.
class Identity;
struct IdentityDeleter {
    void operator()(Identity *identity) const;
};
using IdentityPtr = std::unique_ptr<Identity, IdentityDeleter>;
struct LoadedIdentity {
    IdentityPtr identity;
    std::string error; // names the file: "cannot read the certificate units/t1.crt: ..."
};
LoadedIdentity load_identity(const std::string &cert_file, const std::string &key_file);

struct ClientSettings {
    std::string ca_file;     // the CAs that verify the server; empty: the system's store
    std::string server_name; // sent as SNI and checked against the server's certificate
    bool verify = true;      // false: no verification at all (test rigs only)
    bool resume = true;      // sessions are resumed from their tickets
};

struct ServerSettings {
    std::string cert_file, key_file;
    std::string client_ca_file; // non-empty: every client must present a certificate it signed
};

// An SSL_CTX: shared by every session of the program, on any thread.
class Context {
  public:
    struct Made;
    static Made client(const ClientSettings &settings, const Identity *identity = nullptr);
    static Made server(const ServerSettings &settings);
    Context(Context &&other) noexcept;
    Context &operator=(Context &&other) noexcept;
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context();
    [[nodiscard]] bool resumes() const { return resume_; }
    [[nodiscard]] const std::string &server_name() const { return server_name_; }
    [[nodiscard]] void *native() const { return context_; }

  private:
    Context() = default;
    void *context_ = nullptr; // SSL_CTX
    bool resume_ = true;
    std::string server_name_;
};

struct Context::Made {
    std::unique_ptr<Context> context;
    std::string error; // names the file that cannot be used
};

// A session kept from an earlier connection, for the next one to resume.
class SavedSession {
  public:
    SavedSession() = default;
    SavedSession(SavedSession &&other) noexcept;
    SavedSession &operator=(SavedSession &&other) noexcept;
    SavedSession(const SavedSession &) = delete;
    SavedSession &operator=(const SavedSession &) = delete;
    ~SavedSession();
    [[nodiscard]] bool empty() const { return session_ == nullptr; }
    void clear();

  private:
    friend class Session;
    void *session_ = nullptr; // SSL_SESSION
};

// What an operation came to.
enum class Progress : std::uint8_t {
    done,       // finished: the handshake, or bytes moved (see the count)
    want_read,  // call again once the socket is readable
    want_write, // call again once the socket is writable
    ended,      // the other side ended the connection in order (close_notify or end of stream)
    failed      // see failure() and failure_text()
};

// One connection's TLS. Empty (no OpenSSL object) until started; moving it is cheap.
class Session {
  public:
    Session() = default;
    Session(Session &&other) noexcept;
    Session &operator=(Session &&other) noexcept;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    // A client session on the connected socket: SNI and the name checked from the context,
    // the identity (none: the context's own, or none at all), and the saved session offered
    // for resumption when the context resumes. False (failure_text() says why) when OpenSSL
    // cannot make one.
    bool start_client(const Context &context, std::uintptr_t socket, const Identity *identity,
                      const SavedSession *resume_from);
    // A server session on the accepted socket.
    bool start_server(const Context &context, std::uintptr_t socket);

    [[nodiscard]] bool started() const { return ssl_ != nullptr; }
    Progress handshake();
    // Writes from data: *moved is how many bytes were taken when done. After want_read or
    // want_write, the same bytes are given again.
    Progress write(const char *data, std::size_t size, std::size_t *moved);
    // Reads into data: *moved is how many bytes came when done.
    Progress read(char *data, std::size_t size, std::size_t *moved);
    // Sends close_notify if it can without waiting; the socket is the caller's to close.
    void close_notify();
    // The session, for the next connection to resume (when it can be), then frees it.
    void end(SavedSession *save_to = nullptr);

    [[nodiscard]] bool resumed() const;
    // The peer certificate's common name and DNS names, when it presented one and it was
    // verified.
    [[nodiscard]] std::vector<std::string> peer_names() const;
    [[nodiscard]] Failure failure() const { return failure_; }
    [[nodiscard]] const std::string &failure_text() const { return failure_text_; }

  private:
    bool open(const Context &context, std::uintptr_t socket);
    Progress fail(int result);
    void *ssl_ = nullptr; // SSL
    Failure failure_ = Failure::other;
    std::string failure_text_;
};

} // namespace vandry::tls

#endif
