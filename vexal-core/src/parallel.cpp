#include "vexal/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vexal {

unsigned available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(std::thread::hardware_concurrency(), 1u);
}

void for_each_index(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr first;
    std::mutex first_mutex;
    const auto drain = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                work(i);
            } catch (...) {
                const std::lock_guard lock(first_mutex);
                if (!first) first = std::current_exception();
            }
        }
    };
    const std::size_t helpers = std::min<std::size_t>(std::max(threads, 1u), count) - (count > 0 ? 1 : 0);
    {
        std::vector<std::jthread> pool;
        pool.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(drain);
        drain();
    }  // joined
    if (first) std::rethrow_exception(first);
}

}  // namespace vexal
