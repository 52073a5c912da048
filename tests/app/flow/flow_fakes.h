// Fakes for the download workflow's collaborators, shared by the workflow's and the window's
// tests: an engine and a desktop that record what they are asked and answer as told, and a
// manifest document builder. No Qt.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/flow/desktop_services.h"
#include "app/flow/download_engine.h"
#include "engine/platform/event.h"

namespace tessali::app::test {

class CFakeEngine : public IDownloadEngine {
public:
    struct Task {
        std::string path;
        std::string url;
        TaskProgress progress;
    };

    bool StartNetwork() override {
        std::lock_guard lock(m_lock);
        calls.push_back("network");
        return true;
    }
    int Init() override {
        if (holdInit)
            initGate.Wait();
        std::lock_guard lock(m_lock);
        calls.push_back("init");
        return initResult;
    }
    void Uninit() override {
        std::lock_guard lock(m_lock);
        calls.push_back("uninit");
    }
    int AddHashTask(const std::string& hash, const std::string& path) override {
        std::lock_guard lock(m_lock);
        calls.push_back("add " + hash + " " + path);
        if (tasks.count(hash))
            return -1;
        tasks[hash] = Task{path, {}, {}};
        return 0;
    }
    bool AddSeedTask(const std::string& url, const std::string& hash, const std::string& path) override {
        std::lock_guard lock(m_lock);
        calls.push_back("seed " + url + " " + hash + " " + path);
        if (tasks.count(hash))
            return true;
        tasks[hash] = Task{path, url, {}};
        return true;
    }
    bool QueryTask(const std::string& hash, TaskProgress& out) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(hash);
        if (it == tasks.end())
            return false;
        out = it->second.progress;
        return true;
    }
    void ControlTask(const std::string& hash, int code) override {
        std::lock_guard lock(m_lock);
        calls.push_back("control " + hash + " " + std::to_string(code));
        if (code == kTaskDelete)
            tasks.erase(hash);
    }

    void SetProgress(const std::string& hash, int64_t total, int64_t completed, int64_t rate = 0) {
        std::lock_guard lock(m_lock);
        tasks[hash].progress = TaskProgress{total, completed, rate};
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_lock);
        return calls;
    }
    int Count(const std::string& call) {
        int n = 0;
        for (const std::string& c : Calls()) n += c == call;
        return n;
    }
    int CountPrefix(const std::string& prefix) {
        int n = 0;
        for (const std::string& c : Calls()) n += c.rfind(prefix, 0) == 0;
        return n;
    }

    int initResult = 0;
    bool holdInit = false;
    platform::Event initGate{platform::Event::Reset::kManual, false};
    std::map<std::string, Task> tasks;
    std::vector<std::string> calls;

private:
    std::mutex m_lock;
};

class CFakeDesktop : public IDesktopServices {
public:
    int64_t FreeBytes(const std::string&) override { return freeBytes; }
    bool CanHoldLargeFiles(const std::string&) override { return largeFiles; }
    bool IsDriveRoot(const std::string& folder) override { return driveRoots.count(folder) != 0; }
    std::string ChooseFolder(QWidget*, const std::string& title) override {
        chooserTitles.push_back(title);
        return chosenFolder;
    }
    void OpenFile(const std::string& path) override { openedFiles.push_back(path); }
    void OpenFolder(const std::string& folder) override { openedFolders.push_back(folder); }
    void OpenUrl(const std::string& url) override { openedUrls.push_back(url); }
    bool TrayAvailable() override { return trayAvailable; }

    int64_t freeBytes = int64_t{50} << 30;
    bool largeFiles = true;
    std::set<std::string> driveRoots;
    std::string chosenFolder;
    bool trayAvailable = true;
    std::vector<std::string> chooserTitles, openedFiles, openedFolders, openedUrls;
};

struct EntrySpec {
    std::string fileName;
    std::string hash;
    int64_t size = 1000;
    int complete = 0;
    int redshow = 0;
    std::string version = "1";
    std::string httpUrl;
    std::string description;
};

// A manifest document with the given entries and pictures.
inline std::string ManifestXml(const std::vector<EntrySpec>& entries,
                               const std::vector<std::string>& pictureUrls = {},
                               const std::string& title = "Tessali Online") {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<patchlist title=\"" + title +
        "\" g7_url=\"http://game.example/\" buygame_url=\"\" gameraider_url=\"http://guide.example/\">\n";
    for (const EntrySpec& e : entries) {
        xml += "<download filename=\"" + e.fileName + "\" hash=\"" + e.hash + "\" size=\"" +
               std::to_string(e.size) + "\" complete=\"" + std::to_string(e.complete) + "\" redshow=\"" +
               std::to_string(e.redshow) + "\" version=\"" + e.version + "\" http_url=\"" + e.httpUrl +
               "\" description=\"" + e.description + "\"/>\n";
    }
    if (!pictureUrls.empty()) {
        xml += "<image>\n";
        for (const std::string& url : pictureUrls)
            xml += "<img image_url=\"" + url + "\" http_url=\"http://link.example/\" description=\"pic\"/>\n";
        xml += "</image>\n";
    }
    return xml + "</patchlist>\n";
}

// 40 hex digits made of one repeated digit ("A" -> "AAAA…").
inline std::string Hash(char digit) {
    return std::string(40, digit);
}

}  // namespace tessali::app::test
