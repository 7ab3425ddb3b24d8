// The windowed page's line alignment.  Lines with no equal on the other side are changed in any
// alignment, so they are set aside first (fewer lines to search, none lost for the minimum); the
// rest go through Myers' middle-snake search in linear space, box by box.  A box whose search
// spends more than the cost limit is split on the lines that occur once on each side of it (their
// longest run in order, as in a patience diff), or, lacking those, where the search got furthest;
// this is what keeps a million lines with thousands of scattered edits fast.
#include "align.hpp"

#include <algorithm>
#include <limits>
#include <memory>

namespace pelorix::diffpage {
namespace {

using seqmatch::Opcode;
using seqmatch::Tag;
using Pos = std::ptrdiff_t;

// Lines [i1, i2) of one side against lines [j1, j2) of the other.  A box split off where a
// search stopped, in a box with no line to anchor on, is not searched for anchors again: its
// lines are the same repeated lines, and counting them at every step would cost a pass over the
// box per step.
struct Box {
    Pos i1, i2, j1, j2;
    bool anchors = true;
};

// Which lines of two id sequences are changed, found box by box.
class Search {
public:
    Search(std::vector<std::uint32_t> a, std::vector<std::uint32_t> b, std::uint32_t alphabet,
           std::size_t cost_limit)
        : changed_a(a.size(), 0),
          changed_b(b.size(), 0),
          a_(std::move(a)),
          b_(std::move(b)),
          alphabet_(alphabet),
          cost_limit_(std::max<std::size_t>(cost_limit, 1)),
          // Diagonals k = i - j run from -|b| to |a|; the searches read one past each end.
          offset_(static_cast<Pos>(b_.size()) + 1),
          // Only the diagonals a search reaches are written, and read after: left uninitialised,
          // the pages of the others are never touched.
          forward_(std::make_unique_for_overwrite<Pos[]>(a_.size() + b_.size() + 3)),
          backward_(std::make_unique_for_overwrite<Pos[]>(a_.size() + b_.size() + 3)) {}

    void run() {
        std::vector<Box> boxes{{0, static_cast<Pos>(a_.size()), 0, static_cast<Pos>(b_.size())}};
        while (!boxes.empty()) {
            Box box = boxes.back();
            boxes.pop_back();
            trim(box);
            if (box.i1 == box.i2 || box.j1 == box.j2) {
                std::fill(changed_a.begin() + box.i1, changed_a.begin() + box.i2, 1);
                std::fill(changed_b.begin() + box.j1, changed_b.begin() + box.j2, 1);
                continue;
            }
            Pos x = 0, y = 0;
            bool anchors = box.anchors;
            if (!middle_snake(box, x, y)) {
                if (anchors && anchor(box, boxes)) continue;
                anchors = false;
            }
            boxes.push_back({box.i1, x, box.j1, y, anchors});
            boxes.push_back({x, box.i2, y, box.j2, anchors});
        }
    }

    // The answer, one flag a line: changed (1) or matched in order with an equal line (0).
    std::vector<char> changed_a, changed_b;

private:
    // Equal lines at either end of a box are matched (a snake of any optimal path may start or
    // end there).
    void trim(Box& box) const {
        while (box.i1 < box.i2 && box.j1 < box.j2 && a_[box.i1] == b_[box.j1]) ++box.i1, ++box.j1;
        while (box.i1 < box.i2 && box.j1 < box.j2 && a_[box.i2 - 1] == b_[box.j2 - 1])
            --box.i2, --box.j2;
    }

