#include "engine/core/protocol_link.h"

#include <atomic>

namespace tessali::core {
namespace {
std::atomic<IProtocolLink*> g_link{nullptr};
}

void SetProtocolLink(IProtocolLink* link) {
    g_link.store(link);
}

IProtocolLink* CurrentProtocolLink() {
    return g_link.load();
}

void LinkAnnounceSource(const TaskHash& hash) {
    if (IProtocolLink* link = g_link.load()) {
        link->AnnounceSource(hash);
    }
}

void LinkStopTaskSources(const TaskHash& hash) {
    if (IProtocolLink* link = g_link.load()) {
        link->StopTaskSources(hash);
    }
}

void LinkAddEngineTracker(const TaskHash& hash) {
    if (IProtocolLink* link = g_link.load()) {
        link->AddEngineTracker(hash);
    }
}

void LinkControlTrackers(const TaskHash& hash, int code) {
    if (IProtocolLink* link = g_link.load()) {
        link->ControlTrackers(hash, code);
    }
}

void LinkMergeHttpDownload(const TaskHash& hash) {
    if (IProtocolLink* link = g_link.load()) {
        link->MergeHttpDownload(hash);
    }
}

}  // namespace tessali::core
