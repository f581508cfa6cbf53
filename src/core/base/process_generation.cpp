#include "base/process_generation.hpp"

#include <atomic>

#include <pthread.h>

namespace zel {

namespace {

std::atomic<std::uint64_t> forks{0};

void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t process_generation() {
    // Registered once, by the first caller; pthread_atfork only fails for
    // want of memory, and then every process looks like its parent, which
    // is how things were without it.
    [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, count_fork);
    return forks.load(std::memory_order_relaxed);
}

}  // namespace zel
