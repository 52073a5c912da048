#include "engine/platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "engine/platform/file.h"

namespace tessali::platform {
namespace {

std::string EnvFolder(const char* name) {
    const char* v = std::getenv(name);
    // XDG rules: relative values are invalid and ignored.
    if (v != nullptr && v[0] == '/') {
        return WithTrailingSlash(v);
    }
    return {};
}

}  // namespace

std::string HomeDir() {
    std::string home = EnvFolder("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return WithTrailingSlash(pw->pw_dir);
    }
    return "/tmp/";
}

std::string DataHome() {
    std::string v = EnvFolder("XDG_DATA_HOME");
    return v.empty() ? HomeDir() + ".local/share/" : v;
}

std::string StateHome() {
    std::string v = EnvFolder("XDG_STATE_HOME");
    return v.empty() ? HomeDir() + ".local/state/" : v;
}

std::string ConfigHome() {
    std::string v = EnvFolder("XDG_CONFIG_HOME");
    return v.empty() ? HomeDir() + ".config/" : v;
}

std::string RuntimeDir() {
    std::string v = EnvFolder("XDG_RUNTIME_DIR");
    return v.empty() ? DataHome() : v;
}

std::string UserDownloadDir() {
    std::string v = EnvFolder("XDG_DOWNLOAD_DIR");
    if (!v.empty()) {
        return v;
    }
    // user-dirs.dirs lines look like: XDG_DOWNLOAD_DIR="$HOME/Téléchargements"
    std::ifstream in(ConfigHome() + "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOWNLOAD_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0) {
            std::string home = HomeDir();
            home.pop_back();
            value = home + value.substr(5);
        }
        if (!value.empty() && value[0] == '/') {
            return WithTrailingSlash(value);
        }
    }
    return {};
}

std::string LogFolder() {
    return StateHome() + "Tessali/";
}

std::string LogFilePath(const std::string& configured) {
    if (configured.empty() || configured.front() == '/') {
        return configured;
    }
    const std::string folder = LogFolder();
    CreateDirectories(folder);
    return folder + configured;
}

}  // namespace tessali::platform
