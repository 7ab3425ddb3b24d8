// Calls: the bound arguments of a native function's call (its **kw and its module namespace),
// and calling other objects with keywords, as methods, and through the module's print.
#include <bit>
#include <iterator>
#include <vector>

#include "attr.hpp"
#include "names.hpp"

namespace pelorix {

namespace {

// The positions of the set bits of a mask, lowest first: `for (Py_ssize_t k : SetBits{mask})`.
// Each step clears the lowest bit, so bit 63 is visited like any other and the walk ends there.
struct SetBits {
    std::uint64_t mask;
    struct Iterator {
        std::uint64_t rest;
        Py_ssize_t operator*() const { return std::countr_zero(rest); }
        Iterator& operator++() {
            rest &= rest - 1;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return rest != other.rest; }
    };
    Iterator begin() const { return {mask}; }
    Iterator end() const { return {0}; }
};

// The argument vector of one vectorcall.  Calls with a few arguments, nearly all of them, keep it
// on the stack.
class ArgVector {
public:
    // Inline, as the few pointer stores they are (the size-optimised build would call them).
    [[gnu::always_inline]] explicit ArgVector(std::size_t capacity)
        : data_(capacity <= std::size(small_) ? small_ : (heap_.resize(capacity), heap_.data())) {}
    // A copy would point into the original's buffer.
    ArgVector(const ArgVector&) = delete;
    ArgVector& operator=(const ArgVector&) = delete;
    [[gnu::always_inline]] void push(PyObject* arg) { data_[size_++] = arg; }
    PyObject** data() { return data_; }
    std::size_t size() const { return size_; }

private:
    PyObject* small_[8];
    std::vector<PyObject*> heap_;
    PyObject** data_;
    std::size_t size_ = 0;
};

}  // namespace

// ---- the arguments of a call, its **kw and its module namespace ----

nb::dict Call::kw() const {
    if (!kw_) {
        nb::object d = nb::steal(PyDict_New());
        if (!d.is_valid()) raise_current();
        for (Py_ssize_t k : SetBits{extras_})
            if (PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(kwnames_, k), kwvalues_[k]) < 0)
                raise_current();
        owned_kw_ = std::move(d);
        kw_ = owned_kw_.ptr();
    }
    return nb::borrow<nb::dict>(kw_);
}

PyObject* Call::kw_get(const Name& key) const {
    if (!kw_) {
        if (!extras_) return nullptr;
        bool plain = true;     // exact str names compare as the dictionary would compare them
        bool interned = true;  // ... and interned ones are equal only when identical
        for (Py_ssize_t k : SetBits{extras_}) {
            PyObject* name = PyTuple_GET_ITEM(kwnames_, k);
            if (name == key.get()) return kwvalues_[k];
            plain &= PyUnicode_CheckExact(name);
            interned &= plain && PyUnicode_CHECK_INTERNED(name);
        }
        if (interned) return nullptr;
        if (plain) {
            for (Py_ssize_t k : SetBits{extras_})
                if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames_, k), key.get()) == 0)
                    return kwvalues_[k];
            return nullptr;
        }
        kw();
    }
    PyObject* v = PyDict_GetItemWithError(kw_, key.get());
    if (!v && PyErr_Occurred()) raise_current();
    return v;
}

nb::object Call::global(const Name& name) const {
    PyObject* key = name.get();
    PyObject* v = globals_ ? PyDict_GetItemWithError(globals_, key) : nullptr;
    if (!v && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    if (!v) raise_current();
    return nb::borrow(v);
}

nb::object Call::call_method_with_kw(nb::handle self, const Name& name,
                                     std::initializer_list<nb::handle> args) const {
    if (kw_)
        return call_method(self, name, args, PyDict_GET_SIZE(kw_) ? nb::handle(kw_) : nb::handle());
    const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
    // Usually every keyword of the caller is an extra one, or none is; then they need no count (a
    // library call where the CPU's popcount instruction is not assumed).
    const bool all =
        extras_ && extras_ == (nkw >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << nkw) - 1);
    const Py_ssize_t nextras = !extras_ ? 0 : all ? nkw : std::popcount(extras_);
    ArgVector argv(1 + args.size() + static_cast<std::size_t>(nextras));
    argv.push(self.ptr());
    for (nb::handle a : args) argv.push(a.ptr());
    const std::size_t positional = argv.size();
    nb::object names;
    if (extras_) {
        if (all) {
            names = nb::borrow(kwnames_);
        } else {
            names = nb::steal(PyTuple_New(nextras));
            if (!names.is_valid()) raise_current();
        }
        Py_ssize_t m = 0;
        for (Py_ssize_t k : SetBits{extras_}) {
            argv.push(kwvalues_[k]);
            if (!all) PyTuple_SET_ITEM(names.ptr(), m++, Py_NewRef(PyTuple_GET_ITEM(kwnames_, k)));
        }
    }
    PyObject* r = vectorcall_method(name, argv.data(), positional, names.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

// ---- calling ----

namespace {
// The kwnames tuple of a vectorcall (invalid when there are no keywords); the values go after the
// positionals in the argument vector.
nb::object keyword_names(std::initializer_list<Kw> kwargs, ArgVector& argv) {
    if (kwargs.size() == 0) return {};
    nb::object names = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    if (!names.is_valid()) raise_current();
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), k++, Py_NewRef(kw.name.get()));
        argv.push(kw.value.ptr());
    }
    return names;
}
}  // namespace

nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                std::initializer_list<Kw> kwargs) {
    // argv[0] stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), e.g. to put self there
    ArgVector argv(1 + args.size() + kwargs.size());
    argv.push(nullptr);
    for (nb::handle a : args) argv.push(a.ptr());
    nb::object names = keyword_names(kwargs, argv);
    PyObject* r = PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                      args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       std::initializer_list<Kw> kwargs) {
    ArgVector argv(1 + args.size() + kwargs.size());
    argv.push(self.ptr());
    for (nb::handle a : args) argv.push(a.ptr());
    nb::object names = keyword_names(kwargs, argv);
    PyObject* r = vectorcall_method(name, argv.data(), 1 + args.size(), names.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       nb::handle kwargs) {
    if (!kwargs.is_valid() || PyDict_GET_SIZE(kwargs.ptr()) == 0)
        return call_method(self, name, args, std::initializer_list<Kw>{});
    nb::object method = nb::steal(PyObject_GetAttr(self.ptr(), name.get()));
    if (!method.is_valid()) raise_current();
    nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple.is_valid()) raise_current();
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(a.ptr()));
    PyObject* r = PyObject_Call(method.ptr(), tuple.ptr(), kwargs.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

PyObject* vectorcall_method(const Name& name, PyObject** argv, std::size_t nargs,
                            PyObject* kwnames) {
    // A method found on the type, with no instance attribute in the way, is called with self in
    // front, as the interpreter's method calls do, without a bound method in between.
    GenericAttr a;
    try {
        a = generic_attr(argv[0], name, [](PyObject* attr) {
            return attr && (Py_TYPE(attr)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR);
        });
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
    if (a.outcome == GenericAttr::Found && !a.own) {
        Py_INCREF(a.class_attr);  // the call may drop the class's reference to it
        PyObject* r = PyObject_Vectorcall(a.class_attr, argv, nargs, kwnames);
        Py_DECREF(a.class_attr);
        return r;
    }
    return PyObject_VectorcallMethod(name.get(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames);
}

void print(const Call& c, std::initializer_list<nb::handle> args) {
    call(c.global(n_print), args);
}

}  // namespace pelorix
