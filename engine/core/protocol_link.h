// The seam through which core code reaches the protocol layer above it: announcing a task as a
// source to the trackers, and stopping a task's trackers and HTTP downloads. The protocol layer
// registers its implementation at engine start; until then the calls do nothing.
#pragma once

#include "engine/core/task_hash.h"

namespace tessali::core {

class IProtocolLink {
public:
    virtual ~IProtocolLink() = default;
    // The task is complete or shared: tell the trackers we are a source for it.
    virtual void AnnounceSource(const TaskHash& hash) {}
    // The task was paused or deleted: stop its tracker work and HTTP downloads.
    virtual void StopTaskSources(const TaskHash& hash) {}
    // A new download task: the engine tracker becomes a tracker of the hash (the peer search starts).
    virtual void AddEngineTracker(const TaskHash& hash) {}
    // Tracker bookkeeping of a task control code: 1 start, 2 pause, 3 delete, 4 stop all then start.
    virtual void ControlTrackers(const TaskHash& hash, int code) {}
    // Peers started sending piece data to a task that also has an HTTP download: load the
    // HTTP-downloaded pieces into the task, then stop and erase that HTTP download.
    virtual void MergeHttpDownload(const TaskHash& hash) {}
};

// Registers `link` (not owned; nullptr unregisters).
void SetProtocolLink(IProtocolLink* link);
// The registered link (nullptr when none), so that a layer may wrap it.
IProtocolLink* CurrentProtocolLink();
// Null-safe forwarding helpers.
void LinkAnnounceSource(const TaskHash& hash);
void LinkStopTaskSources(const TaskHash& hash);
void LinkAddEngineTracker(const TaskHash& hash);
void LinkControlTrackers(const TaskHash& hash, int code);
void LinkMergeHttpDownload(const TaskHash& hash);

}  // namespace tessali::core
