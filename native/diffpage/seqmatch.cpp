// The standard library's matcher on dense ids.  Every tie and every extension decides which
// opcodes come out, so the answers are exactly the original's; what differs is only how a
// longest match is found: long diagonal runs are indexed once, and the original's row-by-row
// scan runs only over boxes that no long run reaches.
#include "seqmatch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

namespace pelorix::diffpage::seqmatch {
namespace {

struct Match {
    std::size_t i, j, size;
    auto operator<=>(const Match&) const = default;
};

class Matcher {
public:
    Matcher(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
            std::uint32_t alphabet)
        : a_(a), b_(b), start_(std::size_t{alphabet} + 1, 0) {
        std::vector<std::size_t> count(alphabet, 0);
        for (std::uint32_t id : b) ++count[id];
        // Once b has 200 elements, an element that occurs more than len(b) // 100 + 1 times is
        // "popular": it never anchors a match (though extension may still cross it).
        if (b.size() >= 200) {
            const std::size_t ntest = b.size() / 100 + 1;
            for (std::size_t& c : count)
                if (c > ntest) c = 0;
        }
        for (std::uint32_t id = 0; id < alphabet; ++id) start_[id + 1] = start_[id] + count[id];
        pos_.resize(start_.back());
        std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t j = 0; j < b.size(); ++j)
            if (count[b[j]]) pos_[fill[b[j]]++] = j;
        index_runs();
    }

    // find_longest_match(alo, ahi, blo, bhi)
    Match longest(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) {
        Match best = from_runs(alo, ahi, blo, bhi);
        if (best.size < long_run) best = scan(alo, ahi, blo, bhi);
        // Without a junk predicate nothing is junk, so only the first pair of the original's
        // extension loops can run, and it extends over any equal neighbours, popular or not.
        while (best.i > alo && best.j > blo && a_[best.i - 1] == b_[best.j - 1]) {
            --best.i;
            --best.j;
            ++best.size;
        }
        while (best.i + best.size < ahi && best.j + best.size < bhi &&
               a_[best.i + best.size] == b_[best.j + best.size])
            ++best.size;
        return best;
    }

private:
    // A maximal diagonal run of anchoring pairs: a[i + t] == b[j + t], not popular, t < size.
    using Run = Match;
    // Runs at least this long are indexed.  Within a box, the original's scan finds the longest
    // run clipped to the box, the earliest one on a tie; when that is this long or longer it is
    // a clipped indexed run, so the index answers and the scan is not needed.
    static constexpr std::size_t long_run = 8;

    // Run length of the match ending at a position of b, valid for the row that wrote it.
    struct Cell {
        std::uint64_t row = 0;
        std::size_t len = 0;
    };

    bool anchors(std::size_t i, std::size_t j) const {
        return a_[i] == b_[j] && start_[b_[j] + 1] != start_[b_[j]];
    }

    // Every run of long_run or more covers exactly one row in each stretch of long_run rows, so
    // looking at every long_run-th row finds each of them, once, from its first sampled row.
    void index_runs() {
        for (std::size_t i = 0; i < a_.size(); i += long_run) {
            const std::size_t* first = pos_.data() + start_[a_[i]];
            const std::size_t* last = pos_.data() + start_[a_[i] + 1];
            for (; first != last; ++first) {
                const std::size_t j = *first;
                std::size_t back = 0;
                while (back < long_run && back < i && back < j &&
                       anchors(i - back - 1, j - back - 1))
                    ++back;
                if (back == long_run) continue;  // found from an earlier sampled row
                Run run{i - back, j - back, back + 1};
                while (run.i + run.size < a_.size() && run.j + run.size < b_.size() &&
                       anchors(run.i + run.size, run.j + run.size))
                    ++run.size;
                if (run.size < long_run) continue;
                runs_.push_back(run);
                max_run_ = std::max(max_run_, run.size);
            }
        }
        std::sort(runs_.begin(), runs_.end());
    }

    // The longest indexed run clipped to the box; on a tie the one that starts in the earliest
    // row, then the earliest column (where the original's row-major scan first reaches it).
    Match from_runs(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) const {
        Match best{alo, blo, 0};
        const std::size_t from = alo >= max_run_ ? alo - max_run_ + 1 : 0;
        auto r = std::lower_bound(runs_.begin(), runs_.end(), from,
                                  [](const Run& run, std::size_t i) { return run.i < i; });
        for (; r != runs_.end() && r->i < ahi; ++r) {
            if (r->j >= bhi || r->j + r->size <= blo || r->i + r->size <= alo) continue;
            const std::size_t t0 =
                std::max(alo > r->i ? alo - r->i : 0, blo > r->j ? blo - r->j : 0);
            const std::size_t t1 = std::min({r->size, ahi - r->i, bhi - r->j});
            if (t1 <= t0) continue;
            const Match clipped{r->i + t0, r->j + t0, t1 - t0};
            if (clipped.size > best.size ||
                (clipped.size == best.size &&
                 std::pair(clipped.i, clipped.j) < std::pair(best.i, best.j)))
                best = clipped;
        }
        return best;
    }

