#include "app/records/manifest.h"

#include <openssl/evp.h>
#include <tinyxml2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/platform/file.h"
#include "engine/platform/text_convert.h"

namespace tessali::app {
namespace {

// Names the completion event of each manifest fetch of the process.
std::atomic<unsigned> g_fetchCounter{0};

std::string Attribute(const tinyxml2::XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v != nullptr ? v : "";
}

int64_t DecimalAttribute64(const tinyxml2::XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v != nullptr ? std::strtoll(v, nullptr, 10) : 0;
}

int DecimalAttribute(const tinyxml2::XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v != nullptr ? static_cast<int>(std::strtol(v, nullptr, 10)) : 0;
}

bool LoadDocument(const std::string& path, tinyxml2::XMLDocument& doc) {
    auto bytes = platform::ReadWholeFile(path, kMaxBodyBytes);
    return bytes && doc.Parse(bytes->data(), bytes->size()) == tinyxml2::XML_SUCCESS &&
           doc.RootElement() != nullptr;
}

// Loads `source`, stamps its root and writes it to `cachePath`; false (cache untouched) when
// `source` is not an XML document.
bool StampCache(const std::string& source, const std::string& cachePath, const StampTime& now) {
    tinyxml2::XMLDocument doc;
    if (!LoadDocument(source, doc)) {
        return false;
    }
    doc.RootElement()->SetAttribute("update", FormatCacheStamp(now).c_str());
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return platform::WriteFileAtomically(cachePath, std::string_view(printer.CStr(), printer.CStrSize() - 1));
}

}  // namespace

std::string ManifestUrl(std::string_view baseUrl) {
    std::string url(baseUrl);
    url += kManifestFileName;
    return url;
}

std::string UrlHash(std::string_view url) {
    std::string bytes = platform::Utf8ToAnsi(url);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    std::string out;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), "%02X", digest[i]);
        out += pair;
    }
    return out;
}

bool IsSafeFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos;
}

bool ManifestNeedsRefresh(const std::string& cachePath, const StampTime& now) {
    tinyxml2::XMLDocument doc;
    if (!LoadDocument(cachePath, doc)) {
        return true;
    }
    const char* stamp = doc.RootElement()->Attribute("update");
    return stamp == nullptr || *stamp == '\0' || StampNeedsRefresh(stamp, now);
}

bool RefreshManifestCache(std::string_view baseUrl, const std::string& cachePath,
                          const std::function<StampTime()>& now, const FetchOptions& options) {
    if (!ManifestNeedsRefresh(cachePath, now())) {
        return true;
    }
    // The answer lands beside the cache and replaces it only once it reads as a document: an empty
    // or garbled answer from the server must not destroy the copy that still works.
    const std::string arrived = cachePath + ".new";
    platform::RemoveFile(arrived);
    CManifestFetch fetch("download" + std::to_string(g_fetchCounter++));
    fetch.SetOptions(options);
    fetch.Prepare(ManifestUrl(baseUrl), arrived);
    fetch.Start();
    if (!fetch.Wait(options.overallTimeoutMs)) {
        fetch.Cancel();
    }
    bool stamped = false;
    if (fetch.Succeeded()) {
        stamped = StampCache(fetch.NotModified() ? cachePath : arrived, cachePath, now());
    }
    fetch.Stop();
    platform::RemoveFile(arrived);
    return stamped;
}

int ReadManifest(const std::string& cachePath, Manifest& out) {
    out = Manifest{};
    tinyxml2::XMLDocument doc;
    if (!LoadDocument(cachePath, doc)) {
        return 0;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    out.title = Attribute(root, "title");
    out.folderName = Attribute(root, "floder");
    out.gameLink = Attribute(root, "g7_url");
    out.purchaseLink = Attribute(root, "buygame_url");
    out.guideLink = Attribute(root, "gameraider_url");
    for (const auto* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (std::strcmp(child->Name(), "download") == 0) {
            ManifestEntry entry;
            entry.fileName = Attribute(child, "filename");
            if (!IsSafeFileName(entry.fileName)) {
                continue;  // a server-given name must never place a file outside the download folder
            }
            entry.hash = Attribute(child, "hash");
            entry.httpUrl = Attribute(child, "http_url");
            entry.size = DecimalAttribute64(child, "size");
            entry.description = Attribute(child, "description");
            entry.version = Attribute(child, "version");
            entry.complete = DecimalAttribute(child, "complete");
            entry.redshow = DecimalAttribute(child, "redshow");
            if (entry.hash.empty()) {
                entry.hash = UrlHash(entry.httpUrl);
            }
            out.entries.push_back(std::move(entry));
        } else if (std::strcmp(child->Name(), "image") == 0) {
            for (const auto* img = child->FirstChildElement(); img != nullptr;
                 img = img->NextSiblingElement()) {
                out.images.push_back({Attribute(img, "image_url"),
                                      Attribute(img, "http_url"),
                                      Attribute(img, "description"),
                                      {}});
            }
        }
    }
    return 1;
}

void KeepShownItems(Manifest& manifest) {
    if (manifest.images.size() > kManifestShownItems) {
        manifest.images.resize(kManifestShownItems);
    }
    if (manifest.entries.size() > kManifestShownItems) {
        manifest.entries.resize(kManifestShownItems);
    }
}

}  // namespace tessali::app
