#include "nginx_server.h"

#include "common/child_process.h"
#include "ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace tessali::test {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr int kStartAttempts = 3;
constexpr int kStartWaitMs = 5000;


bool Connects(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

CNginxServer::CNginxServer(std::string serverDirectives, std::string httpDirectives)
    : m_server(std::move(serverDirectives)), m_http(std::move(httpDirectives)) {
    std::filesystem::create_directories(DocRoot());
    std::filesystem::create_directories(m_dir.Path() + "temp");
}

CNginxServer::~CNginxServer() {
    Stop();
}

bool CNginxServer::Available() {
    return ::access(kNginx, X_OK) == 0;
}

std::string CNginxServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string CNginxServer::ErrorLog() const {
    return ReadFile(m_dir.Path() + "error.log");
}

std::string CNginxServer::AccessLog() const {
    std::error_code ec;
    return std::filesystem::exists(m_dir.Path() + "access.log", ec) ? ReadFile(m_dir.Path() + "access.log")
                                                                    : "";
}

bool CNginxServer::WaitForAccessLog(const std::string& text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (AccessLog().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool CNginxServer::Start() {
    const std::string& d = m_dir.Path();
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        m_port = FreeLoopbackPort();
        std::string temp = d + "temp/";
        WriteFile(d + "nginx.conf",
                  "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                  "pid " +
                      d + "nginx.pid;\nerror_log " + d +
                      "error.log info;\n"
                      "events { worker_connections 64; }\n"
                      "http {\n"
                      "  log_format tessali '$request $status';\n"
                      "  access_log " +
                      d +
                      "access.log tessali;\n"
                      "  client_body_temp_path " +
                      temp + "body;\n  proxy_temp_path " + temp +
                      "proxy;\n"
                      "  fastcgi_temp_path " +
                      temp + "fastcgi;\n  uwsgi_temp_path " + temp +
                      "uwsgi;\n"
                      "  scgi_temp_path " +
                      temp +
                      "scgi;\n"
                      "  types { text/xml xml; text/html html; image/png png; }\n"
                      "  default_type application/octet-stream;\n" +
                      m_http + "\n  server {\n    listen 127.0.0.1:" + std::to_string(m_port) +
                      ";\n    root " + DocRoot() + ";\n" + m_server + "\n  }\n}\n");
        pid_t pid =
            SpawnProcess({kNginx, "-p", d, "-c", d + "nginx.conf", "-e", d + "error.log"}, {}, "", "");
        if (pid < 0) {
            return false;
        }
        m_pid = pid;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;  // exited: most likely the port was taken in the meantime
                break;
            }
            if (Connects(m_port)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    return false;
}

void CNginxServer::Stop() {
    if (m_pid <= 0) {
        return;
    }
    StopProcess(m_pid);
    m_pid = -1;
}

}  // namespace tessali::test