    // The middle snake of an optimal path through the box (both sides non-empty, their first and
    // last lines different): true with (x, y) on it.  Past the cost limit: false, with (x, y)
    // the furthest point either direction reached, which splits the box into two smaller ones.
    bool middle_snake(const Box& box, Pos& x, Pos& y) {
        constexpr Pos unreached = std::numeric_limits<Pos>::max();
        Pos* fwd = forward_.get() + offset_;
        Pos* bwd = backward_.get() + offset_;
        const Pos dmin = box.i1 - box.j2, dmax = box.i2 - box.j1;
        const Pos fmid = box.i1 - box.j1, bmid = box.i2 - box.j2;
        const bool odd = ((fmid - bmid) & 1) != 0;
        Pos fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
        fwd[fmid] = box.i1;
        bwd[bmid] = box.i2;
        for (std::size_t cost = 1;; ++cost) {
            if (fmin > dmin)
                fwd[--fmin - 1] = -1;
            else
                ++fmin;
            if (fmax < dmax)
                fwd[++fmax + 1] = -1;
            else
                --fmax;
            for (Pos d = fmax; d >= fmin; d -= 2) {
                Pos i = fwd[d - 1] >= fwd[d + 1] ? fwd[d - 1] + 1 : fwd[d + 1];
                Pos j = i - d;
                while (i < box.i2 && j < box.j2 && a_[i] == b_[j]) ++i, ++j;
                fwd[d] = i;
                if (odd && bmin <= d && d <= bmax && bwd[d] <= i) {
                    x = i;
                    y = j;
                    return true;
                }
            }
            if (bmin > dmin)
                bwd[--bmin - 1] = unreached;
            else
                ++bmin;
            if (bmax < dmax)
                bwd[++bmax + 1] = unreached;
            else
                --bmax;
            for (Pos d = bmax; d >= bmin; d -= 2) {
                Pos i = bwd[d - 1] < bwd[d + 1] ? bwd[d - 1] : bwd[d + 1] - 1;
                Pos j = i - d;
                while (i > box.i1 && j > box.j1 && a_[i - 1] == b_[j - 1]) --i, --j;
                bwd[d] = i;
                if (!odd && fmin <= d && d <= fmax && i <= fwd[d]) {
                    x = i;
                    y = j;
                    return true;
                }
            }
            if (cost >= cost_limit_) break;
        }
        // The furthest progress, each point clipped to the box, forward and backward.
        Pos fbest = -1, fx = box.i1;
        for (Pos d = fmax; d >= fmin; d -= 2) {
            Pos i = std::min(fwd[d], box.i2), j = i - d;
            if (j > box.j2) i = box.j2 + d, j = box.j2;
            if (i + j > fbest) fbest = i + j, fx = i;
        }
        Pos bbest = unreached, bx = box.i2;
        for (Pos d = bmax; d >= bmin; d -= 2) {
            Pos i = std::max(box.i1, bwd[d]), j = i - d;
            if (j < box.j1) i = box.j1 + d, j = box.j1;
            if (i + j < bbest) bbest = i + j, bx = i;
        }
        if ((box.i2 + box.j2) - bbest < fbest - (box.i1 + box.j1))
            x = fx, y = fbest - fx;
        else
            x = bx, y = bbest - bx;
        // A corner would split off the whole box again; its middle always makes progress.
        if ((x == box.i1 && y == box.j1) || (x == box.i2 && y == box.j2))
            x = box.i1 + (box.i2 - box.i1) / 2, y = box.j1 + (box.j2 - box.j1) / 2;
        return false;
    }

    // Matches the longest in-order run of lines that occur once on each side of the box and
    // queues the boxes between them; false when no line occurs once on each side.
    bool anchor(const Box& box, std::vector<Box>& boxes) {
        if (count_a_.empty()) {
            count_a_.assign(alphabet_, 0);
            count_b_.assign(alphabet_, 0);
            where_b_.assign(alphabet_, 0);
        }
        for (Pos i = box.i1; i < box.i2; ++i) ++count_a_[a_[i]];
        for (Pos j = box.j1; j < box.j2; ++j) ++count_b_[b_[j]], where_b_[b_[j]] = j;
        struct Pair {
            Pos i, j;
        };
        std::vector<Pair> pairs;
        for (Pos i = box.i1; i < box.i2; ++i) {
            const std::uint32_t id = a_[i];
            if (count_a_[id] == 1 && count_b_[id] == 1) pairs.push_back({i, where_b_[id]});
        }
        for (Pos i = box.i1; i < box.i2; ++i) count_a_[a_[i]] = 0;
        for (Pos j = box.j1; j < box.j2; ++j) count_b_[b_[j]] = 0;
        if (pairs.empty()) return false;

        // Longest increasing run of j over pairs in order of i (patience sorting): tails[len]
        // is the pair ending the best run of length len + 1 found so far.
        std::vector<std::size_t> tails, before(pairs.size());
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            auto at = std::lower_bound(tails.begin(), tails.end(), pairs[p].j,
                                       [&](std::size_t q, Pos j) { return pairs[q].j < j; });
            before[p] = at == tails.begin() ? p : *(at - 1);
            if (at == tails.end())
                tails.push_back(p);
            else
                *at = p;
        }
        Pos i2 = box.i2, j2 = box.j2;
        for (std::size_t p = tails.back();; p = before[p]) {
            boxes.push_back({pairs[p].i + 1, i2, pairs[p].j + 1, j2});
            i2 = pairs[p].i;
            j2 = pairs[p].j;
            if (before[p] == p) break;
        }
        boxes.push_back({box.i1, i2, box.j1, j2});
        return true;
    }

