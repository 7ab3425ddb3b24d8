// Blocks and pair runs of the windowed page's rows.
#include "pairs.hpp"

#include <algorithm>
#include <charconv>

namespace pelorix::windowed {
namespace {

using seqmatch::Opcode;
using seqmatch::Tag;

void encode_into(nb::handle lines, nb::handle ids, std::vector<std::uint32_t>& out) {
    nb::object it = iterate(lines);
    while (nb::object line = next(it)) {
        PyObject* id = PyDict_GetItemWithError(ids.ptr(), line.ptr());
        if (!id) {
            if (PyErr_Occurred()) raise_current();
            nb::object fresh = nb::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(ids.ptr())));
            if (!fresh.is_valid() || PyDict_SetItem(ids.ptr(), line.ptr(), fresh.ptr()) < 0)
                raise_current();
            id = fresh.ptr();
        }
        out.push_back(static_cast<std::uint32_t>(PyLong_AsSsize_t(id)));
    }
}

// Appends an opcode, or widens the last one when it has the same tag.
void put(std::vector<Opcode>& out, Tag tag, std::size_t i1, std::size_t i2, std::size_t j1,
         std::size_t j2) {
    if (i1 == i2 && j1 == j2) return;
    if (!out.empty() && out.back().tag == tag && out.back().i2 == i1 && out.back().j2 == j1) {
        out.back().i2 = i2;
        out.back().j2 = j2;
        return;
    }
    out.push_back({tag, i1, i2, j1, j2});
}

// A block of changed lines a[i1:i2] against b[j1:j2], split at its equal pairs.
void put_block(std::vector<Opcode>& out, std::span<const std::uint32_t> a,
               std::span<const std::uint32_t> b, std::size_t i1, std::size_t i2, std::size_t j1,
               std::size_t j2) {
    const std::size_t paired = std::min(i2 - i1, j2 - j1);
    std::size_t from = 0;  // the first pair of the part not yet put
    for (std::size_t k = 0; k < paired; ++k) {
        if (a[i1 + k] != b[j1 + k]) continue;
        put(out, Tag::Replace, i1 + from, i1 + k, j1 + from, j1 + k);
        put(out, Tag::Equal, i1 + k, i1 + k + 1, j1 + k, j1 + k + 1);
        from = k + 1;
    }
    const bool pairs_left = from < paired;
    const Tag rest = pairs_left ? Tag::Replace : i2 - i1 > j2 - j1 ? Tag::Delete : Tag::Insert;
    put(out, rest, i1 + from, i2, j1 + from, j2);
}

void number(std::string& out, std::size_t n) {
    char digits[24];
    if (!out.empty()) out += ',';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

}  // namespace

seqmatch::Encoded encode_by_equality(nb::handle a, nb::handle b) {
    nb::object ids = nb::steal(PyDict_New());
    if (!ids.is_valid()) raise_current();
    seqmatch::Encoded e;
    encode_into(a, ids, e.a);
    encode_into(b, ids, e.b);
    e.alphabet = static_cast<std::uint32_t>(PyDict_GET_SIZE(ids.ptr()));
    return e;
}

std::vector<Opcode> blocks(const std::vector<Opcode>& ops, std::span<const std::uint32_t> a,
                           std::span<const std::uint32_t> b) {
    std::vector<Opcode> out;
    out.reserve(ops.size() + 8);
    std::size_t k = 0;
    while (k < ops.size()) {
        const Opcode& op = ops[k];
        if (op.tag == Tag::Equal) {
            put(out, Tag::Equal, op.i1, op.i2, op.j1, op.j2);
            ++k;
            continue;
        }
        // the run of changes up to the next equal opcode is one block
        std::size_t i2 = op.i2, j2 = op.j2;
        for (++k; k < ops.size() && ops[k].tag != Tag::Equal; ++k) {
            i2 = ops[k].i2;
            j2 = ops[k].j2;
        }
        put_block(out, a, b, op.i1, i2, op.j1, j2);
    }
    return out;
}

PairRuns pair_runs(const std::vector<Opcode>& ops) {
    PairRuns runs;
    unsigned kind = EqualPair;
    std::size_t length = 0;
    auto run = [&](unsigned k, std::size_t n) {
        if (n == 0) return;
        if (length > 0 && k != kind) {
            number(runs.json, length * 4 + kind);
            length = 0;
        }
        kind = k;
        length += n;
        runs.rows += n;
    };
    for (const Opcode& op : ops) {
        const std::size_t n = op.i2 - op.i1, m = op.j2 - op.j1;
        switch (op.tag) {
            case Tag::Equal:
                run(EqualPair, n);
                break;
            case Tag::Replace:
                run(ReplacedPair, std::min(n, m));
                run(n > m ? DeletedLine : InsertedLine, n > m ? n - m : m - n);
                break;
            case Tag::Delete:
                run(DeletedLine, n);
                break;
            case Tag::Insert:
                run(InsertedLine, m);
                break;
        }
    }
    if (length > 0) number(runs.json, length * 4 + kind);
    return runs;
}

}  // namespace pelorix::windowed
