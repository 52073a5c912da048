#include "engine/nat/firewall.h"

namespace tessali::nat {

int AuthorizeApplication(const std::string& /*programPath*/) {
    // Deliberately empty: there is no application-level firewall service to register with, and
    // the engine's network start ignores the result anyway.
    return 0;
}

}  // namespace tessali::nat
