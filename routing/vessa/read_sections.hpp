// vessa: read sections that cost the reader a few loads and stores to its
// own record, and the grace periods that tell a writer when what it
// retired can no longer be read.
//
// A read_site is one shared structure. A reader thread enters a
// read_section of the site before it reads the structure and leaves it
// after; a writer publishes a new version and retires the old one with
// retire_stamp(), then frees it once oldest_reader() has moved past that
// stamp, or after wait_for_readers(). Readers need no registration.
//
// Every site of the program shares one read_domain: a thread has one
// record in it, whatever the number of sites it reads, made on its first
// section and released only after the thread's thread_local objects are
// destroyed, so that routing from their destructors, and from static
// destructors on the main thread, keeps every guarantee. That release is
// this copy of the code's: a shared object that carries a copy of its own
// must stay loaded while a thread that used it lives. A record names
// the site its outermost section reads and the first few sites of the
// sections nested in it, so a writer waits only for the threads inside its
// own site. A site also knows whether one thread alone has read it since
// its last grace period: while that thread is the writer, what it retires
// is freed at once, with no barrier and no wait.
//
// Each store and load that a reader and a writer meet through, with what
// orders it, is listed in docs/threads.md ("The handshakes").
//
// The reader's side has no fence on Linux: the writer pays for it with
// membarrier(), which makes every running thread of the process pass a
// full barrier. Where the kernel lacks it, readers fence themselves; where
// it fails once readers rely on it, the program stops with a message, as
// no other barrier would make their sections safe.
#ifndef VESSA_READ_SECTIONS_HPP
#define VESSA_READ_SECTIONS_HPP

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define VESSA_POSIX_THREADS 1
#endif

namespace vessa {
namespace detail {

class read_domain;
class read_section;
struct reader_record;

// One shared structure's readers, as its writers see them.
class read_site {
public:
    // In the process's domain; the constructing thread is its one reader.
    read_site();
    read_site(const read_site&) = delete;
    read_site& operator=(const read_site&) = delete;

    // Whether the calling thread is inside a section of this site.
    bool inside() const;

    // The calling thread's record, by which a writer names itself.
    const reader_record* caller() const;
    // Whether the thread of record other, if any, waits for readers of a
    // site the calling thread is inside: waiting for it would close a
    // cycle.
    bool waits_for_caller(const reader_record* other) const;

    // Writers, serialized among themselves, after publishing a new version:
    // the stamp to retire the old one with.
    std::uint64_t retire_stamp();

    // A bound above every stamp given so far.
    std::uint64_t bound_of_retired();

    // True when no thread but the caller has read the site since its last
    // grace period, and the caller is not reading it: what was retired
    // below a bound taken before can be freed at once.
    bool read_by_caller_alone();

    // What was retired with a stamp below it can be freed. Never waits.
    // Claims the site as a wait does when no other thread is inside it.
    std::uint64_t oldest_reader();

    enum class waited { done, refused_for_cycle };
    // Waits until no reader that may hold what was retired below bound is
    // still inside, raising bound to what it waited for. Must not be
    // called from inside a section of this site. Refuses, without waiting,
    // to wait for a thread that waits for the caller; refused, it leaves
    // the site as shared as it was. Allocates nothing. A caller inside no
    // section waits, when it can, for the end of another waiter's grace
    // period that began after what it needs was retired, instead of
    // starting its own.
    waited wait_for_readers(std::uint64_t& bound);

private:
    friend class read_section;
    class sole_reader_claim;
    // Declared inline here: GCC warns of an inline definition after noinline.
    [[gnu::cold, gnu::noinline]] inline void note_second_reader();
    bool reading_here(const reader_record& record) const;
    static bool reads(const reader_record& record, const void* site, const void* any_site);
    bool waits_for(const reader_record& waiter, const reader_record& other) const;
    bool share_grace_period(reader_record& own, std::uint64_t& bound);
    void
    wait_while_inside(const reader_record& record, std::uint64_t retired, const reader_record& own, waited& result);

