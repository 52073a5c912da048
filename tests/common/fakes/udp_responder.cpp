#include "common/fakes/udp_responder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/ports.h"

namespace tessali::test {

CUdpResponder::CUdpResponder(Handler handler) : m_handler(std::move(handler)) {
    m_fd = BindLoopbackUdp(m_port, SOCK_CLOEXEC);
    m_thread = std::thread([this] { Serve(); });
}

CUdpResponder::~CUdpResponder() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
}

void CUdpResponder::SendTo(std::span<const uint8_t> bytes, const sockaddr_in& to) const {
    ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void CUdpResponder::Serve() {
    uint8_t buf[2048];
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) {
            m_handler(std::span<const uint8_t>(buf, static_cast<size_t>(n)), from);
        }
    }
}

}  // namespace tessali::test
