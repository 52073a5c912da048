// ITaskWire: everything the peer protocol asks of tasks (peers and requests, storage, rates and
// caps, the task table), as one reference; it leaves out the HTTP and tracker sources.
// Callable from any thread.
#pragma once

#include "engine/core/task_control.h"
#include "engine/core/task_peers.h"
#include "engine/core/task_rates.h"
#include "engine/core/task_storage.h"

namespace tessali::core {

class ITaskWire : public ITaskPeers, public ITaskStorage, public ITaskRates, public ITaskControl {};

}  // namespace tessali::core
