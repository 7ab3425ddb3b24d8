// InstrumentCore, the base class of every instrument driver: construction from an address and
// options, the identity text, the with-block and destruction hooks, and setValue/getValue over
// named quantities per channel, with validation, debug traces and the settings table.
#include "instrumentcore.hpp"
#include "names.hpp"

namespace pelorix::instrumentcore {

namespace {

const Name n_newcfg("newcfg"), n_deepcopy("deepcopy"), n_decompress("decompress"), n_sys("sys"),
    n_modules("modules"), n_module("__module__"), n_spec("__spec__"), n_origin("origin"),
    n_quants("quants"), n_CHs("CHs"), n_quantities("quantities"), n_config("config"),
    n_name("name"), n_default("default"), n_check("check"), n_update("update"), n_read("read"),
    n_info("info"), n_dict_from_quantity("dict_from_quantity"), n_addr("addr"),
    n_timeout("timeout"), n_model("model"), n_srate("srate"), n_ch("ch"), n_mode("mode"),
    n_target("target"), n_value("value"), n_global("global"), n_debug("debug"),
    n_waveform("Waveform"), n_quantity("quantity");

// kw.get(key, fallback) on the **kw dictionary of a call.
nb::object kw_get(const Call& c, const Name& key, nb::handle fallback) {
    PyObject* v = c.kw_get(key);
    return nb::borrow(v ? v : fallback.ptr());
}

// ---- construction, identity, life cycle ----

nb::object init(Call& c) {
    nb::handle self = c[0];
    setattr(self, n_addr, c[1]);
    setattr(self, n_host, kw_get(c, n_host, nb::str("127.0.0.1")));
    setattr(self, n_port, kw_get(c, n_port, nb::int_(0)));
    setattr(self, n_timeout, kw_get(c, n_timeout, nb::float_(3.0)));
    setattr(self, n_model, kw_get(c, n_model, nb::str("None")));
    setattr(self, n_srate, kw_get(c, n_srate, nb::int_(-1)));
    nb::object newcfg = c.global(n_newcfg);
    nb::object quants = getattr(self, n_quants), chs = getattr(self, n_CHs);
    setattr(self, n_config, newcfg(quants, chs));
    nb::dict quantities;
    nb::object records = iterate(getattr(self, n_quants));
    while (nb::object q = next(records)) setitem(quantities, getattr(q, n_name), q);
    setattr(self, n_quantities, quantities);
    return nb::none();
}

nb::object info(Call& c) {
    nb::handle self = c[0];
    nb::str base =
        concat({nb::str("\U0001F516Driver(addr="), format(getattr(self, n_addr)),
                nb::str(", model="), format(getattr(self, n_model)), nb::str(", srate="),
                format(getattr(self, n_srate)), nb::str(", host="), format(getattr(self, n_host)),
                nb::str(", port="), format(getattr(self, n_port)), nb::str(")")});
    try {
        nb::object modules = getattr(c.global(n_sys), n_modules);
        nb::object module = getitem(modules, getattr(self, n_module));
        nb::object origin = getattr(getattr(module, n_spec), n_origin);
        return concat({base, nb::str("<"), format(origin), nb::str(">")});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        return base;
    }
}

nb::object repr(Call& c) {
    return call_method(c[0], n_info, {});
}

nb::object del(Call& c) {
    nb::handle self = c[0];
    try {
        call_method(self, n_close, {});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        print(c, {concat({nb::str("Failed to close "), format(self), nb::str(": "),
                          format(handler.value())})});
    }
    return nb::none();
}

nb::object enter(Call& c) {
    call_method(c[0], n_open, {});
    return nb::borrow(c[0]);
}

nb::object exit(Call& c) {
    call_method(c[0], n_close, {});
    return nb::none();
}

// The bodies of the abstract hooks and of cancel.
nb::object nothing(Call&) {
    return nb::none();
}

// ---- quantity access ----

nb::object dict_from_quantity(Call& c) {
    nb::handle self = c[0];
    nb::dict conn, channel, chx;
    nb::object quants = iterate(c.global(n_deepcopy)(getattr(self, n_quants)));
    while (nb::object q = next(quants)) {
        nb::object ch = getitem(getattr(q, n_default), n_ch);
        nb::dict& table = equals(ch, n_global) ? chx : channel;
        nb::object value = getitem(getattr(q, n_default), n_value);
        setitem(table, getattr(q, n_name), value);
    }
    nb::object chs = iterate(getattr(self, n_CHs));
    while (nb::object ch = next(chs)) conn[concat({nb::str("CH"), to_str(ch)})] = channel;
    conn["CHglobal"] = chx;
    return conn;
}

// check and update are usually the base class's own; then they run directly, without a lookup
// result that anyone could observe.
extern const FunctionSpec check_spec, update_spec;

[[noreturn]] void assertion_failed(nb::handle message) {
    PyErr_SetObject(PyExc_AssertionError, message.ptr());
    raise_current();
}

// a == b for two objects of the same exact type, int or str, whose comparison runs no Python code:
// the type's own comparison, which gives a bool.
bool same_type_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a)) return equals(a, b);
    PyObject* r = Py_TYPE(a)->tp_richcompare(a, b, Py_EQ);
    if (!r) raise_current();
    Py_DECREF(r);
    return r == Py_True;
}

