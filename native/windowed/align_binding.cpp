// _align(a, b, cost_limit=None): the windowed page's line alignment of two lists of str as
// opcode tuples, with a cost limit the tests can lower to reach the cut-off path.
#include "align_binding.hpp"

#include "align.hpp"

namespace pelorix::diffpage {
namespace {

nb::object align_hook(Call& c) {
    AlignLimits limits;
    nb::handle limit = c[2];
    if (!limit.is_none()) {
        if (!PyLong_CheckExact(limit.ptr()))
            raise(PyExc_TypeError, "cost_limit must be int or None, not %.80s",
                  Py_TYPE(limit.ptr())->tp_name);
        const long long value = PyLong_AsLongLong(limit.ptr());
        if (value == -1 && PyErr_Occurred()) raise_current();
        if (value < 1) raise(PyExc_ValueError, "cost_limit must be at least 1, not %lld", value);
        limits.cost_limit = static_cast<std::size_t>(value);
    }
    const std::optional<seqmatch::Encoded> e = seqmatch::encode_lines(c[0], c[1]);
    if (!e) raise(PyExc_TypeError, "a and b must be lists of str");
    static const char* const tags[] = {"replace", "delete", "insert", "equal"};
    nb::list answer;
    for (const seqmatch::Opcode& op : align(e->a, e->b, e->alphabet, limits))
        answer.append(nb::make_tuple(tags[static_cast<int>(op.tag)], op.i1, op.i2, op.j1, op.j2));
    return answer;
}

const FunctionSpec align_spec{.name = "_align",
                              .body = align_hook,
                              .params = {{.name = "a", .annotation = "list[str]"},
                                         {.name = "b", .annotation = "list[str]"},
                                         {.name = "cost_limit", .annotation = "int | None"}},
                              .returns = "list[tuple[str, int, int, int, int]]",
                              .doc = docstring(R"(

    The windowed page's line alignment of a and b, as difflib-style opcodes.

    For tests: cost_limit lowers the edit cost a search may spend before the
    alignment is cut off (None keeps the page's own limit).
    )")};

}  // namespace

void define_align_hook(Module& mod) {
    mod.def(align_spec, {Py_None});
}

}  // namespace pelorix::diffpage
