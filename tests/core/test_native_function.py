"""Native functions behave like Python functions to callers and introspection tools."""

import abc
import copy
import functools
import inspect
import pickle
import sys
import weakref

import pytest

from pelorix.driver.common import instrumentcore as ic
from pelorix.driver.common.quantity import Quantity
from pelorix.toolkit import ssh, view

IC = ic.InstrumentCore
native = type(ic.compress)


class Driver(IC):
    open = close = read = write = lambda self, *a, **kw: None


# Python twins with the same names and parameters: the interpreter's own messages are the reference.
def update(self, name, value, channel=1):
    pass


def setValue(self, name, value, **kw):
    pass


def decompress(values, lengths):
    pass


update.__qualname__ = "InstrumentCore.update"
setValue.__qualname__ = "InstrumentCore.setValue"

CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3, 4, 5), {}),
    ((1, 2, 3, 4, 5, 6), {"x": 1}),
    ((1,), {"name": "a", "value": 2, "channel": 3, "zzz": 4}),
    ((1, "a"), {"name": "b"}),
    ((), {"value": 1}),
    ((1, 2), {"values": 3}),
    ((), {"self": 1, "name": "n", "value": 2, "extra": 1}),
]


@pytest.mark.parametrize("args,kwargs", CALLS)
@pytest.mark.parametrize("native_f,python_f", [
    (vars(IC)["update"], update), (vars(IC)["setValue"], setValue), (ic.decompress, decompress)],
    ids=["update", "setValue", "decompress"])
