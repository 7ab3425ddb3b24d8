// The windowed page's rows as pairs.  The aligner's opcodes are blocks already: every run of
// changed lines between two equal rows is one Replace, Delete or Insert opcode, whose first
// min(n, m) lines pair in order as replaced pairs and whose surplus faces fillers.  The page's data
// holds the rows as runs of one kind each; and lines that are not exact str get their ids here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime.hpp"
#include "seqmatch.hpp"

namespace pelorix::windowed {

namespace seqmatch = diffpage::seqmatch;

// The lines of two sequences as ids through the interpreter's own hashing and equality (a dict of
// line to id), for lines that are not exact str.
seqmatch::Encoded encode_by_equality(nb::handle a, nb::handle b);

// The kinds of rows, as the page's script reads them.
enum PairKind : unsigned { EqualPair, ReplacedPair, DeletedLine, InsertedLine };

// The rows of the opcodes as members of the left panel's data object:
// ,"pairs":[count * 4 + kind, ...],"rows":number of rows (adjacent runs of one kind merged).
std::string pair_members(const std::vector<seqmatch::Opcode>& ops);

}  // namespace pelorix::windowed
