// The download manifest: what the manifest server offers (title, links, slide-show pictures and
// downloadable files), cached as "verdomarkelbane.xml" in the application-data folder and
// refreshed from the server when the cache is a day old. Filled once per run by the
// initialisation thread and read by the GUI thread only after that thread is done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/fetch/http_fetch.h"
#include "app/records/cache_stamp.h"

namespace tessali::app {

inline constexpr std::string_view kManifestFileName = "verdomarkelbane.xml";
// The main window shows at most this many pictures and files of a manifest.
inline constexpr size_t kManifestShownItems = 4;

struct ManifestImage {
    std::string pictureUrl;   // "image_url"
    std::string linkUrl;      // "http_url"
    std::string description;  // "description"
    std::string localFile;    // the picture's cache file, filled by the initialisation flow
};

struct ManifestEntry {
    std::string fileName;  // "filename"; never empty and never a path (unsafe entries are skipped)
    std::string hash;      // "hash", or the URL's MD5 (32 digits) when the manifest leaves it empty
    std::string httpUrl;   // "http_url"
    int64_t size = 0;      // "size", bytes
    std::string description;
    std::string version;  // entries with the same version belong together
    int complete = 0;     // non-zero: the full client
    int redshow = 0;      // non-zero: a small file fetched from its URL, shown in red and run
};

struct Manifest {
    std::string title;         // root "title"
    std::string folderName;    // root "floder" (kept, not used)
    std::string gameLink;      // root "g7_url"
    std::string purchaseLink;  // root "buygame_url"
    std::string guideLink;     // root "gameraider_url"
    std::vector<ManifestImage> images;
    std::vector<ManifestEntry> entries;
};

// The server's base URL (ending in '/') followed by the manifest's file name.
std::string ManifestUrl(std::string_view baseUrl);

// The hash of an entry without one: MD5 of the URL's ANSI bytes as 32 upper-case hex digits.
std::string UrlHash(std::string_view url);

// False for a name that could leave the download folder: empty, ".", "..", or with '/' or '\'.
bool IsSafeFileName(std::string_view name);

// True when the cache at `cachePath` does not load, has no stamp, or its stamp is a day old.
bool ManifestNeedsRefresh(const std::string& cachePath, const StampTime& now);

// Fetches the manifest when the cache needs it and stamps the cache after a successful fetch
// (a new body or "not modified"). True when the cache is fresh afterwards (stamped or still
// young); a failed fetch, or a new body that is not an XML document, leaves the cache as it was.
bool RefreshManifestCache(std::string_view baseUrl, const std::string& cachePath,
                          const std::function<StampTime()>& now = LocalNow, const FetchOptions& options = {});

// Reads the cache into `out` (cleared first): 1 when the file loaded, else 0 with `out` empty.
int ReadManifest(const std::string& cachePath, Manifest& out);

// Keeps only the pictures and files the main window shows.
void KeepShownItems(Manifest& manifest);

}  // namespace tessali::app
