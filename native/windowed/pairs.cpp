// Pair runs of the windowed page's rows, and ids of lines that are not exact str.
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

std::string pair_members(const std::vector<Opcode>& ops) {
    std::string runs;
    std::size_t rows = 0;
    unsigned kind = EqualPair;
    std::size_t length = 0;
    auto run = [&](unsigned k, std::size_t n) {
        if (n == 0) return;
        if (length > 0 && k != kind) {
            number(runs, length * 4 + kind);
            length = 0;
        }
        kind = k;
        length += n;
        rows += n;
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
    if (length > 0) number(runs, length * 4 + kind);
    std::string count;
    number(count, rows);
    return ",\"pairs\":[" + runs + "],\"rows\":" + count;
}

}  // namespace pelorix::windowed
