#include "common/fakes/faulty_disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace tessali::test {
namespace {

// The path an open descriptor stands for ("" when unknown).
std::string PathOfFd(int fd) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int64_t SizeOfFd(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

}  // namespace

CFaultyDisk::CFaultyDisk() {
    platform::SetFileFaults(this);
}

CFaultyDisk::~CFaultyDisk() {
    platform::SetFileFaults(nullptr);
}

void CFaultyDisk::Fail(platform::FileOp op, const std::string& pathPart, int error, int skip, int times) {
    std::lock_guard lock(m_lock);
    m_rules.push_back({Rule::kFail, op, pathPart, error, skip, times, 0});
}

void CFaultyDisk::Fill(const std::string& folder) {
    std::lock_guard lock(m_lock);
    m_rules.push_back({Rule::kFull, platform::FileOp::kWrite, folder, ENOSPC, 0, -1, 0});
}

void CFaultyDisk::CutShort(const std::string& pathPart, int64_t length, int afterWrites) {
    std::lock_guard lock(m_lock);
    m_rules.push_back({Rule::kCut, platform::FileOp::kWrite, pathPart, 0, afterWrites, 1, length});
}

void CFaultyDisk::Heal() {
    std::lock_guard lock(m_lock);
    m_rules.clear();
}

int CFaultyDisk::Faults() const {
    std::lock_guard lock(m_lock);
    return m_faults;
}

bool CFaultyDisk::Matches(const Rule& rule, platform::FileOp op, const std::string& path) {
    if (rule.kind == Rule::kFull) {
        return (op == platform::FileOp::kWrite || op == platform::FileOp::kExtend) &&
               path.rfind(rule.path, 0) == 0;
    }
    return rule.op == op && path.find(rule.path) != std::string::npos;
}

int CFaultyDisk::Before(const platform::FileOpCall& call) {
    const std::string path = call.path != nullptr ? *call.path : PathOfFd(call.fd);
    std::lock_guard lock(m_lock);
    for (Rule& rule : m_rules) {
        if (rule.times == 0 || !Matches(rule, call.op, path)) {
            continue;
        }
        if (rule.kind == Rule::kFull) {
            const int64_t size = SizeOfFd(call.fd);
            const int64_t end =
                call.op == platform::FileOp::kWrite ? call.position + call.length : call.length;
            if (end > size) {
                ++m_faults;
                return ENOSPC;
            }
            continue;
        }
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.times > 0) {
            --rule.times;
        }
        ++m_faults;
        if (rule.kind == Rule::kCut) {
            if (::truncate(path.c_str(), rule.length) != 0) {
                return errno;
            }
            continue;
        }
        return rule.error;
    }
    return 0;
}

}  // namespace tessali::test
