// Authorising the program with the host firewall so that peers can connect in. Linux has no
// per-program firewall interface to call (netfilter rules belong to the administrator), so the
// step is an explicit no-op that reports success. Safe from any thread.
#pragma once

#include <string>

namespace tessali::nat {

// Always 0: nothing is asked of the system and nothing is logged.
int AuthorizeApplication(const std::string& programPath);

}  // namespace tessali::nat
