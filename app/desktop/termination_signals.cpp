#include "app/desktop/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace tessali::app {
namespace {

int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}

}  // namespace

CTerminationSignals::CTerminationSignals(std::function<void(int)> onSignal)
    : m_onSignal(std::move(onSignal)) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

CTerminationSignals::~CTerminationSignals() {
    for (int s : kSignals) std::signal(s, SIG_DFL);
    delete m_notifier;
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void CTerminationSignals::Drain() {
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        if (m_onSignal)
            m_onSignal(byte);
    }
}

}  // namespace tessali::app
