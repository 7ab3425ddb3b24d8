// The common base class of every instrument driver (named quantities per channel, validated
// setValue/getValue, debug traces, the settings table) and the run-length codec for waveforms.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "runtime.hpp"

namespace pc = pelorix;
namespace nb = nanobind;
using pc::Call;
using pc::Check;
using pc::concat;
using pc::format;
using pc::FunctionSpec;
using pc::getattr;
using pc::getitem;
using pc::Name;
using pc::setattr;
using pc::to_str;
using pc::truthy;

namespace {

const Name n_np("np"), n_diff("diff"), n_flatnonzero("flatnonzero"), n_r_("r_"), n_repeat("repeat"),
    n_ndarray("ndarray"), n_decompress("decompress"), n_newcfg("newcfg"), n_deepcopy("deepcopy"),
    n_datetime("datetime"), n_now("now"), n_strftime("strftime"), n_sys("sys"),
    n_modules("modules"), n_module("__module__"), n_spec("__spec__"), n_origin("origin"),
    n_quants("quants"), n_CHs("CHs"), n_quantities("quantities"), n_config("config"),
    n_name("name"), n_default("default"), n_check("check"), n_update("update"), n_write("write"),
    n_read("read"), n_open("open"), n_close("close"), n_info("info"),
    n_dict_from_quantity("dict_from_quantity"), n_addr("addr"), n_host("host"), n_port("port"),
    n_timeout("timeout"), n_model("model"), n_srate("srate"), n_ch("ch"), n_mode("mode"),
    n_target("target"), n_value("value"), n_global("global"), n_debug("debug"),
    n_waveform("Waveform"), n_quantity("quantity"), n_run("run"), n_dtype("dtype");

// a == b as the host evaluates it (no identity shortcut), reduced to its truth value.
bool equals(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    if (!r.is_valid()) pc::raise_current();
    return truthy(r);
}

// kw.get(key, fallback) on the **kw dictionary of a call.
nb::object kw_get(const Call& c, const Name& key, nb::handle fallback) {
    PyObject* v = c.kw_get(key);
    return nb::borrow(v ? v : fallback.ptr());
}

nb::object one() {
    return nb::steal(PyLong_FromLong(1));
}

// The local time as the debug traces show it.
nb::object trace_time(const Call& c) {
    nb::object now = pc::call_method(c.global(n_datetime), n_now, {});
    return pc::call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S.%f")});
}

// ---- waveform codec ----

// numpy as it stood when the module was loaded.  compress takes its one-pass route only while
// `np` and the functions of the chain are still these objects, so a rebinding or a patched numpy
// is used exactly as the chain would use it.
struct NumpyAtLoad {
    PyObject* module = nullptr;
    PyObject* ndarray = nullptr;
    PyObject* diff = nullptr;
    PyObject* flatnonzero = nullptr;
    PyObject* r_ = nullptr;
    PyObject* empty = nullptr;  // the fast path's own allocator
    PyObject* intp = nullptr;   // what the chain's lengths come out as
};
NumpyAtLoad numpy_at_load;  // strong references, kept for the life of the process

void remember_numpy(const pc::Module& mod) {
    nb::object np = mod.get("np");
    auto keep = [&](const char* name) {
        PyObject* v = PyObject_GetAttrString(np.ptr(), name);
        if (!v) pc::raise_current();
        return v;
    };
    numpy_at_load = {np.inc_ref().ptr(), keep("ndarray"), keep("diff"), keep("flatnonzero"),
                     keep("r_"),         keep("empty"),   keep("intp")};
}

bool numpy_unchanged(nb::handle np) {
    const NumpyAtLoad& at = numpy_at_load;
    if (np.ptr() != at.module) return false;
    PyObject* ns = PyModule_GetDict(np.ptr());
    const std::pair<const char*, PyObject*> chain[] = {
        {"ndarray", at.ndarray}, {"diff", at.diff}, {"flatnonzero", at.flatnonzero}, {"r_", at.r_}};
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
template <class T>
bool float_raises(T a, T b) {
    if (issignaling(a) || issignaling(b)) return true;
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
        if (issignaling(fa) || issignaling(fb)) return true;
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

nb::object new_array(std::size_t n, nb::handle dtype) {
    PyObject* args[] = {nullptr, nb::int_(n).release().ptr(), dtype.ptr()};
    nb::object count = nb::steal(args[1]);
    PyObject* r = PyObject_Vectorcall(numpy_at_load.empty, args + 1,
                                      2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) pc::raise_current();
    return nb::steal(r);
}

// The chain's result for a one-dimensional, non-empty exact ndarray of a native numeric type,
// found in one pass; an invalid object when `value` is anything else.
nb::object compress_natively(nb::handle value) {
    if (Py_TYPE(value.ptr()) != reinterpret_cast<PyTypeObject*>(numpy_at_load.ndarray))
        return nb::object();
    BufferView in(value, PyBUF_RECORDS_RO);
    if (!in || in->ndim != 1 || in->shape[0] < 1) return nb::object();
    std::vector<std::int64_t> starts;
    if (!run_starts(*in, starts)) return nb::object();

    const std::size_t runs = starts.size();
    nb::object values = new_array(runs, getattr(value, n_dtype));
    nb::object lengths = new_array(runs, numpy_at_load.intp);
    BufferView out_values(values, PyBUF_WRITABLE);
    BufferView out_lengths(lengths, PyBUF_WRITABLE);
    if (!out_values || !out_lengths || out_lengths->itemsize != sizeof(std::int64_t))
        pc::raise(PyExc_RuntimeError, "compress: numpy gave an unexpected output array");
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
    if (is_array < 0) pc::raise_current();
    if (!is_array) return nb::borrow(value);
    // index = np.r_[0, np.flatnonzero(np.diff(value)) + 1], in the interpreter's order
    nb::object r_ = getattr(np, n_r_);
    nb::object flatnonzero = getattr(np, n_flatnonzero);
    nb::object starts = flatnonzero(getattr(np, n_diff)(value));
    nb::object shifted = nb::steal(PyNumber_Add(starts.ptr(), one().ptr()));
    if (!shifted.is_valid()) pc::raise_current();
    nb::object index = getitem(r_, nb::make_tuple(0, shifted));
    nb::object values = getitem(value, index);
    // lengths = np.diff(np.r_[index, len(value)])
    nb::object diff = getattr(np, n_diff);
    nb::object r_again = getattr(np, n_r_);
    const Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) pc::raise_current();
    nb::object lengths = diff(getitem(r_again, nb::make_tuple(index, nb::int_(length))));
    return nb::make_tuple(values, lengths);
}

nb::object decompress(Call& c) {
    return pc::call_method(c.global(n_np), n_repeat, {c[0], c[1]});
}

const FunctionSpec compress_spec{"compress", compress, {{"value", "Any"}}};
const FunctionSpec decompress_spec{"decompress", decompress, {{"values"}, {"lengths"}}};

// ---- InstrumentCore ----

nb::object init(Call& c) {
    nb::handle self = c[0];
    setattr(self, n_addr, c[1]);
    setattr(self, n_host, kw_get(c, n_host, nb::str("127.0.0.1")));
    setattr(self, n_port, kw_get(c, n_port, nb::int_(0)));
    setattr(self, n_timeout, kw_get(c, n_timeout, nb::float_(3.0)));
    setattr(self, n_model, kw_get(c, n_model, nb::str("None")));
    setattr(self, n_srate, kw_get(c, n_srate, nb::int_(-1)));
    nb::object config = c.global(n_newcfg)(getattr(self, n_quants), getattr(self, n_CHs));
    setattr(self, n_config, config);
    nb::dict quantities;
    nb::object iter = nb::steal(PyObject_GetIter(getattr(self, n_quants).ptr()));
    if (!iter.is_valid()) pc::raise_current();
    while (PyObject* q = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(q);
        if (PyDict_SetItem(quantities.ptr(), getattr(item, n_name).ptr(), q) < 0)
            pc::raise_current();
    }
    if (PyErr_Occurred()) pc::raise_current();
    setattr(self, n_quantities, quantities);
    return nb::none();
}

nb::object info(Call& c) {
    nb::handle self = c[0];
    nb::str base =
        concat({nb::str("\xF0\x9F\x94\x96"
                        "Driver(addr="),
                format(getattr(self, n_addr)), nb::str(", model="), format(getattr(self, n_model)),
                nb::str(", srate="), format(getattr(self, n_srate)), nb::str(", host="),
                format(getattr(self, n_host)), nb::str(", port="), format(getattr(self, n_port)),
                nb::str(")")});
    try {
        nb::object modules = getattr(c.global(n_sys), n_modules);
        nb::object module = getitem(modules, getattr(self, n_module));
        nb::object origin = getattr(getattr(module, n_spec), n_origin);
        return concat({base, nb::str("<"), format(origin), nb::str(">")});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return base;
    }
}

nb::object repr(Call& c) {
    return pc::call_method(c[0], n_info, {});
}

nb::object del(Call& c) {
    nb::handle self = c[0];
    try {
        pc::call_method(self, n_close, {});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object err = nb::borrow(e.value());
        pc::print(
            c, {concat({nb::str("Failed to close "), format(self), nb::str(": "), format(err)})});
    }
    return nb::none();
}

nb::object enter(Call& c) {
    pc::call_method(c[0], n_open, {});
    return nb::borrow(c[0]);
}

nb::object exit(Call& c) {
    pc::call_method(c[0], n_close, {});
    return nb::none();
}

nb::object nothing(Call&) {
    return nb::none();
}

nb::object dict_from_quantity(Call& c) {
    nb::handle self = c[0];
    nb::dict conn, channel, chx;
    nb::object quants = c.global(n_deepcopy)(getattr(self, n_quants));
    nb::object iter = nb::steal(PyObject_GetIter(quants.ptr()));
    if (!iter.is_valid()) pc::raise_current();
    nb::str global("global");
    while (PyObject* q = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(q);
        nb::object def = getattr(item, n_default);
        nb::object ch = getitem(def, nb::str("ch"));
        nb::dict& table = equals(ch, global) ? chx : channel;
        nb::object key = getattr(item, n_name);
        nb::object value = getitem(getattr(item, n_default), nb::str("value"));
        if (PyObject_SetItem(table.ptr(), key.ptr(), value.ptr()) < 0) pc::raise_current();
    }
    if (PyErr_Occurred()) pc::raise_current();
    nb::object chs = nb::steal(PyObject_GetIter(getattr(self, n_CHs).ptr()));
    if (!chs.is_valid()) pc::raise_current();
    while (PyObject* ch = PyIter_Next(chs.ptr())) {
        nb::object item = nb::steal(ch);
        nb::str key = concat({nb::str("CH"), to_str(item)});
        conn[key] = channel;
    }
    if (PyErr_Occurred()) pc::raise_current();
    conn["CHglobal"] = chx;
    return conn;
}

// check and update are usually the base class's own; then they run directly, without a lookup
// result that anyone could observe.
void check_body(nb::handle self, nb::handle name, nb::handle channel);
void update_body(nb::handle self, nb::handle name, nb::handle value, nb::handle channel);
extern const FunctionSpec check_spec, update_spec;

void check_body(nb::handle self, nb::handle name, nb::handle channel) {
    if (!pc::assertions_enabled()) return;
    nb::object quantities = getattr(self, n_quantities);
    const int has = PySequence_Contains(quantities.ptr(), name.ptr());
    if (has < 0) pc::raise_current();
    if (!has) {
        nb::str msg = concat({to_str(self), nb::str(": quantity("), name, nb::str(") not Found!")});
        PyErr_SetObject(PyExc_AssertionError, msg.ptr());
        pc::raise_current();
    }
    const int in_chs = PySequence_Contains(getattr(self, n_CHs).ptr(), channel.ptr());
    if (in_chs < 0) pc::raise_current();
    if (in_chs) return;
    nb::object ne = nb::steal(PyObject_RichCompare(channel.ptr(), n_global.get(), Py_NE));
    if (!ne.is_valid()) pc::raise_current();
    if (truthy(ne)) {
        nb::str msg =
            concat({to_str(self), nb::str(": channel("), to_str(channel), nb::str(") not found!")});
        PyErr_SetObject(PyExc_AssertionError, msg.ptr());
        pc::raise_current();
    }
}

void update_body(nb::handle self, nb::handle name, nb::handle value, nb::handle channel) {
    pc::setitem(getitem(getitem(getattr(self, n_config), name), channel), n_value, value);
}

nb::object check(Call& c) {
    check_body(c[0], c[1], c[2]);
    return nb::none();
}

nb::object update(Call& c) {
    update_body(c[0], c[1], c[2], c[3]);
    return nb::none();
}

void call_check(nb::handle self, nb::handle name, nb::handle channel) {
    if (pc::resolves_to(self, n_check, check_spec))
        check_body(self, name, channel);
    else
        pc::call_method(self, n_check, {name, channel});
}

void call_update(nb::handle self, nb::handle name, nb::handle value, nb::handle channel) {
    if (pc::resolves_to(self, n_update, update_spec))
        update_body(self, name, value, channel);
    else
        pc::call_method(self, n_update, {name, value, channel});
}

bool is_debug(const Call& c) {
    PyObject* mode = c.kw_get(n_mode);
    return mode && equals(mode, n_debug);  // the default is "run"
}

nb::str trace_head(const Call& c, const char* what) {
    nb::object target = kw_get(c, n_target, nb::str(""));
    return concat({nb::str("["), trace_time(c), nb::str(what), to_str(target), nb::str("]")});
}

nb::object channel_of(const Call& c) {
    PyObject* ch = c.kw_get(n_ch);
    return ch ? nb::borrow(ch) : one();
}

// self.NAME(*args, **kw) with the caller's extra keywords, if there were any.
nb::object call_hook(const Call& c, const Name& name, std::initializer_list<nb::handle> args) {
    return c.call_method_with_kw(c[0], name, args);
}

nb::object set_value(Call& c) {
    nb::handle self = c[0], name = c[1];
    nb::object value = nb::borrow(c[2]);
    nb::object channel = channel_of(c);
    call_check(self, name, channel);
    if (PyTuple_Check(value.ptr()) && PyUnicode_Compare(name.ptr(), n_waveform.get()) == 0) {
        nb::object fn = c.global(n_decompress);
        PyObject* r = PyObject_Call(fn.ptr(), value.ptr(), nullptr);
        if (!r) pc::raise_current();
        value = nb::steal(r);
    }
    if (is_debug(c)) {
        pc::print(c, {trace_head(c, "][SET]["), name, value});
        return nb::none();
    }
    nb::object opc = call_hook(c, n_write, {name, value});
    call_update(self, name, opc, channel);
    return nb::none();
}

nb::object get_value(Call& c) {
    nb::handle self = c[0], name = c[1];
    if (PyUnicode_Compare(name.ptr(), n_quantity.get()) == 0)
        return pc::call_method(self, n_dict_from_quantity, {});
    // hasattr, then getattr: two lookups, as the host does them
    if (pc::lookup_attr(self, name).is_valid()) {
        PyObject* again = PyObject_GetAttr(self.ptr(), name.ptr());
        if (!again) pc::raise_current();
        return nb::steal(again);
    }
    nb::object channel = channel_of(c);
    call_check(self, name, channel);
    if (is_debug(c)) {
        pc::print(c, {trace_head(c, "][GET]["), name});
        return nb::none();
    }
    nb::object value = call_hook(c, n_read, {name});
    if (value.is_none())
        return getitem(getitem(getitem(getattr(self, n_config), name), channel), n_value);
    call_update(self, name, value, channel);
    return value;
}

const FunctionSpec init_spec{"__init__",
                             init,
                             {{"self"}, {"addr", "str", Check::Str}},
                             "kw",
                             nullptr,
                             Check::Any,
                             "initialization of the driver\n\n        Args:\n            addr "
                             "(str, optional): ip address of "
                             "the device. Defaults to '192.168.1.42'.\n        "};
const FunctionSpec repr_spec{"__repr__", repr, {{"self"}}};
const FunctionSpec del_spec{"__del__", del, {{"self"}}};
const FunctionSpec enter_spec{"__enter__", enter, {{"self"}}};
const FunctionSpec exit_spec{
    "__exit__", exit, {{"self"}, {"exception_type"}, {"exception_value"}, {"traceback"}}};
const FunctionSpec info_spec{"info", info, {{"self"}}};
const FunctionSpec dict_from_quantity_spec{"dict_from_quantity", dict_from_quantity, {{"self"}}};
const FunctionSpec open_spec{
    "open", nothing, {{"self"}}, "kw", nullptr, Check::Any, "how device is opened\n        "};
const FunctionSpec close_spec{
    "close", nothing, {{"self"}}, "kw", nullptr, Check::Any, "how device is closed\n        "};
const FunctionSpec write_spec{
    "write",
    nothing,
    {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}},
    "kw",
    nullptr,
    Check::Any,
    "write a command(specified by name and value) to the device\n        "};
const FunctionSpec read_spec{"read",
                             nothing,
                             {{"self"}, {"name", "str", Check::Str}},
                             "kw",
                             nullptr,
                             Check::Any,
                             "read a value(specified by name) from the device\n        "};
const FunctionSpec cancel_spec{"cancel", nothing, {{"self"}}};
const FunctionSpec check_spec{
    "check", check, {{"self"}, {"name", "str", Check::Str}, {"channel", "int | str"}}};
const FunctionSpec update_spec{
    "update",
    update,
    {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}, {"channel", "int | str"}}};
