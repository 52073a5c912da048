#include "engine/core/connection_key.h"

#include <arpa/inet.h>

namespace tessali::core {

std::string ConnectionKey::Text() const {
    in_addr a{addr};
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(port)) + "/" + std::to_string(sock);
}

}  // namespace tessali::core
