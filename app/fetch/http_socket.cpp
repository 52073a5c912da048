#include "app/fetch/http_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessali::app {
namespace {

constexpr int kConnectSliceMs = 100;

void SetTimeout(int fd, int option, int ms) {
    if (ms <= 0) {
        return;
    }
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

}  // namespace

void CSocketSlot::Publish(int fd) {
    std::lock_guard lock(m_lock);
    m_fd = fd;
}

void CSocketSlot::Withdraw(int fd) {
    std::lock_guard lock(m_lock);
    if (m_fd == fd) {
        m_fd = -1;
    }
}

void CSocketSlot::Abort() {
    std::lock_guard lock(m_lock);
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RDWR);
    }
}

bool CSocketSlot::HasSocket() const {
    std::lock_guard lock(m_lock);
    return m_fd >= 0;
}

bool CHttpSocket::Connect(const HttpAddress& to, int receiveTimeoutMs, int sendTimeoutMs,
                          int connectTimeoutMs, const std::atomic<bool>* cancel) {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    m_fd = fd;
    if (m_slot != nullptr) {
        m_slot->Publish(fd);
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = to.address;
    sin.sin_port = to.port;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)) != 0) {
        if (errno != EINPROGRESS) {
            Close();
            return false;
        }
        int waited = 0;
        while (true) {
            pollfd p{fd, POLLOUT, 0};
            int slice =
                connectTimeoutMs > 0 ? std::min(kConnectSliceMs, connectTimeoutMs - waited) : kConnectSliceMs;
            int rc = ::poll(&p, 1, slice);
            if (rc > 0) {
                break;
            }
            if (rc < 0 && errno != EINTR) {
                Close();
                return false;
            }
            waited += slice;
            if ((cancel != nullptr && cancel->load()) ||
                (connectTimeoutMs > 0 && waited >= connectTimeoutMs)) {
                Close();
                return false;
            }
        }
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            Close();
            return false;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    SetTimeout(fd, SO_RCVTIMEO, receiveTimeoutMs);
    SetTimeout(fd, SO_SNDTIMEO, sendTimeoutMs);
    return true;
}

bool CHttpSocket::SendAll(std::string_view data, size_t pieceBytes) {
    if (m_fd < 0) {
        return false;
    }
    while (!data.empty()) {
        ssize_t n = ::send(m_fd, data.data(), std::min(data.size(), pieceBytes), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

CHttpSocket::Recv CHttpSocket::Receive(char* out, size_t capacity, size_t& got) {
    got = 0;
    if (m_fd < 0) {
        return Recv::kError;
    }
    while (true) {
        ssize_t n = ::recv(m_fd, out, capacity, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Recv::kData;
        }
        if (n == 0) {
            return Recv::kClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? Recv::kTimeout : Recv::kError;
    }
}

void CHttpSocket::Close() {
    if (m_fd < 0) {
        return;
    }
    if (m_slot != nullptr) {
        m_slot->Withdraw(m_fd);
    }
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace tessali::app
