// A real nginx for HTTP tests, started on 127.0.0.1 with a generated configuration, prefix, pid and
// error log in a temporary folder of its own, and stopped when the object goes away. It runs in the
// foreground as one process (no master, no daemon), so it works as root and as a plain user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "temp_dir.h"

namespace tessali::test {

class CNginxServer {
public:
    // `serverDirectives` go inside the server block (locations, gzip settings, ...); `httpDirectives`
    // inside the http block. Documents are served from DocRoot().
    explicit CNginxServer(std::string serverDirectives = {}, std::string httpDirectives = {});
    ~CNginxServer();
    CNginxServer(const CNginxServer&) = delete;
    CNginxServer& operator=(const CNginxServer&) = delete;

    static bool Available();  // the nginx program is installed

    // Writes the configuration and starts nginx; false when it did not start answering in time
    // (ErrorLog() tells why).
    bool Start();
    void Stop();

    uint16_t Port() const { return m_port; }
    std::string Url(const std::string& path = "/") const;  // "http://127.0.0.1:<port><path>"
    std::string DocRoot() const { return m_dir.Path() + "www/"; }
    std::string ErrorLog() const;
    // One line per request served: "<request line> <status>".
    std::string AccessLog() const;
    // nginx logs a request once it has finished it, which may be after the client has read the
    // answer: waits up to timeoutMs for a line containing `text`.
    bool WaitForAccessLog(const std::string& text, int timeoutMs = 5000) const;

private:
    TempDir m_dir;
    std::string m_server;
    std::string m_http;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

}  // namespace tessali::test
