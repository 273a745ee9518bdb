#include "suffixsortparallel.h"

#include "suffixarray.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Index = std::uint32_t;
constexpr Index sortedRun = Sadakane<Index>::sortedRun;

// The whole key scratch of a sort, shared by its threads (8 MiB). A test
// build may shrink it to drive the cooperative splits on small blocks.
#ifndef Q38_SORT_SCRATCH_LOG2
#define Q38_SORT_SCRATCH_LOG2 21
#endif
constexpr std::size_t scratchEntries = std::size_t(1) << Q38_SORT_SCRATCH_LOG2;
static_assert(scratchEntries < (std::size_t(1) << 31), "arena offsets are kept in an Index");
// Chunks per thread: enough that threads finishing early find more.
constexpr unsigned chunksPerThread = 64;
// Groups from this size sort by digits, smaller ones by insertion.
constexpr unsigned digitSortMin = 32;
// Groups from this size have their numbers stored from a different place
// by each thread (see store).
constexpr Index spreadStores = 4096;

// A store to V that other threads may read at the same time (see loadShared).
inline void storeShared(std::uint32_t* p, std::uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
#else
    *p = v;
#endif
}

// A reusable barrier for a team; its size is set before any member waits.
class Barrier {
public:
    explicit Barrier(unsigned count) : count_(count) {}
    void resize(unsigned count) { count_ = count; }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned generation = generation_;
        if (++arrived_ == count_) {
            arrived_ = 0;
            ++generation_;
            cv_.notify_all();
            return;
        }
        cv_.wait(lock, [&] { return generation_ != generation; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    unsigned count_, arrived_ = 0, generation_ = 0;
};

// Runs body(t) on a team of threads t = 0 ... count - 1, thread 0 being the
// caller, where count is as many as could be started of the `most` asked
// for (the system may refuse any start), at least the caller.
// plan(count) runs on the caller first, before any member begins, so that
// what the team is cut by (barriers, slices) follows the count it got; if
// it throws, the members started end unused and the exception goes on.
template <typename Plan, typename Body>
void runTeam(unsigned most, Plan plan, Body body) {
    std::mutex mutex;
    std::condition_variable planned;
    bool ready = false, go = false;
    auto member = [&](unsigned t) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            planned.wait(lock, [&] { return ready; });
        }
        if (go) body(t);
    };
    std::vector<std::thread> team;
    team.reserve(most - 1);
    for (unsigned t = 1; t < most; ++t) {
        std::thread th;
        if (!tryStartThread(th, [&member, t] { member(t); })) break;
        team.push_back(std::move(th));
    }
    auto open = [&](bool start) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready = true;
            go = start;
        }
        planned.notify_all();
    };
    try {
        plan(static_cast<unsigned>(team.size()) + 1);
    } catch (...) {
        open(false);
        for (auto& th : team) th.join();
        throw;
    }
    open(true);
    body(0);
    for (auto& th : team) th.join();
}

// Splits one group [lo, hi) on a gathered copy of its keys without touching
// V: the members are permuted in I (exactly, no markers), and the new group
// number of position lo + p is left in space[p]. space holds 3 (hi - lo)
// entries: keys (then numbers) and two arrays for the stable splits.
class DeferredSplit {
public:
    DeferredSplit() {
        pending_.reserve(256);
        counts_.reserve(std::size_t(3) << gatheredDigitBits);
    }

    // The keys of the group [lo, hi) into space[0, m); a group of one has
    // none (its key may lie past the end).
    static void gather(const Index* I, const Index* Vh, Index lo, Index hi, Index* space) {
        if (hi - lo > 1) gatherKeys(I + lo, Vh, hi - lo, space);
    }

    // Splits the group [lo, hi) by the keys gather left in space, which
    // then holds the numbers; `scratch` holds 2 (hi - lo) entries. Small
    // groups and parts sort by insertion (their digit passes would be many
    // and narrow, and a split moves them through the scratch twice).
    void run(Index* I, Index lo, Index hi, Index* space, Index* scratch) {
        T_ = I + lo;
        lo_ = lo;
        const Index m = hi - lo;
        if (m == 1) {
            space[0] = lo + 1;
            return;
        }
        struct Parts {
            const DeferredSplit* d;
            Index* K;
            Index m;
            void small(Index l, Index h) const {
                if (h - l <= 4)
                    d->small(l, h - l, K);
                else
                    d->insertion(l, h, K);
            }
            void equal(Index a, Index b) const { d->number(K, a, b); }
            // keys may be K itself: a run is written only once it is read.
            void runs(const Index* keys) const {
                forEachRun(keys, 0, m, [this](Index a, Index b) { d->number(K, a, b); });
            }
        } parts{this, space, m};
        splitGatheredGroup(T_, space, m, scratch, scratch + m, counts_, pending_, digitSortMin, parts);
    }

private:
    struct Frame {
        Index equalBegin, equalEnd, greaterEnd;
    };
    std::vector<Frame> pending_;
    std::vector<Index> counts_;
    Index* T_ = nullptr;
    Index lo_ = 0;

    void number(Index* K, Index a, Index b) const {
        for (Index p = a; p < b; ++p) K[p] = lo_ + b;
    }

