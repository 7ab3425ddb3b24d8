// The waveform codec: compress turns a 1-D array into its runs (values, lengths) the way NumPy's
// diff/flatnonzero chain does, in one native pass where nobody can tell; decompress repeats them.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "instrumentcore.hpp"
#include "names.hpp"
#include "snapshot.hpp"

namespace pelorix::instrumentcore {

namespace {

const Name n_ndarray("ndarray"), n_diff("diff"), n_flatnonzero("flatnonzero"), n_r_("r_"),
    n_repeat("repeat"), n_dtype("dtype");

// numpy as it stood when the module was loaded.  compress takes its one-pass route only while
// `np` and the functions of the chain are still these objects, so a rebinding or a patched numpy
// is used exactly as the chain would use it.
struct NumpyAtLoad {
    nb::object module, ndarray, diff, flatnonzero, r_;
    nb::object empty;  // the fast path's own allocator
    nb::object intp;   // what the chain's lengths come out as
};
Snapshot<NumpyAtLoad> numpy_at_load;

bool numpy_unchanged(nb::handle np) {
    if (!numpy_at_load.taken()) return false;
    const NumpyAtLoad& at = *numpy_at_load;
    if (np.ptr() != at.module.ptr()) return false;
    PyObject* ns = PyModule_GetDict(np.ptr());
    const std::pair<const char*, PyObject*> chain[] = {{"ndarray", at.ndarray.ptr()},
                                                       {"diff", at.diff.ptr()},
                                                       {"flatnonzero", at.flatnonzero.ptr()},
                                                       {"r_", at.r_.ptr()}};
    for (const auto& [name, original] : chain)
        if (PyDict_GetItemString(ns, name) != original) return false;
    return true;
}

// A run goes on while numpy's difference of neighbours is zero: for floats the subtraction
// itself decides (NaN and equal infinities give NaN, -0.0 and 0.0 give zero), for integers
// wrapped subtraction is zero exactly on equality, and booleans differ by truth value.  Each rule
// is written once over "lanes" (`ends`, true where a run ends) so that it serves single elements
// and 16-byte vectors alike; a complex number is two float lanes, both of which must continue.
//
// numpy also reports floating-point trouble in that subtraction (an invalid operation such as
// inf - inf, an overflow) through its error handling: a warning, an exception, a callback.  Such
// a difference is never zero, so `raises` is asked only where a run ends, and when it holds the
// chain itself runs and reports it exactly as numpy does.
//
// A signaling NaN is a NaN whose quiet bit, the top bit of the stored significand, is clear.  It is
// tested here rather than with the C library's issignaling, which would make the module need a
// newer C library than anything else in it does.
template <class T>
bool signaling(T x) {
    if (!std::isnan(x)) return false;
    if constexpr (sizeof(T) == sizeof(std::uint32_t)) {
        return (std::bit_cast<std::uint32_t>(x) & 0x00400000u) == 0;
    } else if constexpr (sizeof(T) == sizeof(std::uint64_t)) {
        return (std::bit_cast<std::uint64_t>(x) & 0x0008000000000000u) == 0;
    } else {
        // x86 extended precision: a 64-bit significand with an explicit integer bit, then the
        // quiet bit, in the low eight bytes.
        std::uint64_t significand;
        std::memcpy(&significand, &x, sizeof significand);
        return (significand & (std::uint64_t{1} << 62)) == 0;
    }
}

template <class T>
bool float_raises(T a, T b) {
    if (signaling(a) || signaling(b)) return true;
    if (std::isinf(a) && a == b) return true;  // inf - inf
    return std::isfinite(a) && std::isfinite(b) && std::isinf(b - a);
}

template <class T, int Parts = 1>
struct FloatRule {
    using Lane = T;
    static constexpr int parts = Parts;
    static auto ends(auto a, auto b) { return (b - a) != 0; }
    static bool raises(T a, T b) { return float_raises(a, b); }
};
template <class T>
struct EqualRule {
    using Lane = T;
    static constexpr int parts = 1;
    static auto ends(auto a, auto b) { return a != b; }
    static bool raises(T, T) { return false; }
};
struct BoolRule {
    using Lane = std::uint8_t;
    static constexpr int parts = 1;
    static auto ends(auto a, auto b) { return (a != 0) != (b != 0); }
    static bool raises(Lane, Lane) { return false; }
};
// Half precision, kept as bits: distinct finite halves differ by at least the smallest
// subnormal, so the difference is zero exactly for equal finite values, either zero included.
// numpy subtracts in single precision and rounds back, overflowing from 65520 on.
struct HalfRule {
    using Lane = std::uint16_t;
    static constexpr int parts = 1;
    static auto ends(auto a, auto b) {
        return ((a & 0x7C00) == 0x7C00) | ((a != b) & (((a | b) & 0x7FFF) != 0));
    }
    static float widen(std::uint16_t h) {
        const std::uint32_t sign = std::uint32_t{h & 0x8000u} << 16;
        const std::uint32_t exp = (h >> 10) & 0x1F, sig = h & 0x3FF;
        if (exp == 0x1F) return std::bit_cast<float>(sign | 0x7F800000u | (sig << 13));
        const float magnitude =
            exp == 0 ? std::ldexp(static_cast<float>(sig), -24)
                     : std::ldexp(static_cast<float>(sig | 0x400), static_cast<int>(exp) - 25);
        return sign ? -magnitude : magnitude;
    }
    static bool raises(Lane a, Lane b) {
        const float fa = widen(a), fb = widen(b);
        if (signaling(fa) || signaling(fb)) return true;
        if (std::isinf(fa) && fa == fb) return true;
        return std::isfinite(fa) && std::isfinite(fb) && std::fabs(fb - fa) >= 65520.0f;
    }
};

// One element: `parts` lanes.
template <class Rule>
struct Element {
    typename Rule::Lane part[Rule::parts];
};

template <class Rule>
bool element_ends(const Element<Rule>& a, const Element<Rule>& b) {
    bool end = false;
    for (int k = 0; k < Rule::parts; ++k) end |= Rule::ends(a.part[k], b.part[k]);
    return end;
}

template <class Rule>
bool element_raises(const Element<Rule>& a, const Element<Rule>& b) {
    for (int k = 0; k < Rule::parts; ++k)
        if (Rule::raises(a.part[k], b.part[k])) return true;
    return false;
}

constexpr std::size_t block = 32;  // elements tested at once where they are contiguous

// True when elements first .. first + block - 1 all continue the run of the element before
// each, for contiguous data, tested 16 bytes at a time without a branch.
template <class Rule>
bool block_continues(const char* first) {
    using Lane = typename Rule::Lane;
    typedef Lane Vector __attribute__((vector_size(16)));
    constexpr std::size_t per = 16 / sizeof(Lane), lanes = block * Rule::parts;
    static_assert(lanes % per == 0);
    const char* before = first - sizeof(Element<Rule>);
    decltype(Rule::ends(Vector{}, Vector{})) any = {};
    for (std::size_t k = 0; k < lanes; k += per) {
        Vector cur, prev;
        std::memcpy(&cur, first + k * sizeof(Lane), 16);
        std::memcpy(&prev, before + k * sizeof(Lane), 16);
        any |= Rule::ends(prev, cur);
    }
    std::uint64_t words[2];
    std::memcpy(words, &any, 16);
    return (words[0] | words[1]) == 0;
}

// Positions at which a new run starts, 0 first; false (and nothing more) as soon as a
// difference would raise a floating-point condition.  Contiguous stretches that continue the
// current run are passed over a block at a time, so long runs cost little more than reading.
template <class Rule, bool Vectorised>
bool run_starts(const Py_buffer& view, std::vector<std::int64_t>& starts) {
    const char* data = static_cast<const char*>(view.buf);
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const std::ptrdiff_t stride = view.strides[0];
    const bool contiguous = stride == static_cast<std::ptrdiff_t>(sizeof(Element<Rule>));
    auto at = [&](std::size_t i) {
        Element<Rule> e;
        std::memcpy(&e, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof e);
        return e;
    };
    starts.push_back(0);
    std::size_t i = 1;
    while (i < n) {
        if constexpr (Vectorised) {
            if (contiguous && n - i >= block &&
                block_continues<Rule>(data + i * sizeof(Element<Rule>))) {
                i += block;
                continue;
            }
        }
        for (const std::size_t end = std::min(n, i + block); i < end; ++i) {
            const Element<Rule> prev = at(i - 1), cur = at(i);
            if (!element_ends(prev, cur)) continue;
            if (element_raises(prev, cur)) return false;
            starts.push_back(static_cast<std::int64_t>(i));
        }
    }
    return true;
}

// Finds the run starts for the element types read natively; false for any other element type
// (non-native byte order, records, objects, ...) and where numpy would report a condition.
bool run_starts(const Py_buffer& view, std::vector<std::int64_t>& starts) {
    const std::string_view format = view.format ? view.format : "B";
    const std::size_t size = static_cast<std::size_t>(view.itemsize);
    if (format == "?" && size == 1) return run_starts<BoolRule, true>(view, starts);
    if (format.size() == 1 &&
        std::string_view("bBhHiIlLqQ").find(format[0]) != std::string_view::npos) {
        switch (size) {
            case 1:
                return run_starts<EqualRule<std::uint8_t>, true>(view, starts);
            case 2:
                return run_starts<EqualRule<std::uint16_t>, true>(view, starts);
            case 4:
                return run_starts<EqualRule<std::uint32_t>, true>(view, starts);
            case 8:
                return run_starts<EqualRule<std::uint64_t>, true>(view, starts);
            default:
                return false;
        }
    }
    if (format == "e" && size == 2) return run_starts<HalfRule, true>(view, starts);
    if (format == "f" && size == sizeof(float))
        return run_starts<FloatRule<float>, true>(view, starts);
    if (format == "d" && size == sizeof(double))
        return run_starts<FloatRule<double>, true>(view, starts);
    if (format == "g" && size == sizeof(long double))
        return run_starts<FloatRule<long double>, false>(view, starts);
    if (format == "Zf" && size == 2 * sizeof(float))
        return run_starts<FloatRule<float, 2>, true>(view, starts);
    if (format == "Zd" && size == 2 * sizeof(double))
        return run_starts<FloatRule<double, 2>, true>(view, starts);
    if (format == "Zg" && size == 2 * sizeof(long double))
        return run_starts<FloatRule<long double, 2>, false>(view, starts);
    return false;
}

// A buffer view released on every path.
class BufferView {
public:
    // Invalid (and no error set) when `obj` cannot export a buffer with these flags.
    BufferView(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) == 0)
            valid_ = true;
        else
            PyErr_Clear();
    }
    ~BufferView() {
        if (valid_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    explicit operator bool() const { return valid_; }
    const Py_buffer* operator->() const { return &view_; }
    const Py_buffer& operator*() const { return view_; }

private:
    Py_buffer view_{};
    bool valid_ = false;
};

// numpy.empty(n, dtype), from the numpy the module loaded.
nb::object new_array(std::size_t n, nb::handle dtype) {
    return call(numpy_at_load->empty, {nb::int_(n), dtype});
}

// The chain's result for a one-dimensional, non-empty exact ndarray of a native numeric type,
// found in one pass; an invalid object when `value` is anything else.
nb::object compress_natively(nb::handle value) {
    if (Py_TYPE(value.ptr()) != reinterpret_cast<PyTypeObject*>(numpy_at_load->ndarray.ptr()))
        return nb::object();
    BufferView in(value, PyBUF_RECORDS_RO);
    if (!in || in->ndim != 1 || in->shape[0] < 1) return nb::object();
    std::vector<std::int64_t> starts;
    if (!run_starts(*in, starts)) return nb::object();

    const std::size_t runs = starts.size();
    nb::object values = new_array(runs, getattr(value, n_dtype));
    nb::object lengths = new_array(runs, numpy_at_load->intp);
    BufferView out_values(values, PyBUF_WRITABLE);
    BufferView out_lengths(lengths, PyBUF_WRITABLE);
    if (!out_values || !out_lengths || out_lengths->itemsize != sizeof(std::int64_t))
        raise(PyExc_RuntimeError, "compress: numpy gave an unexpected output array");
    const char* data = static_cast<const char*>(in->buf);
    char* to = static_cast<char*>(out_values->buf);
    auto* counts = static_cast<std::int64_t*>(out_lengths->buf);
    const std::size_t itemsize = static_cast<std::size_t>(in->itemsize);
    for (std::size_t k = 0; k < runs; ++k) {
        std::memcpy(to + k * itemsize, data + starts[k] * in->strides[0], itemsize);
        const std::int64_t end = k + 1 < runs ? starts[k + 1] : in->shape[0];
        counts[k] = end - starts[k];
    }
    return nb::make_tuple(values, lengths);
}

nb::object compress(Call& c) {
    nb::handle value = c[0];
    nb::object np = c.global(n_np);
    if (numpy_unchanged(np))
        if (nb::object result = compress_natively(value); result.is_valid()) return result;
    const int is_array = PyObject_IsInstance(value.ptr(), getattr(np, n_ndarray).ptr());
    if (is_array < 0) raise_current();
    if (!is_array) return nb::borrow(value);
    // index = np.r_[0, np.flatnonzero(np.diff(value)) + 1], in the interpreter's order
    nb::object r_ = getattr(np, n_r_);
    nb::object flatnonzero = getattr(np, n_flatnonzero);
    nb::object starts = flatnonzero(getattr(np, n_diff)(value));
    nb::object shifted = nb::steal(PyNumber_Add(starts.ptr(), nb::int_(1).ptr()));
    if (!shifted.is_valid()) raise_current();
    nb::object index = getitem(r_, nb::make_tuple(0, shifted));
    nb::object values = getitem(value, index);
    // lengths = np.diff(np.r_[index, len(value)])
    nb::object diff = getattr(np, n_diff);
    nb::object r_again = getattr(np, n_r_);
    const Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) raise_current();
    nb::object lengths = diff(getitem(r_again, nb::make_tuple(index, nb::int_(length))));
    return nb::make_tuple(values, lengths);
}

nb::object decompress(Call& c) {
    return call_method(c.global(n_np), n_repeat, {c[0], c[1]});
}

}  // namespace

void remember_numpy(const Module& mod) {
    nb::object np = mod.get("np");
    numpy_at_load.keep({np, nb::getattr(np, "ndarray"), nb::getattr(np, "diff"),
                        nb::getattr(np, "flatnonzero"), nb::getattr(np, "r_"),
                        nb::getattr(np, "empty"), nb::getattr(np, "intp")});
}

const FunctionSpec compress_spec{
    .name = "compress", .body = compress, .params = {{.name = "value", .annotation = "Any"}}};
const FunctionSpec decompress_spec{
    .name = "decompress", .body = decompress, .params = {{.name = "values"}, {.name = "lengths"}}};

}  // namespace pelorix::instrumentcore
