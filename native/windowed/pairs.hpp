// The windowed page's rows as pairs.  An alignment's opcodes become blocks: every run of changed
// lines between two equal rows pairs its first min(n, m) lines in order as replaced pairs, and its
// surplus faces fillers; where a block would pair two equal lines they form an equal row and split
// it, so an unchanged line never shows as changed.  The page's data holds the rows as runs of one
// kind each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "runtime.hpp"
#include "seqmatch.hpp"

namespace pelorix::windowed {

// The lines of two sequences as ids through the interpreter's own hashing and equality (a dict of
// line to id), for lines that are not exact str.
seqmatch::Encoded encode_by_equality(nb::handle a, nb::handle b);

// `ops` (any valid alignment of a and b, adjacent changes allowed) in block form: Equal, Replace
// (its k-th lines never equal for k < min(n, m)), Delete and Insert, never two changes adjacent.
std::vector<seqmatch::Opcode> blocks(const std::vector<seqmatch::Opcode>& ops,
                                     std::span<const std::uint32_t> a,
                                     std::span<const std::uint32_t> b);

// The kinds of rows, as the page's script reads them.
enum PairKind : unsigned { EqualPair, ReplacedPair, DeletedLine, InsertedLine };

// The rows of block-form opcodes as runs "count * 4 + kind, ..." (JSON numbers), adjacent runs of
// one kind merged, and how many rows there are.
struct PairRuns {
    std::string json;
    std::size_t rows = 0;
};
PairRuns pair_runs(const std::vector<seqmatch::Opcode>& ops);

}  // namespace pelorix::windowed
