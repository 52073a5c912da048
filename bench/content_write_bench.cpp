// Writes SIZE bytes in PIECE-sized calls into a new file and prints the time and rate, either
// through a content file (positioned writes into a preallocated file, as the engine does) or
// through one mapped view per call (the alternative the engine does not use), into a
// preallocated or a sparse file. storage_bench.sh runs it beside dd.
//   content_write_bench pwrite|mmap|mmap-sparse FILE SIZE PIECE [--sync]

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/mirt_file.h"

namespace {

bool WriteMapped(const std::string& path, int64_t size, size_t piece, const std::vector<uint8_t>& data,
                 bool preallocate, bool sync) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = preallocate ? ::posix_fallocate(fd, 0, size) == 0 : ::ftruncate(fd, size) == 0;
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    for (int64_t pos = 0; ok && pos < size; pos += static_cast<int64_t>(piece)) {
        size_t len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), size - pos));
        int64_t start = pos / page * page;
        size_t span = static_cast<size_t>(pos - start) + len;
        void* view = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, start);
        if (view == MAP_FAILED) {
            ok = false;
            break;
        }
        std::memcpy(static_cast<uint8_t*>(view) + (pos - start), data.data(), len);
        ok = ::munmap(view, span) == 0;
    }
    if (ok && sync) {
        ok = ::fdatasync(fd) == 0;
    }
    ::close(fd);
    return ok;
}

bool WriteContentFile(const std::string& path, int64_t size, size_t piece, const std::vector<uint8_t>& data,
                      bool sync) {
    tessali::core::CMirtFile file(path, size, true);
    for (int64_t pos = 0; pos < size; pos += static_cast<int64_t>(piece)) {
        size_t len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), size - pos));
        if (file.WriteAt(pos, {data.data(), len}) != static_cast<int64_t>(len)) {
            return false;
        }
    }
    return !sync || file.Flush();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s pwrite|mmap|mmap-sparse FILE SIZE PIECE [--sync]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    const int64_t size = std::strtoll(argv[3], nullptr, 10);
    const size_t piece = std::strtoull(argv[4], nullptr, 10);
    const bool sync = argc > 5 && std::string(argv[5]) == "--sync";
    std::vector<uint8_t> data(piece);
    for (size_t i = 0; i < piece; ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    ::unlink(path.c_str());
    auto start = std::chrono::steady_clock::now();
    bool ok;
    if (mode == "pwrite") {
        ok = WriteContentFile(path, size, piece, data, sync);
    } else if (mode == "mmap" || mode == "mmap-sparse") {
        ok = WriteMapped(path, size, piece, data, mode == "mmap", sync);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "write failed\n");
        return 1;
    }
    std::printf("%s %.3f s %.2f GB/s\n", mode.c_str(), seconds, static_cast<double>(size) / seconds / 1e9);
    return 0;
}
