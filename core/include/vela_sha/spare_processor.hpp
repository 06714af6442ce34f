// Whether a helper thread would run beside its caller or only take time away.
#pragma once

#include <thread>

namespace vela_sha {

// Whether a processor is free for a helper thread right now: this process may
// use more than one, and fewer threads in the whole system are ready to run
// than it may use (the caller among them). On a busy machine a second thread
// would only take its time from the caller, or from others. Linux only (false
// elsewhere); a few microseconds.
[[nodiscard]] bool spare_processor() noexcept;

// Keeps `helper` off the processor the calling thread is running on, where
// the two would only take turns (the scheduler may well start it there, next
// to the thread that made it). Best effort: where that cannot be done, nothing
// changes.
void keep_beside_caller(std::thread& helper) noexcept;

}  // namespace vela_sha
