// Whether a helper thread would run beside its caller or only take time away.
#pragma once

namespace vela_sha {

// Whether a processor is free for a helper thread right now: this process may
// use more than one, and fewer threads in the whole system are ready to run
// than it may use (the caller among them). On a busy machine a second thread
// would only take its time from the caller, or from others. Linux only (false
// elsewhere); a few microseconds.
[[nodiscard]] bool spare_processor() noexcept;

// The processor the calling thread is running on now; -1 if unknown.
[[nodiscard]] int current_processor() noexcept;

// Called first thing by a helper thread: keeps it off `processor`, its
// caller's, where the two would only take turns (the scheduler may well start
// a thread next to the one that made it). Best effort: where that cannot be
// done, nothing changes.
void keep_off(int processor) noexcept;

}  // namespace vela_sha