    // The members [l, h) with keys K[l, h) sorted by insertion, which is
    // stable as the splits are, then numbered by runs of equal keys.
    void insertion(Index l, Index h, Index* K) const {
        for (Index p = l + 1; p < h; ++p) {
            const Index k = K[p], x = T_[p];
            Index q = p;
            for (; q > l && K[q - 1] > k; --q) {
                K[q] = K[q - 1];
                T_[q] = T_[q - 1];
            }
            K[q] = k;
            T_[q] = x;
        }
        forEachRun(K, l, h, [this, K](Index s, Index t) { number(K, s, t); });
    }

    // Up to four members at l with keys K[l ...]: a network, then numbers.
    void small(Index l, Index m, Index* K) const {
        Index x[4], key[4];
        for (Index p = 0; p < m; ++p) {
            x[p] = T_[l + p];
            key[p] = K[l + p];
        }
        sortNetwork(x, key, static_cast<unsigned>(m));
        forEachRun(key, 0, m, [&](Index s, Index t) {
            for (Index p = s; p < t; ++p) {
                T_[l + p] = x[p];
                K[l + p] = lo_ + l + t;
            }
        });
    }
};

struct Part {
    Index lo, hi, current;  // current: the number its members carry now
};

class Team {
public:
    // Planned for `threads`; sort() works with as many as start.
    Team(Index* I, Index* V, Index n1, unsigned threads, const TeamTuning& tuning, const std::vector<Index>* starts)
        : I_(I), V_(V), n1_(n1), threads_(threads), tuning_(tuning), barrier_(threads), workers_(threads) {
        // The budget, at most one entry per suffix and thread, is cut in
        // equal shares. A share holds the records of a batch, then the
        // scratch of its splits (twice its largest group); a group alone
        // takes up to a third of it.
        const std::size_t total = std::min<std::size_t>(scratchEntries, std::size_t(n1) * threads * 3 / 2 + 64 * threads);
        scratch_ = allocateLargeArray<Index>(total);
        const std::size_t each = total / threads;
        share_ = static_cast<Index>((each - 3) / 3);
        for (unsigned t = 0; t < threads; ++t) {
            Worker& w = workers_[t];
            w.arena = scratch_.get() + t * each;
            w.arenaSize = each;
            w.seen.assign(threads, 0);
            w.ring.reset(new Published[tuning.ringSize]);
            w.items.reserve(256);
            w.conflicts.reserve(16);
            w.suspects.reserve(tuning.rereadKeys + 1);
        }
        parts_.reserve(64);
        huge_.reserve(64);
        if (starts != nullptr) {
            chunks_ = *starts;
            chunks_.push_back(n1_);
        } else {
            makeChunks();
        }
    }

    void sort(unsigned h) {
        h_ = h;
        // A smaller team than planned leaves the last workers and their
        // shares of the scratch unused.
        runTeam(
            threads_,
            [this](unsigned count) {
                threads_ = count;
                barrier_.resize(count);
            },
            [this](unsigned t) { work(t); });
        // Every chunk is one run by now.
        Index j = 0;
        while (j < n1_) j += I_[j] - sortedRun;
        I_[0] = sortedRun + n1_;
    }

private:
    // A group of the batch under way: its record [lo, m, current, m
    // numbers] in the arena, and where the keys it read lie there until
    // they are checked (a tandem split's in two runs after its numbers).
    struct Item {
        std::size_t rec = 0, keys = 0, keys2 = 0;
        Index count = 0, count2 = 0;
        bool tandem = false;
        bool unchecked = true;  // keys read in the window being checked
        bool deferred = false;  // left to the cooperative splits
    };
    // A key of a plain split read again: where it lies in the arena, and
    // the member it is the key of.
    struct Suspect {
        Index key, member;
    };
    // What a thread tells the others of the batches it stores: the range
    // of places a batch covers, tagged with its number.
    struct Published {
        std::atomic<std::uint64_t> batch{~std::uint64_t(0)};
        std::atomic<Index> lo{0}, hi{0};
    };
    struct Worker {
        Index* arena = nullptr;
        std::size_t arenaSize = 0, used = 0;
        Index largest = 0;  // the largest group of the batch to split by keys
        std::size_t groups = 0;
        Index less = 0, equal = 0;  // counts of a cooperative split's slice
        DeferredSplit split;
        std::vector<Item> items;
        Index batchLo = 0, batchHi = 0;
        std::vector<std::uint64_t> seen;  // each other thread's count when the window opened
        std::vector<std::pair<Index, Index>> conflicts;
        std::vector<Suspect> suspects;  // keys read again, checked again
        // Twice the batches stored, plus one while one is being stored.
        alignas(64) std::atomic<std::uint64_t> stored{0};
        std::unique_ptr<Published[]> ring;
    };

