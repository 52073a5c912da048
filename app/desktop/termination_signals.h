// CTerminationSignals: SIGTERM, SIGINT and SIGHUP (a session ending, a service manager, a
// terminal) become a call on the GUI thread, so the program closes as from its tray menu: the
// record is written and the engine stops. The handler only writes one byte to a pipe that a
// socket notifier watches. One instance per process, created on the GUI thread.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace tessali::app {

class CTerminationSignals : public QObject {
public:
    explicit CTerminationSignals(std::function<void(int signal)> onSignal);
    ~CTerminationSignals() override;
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;

private:
    void Drain();

    std::function<void(int)> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace tessali::app
