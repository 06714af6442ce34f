// Whether a helper thread would run beside its caller or only take time away.
#pragma once

namespace vela_sha {

// Whether a processor is free for a helper thread right now: this process may
// use more than one, and fewer threads in the whole system are ready to run
// than it may use (the caller among them). On a busy machine a second thread
// would only take its time from the caller, or from others. Linux only (false
// elsewhere); a few microseconds.
[[nodiscard]] bool spare_processor() noexcept;

}  // namespace vela_sha
