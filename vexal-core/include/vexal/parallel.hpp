#pragma once
// Independent pieces of one plan on a few threads.
#include <cstddef>
#include <functional>

namespace vexal {

// The cores this process may run on (its CPU affinity), at least 1.
unsigned available_cores();

// Calls work(i) for every i in [0, count), on up to `threads` threads (the
// calling one among them), and returns when all calls have. The first
// exception a call throws is rethrown here, after the others have finished.
void for_each_index(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work);

}  // namespace vexal
