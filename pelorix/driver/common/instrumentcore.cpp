// The common base class of every instrument driver (named quantities per channel, validated
// setValue/getValue, debug traces, the settings table) and the run-length codec for waveforms.
#include "runtime.hpp"

namespace pc = pelorix;
namespace nb = nanobind;
using pc::Call;
using pc::Check;
using pc::FunctionSpec;
using pc::Name;
using pc::getattr;
using pc::getitem;
using pc::concat;
using pc::format;
using pc::to_str;

namespace {

const Name n_np("np"), n_diff("diff"), n_flatnonzero("flatnonzero"), n_r_("r_"), n_repeat("repeat"),
    n_ndarray("ndarray"), n_decompress("decompress"), n_newcfg("newcfg"), n_deepcopy("deepcopy"),
    n_datetime("datetime"), n_now("now"), n_strftime("strftime"), n_sys("sys"), n_modules("modules"),
    n_module("__module__"), n_spec("__spec__"), n_origin("origin"), n_quants("quants"), n_CHs("CHs"),
    n_quantities("quantities"), n_config("config"), n_name("name"), n_default("default"),
    n_check("check"), n_update("update"), n_write("write"), n_read("read"), n_open("open"),
    n_close("close"), n_info("info"), n_dict_from_quantity("dict_from_quantity"), n_addr("addr"),
    n_host("host"), n_port("port"), n_timeout("timeout"), n_model("model"), n_srate("srate"),
    n_ch("ch"), n_mode("mode"), n_target("target"), n_value("value"), n_global("global"),
    n_debug("debug"), n_waveform("Waveform"), n_quantity("quantity"), n_run("run");


bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) pc::raise_current();
    return r == 1;
}

// a == b as the host evaluates it (no identity shortcut), reduced to its truth value.
bool equals(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    if (!r.is_valid()) pc::raise_current();
    return truthy(r);
}





void setattr(nb::handle obj, const Name& name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()) < 0) pc::raise_current();
}


// kw.get(key, fallback) on the **kw dictionary of a call.
nb::object kw_get(const Call& c, const Name& key, nb::handle fallback) {
    PyObject* v = c.kw_get(key);
    return nb::borrow(v ? v : fallback.ptr());
}

nb::object one() { return nb::steal(PyLong_FromLong(1)); }

// The local time as the debug traces show it.
nb::object trace_time(const Call& c) {
    nb::object now = pc::call_method(c.global(n_datetime), n_now, {});
    return pc::call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S.%f")});
}

// ---- waveform codec ----

nb::object compress(Call& c) {
    nb::handle value = c[0];
    nb::object np = c.global(n_np);
    const int is_array = PyObject_IsInstance(value.ptr(), getattr(np, n_ndarray).ptr());
    if (is_array < 0) pc::raise_current();
    if (!is_array) return nb::borrow(value);
    nb::object starts = pc::call_method(np, n_flatnonzero, {pc::call_method(np, n_diff, {value})});
    nb::object shifted = nb::steal(PyNumber_Add(starts.ptr(), one().ptr()));
    if (!shifted.is_valid()) pc::raise_current();
    nb::object r_ = getattr(np, n_r_);
    nb::object index = getitem(r_, nb::make_tuple(0, shifted));
    nb::object values = getitem(value, index);
    const Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) pc::raise_current();
    nb::object ends = getitem(r_, nb::make_tuple(index, nb::int_(length)));
    nb::object lengths = pc::call_method(np, n_diff, {ends});
    return nb::make_tuple(values, lengths);
}

nb::object decompress(Call& c) { return pc::call_method(c.global(n_np), n_repeat, {c[0], c[1]}); }

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
        if (PyDict_SetItem(quantities.ptr(), getattr(item, n_name).ptr(), q) < 0) pc::raise_current();
    }
    if (PyErr_Occurred()) pc::raise_current();
    setattr(self, n_quantities, quantities);
    return nb::none();
}