const FunctionSpec set_value_spec{
    "setValue", set_value, {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}}, "kw"};
const FunctionSpec get_value_spec{
    "getValue", get_value, {{"self"}, {"name", "str", Check::Str}}, "kw"};

const char* const class_doc =
    "Base class for all drivers and methods open/close/read/write are required.\n\n"
    "    See template **VirtualDevice**\n    ";

const char* const pattern = "^192\\.168\\.({seg})\\.((2(5[0-5]|[0-4]\\d))|[0-1]?\\d{{1,2}})";

void build_module(nb::module_ m) {
    pc::Module mod(m);
    mod.import("re");
    mod.import("sys");
    mod.import_from("abc", {"ABC", "abstractmethod"});
    mod.import_from("copy", {"deepcopy"});
    mod.import_from("datetime", {"datetime"});
    mod.import_from("typing", {"Any"});
    mod.import("numpy", "np");
    remember_numpy(mod);
    mod.import_from("quantity", {"Quantity", "newcfg"}, 1);

    mod.set("PATTERN", nb::str(pattern));
    mod.def(compress_spec);
    mod.def(decompress_spec);

    nb::object abstract = mod.get("abstractmethod");
    const char* cls = "InstrumentCore";
    auto method = [&](const FunctionSpec& s) { return mod.method(s, cls); };
    nb::object klass = pc::make_class(
        nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(mod.get("ABC").ptr()))), cls,
        nb::make_tuple(mod.get("ABC")), mod.globals(), class_doc,
        {{"segment", "tuple"}, {"CHs", "list[int | str]"}, {"quants", "list[Quantity]"}},
        {
            {"segment", nb::make_tuple("na", "103|104")},
            {"CHs", nb::list(nb::make_tuple(1))},
            {"quants", nb::list()},
            {"__init__", mod.method(init_spec, cls, {nb::str("192.168.1.42")})},
            {"__repr__", method(repr_spec)},
            {"__del__", method(del_spec)},
            {"__enter__", method(enter_spec)},
            {"__exit__", method(exit_spec)},
            {"info", method(info_spec)},
            {"dict_from_quantity", method(dict_from_quantity_spec)},
            {"open", abstract(method(open_spec))},
            {"close", abstract(method(close_spec))},
            {"write", abstract(method(write_spec))},
            {"read", abstract(method(read_spec))},
            {"cancel", method(cancel_spec)},
            {"check", method(check_spec)},
            {"update", mod.method(update_spec, cls, {one()})},
            {"setValue", method(set_value_spec)},
            {"getValue", method(get_value_spec)},
        });
    mod.set("InstrumentCore", klass);
}

}  // namespace

NB_MODULE(instrumentcore, m) {
    build_module(m);
}