    read_domain& domain;
    // The one thread's record, or the domain's shared_marker() once
    // another has read. Changed by read-modify-writes alone, so that a
    // reader's acquire load of any later value synchronizes with the
    // writer's last check (docs/threads.md, pair 3).
    std::atomic<const reader_record*> sole_reader;
    // The bound of a grace period under way, or 0; and the greatest bound
    // a grace period of this site has reached (docs/threads.md, pair 9).
    std::atomic<std::uint64_t> grace_under_way{0};
    std::atomic<std::uint64_t> grace_passed{0};
};

// Scope of one read. Sections nest; only the outermost one of a thread
// writes its record's epoch.
class read_section {
public:
    explicit read_section(read_site& site);
    // Inline even on the way out of an exception, so that a walk holding
    // a section keeps its members in registers.
    [[gnu::always_inline]] ~read_section();
    read_section(const read_section&) = delete;
    read_section& operator=(const read_section&) = delete;

private:
    // Take the record, not the section, so that the section stays in a
    // register on the usual path. Returns whether the section is one of
    // another site.
    [[gnu::cold, gnu::noinline]] static inline bool enter_nested(read_site& site, reader_record& record);
    [[gnu::cold, gnu::noinline]] static inline void leave_nested(reader_record& record);
    static std::size_t nested_slot(std::size_t depth);

    // What the section writes on leaving: null for a section nested in one
    // of the same site. Sections end in the reverse order of their start,
    // so the record's nested sections tell the outermost from the others.
    reader_record* leaving;
};

// ---------------------------------------------------------------------
// Mechanics.

// One thread's record.
struct reader_record {
    explicit reader_record(read_domain& owner) : domain(owner) {}

    // The domain's epoch when the thread's outermost section began; 0
    // outside any section. Written by its thread alone, with release.
    std::atomic<std::uint64_t> entered{0};
    // The site the outermost section reads.
    std::atomic<const void*> reading{nullptr};
    // While the thread waits for readers: the site, and the epoch it waits
    // past, so that two threads that would wait for each other can tell.
    std::atomic<const void*> waiting_for{nullptr};
    std::atomic<std::uint64_t> waiting_until{0};
    // Its own thread's alone: the sections of other sites nested in the
    // outermost one, innermost last, each with what its slot held before.
    struct nested_section {
        const read_site* site;
        const void* slot_before;
    };
    std::vector<nested_section> nested;
    // Its size, in a word that leaving a section reads alone.
    std::size_t nested_count = 0;
    read_domain& domain;
    // Guarded by the domain's mutex.
    bool in_use = false;
    // The sites of the sections of other sites nested in the outermost
    // one, by depth; from the last slot's depth on, that slot reads the
    // domain's any_site(), so that only deep nesting holds up every writer.
    static constexpr std::size_t nested_slots = 3;
    std::atomic<const void*> nested_reading[nested_slots] = {};
};

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

// A waiter's pause between two looks at what another thread is doing.
// Routing calls, and most frees, are short: yields for a while before
// sleeping, whose least step is far longer than most of them.
class pause_between_looks {
public:
    void operator()() const
    {
        if (std::chrono::steady_clock::now() < sleep_after)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }

private:
    const std::chrono::steady_clock::time_point sleep_after
        = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
};

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

// The records of every thread. Made once per process and never destroyed,
// so that it outlives every static and thread_local destructor.
class read_domain {
public:
    static read_domain& of_process();

    reader_record& own_record();
    // Orders the record's store before the reads of the section: for the
    // compiler alone where the writer's heavy_fence does the rest.
    void reader_fence() const;
    // A full barrier on every thread of the process, or on this one alone
    // where readers fence themselves.
    void heavy_fence() const;
    // The records in use, under the domain's mutex.
    template <typename Visit>
    void for_each_record(Visit visit);
    // False past the last record; otherwise record becomes the index-th
    // record, or null when no thread uses it. Allocates nothing.
    bool record_at(std::size_t index, const reader_record*& record);

    // What a record's last nested slot reads past its depth, and what a
    // site's sole reader becomes once a second thread reads it: addresses
    // in the domain, which every copy of this code that meets the site
    // shares.
    const void* any_site() const { return &markers[0]; }
    const reader_record* shared_marker() const { return reinterpret_cast<const reader_record*>(&markers[1]); }

    std::atomic<std::uint64_t> epoch{1};

private:
    friend class read_section;
    read_domain();
    [[gnu::cold, gnu::noinline]] inline reader_record& find_or_register();
    static bool membarrier_registered();
    [[noreturn]] static void stop_without_barrier(int error);
#if defined(VESSA_POSIX_THREADS)
    static void release_at_thread_exit(void* record);
    static void forget_other_threads_in_child();
#endif

