// CTaskMgrInterFace: every role through which the rest of the engine (peer protocol, trackers,
// HTTP sources, worker threads) reaches tasks, in one interface. Consumers take only the role
// they use (ITaskPeers, ITaskStorage, ITaskRates, ITaskControl, ITaskSources, or ITaskWire for
// the peer protocol); CTaskMgr implements them all.
#pragma once

#include "engine/core/task_sources.h"
#include "engine/core/task_wire.h"

namespace tessali::core {

class CTaskMgrInterFace : public ITaskWire, public ITaskSources {};

}  // namespace tessali::core
