// Work spread over the machine's cores: a count of independent pieces run on helper threads
// started for the call and on the calling thread, which returns when all are done.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/base/windef.h"

namespace platform {

// How many threads a picture of that many pixels is worth: one for each core (up to 4) when it
// is large enough to pay for starting them, else 1.
PLATFORM_API int ThreadsWorthFor(std::int64_t pixels);

// Runs work(0) ... work(count - 1), each once, on up to `threads` threads (this one included)
// as they come free. True when every call returned true.
PLATFORM_API bool RunInParallel(int count, int threads, const std::function<bool(int)>& work);

}  // namespace platform
