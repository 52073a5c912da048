#include "engine/net/event_thread.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "engine/platform/thread.h"

namespace tessali::net {

using platform::GetTick;
using platform::TickElapsed;

CThread::CThread() : m_recvBuffer(kRecvBufferBytes), m_lastSweep(GetTick()) {}

CThread::~CThread() {
    RequestStop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

CThread::Offer CThread::TakeSocket(const std::shared_ptr<CSock>& sock) {
    std::lock_guard lock(m_lock);
    if (m_socks.size() >= kMaxSocketsPerThread) {
        return Offer::kFull;
    }
    if (sock->Open() != 0) {
        return Offer::kFailed;
    }
    sock->SetState(SockState::kOpen);
    sock->SetOwner(this);
    m_socks.push_back(sock);
    if (!m_running) {
        // The previous loop, if any, has left (it clears m_running under this lock as its last
        // act before signalling finished), so joining cannot wait on us.
        if (m_thread.joinable()) {
            m_thread.join();
        }
        m_finished.ResetEvent();
        m_stop = false;
        m_running = true;
        m_lastSweep = GetTick();
        m_thread = std::thread([this] { Loop(); });
    } else {
        m_wake.Signal();
    }
    return Offer::kTaken;
}

void CThread::RequestStop() {
    m_stop = true;
    m_wake.Signal();
}

bool CThread::WaitFinished(int timeoutMs) {
    bool done = m_finished.Wait(timeoutMs);
    std::lock_guard lock(m_lock);
    if (!m_running && m_thread.joinable()) {
        m_thread.join();
    }
    return done;
}

size_t CThread::SocketCount() const {
    std::lock_guard lock(m_lock);
    return m_socks.size();
}

bool CThread::Holds(int fd) const {
    std::lock_guard lock(m_lock);
    return std::any_of(m_socks.begin(), m_socks.end(), [fd](const auto& s) { return s->Fd() == fd; });
}

void CThread::Loop() {
    platform::SetCurrentThreadName("SockThread");
    std::vector<std::shared_ptr<CSock>> socks;
    std::vector<pollfd> fds;
    bool leftEmpty = false;
    while (!m_stop) {
        {
            std::lock_guard lock(m_lock);
            for (size_t i = 0; i < m_socks.size();) {
                if (m_socks[i]->State() == SockState::kClosed) {
                    m_socks[i] = std::move(m_socks.back());
                    m_socks.pop_back();
                } else {
                    ++i;
                }
            }
            if (m_socks.empty()) {
                m_stop = true;
                m_running = false;
                leftEmpty = true;
                break;
            }
            socks = m_socks;
        }
        platform::Tick now = GetTick();
        if (TickElapsed(now, m_lastSweep) >= kIdleSweepMs) {
            m_lastSweep = now;
            for (auto& s : socks) {
                s->IdleCheck(now);
            }
        }
        fds.resize(socks.size() + 1);
        for (size_t i = 0; i < socks.size(); ++i) {
            short events = socks[i]->Held() ? 0 : socks[i]->SelectEvents();
            // A negative descriptor is skipped by poll: parked sockets report nothing.
            fds[i] = pollfd{events ? socks[i]->Fd() : -1, events, 0};
        }
        fds.back() = pollfd{m_wake.Fd(), POLLIN, 0};
        int r = ::poll(fds.data(), fds.size(), kPollWaitMs);
        if (r <= 0) {
            socks.clear();
            continue;
        }
        if (fds.back().revents) {
            m_wake.Drain();
        }
        for (size_t i = 0; i < socks.size() && !m_stop; ++i) {
            if (fds[i].revents && socks[i]->State() == SockState::kOpen) {
                Dispatch(*socks[i], fds[i].revents);
            }
        }
        // Let objects closed meanwhile die on this thread's next pass, not while held here.
        socks.clear();
    }
    if (!leftEmpty) {
        // Once m_running is clear a TakeSocket may join us while holding the lock: take it no more.
        std::lock_guard lock(m_lock);
        m_running = false;
    }
    m_finished.Set();
}

void CThread::Dispatch(CSock& sock, short revents) {
    if (sock.Connecting()) {
        if (revents & (POLLOUT | POLLERR | POLLHUP)) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(sock.Fd(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 || ((revents & (POLLERR | POLLHUP)) && !(revents & POLLOUT))) {
                sock.OnConnectFailed();
            } else {
                sock.OnConnected();
            }
        }
        return;
    }
    if (sock.Listening()) {
        if (revents & POLLIN) {
            sock.OnAccept();
        } else if (revents & POLLERR) {
            sock.OnClose();
        }
        return;
    }
    if (revents & POLLIN) {
        if (sock.OnReadable(m_recvBuffer.data(), m_recvBuffer.size()) == -1) {
            sock.OnClose();
            return;
        }
    } else if (revents & POLLOUT) {
        if (sock.OnWritable() == -1) {
            sock.OnClose();
            return;
        }
    }
    if ((revents & (POLLERR | POLLHUP)) && !(revents & POLLIN)) {
        sock.OnClose();
    }
}

}  // namespace tessali::net