    // Decided before any record exists, so that every reader sees it.
    const bool readers_fence;
    const char markers[2] = {};
    std::mutex mutex;
    // Only grows: a record is reused by a later thread, never freed.
    std::vector<std::unique_ptr<reader_record>> records;
#if defined(VESSA_POSIX_THREADS)
    // Its destructor runs after the thread's thread_local destructors.
    pthread_key_t thread_key;
#endif

public:
    // For tests, which meet a wait by it: how many times a waiter has
    // found a reader it must wait for. Last, away from what readers load.
    std::atomic<std::uint64_t> readers_waited_for{0};
    // How many times a waiter has waited for another's grace period.
    std::atomic<std::uint64_t> grace_periods_shared{0};
};

// The record this thread uses, trivial so that reaching it needs no check
// that it was constructed. The domain is there for a library copy's cache
// that may meet another copy's domain (shared objects with hidden symbols).
struct cached_record {
    read_domain* domain;
    reader_record* record;
};
inline thread_local cached_record own_cached_record{nullptr, nullptr};

inline read_domain& read_domain::of_process()
{
    static read_domain* const domain = new read_domain;
    return *domain;
}

inline reader_record& read_domain::own_record()
{
    const cached_record& cached = own_cached_record;
    if (usually(cached.domain == this))
        return *cached.record;
    return find_or_register();
}

inline void read_domain::reader_fence() const
{
    if (!usually(!readers_fence))
        full_fence();
    else
        std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline read_section::read_section(read_site& site)
{
    read_domain& domain = site.domain;
    reader_record& record = domain.own_record();
    leaving = &record;
    if (usually(record.entered.load(std::memory_order_relaxed) == 0)) {
        // Both read before the record is written, which the compiler could
        // otherwise take for a write to them. Acquire: a reader that sees a
        // grace period's epoch also sees the site's sole reader it reset.
        const std::uint64_t epoch = domain.epoch.load(std::memory_order_acquire);
        const bool fenced = domain.readers_fence;
        record.reading.store(&site, std::memory_order_relaxed);
        record.entered.store(epoch, std::memory_order_release);
        if (!usually(!fenced))
            full_fence();
        else
            std::atomic_signal_fence(std::memory_order_seq_cst);
        // Acquire: a reader that finds the site shared relies on the
        // writer's check that came before the mark it sees (pair 3).
        const reader_record* const sole = site.sole_reader.load(std::memory_order_acquire);
        if (!usually(sole == &record || sole == domain.shared_marker()))
            site.note_second_reader();
    } else if (!enter_nested(site, record)) {
        leaving = nullptr;
    }
}

inline read_section::~read_section()
{
    if (!leaving)
        return;
    if (usually(leaving->nested_count == 0))
        leaving->entered.store(0, std::memory_order_release);
    else
        leave_nested(*leaving);
}

// A section of another site inside this thread's outermost one: the record
// keeps its epoch and publishes the site in the slot of its depth, or any
// site past the slots; its list of nested sites tells this thread itself
// which sites it is in. What may throw comes before any store.
bool read_section::enter_nested(read_site& site, reader_record& record)
{
    if (site.inside())
        return false;
    std::atomic<const void*>& slot = record.nested_reading[nested_slot(record.nested.size())];
    record.nested.push_back({&site, slot.load(std::memory_order_relaxed)});
    record.nested_count = record.nested.size();
    const bool past_slots = record.nested.size() > reader_record::nested_slots;
    slot.store(past_slots ? site.domain.any_site() : &site, std::memory_order_release);
    site.domain.reader_fence();
    const reader_record* const sole = site.sole_reader.load(std::memory_order_acquire);
    if (sole != &record && sole != site.domain.shared_marker())
        site.note_second_reader();
    return true;
}

// Release: the section's reads come before the slot gives the site up.
void read_section::leave_nested(reader_record& record)
{
    const std::size_t depth = record.nested.size() - 1;
    record.nested_reading[nested_slot(depth)].store(record.nested.back().slot_before, std::memory_order_release);
    record.nested.pop_back();
    record.nested_count = record.nested.size();
}

inline std::size_t read_section::nested_slot(std::size_t depth)
{
    return depth < reader_record::nested_slots ? depth : reader_record::nested_slots - 1;
}

inline read_site::read_site() : domain(read_domain::of_process()), sole_reader(&domain.own_record()) {}

// A read-modify-write: it reads the writer's last check, or a later mark,
// and so synchronizes with it; this reader's loads after it then see what
// that writer published before checking (pair 3).
void read_site::note_second_reader() { sole_reader.exchange(domain.shared_marker(), std::memory_order_acq_rel); }

inline bool read_site::inside() const
{
    const reader_record& own = domain.own_record();
    if (own.entered.load(std::memory_order_relaxed) == 0)
        return false;
    if (own.reading.load(std::memory_order_relaxed) == this)
        return true;
    for (const reader_record::nested_section& nested : own.nested) {
        if (nested.site == this)
            return true;
    }
    return false;
}

// A read-modify-write, not a load: a reader that sees a later epoch, even
// one that another site's writer made, then sees what was unpublished.
inline std::uint64_t read_site::retire_stamp() { return domain.epoch.fetch_add(0, std::memory_order_acq_rel); }

inline std::uint64_t read_site::bound_of_retired() { return domain.epoch.fetch_add(1, std::memory_order_acq_rel) + 1; }

inline const reader_record* read_site::caller() const { return &domain.own_record(); }

inline bool read_site::waits_for_caller(const reader_record* other) const
{
    return other && waits_for(domain.own_record(), *other);
}

// A read-modify-write that writes what it reads: a reader that marks the
// site later, or loads a later mark, synchronizes with it and sees what
// the caller published before (pair 3).
inline bool read_site::read_by_caller_alone()
{
    const reader_record* own = &domain.own_record();
    return sole_reader.compare_exchange_strong(own, own, std::memory_order_acq_rel) && !inside();
}

inline bool read_site::reading_here(const reader_record& record) const
{
    return reads(record, this, domain.any_site());
}

// Takes the site by address alone: a site another thread waits for may be
// gone by the time this looks.
inline bool read_site::reads(const reader_record& record, const void* site, const void* any_site)
{
    if (record.reading.load(std::memory_order_acquire) == site)
        return true;
    for (const std::atomic<const void*>& slot : record.nested_reading) {
        const void* const nested = slot.load(std::memory_order_acquire);
        if (nested == site || nested == any_site)
            return true;
    }
    return false;
}

inline std::uint64_t read_site::oldest_reader()
{
    const reader_record& own = domain.own_record();
    // Claimed before the new epoch, as a wait claims it (pair 4), and kept
    // when the scan finds no other thread inside: that was a grace period,
    // and the caller's next changes free at once.
    sole_reader.exchange(&own, std::memory_order_acq_rel);
    // Whatever was stamped before the new epoch is older than every reader
    // that enters from now on.
    std::uint64_t oldest = domain.epoch.fetch_add(1, std::memory_order_acq_rel) + 1;
    domain.heavy_fence();
    bool others_inside = false;
    domain.for_each_record([&](const reader_record& record) {
        const std::uint64_t entered = record.entered.load(std::memory_order_acquire);
        if (entered != 0 && reading_here(record)) {
            oldest = entered < oldest ? entered : oldest;
            others_inside = others_inside || &record != &own;
        }
    });
    if (others_inside)
        sole_reader.exchange(domain.shared_marker(), std::memory_order_acq_rel);
    return oldest;
}

// Whether other waits for the readers of a site that waiter reads, since
// before waiter's section began.
inline bool read_site::waits_for(const reader_record& waiter, const reader_record& other) const
{
    const void* const site_waited = other.waiting_for.load(std::memory_order_seq_cst);
    if (!site_waited)
        return false;
    const std::uint64_t entered = waiter.entered.load(std::memory_order_relaxed);
    return entered != 0 && entered <= other.waiting_until.load(std::memory_order_seq_cst)
           && reads(waiter, site_waited, domain.any_site());
}

// The waiter's claim to be the site's one reader, and its mark as a
// waiter, for the length of a wait: a wait that ends early, however it
// ends, gives the site back to its readers as shared, as it may have been
// before, and the mark back to nothing.
class read_site::sole_reader_claim {
public:
    // Before the grace period's epoch, so that a reader that enters
    // with a later one, which the wait passes over, finds the claim and
    // marks the site (pair 4).
    sole_reader_claim(read_site& claimed, reader_record& waiter) : site(claimed), own(waiter)
    {
        site.sole_reader.exchange(&own, std::memory_order_acq_rel);
    }
    ~sole_reader_claim()
    {
        own.waiting_for.store(nullptr, std::memory_order_seq_cst);
        if (!kept)
            site.sole_reader.exchange(site.domain.shared_marker(), std::memory_order_acq_rel);
        // Release, after the raise of keep(): a waiter that reads its end
        // sees whether it passed (pair 9). Another's may have replaced it.
        site.grace_under_way.compare_exchange_strong(announced, 0, std::memory_order_release,
                                                     std::memory_order_relaxed);
    }
    sole_reader_claim(const sole_reader_claim&) = delete;
    sole_reader_claim& operator=(const sole_reader_claim&) = delete;

    // The grace period that ends past bound is under way.
    void announce(std::uint64_t bound)
    {
        announced = bound;
        site.grace_under_way.store(bound, std::memory_order_relaxed);
    }
    // The wait is over: every reader it could miss is marked, and what was
    // retired below the bound announced can be freed.
    void keep()
    {
        kept = true;
        std::uint64_t passed = site.grace_passed.load(std::memory_order_relaxed);
        while (passed < announced
               && !site.grace_passed.compare_exchange_weak(passed, announced, std::memory_order_release,
                                                           std::memory_order_relaxed)) {}
    }

private:
    read_site& site;
    reader_record& own;
    bool kept = false;
    std::uint64_t announced = 0;
};

inline read_site::waited read_site::wait_for_readers(std::uint64_t& bound)
{
    reader_record& own = domain.own_record();
    if (own.entered.load(std::memory_order_relaxed) == 0 && share_grace_period(own, bound))
        return waited::done;
    sole_reader_claim claim(*this, own);
    const std::uint64_t retired = domain.epoch.fetch_add(1, std::memory_order_acq_rel);
    bound = retired + 1;
    claim.announce(bound);
    own.waiting_until.store(retired, std::memory_order_seq_cst);
    own.waiting_for.store(this, std::memory_order_seq_cst);
    domain.heavy_fence();
    waited result = waited::done;
    const reader_record* record = nullptr;
    for (std::size_t index = 0; result == waited::done && domain.record_at(index, record); ++index) {
        // A record taken up since the fence entered after retired.
        if (record && record != &own)
            wait_while_inside(*record, retired, own, result);
    }
    if (result == waited::done)
        claim.keep();
    return result;
}

// When the grace period under way, if any, began after what was retired
// below bound (its epoch is at least bound - 1), waits for it to end, and
// returns whether it passed, raising bound to what it passed. A caller
// inside no section alone: none waits for it as a reader, and while it
// waits its marks tell a thread its free waits for that it waits in turn.
inline bool read_site::share_grace_period(reader_record& own, std::uint64_t& bound)
{
    const pause_between_looks pause;
    for (std::uint64_t shared = 0;; pause()) {
        // Acquire, the end first: one seen over shows whether it passed.
        const std::uint64_t under_way = grace_under_way.load(std::memory_order_acquire);
        const std::uint64_t passed = grace_passed.load(std::memory_order_acquire);
        const bool served = passed >= bound;
        if (served || under_way < bound) {
            if (shared != 0)
                own.waiting_for.store(nullptr, std::memory_order_seq_cst);
            if (served)
                bound = passed;
            return served;
        }
        if (under_way != shared) {
            if (shared == 0)
                domain.grace_periods_shared.fetch_add(1, std::memory_order_relaxed);
            shared = under_way;
            own.waiting_until.store(under_way - 1, std::memory_order_seq_cst);
            own.waiting_for.store(this, std::memory_order_seq_cst);
        }
    }
}

inline void read_site::wait_while_inside(const reader_record& record, std::uint64_t retired, const reader_record& own,
                                         waited& result)
{
    const pause_between_looks pause;
    for (bool first = true;; first = false) {
        const std::uint64_t entered = record.entered.load(std::memory_order_acquire);
        if (entered == 0 || entered > retired || !reading_here(record))
            return;
        if (waits_for(own, record)) {
            result = waited::refused_for_cycle;
            return;
        }
        if (first)
            domain.readers_waited_for.fetch_add(1, std::memory_order_relaxed);
        pause();
    }
}

template <typename Visit>
void read_domain::for_each_record(Visit visit)
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (const auto& record : records) {
        if (record->in_use)
            visit(*record);
    }
}

// Records are never freed or moved, only their list grows: a record found
// stays valid after the lock is let go.
inline bool read_domain::record_at(std::size_t index, const reader_record*& record)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (index >= records.size())
        return false;
    record = records[index]->in_use ? records[index].get() : nullptr;
    return true;
}

inline read_domain::read_domain() : readers_fence(!membarrier_registered())
{
#if defined(VESSA_POSIX_THREADS)
    if (pthread_key_create(&thread_key, release_at_thread_exit) != 0) {
        std::fputs("vessa: pthread_key_create failed: no key for routing threads' records\n", stderr);
        std::abort();
    }
    pthread_atfork([] { of_process().mutex.lock(); }, [] { of_process().mutex.unlock(); },
                   forget_other_threads_in_child);
#endif
}

reader_record& read_domain::find_or_register()
{
    reader_record* record = nullptr;
#if defined(VESSA_POSIX_THREADS)
    // Made by another copy of this code in the same thread, when shared
    // objects keep copies of their own.
    record = static_cast<reader_record*>(pthread_getspecific(thread_key));
#else
    // A thread_local object releases it: routing from a thread_local
    // destructor that runs after it registers anew, for good.
    struct releaser {
        reader_record* record = nullptr;
        ~releaser()
        {
            if (record) {
                const std::lock_guard<std::mutex> lock(record->domain.mutex);
                record->in_use = false;
            }
        }
    };
    static thread_local releaser own_releaser;
    record = own_releaser.record;
#endif
    if (!record) {
        const std::lock_guard<std::mutex> lock(mutex);
        for (const auto& unused : records) {
            if (!unused->in_use) {
                record = unused.get();
                break;
            }
        }
        if (!record) {
            records.push_back(std::make_unique<reader_record>(*this));
            record = records.back().get();
        }
        record->in_use = true;
#if defined(VESSA_POSIX_THREADS)
        pthread_setspecific(thread_key, record);
#else
        own_releaser.record = record;
#endif
    }
    own_cached_record = {this, record};
    return *record;
}

#if defined(VESSA_POSIX_THREADS)
// Runs after the thread's thread_local destructors. A destructor of
// another key that routes afterwards registers again, and the thread
// library calls this again.
inline void read_domain::release_at_thread_exit(void* released)
{
    reader_record* const record = static_cast<reader_record*>(released);
    {
        const std::lock_guard<std::mutex> lock(record->domain.mutex);
        record->nested.clear();
        record->nested_count = 0;
        record->in_use = false;
    }
    if (own_cached_record.record == record)
        own_cached_record = {nullptr, nullptr};
}

// The child of a fork has only the thread that forked: the records of the
// others, which may be inside a section, would be waited for forever.
inline void read_domain::forget_other_threads_in_child()
{
    read_domain& domain = of_process();
    domain.mutex.unlock();
    const void* const own = pthread_getspecific(domain.thread_key);
    for (const auto& record : domain.records) {
        if (record.get() != own && record->in_use) {
            record->entered.store(0, std::memory_order_relaxed);
            record->reading.store(nullptr, std::memory_order_relaxed);
            for (std::atomic<const void*>& slot : record->nested_reading)
                slot.store(nullptr, std::memory_order_relaxed);
            record->waiting_for.store(nullptr, std::memory_order_relaxed);
            record->nested.clear();
            record->nested_count = 0;
            record->in_use = false;
        }
    }
    // The registration is the parent's process's, not the child's.
    if (!domain.readers_fence)
        membarrier_registered();
}
#endif

inline bool read_domain::membarrier_registered()
{
#if defined(__linux__) && defined(SYS_membarrier)
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    return commands >= 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0
           && syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
    return false;
#endif
}

inline void read_domain::heavy_fence() const
{
    if (readers_fence)
        return full_fence();
#if defined(__linux__) && defined(SYS_membarrier)
    // The kernel may lack memory for the call for a moment: try again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0)
            return;
        if (errno != ENOMEM)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop_without_barrier(errno);
#endif
}

// Readers rely on the barrier and may be inside a section already: no
// fence of their own can be switched on under them.
inline void read_domain::stop_without_barrier(int error)
{
    std::fprintf(stderr,
                 "vessa: membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) failed: %s; routing threads rely on it, "
                 "so the program stops (a sandbox that refuses the call must do so before the first routing "
                 "call, when readers can fence themselves instead)\n",
                 std::strerror(error));
    std::abort();
}

} // namespace detail
} // namespace vessa

#endif
