// The fleet's TLS, made once before any unit runs: the client context that every unit's
// sessions share and, with a directory of identities, each unit's own certificate and key.
#ifndef VANDRY_FLEET_FLEET_TLS_H
#define VANDRY_FLEET_FLEET_TLS_H

#include "fleet/options.h"
#include "tls/tls.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vandry::fleet {

struct FleetTls {
    std::unique_ptr<tls::Context> context;         // none: the units speak plain TCP
    tls::IdentityPtr shared_identity;              // --tls-cert: the context's own
    std::vector<tls::IdentityPtr> unit_identities; // --tls-cert-dir: the run's k-th unit's at k

    // The identity that the run's k-th unit presents; none: the context's own, if any.
    [[nodiscard]] const tls::Identity *identity_of(std::size_t k) const {
        return unit_identities.empty() ? nullptr : unit_identities[k].get();
    }
};

struct MadeFleetTls {
    FleetTls tls;
    std::string error; // names the file that cannot be used
};

// Without --tls, nothing; otherwise the context and every identity, or why they cannot be had.
MadeFleetTls make_fleet_tls(const FleetOptions &o);

} // namespace vandry::fleet

#endif
