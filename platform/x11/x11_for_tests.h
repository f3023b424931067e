// For tests only: how the X11 display reads, and the knobs that steer it. Not exported: tests
// that use them link pictoss_platform_objects. The user-interface thread only.
#pragma once

namespace platform::x11 {

// How reads go: through shared memory or plain image requests (for tests and benchmarks).
enum class ReadMethod { kNone, kSharedMemory, kImages };
ReadMethod CurrentReadMethod();
// Makes the open connection read by plain image requests (for tests of that path).
void StopUsingSharedMemory();

// The monitor layout and Xft.dpi are kept for a short while between calls; this forgets them
// (for tests that change them).
void ForgetScreenCache();

}  // namespace platform::x11
