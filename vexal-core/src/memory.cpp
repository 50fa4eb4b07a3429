#include "vexal/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

namespace vexal {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return kUnlimited;
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(page_size);
    return p > kUnlimited / s ? kUnlimited : p * s;
}

// The n-th number of /proc/self/statm (pages), in bytes; 0 when unreadable.
std::uint64_t statm_bytes(int field) {
    std::ifstream in("/proc/self/statm");
    std::uint64_t value = 0;
    for (int i = 0; i <= field && in >> value; ++i) {
    }
    return in ? value * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// What a resource limit leaves of its room, given what is in use already.
std::uint64_t rlimit_room(int resource, std::uint64_t used) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
    const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
    return cap > used ? cap - used : 0;
}

// A number from a cgroup file; "max" and unreadable files mean no limit.
std::uint64_t cgroup_value(const std::string& path) {
    std::ifstream in(path);
    std::uint64_t value = 0;
    return in >> value ? value : kUnlimited;
}

// The memory the cgroup (v2: memory.max; v1: memory.limit_in_bytes) has
// left for this process.
std::uint64_t cgroup_room() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::uint64_t room = kUnlimited;
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        std::string dir;
        std::string max_file;
        std::string used_file;
        if (controllers.empty()) {
            dir = "/sys/fs/cgroup" + group;
            max_file = "/memory.max";
            used_file = "/memory.current";
            if (!std::ifstream(dir + max_file)) dir = "/sys/fs/cgroup/unified" + group;
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            dir = "/sys/fs/cgroup/memory" + group;
            max_file = "/memory.limit_in_bytes";
            used_file = "/memory.usage_in_bytes";
        } else {
            continue;
        }
        const std::uint64_t cap = cgroup_value(dir + max_file);
        if (cap == kUnlimited) continue;
        const std::uint64_t used = cgroup_value(dir + used_file);
        room = std::min(room, used == kUnlimited ? cap : (cap > used ? cap - used : 0));
    }
    return room;
}

// The bytes a program of n nodes may take, or why no program of n nodes can
// be built.
Result<std::uint64_t> program_bytes(std::uint64_t n, std::uint64_t per_node = kBytesPerNode) {
    if (n == 0) return fail(ErrorKind::invalid_input, "invalid node count: n must be at least 1 (got 0)");
    if (n > std::numeric_limits<std::uint64_t>::max() / per_node) {
        return fail(ErrorKind::invalid_input,
                    "invalid node count: n = " + std::to_string(n) + " is too large, the program's size overflows");
    }
    return n * per_node;
}

bool fits(std::uint64_t need, std::uint64_t beside, const MemoryRoom& room) {
    return need <= room.bytes && beside <= room.bytes - need;
}

std::unexpected<Error> too_large(std::uint64_t n, std::uint64_t need, const MemoryRoom& room) {
    return fail(ErrorKind::invalid_input, "invalid node count: n = " + std::to_string(n) +
                                              " is too large, the program needs about " + std::to_string(need >> 20) +
                                              " MiB and " + room.what + " " + std::to_string(room.bytes >> 20) +
                                              " MiB");
}

// A stop check must not throw; one that does counts as a stop, as in the solver.
bool stop_requested(const StopCheck& stop) noexcept {
    try {
        return stop();
    } catch (...) {
        return true;
    }
}

// glibc raises its mmap threshold as large blocks are freed (up to 32 MiB);
// past that, a plan's big arrays come from its thread's heap, which keeps
// their address space after the plan, and the next plan's room, measured net
// of what is mapped, would count them as still taken. A fixed threshold keeps
// big blocks in mappings of their own, unmapped when freed. 1 MiB: measured
// no slower than the moving threshold from n = 10^2 to 2.5*10^4.
bool keep_large_blocks_apart() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    return true;
}

}  // namespace

