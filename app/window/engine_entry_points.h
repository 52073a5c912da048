// CEngineEntryPoints: the IDownloadEngine of the real program, forwarding to the engine's entry
// functions. Stateless; the engine synchronises itself.
#pragma once

#include "app/flow/download_engine.h"

namespace tessali::app {

class CEngineEntryPoints : public IDownloadEngine {
public:
    bool StartNetwork() override;
    int Init() override;
    void Uninit() override;
    int AddHashTask(const std::string& hash, const std::string& path) override;
    bool AddSeedTask(const std::string& url, const std::string& hash, const std::string& path) override;
    bool QueryTask(const std::string& hash, TaskProgress& out) override;
    void ControlTask(const std::string& hash, int code) override;
};

}  // namespace tessali::app
