#include "tls/tls.h"

namespace vandry::tls {

const char *failure_name(Failure failure) {
    switch (failure) {
    case Failure::unknown_ca:
        return "unknown_ca";
    case Failure::expired:
        return "expired";
    case Failure::name_mismatch:
        return "name_mismatch";
    case Failure::not_tls:
        return "not_tls";
    case Failure::closed:
        return "closed";
    case Failure::timed_out:
        return "timed_out";
    case Failure::no_certificate:
        return "no_certificate";
    case Failure::bad_certificate:
        return "bad_certificate";
    case Failure::other:
        break;
    }
    return "other";
}

} // namespace vandry::tls
