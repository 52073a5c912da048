#include "app/fetch/http_fetch.h"

#include <cstdio>
#include <vector>

#include "app/fetch/http_request.h"
#include "app/fetch/http_url.h"
#include "engine/platform/file.h"
#include "engine/platform/text_convert.h"

namespace tessali::app {
namespace {

enum class Kind { kManifest, kPicture };

// One fetch over one or more connections (one per redirect hop), all to the first address.
class CTransfer {
public:
    CTransfer(Kind kind, const FetchOptions& options, const std::atomic<bool>* cancel, CSocketSlot* slot)
        : m_kind(kind),
          m_options(options),
          m_cancel(cancel),
          m_socket(slot),
          m_scratch(kReceiveBufferBytes) {}

    FetchResult Run(std::string_view url, std::string_view modifiedSince);

private:
    enum class Got { kData, kClosed, kFailed };

    bool Cancelled() const { return m_cancel != nullptr && m_cancel->load(); }
    // Records why the transfer failed (the first reason wins) and gives the failed result.
    FetchResult Fail(std::string why) {
        if (m_error.empty()) {
            m_error = std::move(why);
        }
        FetchResult r;
        r.error = Cancelled() ? "cancelled" : m_error;
        return r;
    }
    std::string CapText() const { return std::to_string(m_options.maxBodyBytes) + "-byte cap"; }
    // Appends at most `limit` bytes of one receive to `out`. Time-outs are repeated for the
    // manifest until cancelled and end a picture fetch.
    Got ReceiveInto(std::string& out, size_t limit);
    bool ReadHead(std::string& head);
    bool ReadLength(uint64_t length, std::string& body);
    bool ReadChunked(std::string& body);
    bool ReadUntilClose(std::string& body);

