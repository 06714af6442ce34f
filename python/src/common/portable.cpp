// Two definitions that code inlined from libstdc++'s headers would otherwise
// take from the machine's libstdc++ or glibc, each of them newer than what a
// manylinux_2_28 wheel may require. Linked into every extension module, they
// bind inside it (its version script keeps them local), so no module needs
// GLIBCXX_3.4.29 or GLIBC_2.32 for them, whichever containers, threads or
// optimisation level it is built with:
//
// - std::__throw_bad_array_new_length (GCC 11, GLIBCXX_3.4.29): std::allocator's
//   size check, which stays in wherever the optimiser cannot rule the overflow
//   out (unordered containers, deques, any unoptimised build).
// - __libc_single_threaded (glibc 2.32): libstdc++'s reference counts
//   (shared_ptr, the stop state of std::jthread) skip their atomic operations
//   while it is set. Here it stays 0, so they always use them: correct with any
//   number of threads, and what every glibc before 2.32 gets anyway.
#include <new>

namespace std {

void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std

extern "C" {
extern char __libc_single_threaded;
char __libc_single_threaded = 0;
}
