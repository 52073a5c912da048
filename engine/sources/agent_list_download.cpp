#include "engine/sources/agent_list_download.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/platform/deploy_config.h"
#include "engine/platform/http_head.h"

namespace tessali::sources {
namespace {

class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// Beside the target rather than in the shared temporary folder: two engines downloading at
// once would share one "/tmp/Agent.ini", and a move across file systems fails.
std::string TempPathFor(const std::string& target) {
    return target + ".download";
}

}  // namespace

AgentListUrl SplitAgentListUrl(const std::string& url) {
    std::string_view rest = url;
    if (rest.starts_with("http://")) {
        rest.remove_prefix(7);
    }
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        return {std::string(rest), {}};
    }
    return {std::string(rest.substr(0, slash)), std::string(rest.substr(slash + 1))};
}

std::string AgentListRequest(const AgentListUrl& url) {
    return "GET /" + url.path +
           " HTTP/1.1\r\nAccept: application nd.ms-powerpoint, application/msword, */*\r\n"
           "Accept-Language: zh-cn\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)\r\n"
           "Host: " +
           url.hostPart + "\r\nConnection: Keep-Alive\r\n\r\n";
}

bool DownloadAgentList(const std::string& url, const std::string& targetPath,
                       const std::function<uint32_t(const std::string&)>& resolve) {
    AgentListUrl parts = SplitAgentListUrl(url);
    platform::HostPort hp = platform::ParseHostPort(parts.hostPart);
    uint32_t addr = resolve ? resolve(hp.host) : 0;
    if (addr == 0) {
        return false;
    }
    CFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0) {
        return false;
    }
    timeval tv{kAgentListReceiveTimeoutMs / 1000, 0};
    setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(hp.port);
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return false;
    }
    std::string request = AgentListRequest(parts);
    if (send(sock.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return false;
    }

    // The head (and the start of the body) must come within the first 16 384 bytes.
    platform::HttpHeadOptions options;
    options.maxHeadBytes = kAgentListChunkBytes;
    std::vector<char> buf(kAgentListChunkBytes);
    size_t have = 0;
    platform::HttpHeadEnd end;
    while (have < buf.size()) {
        ssize_t n = recv(sock.Get(), buf.data() + have, buf.size() - have, 0);
        if (n <= 0) {
            break;
        }
        have += static_cast<size_t>(n);
        if ((end = platform::FindHttpHeadEnd(std::string_view(buf.data(), have), options)).kind ==
            platform::HttpHeadEnd::kFound) {
            break;
        }
    }
    if (end.kind != platform::HttpHeadEnd::kFound) {
        return false;
    }
    std::string_view seen(buf.data(), have);
    std::optional<platform::CHttpHead> head = platform::ReadHttpHead(seen.substr(0, end.bodyOffset), options);
    if (!head || head->Status() != 200) {
        return false;
    }
    std::string_view body = seen.substr(end.bodyOffset);
    // A length that is no number would write a wrong file and call it done.
    std::optional<size_t> contentLength;
    if (std::optional<std::string_view> value = head->Find("Content-Length")) {
        std::optional<uint64_t> n = platform::ParseHttpLength(*value, kMaxAgentListBytes);
        if (!n) {
            return false;
        }
        contentLength = static_cast<size_t>(*n);
    }

    std::string temp = TempPathFor(targetPath);
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    size_t written = 0;
    bool ok = true;
    auto write = [&](const char* data, size_t len) {
        if (contentLength && written + len > *contentLength) {
            len = *contentLength - written;
        }
        if (written + len > kMaxAgentListBytes || std::fwrite(data, 1, len, f) != len) {
            ok = false;
        }
        written += len;
    };
    write(body.data(), body.size());
    while (ok && (!contentLength || written < *contentLength)) {
        ssize_t n = recv(sock.Get(), buf.data(), buf.size(), 0);
        if (n <= 0) {
            // Short of the announced length this is a failure; without one it is the end.
            ok = !contentLength;
            break;
        }
        write(buf.data(), static_cast<size_t>(n));
    }
    if (std::fclose(f) != 0) {
        ok = false;
    }
    if (!ok) {
        std::remove(temp.c_str());
        return false;
    }
    std::remove(targetPath.c_str());
    if (std::rename(temp.c_str(), targetPath.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tessali::sources
