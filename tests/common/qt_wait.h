// Waiting for a condition in Qt tests: the shared wait, with Qt's events (timers, queued calls,
// sockets, D-Bus replies, deferred deletes) run between polls, since what the test waits for
// usually happens in them. Header only: the shared test library itself does not link Qt.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>

#include "common/wait_until.h"

namespace tessali::test {

// True as soon as `done` holds, false once `timeoutMs` have passed.
inline bool WaitUntilWithEvents(const std::function<bool()>& done, int timeoutMs = 10000) {
    return WaitUntil(done, timeoutMs, 5, [](int ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(static_cast<unsigned long>(ms));
    });
}

}  // namespace tessali::test
