#include "engine/core/seed_builder.h"

#include <fcntl.h>

#include <cmath>
#include <ctime>
#include <vector>

#include "engine/core/sha1.h"
#include "engine/platform/file.h"
#include "engine/platform/text_convert.h"

namespace tessali::core {

uint32_t PieceLengthFor(int64_t contentSize) {
    if (contentSize <= 2 * 1024 * 1024) {
        return 16 * 1024;
    }
    auto c = static_cast<uint32_t>(std::sqrt(static_cast<float>(contentSize / 4096)));
    for (uint32_t bit = 4096; bit != 0; bit >>= 1) {
        if (c & bit) {
            return bit * 1024;
        }
    }
    return 16 * 1024;
}

namespace {

void AppendText(std::string& out, std::string_view key, std::string_view value) {
    out += key;
    out += std::to_string(value.size());
    out += ':';
    out += value;
}

}  // namespace

std::string SeedBytes(int64_t size, std::string_view nameBytes, uint32_t pieceLength,
                      std::string_view pieceHashes, std::string_view trackerUrl, std::string_view adUrlBytes,
                      uint64_t creationDate) {
    std::string out;
    out.reserve(pieceHashes.size() + nameBytes.size() + trackerUrl.size() + adUrlBytes.size() + 160);
    out += "d8:encoding3:GBK4:infod";
    out += "6:lengthi" + std::to_string(size) + "e";
    AppendText(out, "4:name", nameBytes);
    out += "12:piece lengthi" + std::to_string(pieceLength) + "e";
    AppendText(out, "6:pieces", pieceHashes);
    AppendText(out, "e8:announce", trackerUrl);
    AppendText(out, "5:adurl", adUrlBytes);
    AppendText(out, "13:creation date", std::to_string(creationDate));
    out += 'e';
    return out;
}

int BuildSeedForFile(const SeedBuildRequest& request, SeedBuildResult* result) {
    if (request.displayName.find('.') == std::string::npos) {
        return -1;
    }
    platform::File file;
    if (!file.Open(request.filePath, platform::File::kRead)) {
        return -1;
    }
    const int64_t size = file.Size();
    if (size <= 0 || size >= kMaxShareFileSize) {
        return -1;
    }
    ::posix_fadvise(file.Fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const uint32_t pieceLength = PieceLengthFor(size);
    const uint64_t pieceCount = (static_cast<uint64_t>(size) + pieceLength - 1) / pieceLength;
    if (pieceCount > UINT32_MAX) {
        return -1;
    }

    std::string hashes(pieceCount * 20, '\0');
    std::vector<uint8_t> buffer(pieceLength);
    CSha1 sha;
    int64_t position = 0;
    for (uint64_t piece = 0; piece < pieceCount; ++piece) {
        if (request.keepGoing != nullptr && !request.keepGoing->load()) {
            return -1;
        }
        auto want = static_cast<size_t>(std::min<int64_t>(pieceLength, size - position));
        int64_t got = file.ReadAt(position, {buffer.data(), want});
        if (got != static_cast<int64_t>(want)) {
            return -1;  // shrank or failed while we read it
        }
        sha.Reset();
        sha.Add({buffer.data(), want});
        Sha1Digest digest = sha.Final();
        std::copy(digest.begin(), digest.end(), hashes.begin() + static_cast<std::ptrdiff_t>(piece * 20));
        position += static_cast<int64_t>(want);
    }
    file.Close();

    uint64_t date = request.creationDate ? *request.creationDate : static_cast<uint64_t>(std::time(nullptr));
    std::string seed = SeedBytes(size, platform::Utf8ToAnsi(request.seedName), pieceLength, hashes,
                                 request.trackerUrl, platform::Utf8ToAnsi(request.adUrl), date);
    if (!platform::WriteFileAtomically(request.seedPath, seed)) {
        return -1;
    }
    if (result != nullptr) {
        result->size = size;
        result->pieceLength = pieceLength;
        result->pieceCount = static_cast<uint32_t>(pieceCount);
        result->piecesHash =
            TaskHash{Sha1Of({reinterpret_cast<const uint8_t*>(hashes.data()), hashes.size()})};
    }
    return 0;
}

}  // namespace tessali::core
