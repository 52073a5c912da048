// A task with no storage, for tests of the task table: its content answers are set by the test.
#pragma once

#include "engine/core/task.h"
#include "engine/core/task_factory.h"

namespace tessali::test {

class FakeTask : public core::CTask {
public:
    FakeTask(const core::TaskHash& hash, const std::string& path) : CTask(hash, path) {}

    int loadResult = 0;
    bool complete = false;
    bool contentFiles = false;
    int64_t total = 0;
    int64_t verified = 0;
    size_t bitfieldLength = 0;
    int ticks = 0;
    bool removed = false;

    int Load(int) override { return loadResult; }
    int64_t Read(std::span<uint8_t> out, uint32_t, uint32_t, bool) override {
        return static_cast<int64_t>(out.size());
    }
    int64_t WritePiece(std::span<const uint8_t> data, uint32_t, uint32_t) override {
        return static_cast<int64_t>(data.size());
    }
    void OnRemoved() override { removed = true; }
    void Tick() override { ++ticks; }
    bool HasContentFiles() const override { return contentFiles; }
    bool IsComplete() const override { return complete; }
    int64_t TotalSize() const override { return total; }
    int64_t VerifiedBytes() const override { return verified; }
    uint32_t PieceLength() const override { return contentFiles ? 1u << 20 : 0u; }
    size_t BitfieldLength() const override { return bitfieldLength; }

private:
    ~FakeTask() override = default;
};

// Builds FakeTasks whose load answers `nextLoad`; remembers the last one made.
class FakeTaskFactory : public core::ITaskFactory {
public:
    int nextLoad = 0;
    int made = 0;
    core::Ref<FakeTask> last;

    core::Ref<core::CTask> MakeDownloadTask(const core::TaskHash& hash, const std::string& path) override {
        last = core::Ref<FakeTask>::Make(hash, path);
        last->loadResult = nextLoad;
        ++made;
        return last;
    }
    int MakeShareTask(const std::string&, const core::TaskHeader*, int, core::Ref<core::CTask>&) override {
        return -1;
    }
};

}  // namespace tessali::test