    Index* I_;
    Index* V_;
    const Index n1_;
    unsigned threads_;  // the team's size once it has started
    const TeamTuning tuning_;
    Barrier barrier_;
    std::vector<Worker> workers_;
    LargeArray<Index> scratch_;  // on huge pages: the shares are written as they fill
    Index share_ = 0;
    std::vector<Index> chunks_;  // chunk c is [chunks_[c], chunks_[c + 1])
    std::atomic<std::size_t> nextChunk_{0};
    std::vector<Part> parts_;  // left by cooperative splits for the next round
    std::atomic<std::size_t> nextPart_{0};
    std::size_t partsOffered_ = 0;  // parts_[0 ... partsOffered_) are this round's
    std::mutex hugeMutex_;
    std::vector<Part> huge_;
    unsigned h_ = 0;
    const Index* Vh_ = nullptr;
    // Set by thread 0 between barriers, read by all after.
    Part job_{0, 0, 0};
    bool haveJob_ = false;
    Index pivot_ = 0;
    Index lessBegin_ = 0;
    bool passDone_ = false, sortDone_ = false;

    void makeChunks() {
        // Right after the grouping a position is a group end when it holds
        // a marker, and the entry of any member names its group's end.
        const Index span = std::max<Index>(64, n1_ / (threads_ * chunksPerThread));
        chunks_.push_back(0);
        for (Index target = span; target < n1_;) {
            const Index x = I_[target];
            const Index end = (x & sortedRun) ? target : V_[x];
            if (end >= n1_) break;
            if (end > chunks_.back()) chunks_.push_back(end);
            target = end + span;
        }
        chunks_.push_back(n1_);
    }

    void work(unsigned t) {
        Worker& w = workers_[t];
        for (;;) {
            if (t == 0) Vh_ = V_ + h_;
            barrier_.wait();
            for (;;) {
                splitAll(w, t);
                cooperate(t);
                if (t == 0) endRound();
                barrier_.wait();
                if (passDone_) break;
            }
            if (sortDone_) return;
        }
    }

    void endRound() {
        // Parts are taken in order; what is left, with those queued by this
        // round's cooperative splits, is offered next.
        const std::size_t taken = std::min(nextPart_.load(), partsOffered_);
        parts_.erase(parts_.begin(), parts_.begin() + static_cast<std::ptrdiff_t>(taken));
        partsOffered_ = parts_.size();
        nextPart_ = 0;
        passDone_ = nextChunk_.load() >= chunks_.size() - 1 && parts_.empty();
        if (!passDone_) return;
        std::size_t groups = 0;
        for (Worker& w : workers_) {
            groups += w.groups;
            w.groups = 0;
        }
        sortDone_ = groups == 0;
        nextChunk_ = 0;
        h_ *= 2;
    }

    // Whether a group of m members fits the batch: its record, then the
    // scratch of the batch's splits by keys (twice the largest of them), if
    // it is split by keys or by a tandem split (whose record holds its
    // members and keys too, 1.75 entries a member). A batch closes once its
    // records would outgrow the batch size: small batches keep the others'
    // checks short.
    bool fits(const Worker& w, Index m) const {
        const std::size_t tandem = 3 + std::size_t(m) + 3 * std::size_t(m / 4);
        const std::size_t plain = 3 + std::size_t(m) + 2 * std::size_t(std::max(w.largest, m));
        const std::size_t need = std::max(tandem + 2 * std::size_t(w.largest), plain);
        return w.used + need <= w.arenaSize && (w.used == 0 || w.used + tandem <= tuning_.batchEntries);
    }

    // Splits the groups of the parts offered and of the chunks left, a
    // batch at a time (see flush).
    void splitAll(Worker& w, unsigned t) {
        for (;;) {
            const std::size_t k = nextPart_.fetch_add(1);
            if (k >= partsOffered_) break;
            const Part p = parts_[k];
            add(w, p.lo, p.hi, p.current);
            flush(w, t);
        }
        for (;;) {
            const std::size_t k = nextChunk_.fetch_add(1);
            if (k + 1 >= chunks_.size()) break;
            scanChunk(w, t, k);
            flush(w, t);
        }
    }

    // Adds the group [lo, hi) to the batch: a tandem split at once, or its
    // keys read for a split after the check.
    void add(Worker& w, Index lo, Index hi, Index current) {
        if (w.items.empty()) {
            w.batchLo = lo;
            openWindow(w);
        }
        w.batchHi = hi;
        const Index m = hi - lo;
        Index* const rec = w.arena + w.used;
        rec[0] = lo;
        rec[1] = m;
        rec[2] = current;
        Item it;
        it.rec = w.used;
        Index found[2];
        if (m >= tandemMin && current == hi && splitTandem(lo, hi, rec + 3, found)) {
            const Index room = m / 4;
            it.tandem = true;
            it.keys = w.used + 3 + m + room;
            it.count = found[0];
            it.keys2 = it.keys + room - found[1];
            it.count2 = found[1];
            w.used += 3 + std::size_t(m) + 3 * std::size_t(room);
        } else {
            DeferredSplit::gather(I_, Vh_, lo, hi, rec + 3);
            it.keys = w.used + 3;
            it.count = m == 1 ? 0 : m;
            w.used += 3 + std::size_t(m);
            w.largest = std::max(w.largest, m);
        }
        w.items.push_back(it);
    }

    // The others' counts of stored batches, before any key of the window
    // is read.
    void openWindow(Worker& w) {
        for (unsigned u = 0; u < threads_; ++u)
            if (&workers_[u] != &w) w.seen[u] = workers_[u].stored.load(std::memory_order_acquire);
    }

