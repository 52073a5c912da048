#include "engine/core/task_info.h"

namespace tessali::core {

std::u16string TaskInfoRecord::Destination() const {
    size_t n = 0;
    while (n < kTaskInfoPathChars && destination[n] != 0) {
        ++n;
    }
    return std::u16string(destination, n);
}

}  // namespace tessali::core
