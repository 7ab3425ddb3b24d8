// Sequence alignment that reproduces the standard library's SequenceMatcher(None, a, b) opcode for
// opcode (popular-element heuristic, longest-match tie-breaking, extension over equal neighbours),
// so a module can align lines or characters natively wherever nobody could tell the difference.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pelorix::diffpage::seqmatch {

namespace nb = nanobind;

enum class Tag : std::uint8_t { Replace, Delete, Insert, Equal };

struct Opcode {
    Tag tag;
    std::size_t i1, i2, j1, j2;
};

// Two sequences as dense element ids: equal elements share an id, and every id is < alphabet.
struct Encoded {
    std::vector<std::uint32_t> a, b;
    std::uint32_t alphabet = 0;
};

// The opcodes of SequenceMatcher(None, a, b).get_opcodes() for id sequences.
std::vector<Opcode> opcodes(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t alphabet);

// Lines of two lists, compared as strings are compared; nullopt unless both are exact lists of
// exact str (anything else may define its own equality, so only the host can align it).
std::optional<Encoded> encode_lines(nb::handle a, nb::handle b);

// The code points of two exact str objects.
Encoded encode_chars(nb::handle a, nb::handle b);

}  // namespace pelorix::diffpage::seqmatch