    // The ranges of the batches the others stored, or began to, since the
    // window opened: a key read meanwhile that points into one may have
    // caught its group half renumbered. False if too many to tell.
    bool storedSince(Worker& w) {
        w.conflicts.clear();
        for (unsigned u = 0; u < threads_; ++u) {
            if (&workers_[u] == &w) continue;
            const BatchesBetween since =
                batchesBetween(w.seen[u], workers_[u].stored.load(std::memory_order_acquire));
            if (!since.any) continue;
            if (since.last - since.first >= tuning_.ringSize / 2) return false;
            for (std::uint64_t j = since.first; j <= since.last; ++j) {
                Published& e = workers_[u].ring[j % tuning_.ringSize];
                const std::uint64_t b1 = e.batch.load(std::memory_order_acquire);
                const Index lo = e.lo.load(std::memory_order_relaxed), hi = e.hi.load(std::memory_order_relaxed);
                std::atomic_thread_fence(std::memory_order_acquire);
                const std::uint64_t b2 = e.batch.load(std::memory_order_relaxed);
                if (b1 != j || b2 != j) return false;
                w.conflicts.push_back({lo, hi});
            }
        }
        return true;
    }

    // Whether any of the keys names a group inside one of the ranges.
    static bool hits(const Index* keys, Index count, const std::vector<std::pair<Index, Index>>& ranges) {
        for (const auto& r : ranges) {
            bool hit = false;
            for (Index p = 0; p < count; ++p) hit |= keyInPlaces(keys[p], r.first, r.second);
            if (hit) return true;
        }
        return false;
    }

