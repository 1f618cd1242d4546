// A build without OpenSSL: the same interface, and every context refused.
#include "tls/tls.h"

namespace vandry::tls {

namespace {
const char *const NO_TLS = "this build has no TLS";
} // namespace

bool available() {
    return false;
}

class Identity {};
void IdentityDeleter::operator()(Identity *identity) const {
    delete identity;
}

LoadedIdentity load_identity(const std::string &, const std::string &) {
    return {nullptr, NO_TLS};
}

Context::Made Context::client(const ClientSettings &, const Identity *) {
    return {nullptr, NO_TLS};
}
Context::Made Context::server(const ServerSettings &) {
    return {nullptr, NO_TLS};
}
Context::Context(Context &&) noexcept = default;
Context &Context::operator=(Context &&) noexcept = default;
Context::~Context() = default;

SavedSession::SavedSession(SavedSession &&) noexcept = default;
SavedSession &SavedSession::operator=(SavedSession &&) noexcept = default;
SavedSession::~SavedSession() = default;
void SavedSession::clear() {}

Session::Session(Session &&) noexcept = default;
Session &Session::operator=(Session &&) noexcept = default;
Session::~Session() = default;
bool Session::start_client(const Context &, std::uintptr_t, const Identity *,
                           const SavedSession *) {
    failure_text_ = NO_TLS;
    return false;
}
bool Session::start_server(const Context &, std::uintptr_t) {
    failure_text_ = NO_TLS;
    return false;
}
Progress Session::handshake() {
    return Progress::failed;
}
Progress Session::write(const char *, std::size_t, std::size_t *) {
    return Progress::failed;
}
Progress Session::read(char *, std::size_t, std::size_t *) {
    return Progress::failed;
}
void Session::close_notify() {}
void Session::end(SavedSession *) {}
bool Session::resumed() const {
    return false;
}
std::vector<std::string> Session::peer_names() const {
    return {};
}
Progress Session::fail(int) {
    return Progress::failed;
}

} // namespace vandry::tls
