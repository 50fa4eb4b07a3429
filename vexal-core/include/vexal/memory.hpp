#pragma once
// The memory a program may take: the node count checked against what this
// process can still get, and a ledger through which plans running at once on
// several threads share that room instead of each counting all of it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <utility>

#include "vexal/conic.hpp"
#include "vexal/error.hpp"

namespace vexal {

// Bytes one node may cost from assembly through the solver's factorisation
// (rows, column lists, CSC, the solver's copies and KKT system). Measured peak:
// about 21 KB per node at n = 10^3 .. 5*10^4; this keeps half again in hand.
inline constexpr std::uint64_t kBytesPerNode = 32 * 1024;

// Memory this process can still take, and what bounds it, worded to follow
// "the program needs about ... MiB and": "this machine has",
// "the address-space limit (RLIMIT_AS) leaves", ...
struct MemoryRoom {
    std::uint64_t bytes;
    const char* what;
};

// The least of the machine's memory, RLIMIT_AS and RLIMIT_DATA net of what
// is mapped now, and what the memory cgroup has left.
MemoryRoom memory_room();

// Refuses a node count for which no program can be built: zero, or so large
// that the program's sizes overflow or cannot fit in this process's memory
// (kind invalid_input). The planning entries run it once, before any
// assembly.
Result<void> check_node_count(std::uint64_t n);

class MemoryLedger;

// Bytes held in a ledger for one plan; handed back when destroyed.
class MemoryReservation {
public:
    MemoryReservation() = default;
    MemoryReservation(MemoryReservation&& other) noexcept;
    MemoryReservation& operator=(MemoryReservation&& other) noexcept;
    ~MemoryReservation();

    std::uint64_t bytes() const { return bytes_; }

private:
    friend class MemoryLedger;
    MemoryReservation(MemoryLedger* ledger, std::uint64_t bytes) : ledger_(ledger), bytes_(bytes) {}
    void release() noexcept;

    MemoryLedger* ledger_ = nullptr;
    std::uint64_t bytes_ = 0;
};

// The bytes reserved by plans in progress. A plan is admitted when its need
// and all reservations together fit in the room measured now; the room
// already excludes what running plans have mapped, so their memory counts
// twice: a plan may wait longer than it must, but never overruns a limit.
class MemoryLedger {
public:
    using Probe = std::function<MemoryRoom()>;

    explicit MemoryLedger(Probe room = memory_room) : room_(std::move(room)) {}
    MemoryLedger(const MemoryLedger&) = delete;
    MemoryLedger& operator=(const MemoryLedger&) = delete;

    // The reservation for a program of n nodes. While it does not fit beside
    // the others it waits for them, asking `stop` every kStopPoll ("interrupted",
    // kind interrupted). One that does not fit alone is check_node_count's
    // error, as are a zero or overflowing n.
    Result<MemoryReservation> reserve(std::uint64_t n, const StopCheck* stop = nullptr);

    std::uint64_t reserved() const;

    static constexpr auto kStopPoll = std::chrono::milliseconds(25);

private:
    friend class MemoryReservation;
    void release(std::uint64_t bytes) noexcept;

    Probe room_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::uint64_t reserved_ = 0;
};

// The process's ledger: every plan that may run beside others reserves here.
Result<MemoryReservation> reserve_memory(std::uint64_t n, const StopCheck* stop = nullptr);

}  // namespace vexal