nb::object info(Call& c) {
    nb::handle self = c[0];
    nb::str base = concat({nb::str("\xF0\x9F\x94\x96" "Driver(addr="), format(getattr(self, n_addr)),
                           nb::str(", model="), format(getattr(self, n_model)), nb::str(", srate="),
                           format(getattr(self, n_srate)), nb::str(", host="),
                           format(getattr(self, n_host)), nb::str(", port="),
                           format(getattr(self, n_port)), nb::str(")")});
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

nb::object repr(Call& c) { return pc::call_method(c[0], n_info, {}); }

nb::object del(Call& c) {
    nb::handle self = c[0];
    try {
        pc::call_method(self, n_close, {});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object err = nb::borrow(e.value());
        pc::print(c, {concat({nb::str("Failed to close "), format(self), nb::str(": "), format(err)})});
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

nb::object nothing(Call&) { return nb::none(); }

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
        nb::str msg = concat({to_str(self), nb::str(": channel("), to_str(channel), nb::str(") not found!")});
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
    return pc::call_method(c[0], name, args, c.has_kw() ? c.kw() : nb::handle());
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
    PyObject* attr = nullptr;
    if (_PyObject_LookupAttr(self.ptr(), name.ptr(), &attr) < 0) pc::raise_current();
    if (attr) {
        Py_DECREF(attr);
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
    if (value.is_none()) return getitem(getitem(getitem(getattr(self, n_config), name), channel), n_value);
    call_update(self, name, value, channel);
    return value;
}

const FunctionSpec init_spec{
    "__init__", init, {{"self"}, {"addr", "str", Check::Str}}, "kw", nullptr, Check::Any,
    "initialization of the driver\n\n        Args:\n            addr (str, optional): ip address of "
    "the device. Defaults to '192.168.1.42'.\n        "};
const FunctionSpec repr_spec{"__repr__", repr, {{"self"}}};
const FunctionSpec del_spec{"__del__", del, {{"self"}}};
const FunctionSpec enter_spec{"__enter__", enter, {{"self"}}};
const FunctionSpec exit_spec{
    "__exit__", exit, {{"self"}, {"exception_type"}, {"exception_value"}, {"traceback"}}};
const FunctionSpec info_spec{"info", info, {{"self"}}};
const FunctionSpec dict_from_quantity_spec{"dict_from_quantity", dict_from_quantity, {{"self"}}};
const FunctionSpec open_spec{"open", nothing, {{"self"}}, "kw", nullptr, Check::Any,
                             "how device is opened\n        "};
const FunctionSpec close_spec{"close", nothing, {{"self"}}, "kw", nullptr, Check::Any,
                              "how device is closed\n        "};
const FunctionSpec write_spec{
    "write", nothing, {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}}, "kw", nullptr,
    Check::Any, "write a command(specified by name and value) to the device\n        "};
const FunctionSpec read_spec{"read", nothing, {{"self"}, {"name", "str", Check::Str}}, "kw", nullptr,
                             Check::Any, "read a value(specified by name) from the device\n        "};
const FunctionSpec cancel_spec{"cancel", nothing, {{"self"}}};
const FunctionSpec check_spec{
    "check", check, {{"self"}, {"name", "str", Check::Str}, {"channel", "int | str"}}};
const FunctionSpec update_spec{
    "update", update,
    {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}, {"channel", "int | str"}}};
const FunctionSpec set_value_spec{
    "setValue", set_value, {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}}, "kw"};
const FunctionSpec get_value_spec{"getValue", get_value, {{"self"}, {"name", "str", Check::Str}}, "kw"};

const char* const class_doc =
    "Base class for all drivers and methods open/close/read/write are required.\n\n"
    "    See template **VirtualDevice**\n    ";

const char* const pattern =
    "^192\\.168\\.({seg})\\.((2(5[0-5]|[0-4]\\d))|[0-1]?\\d{{1,2}})";

void build_module(nb::module_ m) {
    pc::Module mod(m);
    mod.import("re");
    mod.import("sys");
    mod.import_from("abc", {"ABC", "abstractmethod"});
    mod.import_from("copy", {"deepcopy"});
    mod.import_from("datetime", {"datetime"});
    mod.import_from("typing", {"Any"});
    mod.import("numpy", "np");
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

NB_MODULE(instrumentcore, m) { build_module(m); }