// `item in container`.  For an exact list and an int or str item it walks the list as
// list.__contains__ does (identity first, then ==, the list's length read anew at every step),
// but compares an item of the item's own exact type directly: such a comparison runs no Python
// code, so skipping the general route (its recursion guard, the choice of which side's method to
// ask, the bool made and dropped) changes nothing but the time.
bool contains(nb::handle container, nb::handle item) {
    PyObject* const list = container.ptr();
    PyObject* const x = item.ptr();
    PyTypeObject* const tp = Py_TYPE(x);
    if (PyList_CheckExact(list) && (tp == &PyLong_Type || tp == &PyUnicode_Type)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* e = PyList_GET_ITEM(list, i);
            if (e == x) return true;
            if (Py_TYPE(e) == tp) {
                if (same_type_equal(e, x)) return true;
                continue;
            }
            nb::object held = nb::borrow(e);  // == may run code that changes the list
            PyObject* r = PyObject_RichCompare(e, x, Py_EQ);
            if (!r) raise_current();
            if (truthy(nb::steal(r))) return true;
        }
        return false;
    }
    const int r = PyDict_CheckExact(list) ? PyDict_Contains(list, x) : PySequence_Contains(list, x);
    if (r < 0) raise_current();
    return r == 1;
}

void check_body(nb::handle self, nb::handle name, nb::handle channel) {
    if (!assertions_enabled()) return;
    if (!contains(getattr(self, n_quantities), name))
        assertion_failed(
            concat({to_str(self), nb::str(": quantity("), name, nb::str(") not Found!")}));
    if (contains(getattr(self, n_CHs), channel)) return;
    nb::object not_global = nb::steal(PyObject_RichCompare(channel.ptr(), n_global.get(), Py_NE));
    if (!not_global.is_valid()) raise_current();
    if (truthy(not_global))
        assertion_failed(concat(
            {to_str(self), nb::str(": channel("), to_str(channel), nb::str(") not found!")}));
}

void update_body(nb::handle self, nb::handle name, nb::handle value, nb::handle channel) {
    setitem(getitem(getitem(getattr(self, n_config), name), channel), n_value, value);
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
    if (resolves_to(self, n_check, check_spec))
        check_body(self, name, channel);
    else
        call_method(self, n_check, {name, channel});
}

void call_update(nb::handle self, nb::handle name, nb::handle value, nb::handle channel) {
    if (resolves_to(self, n_update, update_spec))
        update_body(self, name, value, channel);
    else
        call_method(self, n_update, {name, value, channel});
}

nb::object channel_of(const Call& c) {
    PyObject* ch = c.kw_get(n_ch);
    return ch ? nb::borrow(ch) : nb::int_(1);  // the default is made only when it is needed
}

bool is_debug(const Call& c) {
    PyObject* mode = c.kw_get(n_mode);
    return mode && equals(mode, n_debug);  // the default is "run"
}

// "[<local time>][SET][<target>]" and its GET twin, the first item of a debug trace.
nb::str trace_head(const Call& c, const char* what) {
    nb::object now = call_method(c.global(n_datetime), n_now, {});
    nb::object time = call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S.%f")});
    nb::object target = kw_get(c, n_target, nb::str(""));
    return concat({nb::str("["), time, nb::str(what), to_str(target), nb::str("]")});
}

nb::object set_value(Call& c) {
    nb::handle self = c[0], name = c[1];
    nb::object value = nb::borrow(c[2]);
    nb::object channel = channel_of(c);
    call_check(self, name, channel);
    if (PyTuple_Check(value.ptr()) && equals(name, n_waveform)) {
        PyObject* expanded = PyObject_Call(c.global(n_decompress).ptr(), value.ptr(), nullptr);
        if (!expanded) raise_current();
        value = nb::steal(expanded);
    }
    if (is_debug(c)) {
        print(c, {trace_head(c, "][SET]["), name, value});
        return nb::none();
    }
    nb::object opc = c.call_method_with_kw(self, n_write, {name, value});
    call_update(self, name, opc, channel);
    return nb::none();
}

