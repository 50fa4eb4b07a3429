#include "objects.hpp"

#include "errors.hpp"

namespace vexal::py {

bool BorrowFlag::acquire_shared() noexcept {
    std::intptr_t state = state_.load(std::memory_order_relaxed);
    do {
        if (state < 0) return false;
    } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
}

bool BorrowFlag::acquire_exclusive() noexcept {
    std::intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

template <bool Exclusive>
Borrow<Exclusive>::Borrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (Exclusive ? flag.acquire_exclusive() : flag.acquire_shared()) return;
    flag_ = nullptr;
    PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

template class Borrow<false>;
template class Borrow<true>;

}  // namespace vexal::py
