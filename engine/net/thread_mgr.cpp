#include "engine/net/thread_mgr.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/core/engine_log.h"

namespace tessali::net {

using core::EngineLog;

namespace {

int NewSocket(int type) {
    return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

sockaddr_in Remote(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    a.sin_port = htons(port);
    return a;
}

void SetSendBuffer(int fd) {
    int bytes = static_cast<int>(kSockSendBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace

CThreadMgr::CThreadMgr(CFragmentPool& events, CTudpInterface* carrierSink, size_t maxThreads,
                       size_t sendBound)
    : m_events(events), m_carrier(carrierSink), m_maxThreads(maxThreads), m_sendBudget(sendBound) {}

CThreadMgr::~CThreadMgr() {
    StopAll();
}

void CThreadMgr::StopAll() {
    std::vector<std::unique_ptr<CThread>> threads;
    std::map<int, std::shared_ptr<CSock>> socks;
    {
        std::lock_guard lock(m_lock);
        threads.swap(m_threads);
        socks.swap(m_socks);
    }
    for (auto& t : threads) {
        t->RequestStop();
    }
    for (auto& t : threads) {
        t->WaitFinished(1000);
    }
    threads.clear();  // joins; the threads' sockets go with them
}

int CThreadMgr::Register(std::shared_ptr<CSock> sock) {
    int fd = sock->Fd();
    std::lock_guard lock(m_lock);
    m_socks[fd] = std::move(sock);
    return fd;
}

int CThreadMgr::CreateTcpListen(uint16_t port) {
    int fd = NewSocket(SOCK_STREAM);
    if (fd < 0) {
        return -1;
    }
    auto sock = std::make_shared<CTcpListenSock>(*this, fd, port);
    // Bound and listening right away, so that a port in use fails here, where the caller picks
    // another one; the event thread's Open then finds it listening.
    if (sock->Open() != 0) {
        return -1;
    }
    return Register(std::move(sock));
}

int CThreadMgr::CreateUdpListen(uint16_t port, bool carrier) {
    int fd = NewSocket(SOCK_DGRAM);
    if (fd < 0) {
        return -1;
    }
    auto sock = std::make_shared<CUdpListenSock>(*this, fd, port, carrier);
    if (sock->Open() != 0) {
        return -1;
    }
    return Register(std::move(sock));
}

int CThreadMgr::CreateTcpSock(uint32_t addr, uint16_t port) {
    int fd = NewSocket(SOCK_STREAM);
    if (fd < 0) {
        EngineLog(core::kLogFail, "CreateTcpSock sock invalid sock,%d!!\n", errno);
        return -1;
    }
    // No fixed send buffer on TCP: a fixed one turns off the kernel's tuning, and 18 KiB a round
    // trip is all an upload over a long link could then carry (460 KB/s at 40 ms).
    AddHalfOpen();
    return Register(std::make_shared<CTcpSock>(*this, fd, Remote(addr, port), true, true));
}

int CThreadMgr::AdoptTcpSock(int fd, const sockaddr_in& remote) {
    if (fd < 0) {
        return -1;
    }
    auto sock = std::make_shared<CTcpSock>(*this, fd, remote, false, false);
    sock->Hold();
    return Register(std::move(sock));
}

int CThreadMgr::CreateUdpSock(uint32_t addr, uint16_t port, bool carrier) {
    int fd = NewSocket(SOCK_DGRAM);
    if (fd < 0) {
        EngineLog(core::kLogFail, "CreateUdpSock sock invalid sock,%d!!\n", errno);
        return -1;
    }
    SetSendBuffer(fd);
    return Register(std::make_shared<CUdpSock>(*this, fd, Remote(addr, port), carrier));
}

bool CThreadMgr::Start(int sockFd) {
    std::lock_guard lock(m_lock);
    auto it = m_socks.find(sockFd);
    if (it == m_socks.end()) {
        return false;
    }
    std::shared_ptr<CSock> sock = it->second;
    for (auto& t : m_threads) {
        switch (t->TakeSocket(sock)) {
            case CThread::Offer::kTaken:
                return true;
            case CThread::Offer::kFailed:
                return false;
            case CThread::Offer::kFull:
                break;
        }
    }
    if (m_threads.size() >= m_maxThreads) {
        return false;
    }
    m_threads.push_back(std::make_unique<CThread>());
    return m_threads.back()->TakeSocket(sock) == CThread::Offer::kTaken;
}

void CThreadMgr::Unhold(int sockFd) {
    std::shared_ptr<CSock> sock;
    {
        std::lock_guard lock(m_lock);
        auto it = m_socks.find(sockFd);
        if (it == m_socks.end()) {
            return;
        }
        sock = it->second;
    }
    sock->Unhold();
}

bool CThreadMgr::Close(int sockFd) {
    std::shared_ptr<CSock> sock;
    {
        std::lock_guard lock(m_lock);
        auto it = m_socks.find(sockFd);
        if (it == m_socks.end()) {
            return false;
        }
        sock = std::move(it->second);
        m_socks.erase(it);
        sock->SetState(SockState::kClosed);
        // The descriptor is closed when the last holder lets go (the event thread on its next
        // pass), so its number cannot be reused while a thread still polls it.
        for (auto& t : m_threads) {
            if (t->Holds(sockFd)) {
                t->Wake();
            }
        }
    }
    return true;
}

int CThreadMgr::Send(int sockFd, const uint8_t* data, size_t len) {
    std::shared_ptr<CSock> sock;
    {
        std::lock_guard lock(m_lock);
        auto it = m_socks.find(sockFd);
        if (it == m_socks.end()) {
            return -1;
        }
        sock = it->second;
    }
    return sock->Send(data, len);
}

size_t CThreadMgr::PendingSendBytes(int sockFd) const {
    std::shared_ptr<CSock> sock;
    {
        std::lock_guard lock(m_lock);
        auto it = m_socks.find(sockFd);
        if (it == m_socks.end()) {
            return 0;
        }
        sock = it->second;
    }
    return sock->PendingSendBytes();
}

size_t CThreadMgr::ThreadCount() const {
    std::lock_guard lock(m_lock);
    return m_threads.size();
}

int CThreadMgr::ThreadIndexOf(int sockFd) const {
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_threads.size(); ++i) {
        if (m_threads[i]->Holds(sockFd)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

uint16_t CThreadMgr::LocalPort(int sock) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

}  // namespace tessali::net