    // The original's dynamic programme over the box: the first pair, in row-major order, at
    // which the run length reaches its maximum decides.
    Match scan(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) {
        if (rows_[0].empty()) {
            rows_[0].resize(b_.size());
            rows_[1].resize(b_.size());
        }
        std::size_t besti = alo, bestj = blo, bestsize = 0;
        ++row_;  // a row nobody writes: the previous call's last row must not look like ours
        for (std::size_t i = alo; i < ahi; ++i) {
            ++row_;
            Cell* cur = rows_[row_ & 1].data();
            const Cell* prev = rows_[(row_ - 1) & 1].data();
            const std::size_t* first = pos_.data() + start_[a_[i]];
            const std::size_t* last = pos_.data() + start_[a_[i] + 1];
            first = std::lower_bound(first, last, blo);
            for (; first != last && *first < bhi; ++first) {
                const std::size_t j = *first;
                const std::size_t k =
                    (j > 0 && prev[j - 1].row == row_ - 1 ? prev[j - 1].len : 0) + 1;
                cur[j] = {row_, k};
                if (k > bestsize) {
                    besti = i - k + 1;
                    bestj = j - k + 1;
                    bestsize = k;
                }
            }
        }
        return {besti, bestj, bestsize};
    }

    std::span<const std::uint32_t> a_, b_;
    std::vector<std::size_t> start_;  // b's positions of id x are pos_[start_[x] .. start_[x + 1])
    std::vector<std::size_t> pos_;
    std::vector<Run> runs_;  // ordered by first row, then column
    std::size_t max_run_ = 0;
    std::vector<Cell> rows_[2];
    std::uint64_t row_ = 0;
};

// get_matching_blocks: the same work queue (a stack), then sorting and merging adjacent blocks.
std::vector<Match> matching_blocks(std::span<const std::uint32_t> a,
                                   std::span<const std::uint32_t> b, std::uint32_t alphabet) {
    struct Range {
        std::size_t alo, ahi, blo, bhi;
    };
    Matcher matcher(a, b, alphabet);
    std::vector<Range> queue{{0, a.size(), 0, b.size()}};
    std::vector<Match> found;
    while (!queue.empty()) {
        const Range r = queue.back();
        queue.pop_back();
        const Match m = matcher.longest(r.alo, r.ahi, r.blo, r.bhi);
        if (m.size == 0) continue;
        found.push_back(m);
        if (r.alo < m.i && r.blo < m.j) queue.push_back({r.alo, m.i, r.blo, m.j});
        if (m.i + m.size < r.ahi && m.j + m.size < r.bhi)
            queue.push_back({m.i + m.size, r.ahi, m.j + m.size, r.bhi});
    }
    std::sort(found.begin(), found.end());

    std::vector<Match> blocks;
    Match run{0, 0, 0};
    for (const Match& m : found) {
        if (run.i + run.size == m.i && run.j + run.size == m.j) {
            run.size += m.size;
            continue;
        }
        if (run.size) blocks.push_back(run);
        run = m;
    }
    if (run.size) blocks.push_back(run);
    blocks.push_back({a.size(), b.size(), 0});
    return blocks;
}

// Ids for str objects, handed out in order of first appearance.  Equal strings have equal kind,
// length and bytes, because every str is held in the narrowest kind that fits its widest
// character; the hash is the one the str caches for itself.  Slots are kept small (an id and
// more bits of the hash) so that the table stays in cache; the strings themselves are looked
// at only when the hashes agree.
class StrInterner {
public:
    explicit StrInterner(std::size_t expected)
        : slots_(std::bit_ceil(std::max<std::size_t>(16, expected + expected / 2))) {
        strings_.reserve(expected);
    }

    static Py_hash_t hash(PyObject* s) {
        const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(s)->hash;
        return cached != -1 ? cached : PyObject_Hash(s);  // exact str: cannot fail
    }
    void prefetch(Py_hash_t hash) const { __builtin_prefetch(&slots_[index(hash)]); }

