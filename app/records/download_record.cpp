#include "app/records/download_record.h"

#include <tinyxml2.h>

#include <cstdlib>
#include <cstring>

#include "app/records/program_log.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

// A record is a few hundred bytes; anything much larger is not ours to load.
constexpr int64_t kMaxRecordBytes = 4 << 20;

std::string Attribute(const tinyxml2::XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v != nullptr ? v : "";
}

void AppendEscaped(std::string& out, std::string_view value) {
    for (char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            // Attribute-value normalisation would turn these into spaces on the next read.
            case '\r':
                out += "&#xD;";
                break;
            case '\n':
                out += "&#xA;";
                break;
            case '\t':
                out += "&#x9;";
                break;
            default:
                out += c;
        }
    }
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    AppendEscaped(out, value);
    out += '"';
}

void AppendIndent(std::string& out, int depth) {
    out += "\r\n";
    out.append(static_cast<size_t>(depth), '\t');
}

bool Parse(const std::string& bytes, tinyxml2::XMLDocument& doc) {
    return doc.Parse(bytes.data(), bytes.size()) == tinyxml2::XML_SUCCESS && doc.RootElement() != nullptr;
}

}  // namespace

int ReadDownloadRecord(const std::string& path, DownloadRecord& out) {
    auto bytes = platform::ReadWholeFile(path, kMaxRecordBytes);
    tinyxml2::XMLDocument doc;
    if (!bytes || !Parse(*bytes, doc)) {
        return 0;
    }
    const tinyxml2::XMLElement* download = doc.RootElement()->FirstChildElement("download");
    if (download == nullptr) {
        return 0;
    }
    out = DownloadRecord{};
    out.path = Attribute(download, "path");
    const char* process = download->Attribute("process");
    out.progress = process != nullptr ? static_cast<int>(std::strtol(process, nullptr, 10)) : 0;
    for (const auto* f = download->FirstChildElement(); f != nullptr; f = f->NextSiblingElement()) {
        const char* size = f->Attribute("size");
        out.files.push_back(
            {Attribute(f, "hash"), Attribute(f, "name"), size ? std::strtoll(size, nullptr, 10) : 0});
    }
    return 1;
}

std::string RecordText(const std::optional<std::string>& existing, const DownloadRecord& record) {
    tinyxml2::XMLDocument doc;
    if (!existing || !Parse(*existing, doc)) {
        doc.Clear();
        Parse(std::string(kInitialRecordText), doc);
    }
    std::string out;
    // Nodes before the root (the declaration, comments) are kept, one per line.
    for (const auto* node = doc.FirstChild(); node != nullptr && node != doc.RootElement();
         node = node->NextSibling()) {
        if (node->ToDeclaration() != nullptr) {
            out += "<?";
            out += node->Value();
            out += "?>\r\n";
        } else if (node->ToComment() != nullptr) {
            out += "<!--";
            out += node->Value();
            out += "-->\r\n";
        }
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    out += '<';
    out += root->Name();
    for (const auto* a = root->FirstAttribute(); a != nullptr; a = a->Next()) {
        AppendAttribute(out, a->Name(), a->Value());
    }
    out += '>';
    AppendIndent(out, 1);
    out += "<download";
    AppendAttribute(out, "path", record.path);
    AppendAttribute(out, "process", std::to_string(record.progress));
    if (record.files.empty()) {
        out += "/>";
    } else {
        out += '>';
        for (const auto& f : record.files) {
            AppendIndent(out, 2);
            out += "<down";
            AppendAttribute(out, "hash", f.hash);
            AppendAttribute(out, "name", f.name);
            AppendAttribute(out, "size", std::to_string(f.size));
            out += "/>";
        }
        AppendIndent(out, 1);
        out += "</download>";
    }
    AppendIndent(out, 0);
    out += "</";
    out += root->Name();
    out += '>';
    return out;
}

int WriteDownloadRecord(const std::string& path, const DownloadRecord& record) {
    if (!platform::WriteFileAtomically(path,
                                       RecordText(platform::ReadWholeFile(path, kMaxRecordBytes), record)))
        ProgramWarning("the download record " + path + " could not be written");
    return 1;
}

}  // namespace tessali::app
