#pragma once

// Runs independent jobs 0 .. n-1 on up to n threads (the caller's among
// them). Each job runs exactly once. A job must not throw, except
// std::bad_alloc, which is caught on its thread and reported: the result
// says whether every job ran to its end. When no further thread can be
// started, the threads already running share the remaining jobs.

#include <atomic>
#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace zel {

template <class Job>
[[nodiscard]] bool run_in_parallel(std::size_t n, const Job& job) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto worker = [&] {
        for (std::size_t j; (j = next.fetch_add(1)) < n;) {
            try {
                job(j);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(n > 0 ? n - 1 : 0);  // so that adding a thread never moves the running ones
    } catch (const std::bad_alloc&) {
        // Run everything on this thread instead.
    }
    for (std::size_t h = 1; h < n && helpers.size() < helpers.capacity(); ++h) {
        try {
            helpers.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads to be had
        } catch (const std::bad_alloc&) {
            break;  // nor memory for one
        }
    }
    worker();
    for (std::thread& h : helpers) h.join();
    return !out_of_memory;
}

}  // namespace zel