    const std::vector<std::uint32_t> a_, b_;
    const std::uint32_t alphabet_;
    const std::size_t cost_limit_;
    const Pos offset_;
    std::unique_ptr<Pos[]> forward_, backward_;
    std::vector<std::uint32_t> count_a_, count_b_;
    std::vector<Pos> where_b_;
};

// Opcodes from the changed lines of each side, in order: unchanged lines pair up as equal, and
// each run of changed lines between them is one block.
class Script {
public:
    Script(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) : a_(a), b_(b) {}

    std::vector<Opcode> build(const std::vector<char>& changed_a,
                              const std::vector<char>& changed_b) {
        const std::size_t n = a_.size(), m = b_.size();
        std::size_t i = 0, j = 0;
        while (i < n || j < m) {
            const std::size_t i0 = i, j0 = j;
            while (i < n && j < m && !changed_a[i] && !changed_b[j]) ++i, ++j;
            if (i > i0) equal(i0, j0, i - i0);
            const std::size_t i1 = i, j1 = j;
            // A side without unchanged lines left has nothing to pair the other's with.
            while (i < n && (changed_a[i] || j == m)) ++i;
            while (j < m && (changed_b[j] || i == n)) ++j;
            block(i1, i, j1, j);
        }
        return std::move(ops_);
    }

private:
    void equal(std::size_t i, std::size_t j, std::size_t size) {
        if (!ops_.empty() && ops_.back().tag == Tag::Equal) {
            ops_.back().i2 += size;
            ops_.back().j2 += size;
        } else {
            ops_.push_back({Tag::Equal, i, i + size, j, j + size});
        }
    }

    void changed(std::size_t i1, std::size_t i2, std::size_t j1, std::size_t j2) {
        if (i1 < i2 || j1 < j2)
            ops_.push_back({i1 == i2   ? Tag::Insert
                            : j1 == j2 ? Tag::Delete
                                       : Tag::Replace,
                            i1, i2, j1, j2});
    }

    // A block's k-th lines face each other on the page: where they are equal (a cut-off left
    // the alignment short of minimal), they are an equal row and the block splits there.
    void block(std::size_t i1, std::size_t i2, std::size_t j1, std::size_t j2) {
        const std::size_t pairs = std::min(i2 - i1, j2 - j1);
        std::size_t from = 0;
        for (std::size_t k = 0; k < pairs; ++k) {
            if (a_[i1 + k] != b_[j1 + k]) continue;
            changed(i1 + from, i1 + k, j1 + from, j1 + k);
            equal(i1 + k, j1 + k, 1);
            from = k + 1;
        }
        changed(i1 + from, i2, j1 + from, j2);
    }

    std::span<const std::uint32_t> a_, b_;
    std::vector<Opcode> ops_;
};

}  // namespace

std::vector<Opcode> align(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                          std::uint32_t alphabet, const AlignLimits& limits) {
    const std::size_t n = a.size(), m = b.size();
    std::size_t head = 0, tail = 0;
    while (head < n && head < m && a[head] == b[head]) ++head;
    while (tail < n - head && tail < m - head && a[n - 1 - tail] == b[m - 1 - tail]) ++tail;

    std::vector<char> changed_a(n, 0), changed_b(m, 0);
    if (head + tail < n && head + tail < m) {
        // Only lines with an equal on the other side can be matched; the others are changed.
        std::vector<char> in_a(alphabet, 0), in_b(alphabet, 0);
        for (std::size_t i = head; i < n - tail; ++i) in_a[a[i]] = 1;
        for (std::size_t j = head; j < m - tail; ++j) in_b[b[j]] = 1;
        std::vector<std::uint32_t> kept_a, kept_b;
        std::vector<std::size_t> from_a, from_b;
        for (std::size_t i = head; i < n - tail; ++i) {
            if (in_b[a[i]])
                kept_a.push_back(a[i]), from_a.push_back(i);
            else
                changed_a[i] = 1;
        }
        for (std::size_t j = head; j < m - tail; ++j) {
            if (in_a[b[j]])
                kept_b.push_back(b[j]), from_b.push_back(j);
            else
                changed_b[j] = 1;
        }
        Search search(std::move(kept_a), std::move(kept_b), alphabet, limits.cost_limit);
        search.run();
        for (std::size_t k = 0; k < from_a.size(); ++k) changed_a[from_a[k]] = search.changed_a[k];
        for (std::size_t k = 0; k < from_b.size(); ++k) changed_b[from_b[k]] = search.changed_b[k];
    } else {
        std::fill(changed_a.begin() + head, changed_a.end() - tail, 1);
        std::fill(changed_b.begin() + head, changed_b.end() - tail, 1);
    }
    return Script(a, b).build(changed_a, changed_b);
}

}  // namespace pelorix::diffpage
