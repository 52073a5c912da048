#include "engine/platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tessali::platform {

Event::Event(Reset reset, bool initiallySet) : m_set(initiallySet), m_manual(reset == Reset::kManual) {}

void Event::Set() {
    {
        std::lock_guard lock(m_lock);
        m_set = true;
    }
    if (m_manual) {
        m_cv.notify_all();
    } else {
        m_cv.notify_one();
    }
}

void Event::ResetEvent() {
    std::lock_guard lock(m_lock);
    m_set = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(m_lock);
    return m_set;
}

bool Event::Wait(int64_t timeoutMs) {
    std::unique_lock lock(m_lock);
    if (timeoutMs < 0) {
        m_cv.wait(lock, [this] { return m_set; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_set; })) {
        return false;
    }
    if (!m_manual) {
        m_set = false;
    }
    return true;
}

WakeFd::WakeFd() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) {
        throw std::runtime_error("eventfd failed");
    }
}

WakeFd::~WakeFd() {
    close(m_fd);
}

void WakeFd::Signal() {
    uint64_t one = 1;
    ssize_t n;
    do {
        n = write(m_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void WakeFd::Drain() {
    uint64_t value;
    while (read(m_fd, &value, sizeof value) > 0) {
    }
}

bool WakeFd::Wait(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p.revents & POLLIN)) {
        Drain();
        return true;
    }
    return false;
}

}  // namespace tessali::platform
