// A line alignment for the windowed diff page: the fewest changed lines that Myers' O(ND) search
// finds, with no line left unmatched because it is frequent, and cut-offs that keep large,
// heavily edited inputs fast at the price of a slightly longer edit script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "seqmatch.hpp"

namespace pelorix::diffpage {

struct AlignLimits {
    // The edit cost one middle-snake search may spend in each direction.  A box that needs more
    // is split on lines that occur once on each side (their longest run in order), or, with no
    // such line, where the search got furthest; the pieces are aligned again.  Inputs whose
    // boxes all stay below it get a minimal alignment.
    std::size_t cost_limit = 512;
};

// A line alignment of a and b (dense ids < alphabet, equal lines share an id) with no popularity
// heuristic, as opcodes in the same form as seqmatch::opcodes (Equal / Replace / Delete / Insert,
// covering both sequences in order, adjacent delete+insert merged into Replace).  Normalised so
// that inside a Replace block the k-th line of each side (k < min(n, m)) are never equal: where
// they would be, the block is split there by an Equal opcode of length 1 (an identical line never
// shows as changed).
std::vector<seqmatch::Opcode> align(std::span<const std::uint32_t> a,
                                    std::span<const std::uint32_t> b, std::uint32_t alphabet,
                                    const AlignLimits& limits = {});

}  // namespace pelorix::diffpage
