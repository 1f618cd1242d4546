#include "fleet/fleet_tls.h"

#include "core/message.h"

namespace vandry::fleet {

namespace {

MadeFleetTls refused(std::string error) {
    MadeFleetTls made;
    made.error = std::move(error);
    return made;
}

// DIR/NAME.crt and DIR/NAME.key for every unit of the run, in the units' order.
std::string load_unit_identities(const FleetOptions &o, std::vector<tls::IdentityPtr> *out) {
    char name[MAX_NAME_LENGTH + 1];
    out->reserve(static_cast<std::size_t>(o.units));
    for (long long k = 0; k < o.units; ++k) {
        write_unit_name(name, o.name_prefix, o.first_unit + k);
        const std::string stem = o.tls.cert_dir + "/" + name;
        tls::LoadedIdentity loaded = tls::load_identity(stem + ".crt", stem + ".key");
        if (!loaded.error.empty())
            return loaded.error;
        out->push_back(std::move(loaded.identity));
    }
    return std::string();
}

} // namespace

MadeFleetTls make_fleet_tls(const FleetOptions &o) {
    const FleetTlsOptions &t = o.tls;
    if (!t.on)
        return {};
    if (!tls::available())
        return refused("this build has no TLS");
    MadeFleetTls made;
    if (!t.cert_file.empty()) {
        tls::LoadedIdentity loaded = tls::load_identity(t.cert_file, t.key_file);
        if (!loaded.error.empty())
            return refused(loaded.error);
        made.tls.shared_identity = std::move(loaded.identity);
    }
    tls::ClientSettings settings;
    settings.ca_file = t.ca_file;
    settings.server_name = t.server_name.empty() ? o.host : t.server_name;
    settings.verify = !t.insecure;
    settings.resume = !t.no_resume;
    tls::Context::Made context = tls::Context::client(settings, made.tls.shared_identity.get());
    if (!context.error.empty())
        return refused(context.error);
    made.tls.context = std::move(context.context);
    if (!t.cert_dir.empty())
        if (std::string error = load_unit_identities(o, &made.tls.unit_identities); !error.empty())
            return refused(error);
    return made;
}

} // namespace vandry::fleet
