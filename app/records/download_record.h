// The local download record "G7DownLoadInfo.xml": where the user downloads to, how far the last
// full-client download got and which of its files were chosen, so a restarted program can offer
// to continue. Read and written on the GUI thread only. A write replaces the file through a
// temporary file and a rename, so a crash mid-write leaves the old record or the new one.
//
// Layout written (CR LF line ends, one tab per nesting level):
//   <?xml version='1.0' encoding='UTF-8'?>
//   <patchinfo>
//   \t<download path="..." process="N">
//   \t\t<down hash="..." name="..." size="N"/>
//   \t</download>
//   </patchinfo>
// An element without children is written in its empty form ("<download .../>").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessali::app {

inline constexpr std::string_view kRecordFileName = "G7DownLoadInfo.xml";
// The record a first write starts from when no readable file exists.
inline constexpr std::string_view kInitialRecordText =
    "<?xml version='1.0' encoding='UTF-8'?>\r\n<patchinfo>\r\n</patchinfo>";

struct RecordedFile {
    std::string hash;
    std::string name;
    int64_t size = 0;
};

struct DownloadRecord {
    int progress = 0;  // percent of the full client reached ("process")
    std::string path;  // the download folder, with trailing '/'
    std::vector<RecordedFile> files;
};

// 1 when the file loaded and holds a "download" element (`out` filled), else 0.
int ReadDownloadRecord(const std::string& path, DownloadRecord& out);

// The bytes a write produces: `existing` (the current file, when it parses) keeps its declaration
// and root element; everything under the root is replaced by `record`.
std::string RecordText(const std::optional<std::string>& existing, const DownloadRecord& record);

// Writes the record; always 1 (write errors are not reported), as callers expect.
int WriteDownloadRecord(const std::string& path, const DownloadRecord& record);

}  // namespace tessali::app