    // Checks the keys of the batch against the others' stores, reads those
    // that may be torn again, then splits the groups and stores their
    // numbers as one batch of this thread's.
    void flush(Worker& w, unsigned t) {
        if (w.items.empty()) return;
        for (unsigned attempt = 0;; ++attempt) {
            std::atomic_thread_fence(std::memory_order_acquire);
            const bool known = storedSince(w);
            if (known && w.conflicts.empty()) break;
            if (!known && attempt >= 8) {
                // The others keep storing too much while this batch reads:
                // its groups wait for the cooperative splits.
                std::lock_guard<std::mutex> lock(hugeMutex_);
                for (const Item& it : w.items) {
                    const Index* rec = w.arena + it.rec;
                    if (!it.deferred) huge_.push_back({rec[0], rec[0] + rec[1], rec[2]});
                }
                w.items.clear();
                w.suspects.clear();
                w.used = 0;
                w.largest = 0;
                return;
            }
            // Which keys may have caught a group half renumbered: when the
            // others stored more than the ring tells, every key read since
            // the window opened; else those that name a group inside a
            // range they stored. A plain split reads only those again (a
            // key that names no such group saw a group nobody renumbered
            // while it was read, so it agrees with any later reading); a
            // tandem split, and an item when the ranges are unknown, read
            // their whole group again.
            std::size_t kept = 0;
            for (const Suspect& k : w.suspects)
                if (!known || hits(w.arena + k.key, 1, w.conflicts)) w.suspects[kept++] = k;
            w.suspects.resize(kept);
            bool again = kept != 0;
            for (Item& it : w.items) {
                if (!it.unchecked) continue;
                if (!known || it.tandem) {
                    const bool torn = !known || hits(w.arena + it.keys, it.count, w.conflicts) ||
                                      hits(w.arena + it.keys2, it.count2, w.conflicts);
                    it.unchecked = torn;
                    again |= torn;
                    continue;
                }
                if (!hits(w.arena + it.keys, it.count, w.conflicts)) {
                    it.unchecked = false;
                    continue;
                }
                again = true;
                const std::size_t before = w.suspects.size();
                const Index lo = w.arena[it.rec];
                for (Index p = 0; p < it.count && w.suspects.size() <= tuning_.rereadKeys; ++p)
                    if (hits(w.arena + it.keys + p, 1, w.conflicts))
                        w.suspects.push_back({static_cast<Index>(it.keys + p), I_[lo + p]});
                // Past a bound on the list, the group is read whole again.
                if (w.suspects.size() > tuning_.rereadKeys)
                    w.suspects.resize(before);
                else
                    it.unchecked = false;
            }
            if (!again) break;
            openWindow(w);
            for (const Suspect& k : w.suspects) w.arena[k.key] = loadShared(Vh_ + k.member);
            for (Item& it : w.items) {
                if (!it.unchecked || it.deferred) continue;
                // Read again, for a plain split (a tandem split has already
                // put its members in an order of its own). A tandem split
                // whose scratch for that would not fit waits for the
                // cooperative splits instead.
                Index* const rec = w.arena + it.rec;
                if (it.tandem && w.used + 2 * std::size_t(std::max(w.largest, rec[1])) > w.arenaSize) {
                    std::lock_guard<std::mutex> lock(hugeMutex_);
                    huge_.push_back({rec[0], rec[0] + rec[1], rec[2]});
                    it.deferred = true;
                    it.unchecked = false;
                    continue;
                }
                if (it.tandem) w.largest = std::max(w.largest, rec[1]);
                DeferredSplit::gather(I_, Vh_, rec[0], rec[0] + rec[1], rec + 3);
                it.tandem = false;
                it.keys = it.rec + 3;
                it.count = rec[1] == 1 ? 0 : rec[1];
                it.count2 = 0;
            }
        }
        w.suspects.clear();
        Q38_ASSERT(w.used + 2 * std::size_t(w.largest) <= w.arenaSize);
        Index* const splitScratch = w.arena + w.used;
        for (const Item& it : w.items) {
            if (it.tandem || it.deferred) continue;
            Index* const rec = w.arena + it.rec;
            w.split.run(I_, rec[0], rec[0] + rec[1], rec + 3, splitScratch);
        }
        const std::uint64_t s = w.stored.load(std::memory_order_relaxed);
        Published& e = w.ring[(s / 2) % tuning_.ringSize];
        e.batch.store(~std::uint64_t(0), std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        e.lo.store(w.batchLo, std::memory_order_relaxed);
        e.hi.store(w.batchHi, std::memory_order_relaxed);
        e.batch.store(s / 2, std::memory_order_release);
        w.stored.store(s + 1, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_release);
        for (const Item& it : w.items)
            if (!it.deferred) store(w.arena + it.rec, t);
        w.stored.store(s + 2, std::memory_order_release);
        w.items.clear();
        w.used = 0;
        w.largest = 0;
    }

    // A group repeating with a period, split as on one thread (see
    // splitTandemGroup) into the numbers of its places in space[0, m), the
    // members outside the repeat and their keys after them (keysRead: how
    // many from the front and from the back).
    bool splitTandem(Index lo, Index hi, Index* space, Index* keysRead) {
        struct Numbers {
            Index* num;
            Index lo;
            Index end(Index p, Index) const { return num[p - lo]; }
            void give(Index p, Index, Index e) const { num[p - lo] = e; }
            void alone(Index) const {}  // store marks them
        } numbers{space, lo};
        const Index d = findTandemShift(I_, V_, lo, hi, h_);
        if (d == 0) return false;
        return splitTandemGroup(I_, V_, h_, lo, hi, d, space + (hi - lo), (hi - lo) / 4, numbers, keysRead);
    }

    // Adds the groups of chunk k to batches, the chunk's sorted runs merged
    // on the way.
    void scanChunk(Worker& w, unsigned t, std::size_t k) {
        PassScan scan(I_, V_, Vh_, chunks_[k], chunks_[k + 1]);
        Index lo, hi;
        while (scan.next(lo, hi)) {
            ++w.groups;
            if (hi - lo > share_) {
                std::lock_guard<std::mutex> lock(hugeMutex_);
                huge_.push_back({lo, hi, hi});
                continue;
            }
            if (!fits(w, hi - lo)) flush(w, t);
            scan.fetchAhead(lo, hi, 0);  // gather fetches the group's own keys
            add(w, lo, hi, hi);
        }
    }

    // Stores the numbers of a record and marks the members that are now
    // alone, merging neighbours into one run. The groups of a periodic
    // block interleave in V, and threads sweeping large ones in step would
    // fight over the same lines of it (ten times slower): each thread
    // starts such a group's stores at its own fraction of it.
    void store(const Index* rec, unsigned t) {
        const Index lo = rec[0], m = rec[1], current = rec[2];
        const Index* num = rec + 3;
        // A group that stays whole, with the number it has, leaves nothing
        // to write (long repeats give many such in the late passes).
        if (m > 1 && num[0] == lo + m && lo + m == current) return;
        Index runStart = m;  // none
        auto mark = [&](Index p, Index v) {
            const bool alone = v == lo + p + 1 && (p == 0 || num[p - 1] != v);
            if (alone) {
                if (runStart == m) runStart = p;
                I_[lo + runStart] = sortedRun + (p + 1 - runStart);
            } else {
                runStart = m;
            }
        };
        auto stores = [&](Index from, Index to) {
            for (Index p = from; p < to; ++p) {
                if (p + 16 < to) prefetchRead(V_ + I_[lo + p + 16]);
                if (num[p] != current) storeShared(V_ + I_[lo + p], num[p]);
            }
        };
        if (m < spreadStores) {
            // A marker lands at or before p: the members after it are intact.
            for (Index p = 0; p < m; ++p) {
                if (p + 16 < m) prefetchRead(V_ + I_[lo + p + 16]);
                const Index v = num[p];
                if (v != current) storeShared(V_ + I_[lo + p], v);
                mark(p, v);
            }
        } else {
            const Index start = static_cast<Index>(std::uint64_t(m) * t / threads_);
            stores(start, m);
            stores(0, start);
            for (Index p = 0; p < m; ++p) mark(p, num[p]);
        }
    }

    // The groups too large for a share, split three ways by all threads.
    void cooperate(unsigned t) {
        Worker& w = workers_[t];
        for (;;) {
            barrier_.wait();  // the read phase is over
            if (t == 0) {
                haveJob_ = !huge_.empty();
                if (haveJob_) {
                    job_ = huge_.back();
                    huge_.pop_back();
                    const Index lo = job_.lo, m = job_.hi - job_.lo;
                    std::uint32_t seed = 0x2545f491u ^ m;
                    pivot_ = randomPivot(m, seed, [this, lo](Index p) { return Vh_[I_[lo + p]]; });
                }
            }
            barrier_.wait();
            if (!haveJob_) return;
            const Index lo = job_.lo, m = job_.hi - job_.lo;
            const Index s = lo + static_cast<Index>(std::uint64_t(m) * t / threads_);
            const Index e = lo + static_cast<Index>(std::uint64_t(m) * (t + 1) / threads_);
            partitionSlice(w, s, e);
            barrier_.wait();
            if (t == 0) fixUp();
            barrier_.wait();
            // The smaller part, now at [lessBegin_, job_.lo), takes the
            // number of its range, and the equal part [job_.lo, job_.hi) its
            // own: every member then carries the end of the range it is
            // known to lie in, and no key read later can place a member of
            // the smaller part after one of the equal part. The greater
            // part keeps the number it has, the end of the group.
            number(lessBegin_, job_.lo, t);
            if (job_.hi != job_.current) number(job_.lo, job_.hi, t);
            const Index a = job_.lo, b = job_.hi;
            if (b - a == 1 && t == threads_ - 1) I_[a] = sortedRun + 1;
        }
    }

    // Thread t's slice of [a, b) takes the number b.
    void number(Index a, Index b, unsigned t) {
        const Index s = a + static_cast<Index>(std::uint64_t(b - a) * t / threads_);
        const Index e = a + static_cast<Index>(std::uint64_t(b - a) * (t + 1) / threads_);
        for (Index p = s; p < e; ++p) {
            if (p + 16 < e) prefetchRead(V_ + I_[p + 16]);
            V_[I_[p]] = b;
        }
    }

    void partitionSlice(Worker& w, Index s, Index e) {
        const Index P = pivot_;
        const Index* const key = Vh_;
        Index lt = s, p = s, gt = e;
        constexpr Index d = 16;
        while (p < gt) {
            if (p + d < gt) prefetchRead(key + I_[p + d]);
            if (gt > p + d) prefetchRead(key + I_[gt - d]);
            const Index x = I_[p];
            const Index k = key[x];
            if (k < P) {
                I_[p] = I_[lt];
                I_[lt] = x;
                ++lt;
                ++p;
            } else if (k > P) {
                --gt;
                I_[p] = I_[gt];
                I_[gt] = x;
            } else {
                ++p;
            }
        }
        w.less = lt - s;
        w.equal = gt - lt;
    }

    // The slices are each less | equal | greater; swaps the misplaced members
    // into the three parts of the whole, then queues the smaller and larger
    // parts and leaves the equal part in job_.
    void fixUp() {
        const Index lo = job_.lo, hi = job_.hi, m = hi - lo;
        Index less = 0, equal = 0;
        for (unsigned t = 0; t < threads_; ++t) {
            less += workers_[t].less;
            equal += workers_[t].equal;
        }
        const Index A = lo + less, B = A + equal;
        const Index bound[4] = {lo, A, B, hi};
        using Span = std::pair<Index, Index>;
        std::vector<Span> misplaced[3][3];  // [region][class]
        for (unsigned t = 0; t < threads_; ++t) {
            const Index s = lo + static_cast<Index>(std::uint64_t(m) * t / threads_);
            const Index e = lo + static_cast<Index>(std::uint64_t(m) * (t + 1) / threads_);
            const Index cut[4] = {s, s + workers_[t].less, s + workers_[t].less + workers_[t].equal, e};
            for (unsigned c = 0; c < 3; ++c)
                for (unsigned r = 0; r < 3; ++r) {
                    if (r == c) continue;
                    const Index u = std::max(cut[c], bound[r]), v = std::min(cut[c + 1], bound[r + 1]);
                    if (u < v) misplaced[r][c].push_back({u, v});
                }
        }
        struct Cursor {
            const std::vector<Span>* spans;
            std::size_t k = 0;
            Index p = 0;
            explicit Cursor(const std::vector<Span>& s) : spans(&s) {
                if (!s.empty()) p = s[0].first;
            }
            bool more() const { return k < spans->size(); }
            Index next() {
                const Index at = p++;
                if (p == (*spans)[k].second && ++k < spans->size()) p = (*spans)[k].first;
                return at;
            }
        };
        Cursor c01(misplaced[0][1]), c02(misplaced[0][2]), c10(misplaced[1][0]), c12(misplaced[1][2]),
            c20(misplaced[2][0]), c21(misplaced[2][1]);
        auto swapAll = [&](Cursor& x, Cursor& y) {
            while (x.more() && y.more()) std::swap(I_[x.next()], I_[y.next()]);
        };
        swapAll(c01, c10);
        swapAll(c02, c20);
        swapAll(c12, c21);
        // What is left goes round in threes.
        while (c01.more() && c12.more() && c20.more()) {
            const Index p0 = c01.next(), p1 = c12.next(), p2 = c20.next();
            const Index x = I_[p0];
            I_[p0] = I_[p2];
            I_[p2] = I_[p1];
            I_[p1] = x;
        }
        while (c02.more() && c21.more() && c10.more()) {
            const Index p0 = c02.next(), p2 = c21.next(), p1 = c10.next();
            const Index x = I_[p0];
            I_[p0] = I_[p1];
            I_[p1] = I_[p2];
            I_[p2] = x;
        }
        // Each part's members carry its end as their number from here on.
        auto queue = [&](Index a, Index b) {
            if (a == b) return;
            if (b - a > share_)
                huge_.push_back({a, b, b});
            else
                parts_.push_back({a, b, b});
        };
        queue(lo, A);
        queue(B, hi);
        lessBegin_ = lo;
        job_.lo = A;
        job_.hi = B;
        job_.current = hi;
    }
};

}  // namespace

