// vessa: read sections that cost the reader a load and a store to its own
// record, and the grace periods that tell a writer when what it retired
// can no longer be read.
//
// A read_domain serves one shared structure. A reader thread enters a
// read_section before it reads the structure and leaves it after; a
// writer publishes a new version, retires the old one with retire_epoch(),
// and frees it once oldest_reader() has moved past that epoch, or waits
// for that with wait_for_readers(). Readers need no registration: a
// thread's record is made on its first section in a domain and released
// when the thread exits. Records are per domain, so a thread inside a
// section of one domain never holds up another domain's writers.
//
// The reader's side has no fence on Linux: the writer pays for it with
// membarrier(), which makes every running thread of the process pass a
// full barrier. Where the kernel lacks it, readers fence themselves.
#ifndef VESSA_READ_SECTIONS_HPP
#define VESSA_READ_SECTIONS_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vessa {
namespace detail {

// One thread's record in one domain.
struct reader_record {
    // The domain's epoch when the thread's outermost section began; 0
    // outside any section. Written by its thread alone, with release, so
    // that a writer who reads it with acquire sees all that the thread did
    // in the sections before.
    std::atomic<std::uint64_t> entered{0};
    // Held by a live thread; guarded by the domain's registry mutex.
    bool in_use = false;
};

class read_domain {
public:
    read_domain();
    read_domain(const read_domain&) = delete;
    read_domain& operator=(const read_domain&) = delete;

    // Whether the calling thread is inside a section of this domain.
    bool inside() const;

    // Writers, serialized among themselves, after publishing a new version:
    // the epoch to retire the old one with. Readers that entered at or
    // before it may still read the old version.
    std::uint64_t retire_epoch();

    // The oldest epoch a reader may still read at: what was retired before
    // it can be freed. Never waits.
    std::uint64_t oldest_reader() const;

    // Waits until no reader that entered at or before epoch is still
    // inside. Must not be called from inside a section of this domain.
    void wait_for_readers(std::uint64_t epoch) const;

private:
    friend class read_section;
    struct registry;

    reader_record& own_record();
    // Declared inline here: GCC warns of an inline definition after noinline.
    [[gnu::cold, gnu::noinline]] inline reader_record& register_thread();
    reader_record* find_own_record() const;
    std::vector<reader_record*> records_in_use() const;
    static std::uint64_t next_serial();

    // Read by every section.
    const std::uint64_t serial;
    std::atomic<std::uint64_t> epoch{1};
    // Shared with the threads that have a record here, which release it
    // at their exit if the domain is still alive.
    std::shared_ptr<registry> records;
};

// Scope of one read. Sections nest; only the outermost one writes the
// record, which tells it from the others: no count to keep, so that
// routing calls one after another carry no chain through memory.
class read_section {
public:
    explicit read_section(read_domain& domain);
    ~read_section();
    read_section(const read_section&) = delete;
    read_section& operator=(const read_section&) = delete;

private:
    reader_record& record;
    const bool outermost;
};

// ---------------------------------------------------------------------
// Mechanics.

struct read_domain::registry {
    std::mutex mutex;
    // Only grows: a record is reused by a later thread, never freed
    // before the domain.
    std::vector<std::unique_ptr<reader_record>> records;
};

// The record a thread used last, kept apart from the thread's list of all
// its records so that this one is trivial: reaching it needs no check that
// it was constructed.
struct last_record {
    std::uint64_t domain_serial;
    reader_record* record;
};
inline thread_local last_record last_used_record{0, nullptr};

// Every record the thread holds, released when it exits.
class thread_records {
public:
    struct held {
        std::uint64_t domain_serial;
        std::weak_ptr<void> registry;
        std::mutex* registry_mutex;
        reader_record* record;
    };

    thread_records() = default;
    thread_records(const thread_records&) = delete;
    thread_records& operator=(const thread_records&) = delete;
    ~thread_records()
    {
        for (const held& h : all) {
            if (const std::shared_ptr<void> alive = h.registry.lock()) {
                const std::lock_guard<std::mutex> lock(*h.registry_mutex);
                h.record->in_use = false;
            }
        }
    }