nb::object get_value(Call& c) {
    nb::handle self = c[0], name = c[1];
    if (equals(name, n_quantity)) return call_method(self, n_dict_from_quantity, {});
    // hasattr, then getattr: two lookups, as the host does them
    if (lookup_attr(self, name).is_valid()) return nb::getattr(self, name);
    nb::object channel = channel_of(c);
    call_check(self, name, channel);
    if (is_debug(c)) {
        print(c, {trace_head(c, "][GET]["), name});
        return nb::none();
    }
    nb::object value = c.call_method_with_kw(self, n_read, {name});
    if (value.is_none())
        return getitem(getitem(getitem(getattr(self, n_config), name), channel), n_value);
    call_update(self, name, value, channel);
    return value;
}

// ---- the class ----

namespace param {
const Param self{.name = "self"};
const Param name{.name = "name", .annotation = "str", .check = Check::Str};
const Param value{.name = "value", .annotation = "Any"};
const Param channel{.name = "channel", .annotation = "int | str"};
}  // namespace param

// A method of self alone.
FunctionSpec plain(const char* name, Body body) {
    return {.name = name, .body = body, .params = {param::self}};
}

// The four hooks every driver implements: extra keywords, a docstring, and a base body that does
// nothing, so an override may call it through super().
FunctionSpec hook(const char* name, std::vector<Param> params, const char* doc) {
    return {.name = name, .body = nothing, .params = std::move(params), .varkw = "kw", .doc = doc};
}

const FunctionSpec init_spec{
    .name = "__init__",
    .body = init,
    .params = {param::self, {.name = "addr", .annotation = "str", .check = Check::Str}},
    .varkw = "kw",
    .doc = docstring(R"(
initialization of the driver

        Args:
            addr (str, optional): ip address of the device. Defaults to '192.168.1.42'.
        )")};
const FunctionSpec repr_spec = plain("__repr__", repr);
const FunctionSpec del_spec = plain("__del__", del);
const FunctionSpec enter_spec = plain("__enter__", enter);
const FunctionSpec exit_spec{.name = "__exit__",
                             .body = exit,
                             .params = {param::self,
                                        {.name = "exception_type"},
                                        {.name = "exception_value"},
                                        {.name = "traceback"}}};
const FunctionSpec info_spec = plain("info", info);
const FunctionSpec dict_from_quantity_spec = plain("dict_from_quantity", dict_from_quantity);
const FunctionSpec open_spec = hook("open", {param::self}, docstring(R"(
how device is opened
        )"));
const FunctionSpec close_spec = hook("close", {param::self}, docstring(R"(
how device is closed
        )"));
const FunctionSpec write_spec =
    hook("write", {param::self, param::name, param::value}, docstring(R"(
write a command(specified by name and value) to the device
        )"));
const FunctionSpec read_spec = hook("read", {param::self, param::name}, docstring(R"(
read a value(specified by name) from the device
        )"));
const FunctionSpec cancel_spec = plain("cancel", nothing);
const FunctionSpec check_spec{
    .name = "check", .body = check, .params = {param::self, param::name, param::channel}};
const FunctionSpec update_spec{.name = "update",
                               .body = update,
                               .params = {param::self, param::name, param::value, param::channel}};
const FunctionSpec set_value_spec{.name = "setValue",
                                  .body = set_value,
                                  .params = {param::self, param::name, param::value},
                                  .varkw = "kw"};
const FunctionSpec get_value_spec{
    .name = "getValue", .body = get_value, .params = {param::self, param::name}, .varkw = "kw"};

const char* const class_doc = docstring(R"(
Base class for all drivers and methods open/close/read/write are required.

    See template **VirtualDevice**
    )");

}  // namespace

nb::object make_instrument_core(const Module& mod) {
    nb::object abstract = mod.get("abstractmethod");
    nb::object abc = mod.get("ABC");
    return ClassBuilder(mod, "InstrumentCore", class_doc)
        .attr("segment", nb::make_tuple("na", "103|104"), "tuple")
        .attr("CHs", nb::list(nb::make_tuple(1)), "list[int | str]")
        .attr("quants", nb::list(), "list[Quantity]")
        .method(init_spec, {nb::str("192.168.1.42")})
        .methods(
            {&repr_spec, &del_spec, &enter_spec, &exit_spec, &info_spec, &dict_from_quantity_spec})
        .method(open_spec, {}, abstract)
        .method(close_spec, {}, abstract)
        .method(write_spec, {}, abstract)
        .method(read_spec, {}, abstract)
        .methods({&cancel_spec, &check_spec})
        .method(update_spec, {nb::int_(1)})
        .methods({&set_value_spec, &get_value_spec})
        .static_attributes(
            {"addr", "host", "port", "timeout", "model", "srate", "config", "quantities"})
        .make(nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(abc.ptr()))), nb::make_tuple(abc));
}

}  // namespace pelorix::instrumentcore