void parallelSuffixSort(std::uint32_t* I, std::uint32_t* V, std::uint32_t n1, unsigned h, unsigned threads,
                        const TeamTuning& tuning, const std::vector<std::uint32_t>* starts) {
    Team team(I, V, n1, threads, tuning, starts);
    team.sort(h);
}

namespace {

inline Index prefix4(const unsigned char* b, Index x) {
    return Index(b[x]) << 24 | Index(b[x + 1]) << 16 | Index(b[x + 2]) << 8 | b[x + 3];
}

// Counts per thread and digit become each thread's first place for the
// digit: threads in order within a digit, so the scatter stays stable.
void placeCounts(std::vector<std::vector<Index>>& count, Index base, Index* start) {
    Index sum = base;
    for (std::size_t d = 0; d < count[0].size(); ++d) {
        if (start) start[d] = sum;
        for (auto& c : count) {
            const Index k = c[d];
            c[d] = sum;
            sum += k;
        }
    }
    if (start) start[count[0].size()] = sum;
}

}  // namespace

void parallelGroup4(const unsigned char* b, std::uint32_t n, std::uint32_t* I, std::uint32_t* V, unsigned most) {
    // The n - 3 suffixes with four bytes are sorted by them, two bytes per
    // pass (V holds the first pass's order); the three shorter ones and the
    // empty suffix are put in their places after. The second pass marks, with
    // the top bit of I, each entry whose four bytes differ from its
    // predecessor's, so the numbering after it reads no text.
    const Index full = n - 3;
    const Index n1 = n + 1;
    constexpr std::size_t digits = std::size_t(1) << 16;
    constexpr Index noDigit = Index(1) << 16;
    // Everything is sized for `most` threads before any starts; once the
    // team has started, the arrays shrink (in place) to the threads it got.
    unsigned threads = most;
    std::vector<std::vector<Index>> count(threads, std::vector<Index>(digits));
    // Per thread and first two bytes, the last two of the entry placed last.
    std::vector<std::vector<Index>> last(threads, std::vector<Index>(digits));
    std::vector<Index> start(digits + 1);
    std::vector<Index> groupStart(threads + 1);
    // With a few threads, the second pass's slices of V are whole buckets
    // of the first, so the first pass, reading the block in order, can
    // count each slice's first two bytes (per writer and slice) instead of
    // a pass over V reading the block at random.
    bool countAhead = threads > 1 && threads <= 4;
    std::vector<std::vector<Index>> sliceCount(countAhead ? threads * threads : 0, std::vector<Index>(digits));
    std::vector<unsigned char> owner(countAhead ? digits : 0);
    std::vector<Index> sliceStart(threads + 1);
    Barrier barrier(threads);
    auto slice = [&](Index size, unsigned t) {
        return std::make_pair(static_cast<Index>(std::uint64_t(size) * t / threads),
                              static_cast<Index>(std::uint64_t(size) * (t + 1) / threads));
    };
    auto plan = [&](unsigned started) {
        threads = started;
        countAhead = countAhead && threads > 1;  // sliceCount holds most * most
        count.resize(threads);
        last.resize(threads);
        groupStart.resize(threads + 1);
        groupStart[threads] = n1;
        sliceStart.resize(threads + 1);
        sliceStart[threads] = full;
        barrier.resize(threads);
    };
    runTeam(most, plan, [&](unsigned t) {
        std::vector<Index>& c = count[t];
        auto [xs, xe] = slice(full, t);
        for (Index x = xs; x < xe; ++x) ++c[Index(b[x + 2]) << 8 | b[x + 3]];
        barrier.wait();
        if (t == 0) {
            placeCounts(count, 0, start.data());
            for (unsigned u = 1; u < threads; ++u) sliceStart[u] = slice(full, u).first;
            if (countAhead) {
                // Slice u starts with the first bucket that starts at or
                // after an even share of V.
                unsigned u = 0;
                for (std::size_t d = 0; d < digits; ++d) {
                    while (u + 1 < threads && start[d] >= slice(full, u + 1).first) sliceStart[++u] = start[d];
                    owner[d] = static_cast<unsigned char>(u);
                }
                while (u + 1 < threads) sliceStart[++u] = full;
            }
        }
        barrier.wait();
        if (countAhead) {
            std::vector<Index>* const counts = &sliceCount[std::size_t(t) * threads];
            for (Index x = xs; x < xe; ++x) {
                const Index d = Index(b[x + 2]) << 8 | b[x + 3];
                V[c[d]++] = x;
                ++counts[owner[d]][Index(b[x]) << 8 | b[x + 1]];
            }
        } else {
            for (Index x = xs; x < xe; ++x) V[c[Index(b[x + 2]) << 8 | b[x + 3]]++] = x;
        }
        barrier.wait();
        std::fill(c.begin(), c.end(), 0);
        // From here thread t works on its slice of V.
        xs = sliceStart[t];
        xe = sliceStart[t + 1];
        if (threads == 1) {
            // One slice: the counts need no particular order.
            for (Index x = 0; x < full; ++x) ++c[Index(b[x]) << 8 | b[x + 1]];
        } else if (countAhead) {
            for (unsigned w = 0; w < threads; ++w) {
                const std::vector<Index>& counts = sliceCount[std::size_t(w) * threads + t];
                for (std::size_t d = 0; d < digits; ++d) c[d] += counts[d];
            }
        } else {
            for (Index p = xs; p < xe; ++p) {
                if (p + 32 < xe) prefetchRead(b + V[p + 32]);
                const Index x = V[p];
                ++c[Index(b[x]) << 8 | b[x + 1]];
            }
        }
        barrier.wait();
        if (t == 0) placeCounts(count, 4, start.data());
        barrier.wait();
        // Within a thread, a first-two-bytes bucket fills in order of the
        // last two: an entry starts a group when those differ from the
        // previous entry's. A thread's first entry in a bucket is marked
        // and checked against its predecessor below.
        std::vector<Index>& L = last[t];
        std::fill(L.begin(), L.end(), noDigit);
        for (Index p = xs; p < xe; ++p) {
            if (p + 32 < xe) prefetchRead(b + V[p + 32]);
            const Index x = V[p];
            const Index key = prefix4(b, x);
            const Index hi = key >> 16, lo = key & 0xffff;
            I[c[hi]++] = x | (L[hi] != lo ? sortedRun : 0);
            L[hi] = lo;
        }
        barrier.wait();
        if (t == 0) {
            // Where a thread's run in a bucket follows another's, the two
            // entries meet and are compared.
            for (unsigned u = 1; u < threads; ++u)
                for (std::size_t d = 0; d < digits; ++d) {
                    const Index q = count[u - 1][d];
                    if (q > start[d] && count[u][d] > q &&
                        prefix4(b, I[q - 1] & ~sortedRun) == prefix4(b, I[q] & ~sortedRun))
                        I[q] &= ~sortedRun;
                }
            // The suffixes of 3, 2 and 1 bytes: each goes before the four-byte
            // prefixes that start with it, after all smaller ones, so always
            // where a group starts.
            struct Short {
                Index x, rank;
            } shorts[3];
            for (unsigned k = 0; k < 3; ++k) {
                const Index x = n - 3 + k;
                const Index d = k == 2 ? Index(b[x]) << 8 : Index(b[x]) << 8 | b[x + 1];
                Index rank = start[d] - 4;
                if (k == 0) {
                    // Within the two-byte bucket, before the third byte b[x + 2].
                    Index lo = start[d], hi = start[d + 1];
                    while (lo < hi) {
                        const Index mid = lo + (hi - lo) / 2;
                        if (b[(I[mid] & ~sortedRun) + 2] < b[x + 2])
                            lo = mid + 1;
                        else
                            hi = mid;
                    }
                    rank = lo - 4;
                }
                shorts[k] = {x, rank};
            }
            std::sort(shorts, shorts + 3, [&](const Short& u, const Short& v) {
                if (u.rank != v.rank) return u.rank < v.rank;
                const Index lu = n - u.x, lv = n - v.x;
                const int order = std::memcmp(b + u.x, b + v.x, std::min(lu, lv));
                return order != 0 ? order < 0 : lu < lv;
            });
            Index moved = 0;
            for (unsigned k = 0; k < 3; ++k) {
                const Index r = shorts[k].rank;
                std::memmove(I + 1 + k + moved, I + 4 + moved, std::size_t(r - moved) * sizeof(Index));
                I[1 + k + r] = shorts[k].x | sortedRun;
                moved = r;
            }
            I[0] = n | sortedRun;
        }
        barrier.wait();
        // Numbering: each thread takes the groups that start in its slice
        // (a group running past the slice is left to the thread it started in).
        Index ps = slice(n1, t).first;
        while (ps < n1 && !(I[ps] & sortedRun)) ++ps;
        groupStart[t] = ps;
        barrier.wait();
        const Index end = groupStart[t + 1];
        // The numbers land at random: their lines are asked for a fixed
        // distance ahead of the stores (all at once, a large group's would
        // be gone again before they are stored).
        Index ahead = groupStart[t];
        auto fetchTo = [&](Index r) {
            const Index stop = end - r > 32 ? r + 32 : end;
            for (; ahead < stop; ++ahead) prefetchWrite(V + (I[ahead] & ~sortedRun));
        };
        for (Index p = groupStart[t]; p < end;) {
            Index q = p + 1;
            while (q < end && !(I[q] & sortedRun)) ++q;
            const Index x = I[p] & ~sortedRun;
            if (q - p == 1) {
                fetchTo(p);
                V[x] = q;
                I[p] = sortedRun + 1;
            } else {
                I[p] = x;
                for (Index r = p; r < q; ++r) {
                    fetchTo(r);
                    V[I[r]] = q;
                }
            }
            p = q;
        }
    });
}