    std::vector<held> all;
};
inline thread_local thread_records own_records;

// Whether readers must fence themselves; decided once, before any record
// exists, so that every reader sees the answer.
inline std::atomic<bool> readers_fence{false};

inline bool membarrier_ready()
{
    static const bool ready = [] {
#if defined(__linux__) && defined(SYS_membarrier)
        const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
        if (commands >= 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0
            && syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0)
            return true;
#endif
        readers_fence.store(true, std::memory_order_relaxed);
        return false;
    }();
    return ready;
}

#if defined(__SANITIZE_THREAD__)
inline constexpr bool thread_sanitizer = true;
#elif defined(__has_feature)
inline constexpr bool thread_sanitizer = __has_feature(thread_sanitizer);
#else
inline constexpr bool thread_sanitizer = false;
#endif

// A full barrier on this thread. ThreadSanitizer models no fence, and GCC
// warns of one in its builds, where a sequentially consistent
// read-modify-write serves instead; the happens-before that the sanitizer
// needs comes from the records' release and acquire.
inline void full_fence()
{
    if constexpr (thread_sanitizer) {
        static std::atomic<int> fence_stand_in{0};
        fence_stand_in.fetch_add(0, std::memory_order_seq_cst);
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// A full barrier on every thread of the process, or on this one alone
// where readers fence themselves.
inline void heavy_fence()
{
#if defined(__linux__) && defined(SYS_membarrier)
    if (membarrier_ready()) {
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
        return;
    }
#else
    membarrier_ready();
#endif
    full_fence();
}

// Orders the record's store before the reads of the section: for the
// compiler alone where the writer's heavy_fence does the rest.
// Tells the compiler which way a branch of the read side mostly goes, so
// that the usual path runs straight through.
inline bool usually(bool condition)
{
#if defined(__GNUC__)
    return __builtin_expect(condition, true);
#else
    return condition;
#endif
}

inline void reader_fence()
{
    if (!usually(!readers_fence.load(std::memory_order_relaxed)))
        full_fence();
    else
        std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline read_section::read_section(read_domain& domain)
    : record(domain.own_record()), outermost(record.entered.load(std::memory_order_relaxed) == 0)
{
    if (usually(outermost)) {
        record.entered.store(domain.epoch.load(std::memory_order_acquire), std::memory_order_release);
        reader_fence();
    }
}

inline read_section::~read_section()
{
    if (usually(outermost))
        record.entered.store(0, std::memory_order_release);
}

inline read_domain::read_domain() : serial(next_serial()), records(std::make_shared<registry>()) {}

inline reader_record& read_domain::own_record()
{
    const last_record& last = last_used_record;
    if (usually(last.domain_serial == serial))
        return *last.record;
    return register_thread();
}

reader_record& read_domain::register_thread()
{
    reader_record* record = find_own_record();
    if (!record) {
        membarrier_ready();
        std::vector<thread_records::held>& held = own_records.all;
        held.erase(std::remove_if(held.begin(), held.end(), [](const auto& h) { return h.registry.expired(); }),
                   held.end());
        held.reserve(held.size() + 1);
        {
            const std::lock_guard<std::mutex> lock(records->mutex);
            const auto free = std::find_if(records->records.begin(), records->records.end(),
                                           [](const auto& r) { return !r->in_use; });
            if (free != records->records.end()) {
                record = free->get();
            } else {
                records->records.push_back(std::make_unique<reader_record>());
                record = records->records.back().get();
            }
            record->in_use = true;
        }
        held.push_back({serial, records, &records->mutex, record});
    }
    last_used_record = {serial, record};
    return *record;
}

inline reader_record* read_domain::find_own_record() const
{
    if (last_used_record.domain_serial == serial)
        return last_used_record.record;
    for (const thread_records::held& h : own_records.all) {
        if (h.domain_serial == serial)
            return h.record;
    }
    return nullptr;
}

inline bool read_domain::inside() const
{
    const reader_record* const record = find_own_record();
    return record && record->entered.load(std::memory_order_relaxed) != 0;
}

inline std::uint64_t read_domain::retire_epoch()
{
    const std::uint64_t retired = epoch.load(std::memory_order_relaxed);
    epoch.store(retired + 1, std::memory_order_release);
    return retired;
}

inline std::uint64_t read_domain::oldest_reader() const
{
    // Read first: whatever was retired before it is older than every
    // reader that enters from now on.
    std::uint64_t oldest = epoch.load(std::memory_order_acquire);
    heavy_fence();
    const std::lock_guard<std::mutex> lock(records->mutex);
    for (const auto& record : records->records) {
        const std::uint64_t entered = record->entered.load(std::memory_order_acquire);
        if (entered != 0)
            oldest = std::min(oldest, entered);
    }
    return oldest;
}

inline std::vector<reader_record*> read_domain::records_in_use() const
{
    const std::lock_guard<std::mutex> lock(records->mutex);
    std::vector<reader_record*> in_use;
    for (const auto& record : records->records)
        in_use.push_back(record.get());
    return in_use;
}

inline void read_domain::wait_for_readers(std::uint64_t retired) const
{
    heavy_fence();
    // Records made after this are entered at later epochs; records reused
    // by another thread meanwhile read 0 or a later epoch too.
    // Routing calls are short: yield for a while before sleeping, whose
    // least step is far longer than most of them.
    const auto sleep_after = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    for (const reader_record* record : records_in_use()) {
        for (;;) {
            const std::uint64_t entered = record->entered.load(std::memory_order_acquire);
            if (entered == 0 || entered > retired)
                break;
            if (std::chrono::steady_clock::now() < sleep_after)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
}

inline std::uint64_t read_domain::next_serial()
{
    static std::atomic<std::uint64_t> last_serial{0};
    return last_serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

} // namespace detail
} // namespace vessa

#endif