MemoryRoom memory_room() {
    MemoryRoom room{physical_memory_bytes(), "this machine has"};
    const MemoryRoom limits[] = {
        {rlimit_room(RLIMIT_AS, statm_bytes(0)), "the address-space limit (RLIMIT_AS) leaves"},
        {rlimit_room(RLIMIT_DATA, statm_bytes(5)), "the data-size limit (RLIMIT_DATA) leaves"},
        {cgroup_room(), "the memory cgroup leaves"},
    };
    for (const MemoryRoom& limit : limits) {
        if (limit.bytes < room.bytes) room = limit;
    }
    return room;
}

std::uint64_t address_room() {
    std::uint64_t room = kUnlimited;
    for (const auto& [resource, field] : {std::pair{RLIMIT_AS, 0}, std::pair{RLIMIT_DATA, 5}}) {
        rlimit limit{};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            room = std::min(room, rlimit_room(resource, statm_bytes(field)));
        }
    }
    return room;
}

Result<void> check_node_count(std::uint64_t n) {
    const auto need = program_bytes(n);
    if (!need) return std::unexpected(need.error());
    if (const MemoryRoom room = memory_room(); !fits(*need, 0, room)) return too_large(n, *need, room);
    return {};
}

MemoryReservation::MemoryReservation(MemoryReservation&& other) noexcept
    : ledger_(std::exchange(other.ledger_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      nodes_(std::exchange(other.nodes_, 0)),
      hold_(other.hold_) {}

MemoryReservation& MemoryReservation::operator=(MemoryReservation&& other) noexcept {
    if (this != &other) {
        release();
        ledger_ = std::exchange(other.ledger_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        nodes_ = std::exchange(other.nodes_, 0);
        hold_ = other.hold_;
    }
    return *this;
}

MemoryReservation::~MemoryReservation() { release(); }

void MemoryReservation::release() noexcept {
    if (ledger_) ledger_->release(bytes_, hold_);
    ledger_ = nullptr;
    bytes_ = 0;
    nodes_ = 0;
}

Result<MemoryReservation> MemoryLedger::reserve(std::uint64_t n, const StopCheck* stop, Hold hold) {
    const auto need = program_bytes(n, kBytesPerNode + (hold == Hold::kept ? kWorkspaceBytesPerNode : 0));
    if (!need) return std::unexpected(need.error());
    std::unique_lock lock(mutex_);
    for (;;) {
        const MemoryRoom room = room_();
        if (fits(*need, reserved_, room)) {
            reserved_ += *need;
            if (hold == Hold::kept) kept_ += *need;
            return MemoryReservation(this, *need, n, hold);
        }
        // Nothing that ends by itself is held: waiting would be for ever.
        if (reserved_ == kept_) {
            if (kept_ == 0) return too_large(n, *need, room);
            return fail(ErrorKind::invalid_input, "invalid node count: n = " + std::to_string(n) +
                                                      " is too large beside the planners kept: the program needs "
                                                      "about " + std::to_string(*need >> 20) + " MiB and " +
                                                      room.what + " " + std::to_string(room.bytes >> 20) +
                                                      " MiB, less the " + std::to_string(kept_ >> 20) +
                                                      " MiB reserved by the planners kept");
        }
        released_.wait_for(lock, kStopPoll);
        if (stop && *stop) {
            // Asked without the ledger: the check may wait for the interpreter.
            lock.unlock();
            const bool stopped = stop_requested(*stop);
            lock.lock();
            if (stopped) return fail(ErrorKind::interrupted, "interrupted");
        }
    }
}

std::uint64_t MemoryLedger::reserved() const {
    std::lock_guard lock(mutex_);
    return reserved_;
}

void MemoryLedger::release(std::uint64_t bytes, Hold hold) noexcept {
    {
        std::lock_guard lock(mutex_);
        reserved_ -= bytes;
        if (hold == Hold::kept) kept_ -= bytes;
    }
    released_.notify_all();
}

Result<MemoryReservation> reserve_memory(std::uint64_t n, const StopCheck* stop, Hold hold) {
    [[maybe_unused]] static const bool apart = keep_large_blocks_apart();
    static MemoryLedger ledger;
    return ledger.reserve(n, stop, hold);
}

}  // namespace vexal