def test_binding_errors_are_worded_as_the_interpreter_words_them(native_f, python_f, args, kwargs):
    try:
        python_f(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    else:
        expected = None
    try:
        native_f(*args, **kwargs)
    except TypeError as e:
        if expected is None:  # binding passed; only the body's own checks may complain
            assert "argument" in str(e) or "object" in str(e) or "str" in str(e), e
        else:
            assert str(e) == expected
    except Exception as e:  # noqa: BLE001 - binding passed and the body ran on nonsense arguments
        assert expected is None, (expected, e)
    else:
        assert expected is None


def test_keyword_names_made_at_run_time_bind_like_literal_ones(capsys):
    """`**settings` read from a file gives names that equal the parameters' but are not the
    interned objects that literal keywords are."""
    title, name = "".join(["ti", "tle"]), "".join(["na", "me"])
    assert title is not sys.intern(title) and name is not sys.intern(name)
    view.display_tree({"a": 1}, **{title: "Settings"}, end="")
    assert capsys.readouterr().out.startswith("Settings\n")
    twice = r"^{}\(\) got multiple values for argument '{}'$"
    with pytest.raises(TypeError, match=twice.format("display_tree", "title")):
        view.display_tree({}, "T", **{title: "X"})
    with pytest.raises(TypeError, match=twice.format("InstrumentCore.update", "name")):
        IC.update(Driver(), "a", **{name: "b"})


@pytest.mark.parametrize("count", [64, 65, 200])
def test_named_parameters_stay_out_of_kw_among_many_keywords(count):
    """The binder keeps up to 64 keyword names apart by bit and collects more into a dict; either
    way `name` and `value`, passed by keyword, are parameters and not extras."""
    written = []

    class Recorder(Driver):
        quants = [Quantity("Amp", 1.0)]

        def write(self, name, value, **kw):
            written.append((name, value, kw))
            return value

    extras = {f"x{i}": i for i in range(count - 2)}
    first, rest = dict(list(extras.items())[:30]), dict(list(extras.items())[30:])
    Recorder().setValue(**first, name="Amp", **rest, value=0.5)  # `value` is the last name
    assert written == [("Amp", 0.5, extras)]


@pytest.mark.parametrize("value,accepted", [
    ("s", True), (True, False), (None, False), (1, False), (type("S", (str,), {})("s"), False)])
def test_str_parameters_accept_exactly_str(value, accepted):
    d = Driver()
    d.close = lambda **kw: None
    if accepted:
        with pytest.raises(KeyError):  # past the type check, into the table
            d.update(value, 1)
    else:
        with pytest.raises(TypeError,
                           match=r"InstrumentCore.update\(\) argument 'name' must be str"):
            d.update(value, 1)


def test_introspection_attributes():
    f = vars(IC)["update"]
    assert f.__defaults__ == (1,) and f.__kwdefaults__ is None
    assert f.__annotations__ == {"name": "str", "value": "Any", "channel": "int | str"}
    assert f.__globals__ is vars(ic) and f.__closure__ is None
    assert f.__code__.co_varnames == ("self", "name", "value", "channel")
    assert repr(f).startswith("<function InstrumentCore.update at 0x")
    kw = inspect.signature(vars(IC)["setValue"]).parameters["kw"]
    assert kw.kind is inspect.Parameter.VAR_KEYWORD


def test_defaults_can_be_rebound_like_a_python_functions(tmp_path):
    f = vars(IC)["update"]
    d = Driver()
    d.config = {"q": {1: {}, 5: {}}}
    try:
        f.__defaults__ = (5,)
        d.update("q", "v")
        assert d.config["q"][5] == {"value": "v"}
        f.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'channel'"):
            d.update("q", "v")
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            f.__defaults__ = [1]
    finally:
        f.__defaults__ = (1,)
    assert str(inspect.signature(f)).endswith("channel: 'int | str' = 1)")


def test_attribute_setters_validate_like_the_interpreter():
    f = ic.decompress
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        f.__name__ = 1
    with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
        f.__annotations__ = 1
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        f.__kwdefaults__ = 1


def test_decorators_work_unchanged():
    f = ic.decompress

    @functools.wraps(f)
    def wrapper(*a):
        return f(*a)

    assert wrapper.__name__ == "decompress" and wrapper.__wrapped__ is f
    assert str(inspect.signature(wrapper)) == "(values, lengths)"

    f.custom = 1
    try:
        assert vars(f) == {"custom": 1}
        assert abc.abstractmethod(f).__isabstractmethod__ is True
    finally:
        vars(f).clear()

    class Holder:
        value = functools.cached_property(vars(IC)["info"])
        model = addr = host = "m"
        srate = port = 0
        __module__ = "missing"

    h = Holder()
    assert h.value.startswith("\U0001f516Driver(addr=m") and vars(h)["value"] is h.value


def test_method_binding_and_descriptor_protocol():
    f = vars(IC)["info"]
    d = Driver()
    assert f.__get__(None, IC) is f
    bound = d.info
    assert bound.__func__ is f and bound.__self__ is d
    assert IC.info(d) == d.info() == f(d)
    weakref.ref(f)


def test_pickled_and_copied_by_reference():
    assert pickle.loads(pickle.dumps(ic.compress)) is ic.compress
    assert pickle.loads(pickle.dumps(IC.setValue)) is vars(IC)["setValue"]
    assert copy.deepcopy(ic.decompress) is ic.decompress


def test_special_methods_work_from_the_class_namespace():
    d = Driver()
    assert repr(d) == d.info()
    with d as same:
        assert same is d


def test_python_errors_inside_calls_propagate_unchanged():
    class Boom(Exception):
        pass

    err = Boom()

    class Failing(Driver):
        def write(self, name, value, **kw):
            raise err

    d = Failing()
    d.check = lambda *a: None
    with pytest.raises(Boom) as e:
        d.setValue("x", 1)
    assert e.value is err


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    calls = []
    fake = type("FakeNumpy", (), {"repeat": lambda *a: calls.append(a) or "r"})
    monkeypatch.setattr(ic, "np", fake)
    assert ic.decompress([1], [2]) == "r" and calls == [([1], [2])]
    namespace = vars(ic)
    saved = dict(namespace)
    del namespace["np"]
    try:
        with pytest.raises(NameError, match="name 'np' is not defined"):
            ic.decompress([1], [2])
    finally:  # put every name back in its original order
        namespace.clear()
        namespace.update(saved)


def test_print_goes_through_the_module_namespace(monkeypatch):
    lines = []
    monkeypatch.setattr(ic, "print", lambda *a: lines.append(a), raising=False)
    d = Driver()
    d.check = lambda *a: None
    d.getValue("Offset", mode="debug", target="t")
    assert len(lines) == 1 and lines[0][1] == "Offset" and lines[0][0].endswith("][GET][t]")


# ---- what a call finds on the instance and the class is looked up afresh ----


class Called(Exception):
    pass


def raise_called(*args):
    raise Called


@pytest.mark.parametrize("change, then", [
    (lambda d: setattr(d, "check", raise_called), Called),
    (lambda d: vars(d).__setitem__("check", raise_called), Called),
    (lambda d: setattr(Driver, "check", raise_called), Called),
    (lambda d: (setattr(d, "check", raise_called), delattr(d, "check")), AssertionError),
], ids=["instance attribute", "through __dict__", "class attribute", "set and deleted"])
def test_a_method_shadowed_between_calls_is_seen_by_the_next_call(monkeypatch, change, then):
    monkeypatch.setattr(Driver, "check", vars(IC)["check"])
    d = Driver()
    for _ in range(2):  # the class's own check refuses the unknown quantity
        with pytest.raises(AssertionError, match="not Found"):
            d.setValue("nothing", 1)
    change(d)
    with pytest.raises(then):
        d.setValue("nothing", 1)


def test_an_instance_attribute_changed_between_calls_is_seen_by_the_next_call():
    d = Driver()
    for addr in ("10.0.0.1", "10.0.0.2", "10.0.0.3"):
        d.addr = addr
        assert d.info().startswith(f"\U0001f516Driver(addr={addr},")
        assert d.getValue("addr") == addr


# ---- classes have the namespace a class statement gives on the running interpreter ----

# Put in the namespace by the compiler, by type() or by the metaclass rather than by the body.
NOT_THE_BODY = {"__module__", "__qualname__", "__firstlineno__", "__annotations__", "__doc__",
                "__static_attributes__", "__dict__", "__weakref__", "__abstractmethods__",
                "_abc_impl"}


def class_statement_twin(cls, assigned):
    """The class statement with the native class's body: its attributes (annotated as it
    annotates them) and methods, in its order, with a constructor assigning `assigned`."""
    annotations = vars(cls).get("__annotations__", {})
    lines = [f"class {cls.__name__}(*bases, metaclass=meta):"]
    if cls.__doc__ is not None:
        lines.append(f"    {cls.__doc__!r}")
    for name, value in vars(cls).items():
        if name in NOT_THE_BODY:
            continue
        if not callable(value) or isinstance(value, functools.cached_property):
            hint = f": {annotations[name]!r}" if name in annotations else ""
            lines.append(f"    {name}{hint} = None")
            continue
        if getattr(value, "__isabstractmethod__", False):
            lines.append("    @abc.abstractmethod")
        body = "".join(f"self.{a} = " for a in assigned) + "None" if name == "__init__" else "pass"
        lines.append(f"    def {name}(self): {body}")
    namespace = {"bases": cls.__bases__, "meta": type(cls), "abc": abc}
    exec("\n".join(lines), namespace)  # a class statement is the reference
    return namespace[cls.__name__]


@pytest.mark.parametrize("cls, make", [
    (IC, Driver),
    (view.BeautifulHtmlDiff, lambda: view.BeautifulHtmlDiff(text1="a", text2="b")),
    (ssh.SSHClient, lambda: ssh.SSHClient("user", "password", "host")),
], ids=["InstrumentCore", "BeautifulHtmlDiff", "SSHClient"])
def test_classes_have_the_namespace_of_a_class_statement(cls, make):
    assigned = list(vars(make()))  # what the constructor sets: what its methods assign to self
    twin = class_statement_twin(cls, assigned)
    assert list(vars(cls)) == list(vars(twin))
    assert getattr(cls, "__static_attributes__", None) == getattr(
        twin, "__static_attributes__", None)


def store_by_statement(d, value):
    d.addr = value  # the interpreter specialises this store after a few rounds


@pytest.mark.parametrize("store", [
    store_by_statement,
    lambda d, value: object.__setattr__(d, "addr", value),
    lambda d, value: vars(d).update(addr=value),
    lambda d, value: setattr(d, "__dict__", {**vars(d), "addr": value}),
    lambda d, value: (vars(d).pop("addr"), setattr(d, "extra", 1), setattr(d, "addr", value)),
], ids=["statement", "object.__setattr__", "dict update", "dict replaced", "deleted and re-added"])
def test_every_store_into_an_instance_dict_the_core_has_read_is_seen(store):
    """What the core found in an instance dict is remembered only until the dict changes, however
    it is changed: on 3.13 a store through the object writes the values the object keeps inline,
    after the core has made its __dict__ and read it."""
    d = Driver()
    for i in range(50):
        store(d, f"10.0.{i}.1")
        assert d.info().startswith(f"\U0001f516Driver(addr=10.0.{i}.1,"), i