    std::uint32_t operator()(PyObject* s, Py_hash_t hash) {
        const auto tag = static_cast<std::uint32_t>(static_cast<std::size_t>(hash) >> 32);
        for (std::size_t k = index(hash);; k = (k + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[k];
            if (slot.id == 0) {
                strings_.push_back(s);
                slot = {static_cast<std::uint32_t>(strings_.size()), tag};
                return slot.id - 1;
            }
            if (slot.tag == tag && same(strings_[slot.id - 1], s)) return slot.id - 1;
        }
    }
    std::uint32_t size() const { return static_cast<std::uint32_t>(strings_.size()); }

private:
    struct Slot {
        std::uint32_t id = 0;  // the string's id + 1; 0 for a free slot
        std::uint32_t tag = 0;
    };

    std::size_t index(Py_hash_t hash) const {
        return static_cast<std::size_t>(hash) & (slots_.size() - 1);
    }

    static bool same(PyObject* x, PyObject* y) {
        if (x == y) return true;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
        const int kind = PyUnicode_KIND(x);
        return len == PyUnicode_GET_LENGTH(y) && kind == PyUnicode_KIND(y) &&
               std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y),
                           static_cast<std::size_t>(len) * kind) == 0;
    }

    std::vector<Slot> slots_;
    std::vector<PyObject*> strings_;  // by id
};

// The ids of a list's strings; false when an item is not exactly a str.  The strings are spread
// over the heap, so each is asked for well before its hash is needed, and each hash's slot
// before the string is looked up there.
bool encode_list(nb::handle list, StrInterner& intern, std::vector<std::uint32_t>& out) {
    constexpr std::size_t lag = 8;
    PyObject* const* items = PySequence_Fast_ITEMS(list.ptr());
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
    out.resize(n);
    Py_hash_t hashes[lag];
    for (std::size_t i = 0; i < n + lag; ++i) {
        if (i + 2 * lag < n) __builtin_prefetch(items[i + 2 * lag]);
        if (i >= lag) out[i - lag] = intern(items[i - lag], hashes[i % lag]);
        if (i < n) {
            if (!PyUnicode_CheckExact(items[i])) return false;
            hashes[i % lag] = StrInterner::hash(items[i]);
            intern.prefetch(hashes[i % lag]);
        }
    }
    return true;
}

// Code points get ids through a table for Latin-1 and a map beyond it.
class CharInterner {
public:
    CharInterner() { std::fill(std::begin(latin1_), std::end(latin1_), none); }
    std::uint32_t operator()(Py_UCS4 c) {
        if (c < 256) {
            std::uint32_t& id = latin1_[c];
            if (id == none) id = size_++;
            return id;
        }
        auto [it, added] = wide_.try_emplace(c, size_);
        if (added) ++size_;
        return it->second;
    }
    std::uint32_t size() const { return size_; }

private:
    static constexpr std::uint32_t none = ~std::uint32_t{0};
    std::uint32_t latin1_[256];
    std::unordered_map<Py_UCS4, std::uint32_t> wide_;
    std::uint32_t size_ = 0;
};

void encode_string(nb::handle str, CharInterner& intern, std::vector<std::uint32_t>& out) {
    PyObject* s = str.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out[static_cast<std::size_t>(i)] = intern(PyUnicode_READ(kind, data, i));
}

}  // namespace

std::vector<Opcode> opcodes(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t alphabet) {
    std::vector<Opcode> answer;
    std::size_t i = 0, j = 0;
    for (const Match& m : matching_blocks(a, b, alphabet)) {
        if (i < m.i && j < m.j)
            answer.push_back({Tag::Replace, i, m.i, j, m.j});
        else if (i < m.i)
            answer.push_back({Tag::Delete, i, m.i, j, m.j});
        else if (j < m.j)
            answer.push_back({Tag::Insert, i, m.i, j, m.j});
        i = m.i + m.size;
        j = m.j + m.size;
        if (m.size) answer.push_back({Tag::Equal, m.i, i, m.j, j});
    }
    return answer;
}

std::optional<Encoded> encode_lines(nb::handle a, nb::handle b) {
    if (!PyList_CheckExact(a.ptr()) || !PyList_CheckExact(b.ptr())) return std::nullopt;
    Encoded e;
    StrInterner intern(
        static_cast<std::size_t>(PyList_GET_SIZE(a.ptr()) + PyList_GET_SIZE(b.ptr())));
    if (!encode_list(a, intern, e.a) || !encode_list(b, intern, e.b)) return std::nullopt;
    e.alphabet = intern.size();
    return e;
}

Encoded encode_chars(nb::handle a, nb::handle b) {
    Encoded e;
    CharInterner intern;
    encode_string(a, intern, e.a);
    encode_string(b, intern, e.b);
    e.alphabet = intern.size();
    return e;
}

}  // namespace pelorix::diffpage::seqmatch