    const Kind m_kind;
    const FetchOptions m_options;
    const std::atomic<bool>* m_cancel;
    CHttpSocket m_socket;
    std::vector<char> m_scratch;
    std::string m_buffered;  // received and not yet consumed
    std::string m_error;
};

CTransfer::Got CTransfer::ReceiveInto(std::string& out, size_t limit) {
    while (true) {
        if (Cancelled()) {
            return Got::kFailed;
        }
        size_t got = 0;
        auto rc = m_socket.Receive(m_scratch.data(), std::min(limit, m_scratch.size()), got);
        if (Cancelled()) {
            return Got::kFailed;
        }
        switch (rc) {
            case CHttpSocket::Recv::kData:
                out.append(m_scratch.data(), got);
                return Got::kData;
            case CHttpSocket::Recv::kClosed:
                return Got::kClosed;
            case CHttpSocket::Recv::kTimeout:
                if (m_kind == Kind::kManifest) {
                    continue;
                }
                return Got::kFailed;
            case CHttpSocket::Recv::kError:
                return Got::kFailed;
        }
    }
}

bool CTransfer::ReadHead(std::string& head) {
    m_buffered.clear();
    size_t end;
    while ((end = FindHeadEnd(m_buffered)) == std::string::npos) {
        if (m_buffered.size() >= kReceiveBufferBytes) {
            m_error = "answer head larger than the receive buffer";
            return false;
        }
        if (ReceiveInto(m_buffered, kReceiveBufferBytes - m_buffered.size()) != Got::kData) {
            return false;
        }
    }
    head = m_buffered.substr(0, end - 2);
    m_buffered.erase(0, end);
    return true;
}

bool CTransfer::ReadLength(uint64_t length, std::string& body) {
    if (length > m_options.maxBodyBytes) {
        m_error = "Content-Length " + std::to_string(length) + " is above the " + CapText();
        return false;
    }
    body.reserve(length);
    body.assign(m_buffered, 0, std::min<size_t>(length, m_buffered.size()));
    m_buffered.clear();
    while (body.size() < length) {
        if (ReceiveInto(body, length - body.size()) != Got::kData) {
            body.clear();
            return false;
        }
    }
    return true;
}

bool CTransfer::ReadChunked(std::string& body) {
    body.clear();
    while (true) {
        ChunkSizeLine line = ParseChunkSizeLine(m_buffered, m_options.maxBodyBytes - body.size());
        if (line.kind == ChunkSizeLine::kMalformed) {
            m_error = "chunked body malformed or above the " + CapText();
            return false;
        }
        if (line.kind == ChunkSizeLine::kNeedMore) {
            if (ReceiveInto(m_buffered, kReceiveBufferBytes) != Got::kData) {
                return false;
            }
            continue;
        }
        m_buffered.erase(0, line.consumed);
        if (line.size == 0) {
            break;
        }
        size_t take = std::min<size_t>(line.size, m_buffered.size());
        body.append(m_buffered, 0, take);
        m_buffered.erase(0, take);
        size_t missing = line.size - take;
        while (missing > 0) {
            size_t before = body.size();
            if (ReceiveInto(body, missing) != Got::kData) {
                return false;
            }
            missing -= body.size() - before;
        }
        while (m_buffered.size() < 2) {
            if (ReceiveInto(m_buffered, kReceiveBufferBytes) != Got::kData) {
                return false;
            }
        }
        if (m_buffered.compare(0, 2, "\r\n") != 0) {
            return false;  // chunk data longer than its size line said
        }
        m_buffered.erase(0, 2);
    }
    // The body is complete; read past any trailer lines to the final empty line. A server that
    // closes before it has still sent everything that matters.
    while (true) {
        size_t end = m_buffered.find("\r\n");
        if (end == 0) {
            return true;
        }
        if (end != std::string::npos) {
            m_buffered.erase(0, end + 2);
            continue;
        }
        if (m_buffered.size() > kMaxChunkLineBytes) {
            return false;
        }
        Got got = ReceiveInto(m_buffered, kReceiveBufferBytes);
        if (got == Got::kClosed) {
            return true;
        }
        if (got == Got::kFailed) {
            return !Cancelled();
        }
    }
}

bool CTransfer::ReadUntilClose(std::string& body) {
    body = std::move(m_buffered);
    m_buffered.clear();
    while (true) {
        if (body.size() > m_options.maxBodyBytes) {
            m_error = "body is above the " + CapText();
            return false;
        }
        Got got = ReceiveInto(body, m_options.maxBodyBytes + 1 - body.size());
        if (got == Got::kClosed) {
            return true;
        }
        // A reset or failure cannot be told from a cut-off body: it ends without one.
        if (got == Got::kFailed) {
            return false;
        }
    }
}

FetchResult CTransfer::Run(std::string_view url, std::string_view modifiedSince) {
    FetchResult result;
    std::string wire = platform::Utf8ToAnsi(url);
    size_t maxUrl = m_kind == Kind::kManifest ? kMaxManifestUrlBytes : kMaxPictureUrlBytes;
    if (wire.size() > maxUrl) {
        return Fail("URL longer than " + std::to_string(maxUrl) + " bytes");
    }
    auto split = SplitHttpUrl(wire);
    if (!split) {
        return Fail("not an http URL");
    }
    auto address = ResolveHttpHost(*split);
    if (!address) {
        return Fail("host does not resolve");
    }
    std::string path = split->path;
    std::optional<HttpAnswerHead> head;
    for (int hop = 0;; ++hop) {
        const std::atomic<bool>* cancel = m_kind == Kind::kManifest ? m_cancel : nullptr;
        if (!m_socket.Connect(*address, m_options.receiveTimeoutMs, 0, m_options.connectTimeoutMs, cancel)) {
            return Fail("connect failed");
        }
        std::string request = m_kind == Kind::kManifest
                                  ? BuildManifestRequest(path, split->hostPart, modifiedSince)
                                  : BuildPictureRequest(path, split->hostPart);
        std::string headText;
        if (!m_socket.SendAll(request) || !ReadHead(headText)) {
            return Fail("no answer head");
        }
        head = ParseAnswerHead(headText);
        if (!head) {
            return Fail("unreadable answer head");
        }
        if (m_kind == Kind::kManifest && head->status == 304) {
            result.outcome = Cancelled() ? FetchResult::kFailed : FetchResult::kNotModified;
            return result;
        }
        if (!head->IsRedirect()) {
            break;
        }
        const std::string* location = head->Find("Location");
        if (location == nullptr || location->empty()) {
            return Fail("redirect without a Location");
        }
        if (hop + 1 > kMaxRedirects) {
            return Fail("more than " + std::to_string(kMaxRedirects) + " redirects");
        }
        path = RedirectPath(*location);
        m_socket.Close();
    }
    if (head->status != 200) {
        return Fail("answer status " + std::to_string(head->status));
    }
    bool coded = false;
    bool chunked = false;
    if (m_kind == Kind::kManifest) {
        if (const std::string* v = head->Find("Content-Encoding")) {
            coded = ValueStartsWith(*v, "gzip") || ValueStartsWith(*v, "deflate");
        }
        if (const std::string* v = head->Find("Transfer-Encoding")) {
            chunked = ValueStartsWith(*v, "chunked");
        }
        if (const std::string* v = head->Find("Last-Modified")) {
            result.lastModified = *v;
        }
    }
    std::optional<uint64_t> length;
    if (const std::string* v = head->Find("Content-Length"); v != nullptr && !chunked) {
        length = ParseContentLength(*v);
        if (!length) {
            return Fail("unreadable Content-Length");  // no length to trust
        }
    }
    std::string body;
    bool ok;
    if (chunked) {
        // Chunked framing wins over a Content-Length sent alongside it.
        ok = ReadChunked(body);
    } else if (length) {
        ok = ReadLength(*length, body);
    } else {
        ok = ReadUntilClose(body);
        coded = false;  // kept as received
    }
    if (!ok || Cancelled()) {
        return Fail("body cut off");
    }
    if (coded) {
        std::string decoded;
        if (!InflateBody(body, m_options.maxBodyBytes, decoded)) {
            return Fail("gzip body does not inflate within the " + CapText());
        }
        body = std::move(decoded);
    }
    result.outcome = FetchResult::kBody;
    result.body = std::move(body);
    return result;
}

}  // namespace

FetchResult FetchManifestBody(std::string_view url, std::string_view modifiedSince,
                              const FetchOptions& options, const std::atomic<bool>* cancel,
                              CSocketSlot* slot) {
    CTransfer transfer(Kind::kManifest, options, cancel, slot);
    return transfer.Run(url, modifiedSince);
}

FetchResult FetchPictureBody(std::string_view url, const FetchOptions& options) {
    CTransfer transfer(Kind::kPicture, options, nullptr, nullptr);
    return transfer.Run(url, {});
}

bool FetchPicture(std::string_view url, const std::string& localPath, const FetchOptions& options) {
    if (url.empty()) {
        return false;
    }
    FetchResult result = FetchPictureBody(url, options);
    if (result.outcome != FetchResult::kBody) {
        return false;
    }
    if (result.body.empty()) {
        return true;
    }
    return platform::WriteFileAtomically(localPath, result.body);
}

bool SendBeacon(std::string_view url, int timeoutMs) {
    std::string wire = platform::Utf8ToAnsi(url);
    size_t scheme = wire.find("http://");
    if (scheme == std::string::npos || wire.find('/', scheme + 7) == std::string::npos) {
        return false;
    }
    auto split = SplitHttpUrl(wire);
    if (!split) {
        return false;
    }
    auto address = ResolveHttpHost(*split);
    if (!address) {
        return false;
    }
    CHttpSocket socket;
    if (!socket.Connect(*address, timeoutMs, timeoutMs, timeoutMs)) {
        return false;
    }
    return socket.SendAll(BuildBeaconRequest(split->path, split->hostPart), 16384);
}

CManifestFetch::CManifestFetch(std::string name) : m_name(std::move(name)) {}

CManifestFetch::~CManifestFetch() {
    Stop();
}

void CManifestFetch::Prepare(std::string url, std::string localPath) {
    m_cancel = true;
    m_socket.Abort();
    // A worker still running reads the fields below: let it end before they change.
    m_done.Wait();
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_url = std::move(url);
    m_path = std::move(localPath);
    std::lock_guard lock(m_textLock);
    m_modifiedSince = std::string(kInitialModifiedSince);
}

void CManifestFetch::Start() {
    Stop();
    if (m_url.empty()) {
        return;
    }
    m_done.ResetEvent();
    m_worker = std::thread([this] { Run(); });
}

bool CManifestFetch::Wait(int64_t timeoutMs) {
    return m_done.Wait(timeoutMs);
}

void CManifestFetch::Cancel() {
    m_cancel = true;
    m_socket.Abort();
}

void CManifestFetch::Stop() {
    Cancel();
    m_done.Wait();
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_success = false;
    m_cancel = false;
}

std::string CManifestFetch::ModifiedSince() const {
    std::lock_guard lock(m_textLock);
    return m_modifiedSince;
}

std::string CManifestFetch::Error() const {
    std::lock_guard lock(m_textLock);
    return m_error;
}

void CManifestFetch::Run() {
    m_state = kRunning;
    m_notModified = false;
    FetchResult result = FetchManifestBody(m_url, ModifiedSince(), m_options, &m_cancel, &m_socket);
    {
        std::lock_guard lock(m_textLock);
        if (!result.lastModified.empty()) {
            m_modifiedSince = result.lastModified;
        }
        m_error = result.error;
    }
    bool success = false;
    if (result.outcome == FetchResult::kBody) {
        success = !m_path.empty() && !m_cancel && platform::WriteFileAtomically(m_path, result.body);
    } else if (result.outcome == FetchResult::kNotModified) {
        m_notModified = true;
        success = !m_cancel;
    }
    if (!success && result.outcome != FetchResult::kFailed) {
        std::lock_guard lock(m_textLock);
        m_error = m_cancel ? "cancelled" : "the body could not be written to its file";
    }
    m_success = success;
    m_state = success ? kFinished : kFinishedEmpty;
    m_done.Set();
}

}  // namespace tessali::app
