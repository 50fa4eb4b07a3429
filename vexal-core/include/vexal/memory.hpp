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

// Bytes one node may cost a plan, from assembly through the solver's
// factorisation (rows, column lists, CSC, the solver's copies and KKT
// system). Measured peak address space (bench/memory_need, n = 3000 and
// 12000): 23 KB per node on Clarabel, 14 KB on the structured solver; this
// keeps a third again in hand.
inline constexpr std::uint64_t kBytesPerNode = 32 * 1024;

// Bytes one node costs a kept workspace (PlanWorkspace::build) besides its
// plans: the structured solvers of four program shapes and the buffers.
// Measured: 52 KB per node at n = 3000 and 12000; a planner on Clarabel
// peaks at 72 KB a node, within the two together (96 KiB).
inline constexpr std::uint64_t kWorkspaceBytesPerNode = 64 * 1024;

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

// What RLIMIT_AS and RLIMIT_DATA leave of the address space, net of what is
// mapped now (the most a failed allocation can be told from); the largest
// value when neither is set. Cheap: one read of /proc/self/statm, and only
// under a limit.
std::uint64_t address_room();

// Refuses a node count for which no program can be built: zero, or so large
// that the program's sizes overflow or cannot fit in this process's memory
// (kind invalid_input). The planning entries run it once, before any
// assembly.
Result<void> check_node_count(std::uint64_t n);

class MemoryLedger;

// How long a reservation is held: for one plan, which ends by itself, or
// for a workspace kept by its owner (a planner of the C API), which only
// the owner can end; only the first is worth waiting for. A kept one holds
// the workspace's own bytes (kWorkspaceBytesPerNode) besides one plan's.
enum class Hold { plan, kept };

// Bytes held in a ledger for one plan; handed back when destroyed.
class MemoryReservation {
public:
    MemoryReservation() = default;
    MemoryReservation(MemoryReservation&& other) noexcept;
    MemoryReservation& operator=(MemoryReservation&& other) noexcept;
    ~MemoryReservation();

    std::uint64_t bytes() const { return bytes_; }
    // The nodes of the plans it covers.
    std::uint64_t nodes() const { return nodes_; }

private:
    friend class MemoryLedger;
    MemoryReservation(MemoryLedger* ledger, std::uint64_t bytes, std::uint64_t nodes, Hold hold)
        : ledger_(ledger), bytes_(bytes), nodes_(nodes), hold_(hold) {}
    void release() noexcept;

    MemoryLedger* ledger_ = nullptr;
    std::uint64_t bytes_ = 0;
    std::uint64_t nodes_ = 0;
    Hold hold_ = Hold::plan;
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
    // the others it waits for the plans among them to end, asking `stop`
    // every kStopPoll ("interrupted", kind interrupted). One that does not
    // fit alone is check_node_count's error, as are a zero or overflowing n;
    // one that does not fit beside the kept reservations alone is refused at
    // once, naming them: its caller may be their owner, and wait for ever.
    Result<MemoryReservation> reserve(std::uint64_t n, const StopCheck* stop = nullptr, Hold hold = Hold::plan);

    std::uint64_t reserved() const;

    static constexpr auto kStopPoll = std::chrono::milliseconds(25);

private:
    friend class MemoryReservation;
    void release(std::uint64_t bytes, Hold hold) noexcept;

    Probe room_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::uint64_t reserved_ = 0;
    std::uint64_t kept_ = 0;  // of reserved_, held by kept workspaces
};

// The process's ledger: every plan that may run beside others reserves here.
Result<MemoryReservation> reserve_memory(std::uint64_t n, const StopCheck* stop = nullptr, Hold hold = Hold::plan);

}  // namespace vexal
