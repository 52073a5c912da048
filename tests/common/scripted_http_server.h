// A loopback TCP server for HTTP tests that plays scripted answers, for what real servers will not
// send (bodies cut short, bad chunk sizes, answers that stop mid-header). Each accepted connection
// gets the next reply of the script (the default reply once the script is used up): its request
// head is recorded, then the reply's pieces are sent one by one with a short pause between them
// (so they arrive as separate receives), then the connection is closed or held open until the
// client goes away or the server stops. Runs one thread; its accessors are safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessali::test {

struct ScriptedReply {
    std::vector<std::string> pieces;
    bool holdOpen = false;  // keep the connection open after the last piece
    int pauseMs = 30;       // between two pieces
};

class CScriptedHttpServer {
public:
    CScriptedHttpServer();
    ~CScriptedHttpServer();
    CScriptedHttpServer(const CScriptedHttpServer&) = delete;
    CScriptedHttpServer& operator=(const CScriptedHttpServer&) = delete;

    uint16_t Port() const { return m_port; }
    std::string Url(const std::string& path = "/") const;  // "http://127.0.0.1:<port><path>"

    void AddReply(ScriptedReply reply);
    void AddReply(std::string whole) { AddReply(ScriptedReply{{std::move(whole)}}); }
    void SetDefaultReply(ScriptedReply reply);

    // Request heads received so far (up to and including the empty line), in arrival order.
    std::vector<std::string> Requests() const;
    // Waits until `count` requests arrived; false after `timeoutMs`.
    bool WaitForRequests(size_t count, int timeoutMs) const;

private:
    void Serve();
    void Answer(int fd);

    int m_listenFd = -1;
    int m_wakeFd = -1;
    uint16_t m_port = 0;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<ScriptedReply> m_script;
    size_t m_next = 0;
    ScriptedReply m_default;
    std::vector<std::string> m_requests;
    bool m_stop = false;
    std::thread m_thread;
};

// A GET answer with the given status line text, extra header lines (each ending in CR LF) and body,
// framed with Content-Length.
std::string HttpAnswer(const std::string& status, const std::string& headers, const std::string& body);

}  // namespace tessali::test
