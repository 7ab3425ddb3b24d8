// The standard library's matcher, step for step, on dense ids: every tie and every extension
// decides which opcodes come out, so the control flow mirrors the original rather than a faster
// textbook algorithm.  Only the bookkeeping differs (flat index lists, stamped row buffers), and
// none of that changes a result.
#include "seqmatch.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace pelorix::seqmatch {
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
        rows_[0].resize(b.size());
        rows_[1].resize(b.size());
    }

    // find_longest_match(alo, ahi, blo, bhi).  The first call covers both whole sequences; its
    // scan also notes every long diagonal run, and later calls look there first: a box in which
    // a long run survives clipping gets the same answer the scan would give, without the scan.
    Match longest(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) {
        Match best{alo, blo, 0};
        if (!indexed_) {
            best = scan(alo, ahi, blo, bhi, &runs_);
            finish_runs();
            indexed_ = true;
        } else {
            best = from_runs(alo, ahi, blo, bhi);
            if (best.size < long_run) best = scan(alo, ahi, blo, bhi, nullptr);
        }
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
    // A diagonal run of pairs of equal, non-popular elements: a[i + t] == b[j + t] for t < size.
    using Run = Match;
    // Runs at least this long are indexed; a box's answer of this length or more can only come
    // from one of them.
    static constexpr std::size_t long_run = 32;

    // Run length of the match ending at a position of b, valid for the row that wrote it.
    struct Cell {
        std::uint64_t row = 0;
        std::size_t len = 0;
    };

    bool anchors(std::uint32_t id) const { return start_[id + 1] != start_[id]; }

    // The original's dynamic programme over the box: the first (row-major) pair at which the
    // run length reaches its maximum decides.
    Match scan(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi,
               std::vector<Run>* record) {
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
                const std::size_t k = (j > 0 && prev[j - 1].row == row_ - 1 ? prev[j - 1].len : 0) + 1;
                cur[j] = {row_, k};
                if (record && k == long_run) record->push_back({i - k + 1, j - k + 1, k});
                if (k > bestsize) {
                    besti = i - k + 1;
                    bestj = j - k + 1;
                    bestsize = k;
                }
            }
        }
        return {besti, bestj, bestsize};
    }

    // Noted runs are cut off at the length they were noted at; grow them to their full length.
    // They stay ordered by their first row.
    void finish_runs() {
        for (Run& r : runs_) {
            while (r.i + r.size < a_.size() && r.j + r.size < b_.size() &&
                   a_[r.i + r.size] == b_[r.j + r.size] && anchors(b_[r.j + r.size]))
                ++r.size;
            max_run_ = std::max(max_run_, r.size);
        }
    }

    // The longest noted run clipped to the box, earliest first row, then earliest column.
    Match from_runs(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) const {
        Match best{alo, blo, 0};
        const std::size_t from = alo >= max_run_ ? alo - max_run_ + 1 : 0;
        auto r = std::lower_bound(runs_.begin(), runs_.end(), from,
                                  [](const Run& run, std::size_t i) { return run.i < i; });
        for (; r != runs_.end() && r->i < ahi; ++r) {
            if (r->j >= bhi || r->j + r->size <= blo || r->i + r->size <= alo) continue;
            const std::size_t t0 = std::max({alo > r->i ? alo - r->i : 0, blo > r->j ? blo - r->j : 0});
            const std::size_t t1 = std::min({r->size, ahi - r->i, bhi - r->j});
            if (t1 <= t0) continue;
            const Match clipped{r->i + t0, r->j + t0, t1 - t0};
            if (clipped.size > best.size ||
                (clipped.size == best.size && std::pair(clipped.i, clipped.j) < std::pair(best.i, best.j)))
                best = clipped;
        }
        return best;
    }

    std::span<const std::uint32_t> a_, b_;
    std::vector<std::size_t> start_;
    std::vector<std::size_t> pos_;
    std::vector<Cell> rows_[2];
    std::uint64_t row_ = 0;
    std::vector<Run> runs_;
    std::size_t max_run_ = 0;
    bool indexed_ = false;
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

// Ids for hashable keys, handed out in order of first appearance.
template <class Key, class Hash = std::hash<Key>, class Eq = std::equal_to<Key>>
class Interner {
public:
    explicit Interner(std::size_t expected) { ids_.reserve(expected); }
    std::uint32_t operator()(const Key& key) {
        return ids_.try_emplace(key, static_cast<std::uint32_t>(ids_.size())).first->second;
    }
    std::uint32_t size() const { return static_cast<std::uint32_t>(ids_.size()); }

private:
    std::unordered_map<Key, std::uint32_t, Hash, Eq> ids_;
};

// A str as the interpreter stores it: equal strings have equal kind, length and bytes, because
// every str is held in the narrowest kind that fits its widest character.
struct StrKey {
    PyObject* str;
    Py_hash_t hash;
};

struct StrHash {
    std::size_t operator()(const StrKey& k) const { return static_cast<std::size_t>(k.hash); }
};

struct StrEq {
    bool operator()(const StrKey& x, const StrKey& y) const {
        if (x.str == y.str) return true;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(x.str);
        if (x.hash != y.hash || len != PyUnicode_GET_LENGTH(y.str)) return false;
        const int kind = PyUnicode_KIND(x.str);
        if (kind != PyUnicode_KIND(y.str)) return false;
        return std::memcmp(PyUnicode_DATA(x.str), PyUnicode_DATA(y.str),
                           static_cast<std::size_t>(len) * kind) == 0;
    }
};

bool exact_str_list(nb::handle list) {
    if (!PyList_CheckExact(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list.ptr(), i))) return false;
    return true;
}

void encode_list(nb::handle list, Interner<StrKey, StrHash, StrEq>& intern,
                 std::vector<std::uint32_t>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyList_GET_ITEM(list.ptr(), i);
        const Py_hash_t h = PyObject_Hash(s);  // cached on the str; cannot fail for exact str
        out.push_back(intern(StrKey{s, h}));
    }
}

void encode_string(nb::handle str, Interner<Py_UCS4>& intern, std::vector<std::uint32_t>& out) {
    PyObject* s = str.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(intern(PyUnicode_READ(kind, data, i)));
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
    if (!exact_str_list(a) || !exact_str_list(b)) return std::nullopt;
    Encoded e;
    Interner<StrKey, StrHash, StrEq> intern(
        static_cast<std::size_t>(PyList_GET_SIZE(a.ptr()) + PyList_GET_SIZE(b.ptr())));
    encode_list(a, intern, e.a);
    encode_list(b, intern, e.b);
    e.alphabet = intern.size();
    return e;
}

Encoded encode_chars(nb::handle a, nb::handle b) {
    Encoded e;
    Interner<Py_UCS4> intern(64);
    encode_string(a, intern, e.a);
    encode_string(b, intern, e.b);
    e.alphabet = intern.size();
    return e;
}

}  // namespace pelorix::seqmatch
