#include "scripted_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tessali::test {
namespace {

constexpr int kRequestWaitMs = 5000;

}  // namespace

CScriptedHttpServer::CScriptedHttpServer() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 ||
        ::listen(m_listenFd, 16) != 0) {
        throw std::runtime_error("scripted server: bind/listen failed");
    }
    socklen_t len = sizeof(sin);
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sin), &len);
    m_port = ntohs(sin.sin_port);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Serve(); });
}

CScriptedHttpServer::~CScriptedHttpServer() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

std::string CScriptedHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void CScriptedHttpServer::AddReply(ScriptedReply reply) {
    std::lock_guard lock(m_lock);
    m_script.push_back(std::move(reply));
}

void CScriptedHttpServer::SetDefaultReply(ScriptedReply reply) {
    std::lock_guard lock(m_lock);
    m_default = std::move(reply);
}

std::vector<std::string> CScriptedHttpServer::Requests() const {
    std::lock_guard lock(m_lock);
    return m_requests;
}

bool CScriptedHttpServer::WaitForRequests(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

void CScriptedHttpServer::Serve() {
    while (true) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            Answer(fd);
            ::close(fd);
        }
    }
}

void CScriptedHttpServer::Answer(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // Wait-or-stop: true when the stop was asked while waiting up to `ms` for `fd` to be readable.
    auto waitReadable = [&](int ms, bool& readable) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int rc = ::poll(fds, 2, ms);
        readable = rc > 0 && fds[0].revents != 0;
        return rc > 0 && fds[1].revents != 0;
    };
    std::string request;
    char buf[4096];
    bool readable = false;
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (waitReadable(kRequestWaitMs, readable) || !readable) {
            return;
        }
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        request.append(buf, static_cast<size_t>(n));
    }
    ScriptedReply reply;
    {
        std::lock_guard lock(m_lock);
        m_requests.push_back(request);
        reply = m_next < m_script.size() ? m_script[m_next++] : m_default;
    }
    m_changed.notify_all();
    for (size_t i = 0; i < reply.pieces.size(); ++i) {
        if (i > 0 && waitReadable(reply.pauseMs, readable)) {
            return;
        }
        const std::string& piece = reply.pieces[i];
        if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) {
            return;
        }
    }
    while (reply.holdOpen) {
        if (waitReadable(-1, readable)) {
            return;
        }
        if (readable && ::recv(fd, buf, sizeof(buf), 0) <= 0) {
            return;
        }
    }
}

std::string HttpAnswer(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

}  // namespace tessali::test
