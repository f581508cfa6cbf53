#pragma once

#include <cstdint>

namespace zel {

// Tells a forked process from the one it was forked from: the number of
// forks between the process that first called this and the calling one.
// A forked process has a copy of every object but only the thread that
// forked: an object that started threads, or whose lock another thread may
// have held at the fork, records this at its start and compares it before
// relying on either. The count goes up at each fork from the first call
// on; a fork before it leaves nothing to tell apart.
std::uint64_t process_generation();

}  // namespace zel
