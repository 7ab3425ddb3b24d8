"""Worker process of the bad-input harness.  Imports one native module with every way to the
outside world replaced by a fake, finds its public callables (module-level functions, classes and
the methods stored in them), calls each of them with hostile arguments and records any outcome
that is not an ordinary Python exception.  The parent test runs it in a subprocess so that a crash
is reported, not suffered; before each case the worker writes the case's number and label to the
progress file, so a crash can be pinned to the call that caused it.

    python tests/badinput/badinput_worker.py MODULE --tmp DIR --progress FILE --results FILE
        [--mode cases|shapes|leaks] [--start N] [--only N]
"""

import argparse
import copy
import ctypes
import functools
import gc
import importlib
import inspect
import io
import json
import keyword
import os
import pickle
import pydoc
import resource
import sys
import time
import types
import warnings
import weakref

import badinput_fakes as fakes
import badinput_values as bv
import numpy as np

SLOW_CASE_SECONDS = 5.0
GC_EVERY = 500
MEMORY_LIMIT = 8 << 30


class Sink(io.TextIOBase):
    """Standard output of the worker: the modules print a lot, none of it matters here."""

    def write(self, s):
        return len(s)

    def writable(self):
        return True

    def isatty(self):
        return False


FACTORIES = dict(bv.VALUES)


def value(label):
    return FACTORIES[label]()


# ---- what a problem is ----


def safe_text(obj, limit=300):
    try:
        text = f"{type(obj).__name__}: {obj}"
    except BaseException:  # the message itself may be hostile
        text = type(obj).__name__
    return text[:limit]


def chain(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def problem_with(exc):
    """Why `exc` coming out of a call is not acceptable, or None when it is."""
    for e in chain(exc):
        if isinstance(e, SystemError):
            return safe_text(e)
    if isinstance(exc, bv.BaseBoom):
        return None
    if not isinstance(exc, Exception):
        return "not an ordinary exception: " + safe_text(exc)
    text = safe_text(exc)
    if "internal error" in text or "unexpected argument type" in text:
        return "C++ exception passed on without a proper message: " + text
    return None


# ---- discovery ----


def is_native_callable(obj, modname):
    if isinstance(obj, (type, types.FunctionType, types.MethodType, types.ModuleType)):
        return False
    try:
        return callable(obj) and getattr(obj, "__module__", None) == modname
    except Exception:
        return False


HAS_DEFAULT = object()


def current_default(t, index):
    """The default of positional parameter `index` as the function holds it right now."""
    defaults = t.fn.__defaults__ or ()
    return defaults[index - (len(t.positional()) - len(defaults))]


class Target:
    """One native callable: a module function, or a function stored in a class namespace."""

    def __init__(self, key, qualname, fn, cls=None, kind="function"):
        self.key, self.qualname, self.fn, self.cls, self.kind = key, qualname, fn, cls, kind

    @functools.cached_property
    def params(self):
        # Computed late: the signature builds the function's code object, which the first-touch
        # cases want to see built for the first time.
        try:
            params = list(inspect.signature(self.fn).parameters.values())
        except (TypeError, ValueError):
            return None
        # The default values themselves are not kept: holding them would keep them alive when a
        # case replaces __defaults__ under a running call (see DefaultsSwapper).
        params = [p if p.default is p.empty else p.replace(default=HAS_DEFAULT) for p in params]
        return params[1:] if self.kind == "method" and params else params

    @property
    def takes_self(self):
        return self.kind in ("method", "classmethod")

    def positional(self):
        kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        return [p for p in self.params or () if p.kind in kinds]

    def has_varkw(self):
        return any(p.kind is inspect.Parameter.VAR_KEYWORD for p in self.params or ())


def wrapped_functions(attr):
    """Native functions hidden inside descriptors (property, cached_property, staticmethod,
    classmethod)."""
    if isinstance(attr, property):
        return [("method", f) for f in (attr.fget, attr.fset, attr.fdel) if f is not None]
    if isinstance(attr, functools.cached_property):
        return [("method", attr.func)]
    if isinstance(attr, staticmethod):
        return [("function", attr.__func__)]
    if isinstance(attr, classmethod):
        return [("classmethod", attr.__func__)]
    return [("method", attr)]


def discover(module):
    modname = module.__name__
    short = modname.rsplit(".", 1)[-1]
    targets, classes = [], []
    for name, obj in vars(module).items():
        if name.startswith("__"):
            continue
        if isinstance(obj, type) and obj.__module__ == modname:
            classes.append(obj)
            for attr_name, attr in vars(obj).items():
                for kind, fn in wrapped_functions(attr):
                    if is_native_callable(fn, modname):
                        qual = f"{obj.__qualname__}.{attr_name}"
                        targets.append(Target(f"{short}:{qual}", qual, fn, obj, kind))
        elif is_native_callable(obj, modname):
            targets.append(Target(f"{short}:{name}", name, obj))
    return targets, classes


# ---- base arguments and instances ----

ANNOTATED = {
    "str": lambda: "a",
    "int": lambda: 1,
    "dict": lambda: {"a": {"b": 1}},
    "str | None": lambda: None,
    "bool": lambda: True,
}


def annotation_of(param):
    ann = param.annotation
    if ann is inspect.Parameter.empty:
        return None
    return ann if isinstance(ann, str) else getattr(ann, "__name__", str(ann))


def base_args(target):
    """Fresh valid values for the required positional parameters (self excluded)."""
    hint = fakes.BASE_ARGS.get(target.key)
    given = list(hint()) if hint else []
    required = [p for p in target.positional() if p.default is inspect.Parameter.empty]
    for p in required[len(given) :]:
        given.append(ANNOTATED.get(annotation_of(p), lambda: "a")())
    return given


def _hook(self, *args, **kw):
    return args[1] if len(args) > 1 else None


class Classes:
    """A concrete subclass of each class (abstract hooks implemented) and fresh instances of it."""

    def __init__(self, targets):
        self.targets = targets
        self.cache = {}

    def concrete(self, cls):
        if cls not in self.cache:
            key = f"{cls.__module__.rsplit('.', 1)[-1]}:{cls.__qualname__}"
            ns = dict.fromkeys(getattr(cls, "__abstractmethods__", ()), _hook)
            ns.update(fakes.class_namespace(key))
            try:
                sub = type(cls)(cls.__name__ + "Probe", (cls,), ns)
            except Exception:
                sub = cls
            self.cache[cls] = (key, sub)
        return self.cache[cls]

    def init_target(self, cls):
        for t in self.targets:
            if t.cls is cls and t.fn is vars(cls).get("__init__"):
                return t
        return None

    def instance(self, cls):
        key, sub = self.concrete(cls)
        kwargs = fakes.INIT_KWARGS.get(key)
        init = self.init_target(cls)
        try:
            if kwargs:
                return sub(**kwargs())
            return sub(*(base_args(init) if init else ()))
        except Exception:
            return self.blank(cls)

    def blank(self, cls):
        """An instance whose __init__ never ran."""
        _, sub = self.concrete(cls)
        try:
            return sub.__new__(sub)
        except Exception:
            return None


# ---- calling ----

_CALLERS = {}


def vector_call(fn, args, kw):
    """fn(args..., name=value...) as literal call syntax compiles it: the vectorcall entry with
    keyword names, no tuple or dict in between."""
    names = tuple(kw)
    if not all(isinstance(n, str) and n.isidentifier() and not keyword.iskeyword(n) for n in names):
        return fn(*args, **kw)
    key = (len(args), names)
    caller = _CALLERS.get(key)
    if caller is None:
        parts = [f"a[{i}]" for i in range(len(args))] + [f"{n}=k[{n!r}]" for n in names]
        caller = eval(f"lambda f, a, k: f({', '.join(parts)})")
        _CALLERS[key] = caller
    return caller(fn, args, kw)


def dict_call(fn, args, kw):
    return fn(*args, **kw)


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


class DroppedReference(Exception):
    pass


def invoke(style, fn, args, kw):
    """Calls fn and checks afterwards that no argument lost a reference it was owed."""
    watched = [fn, *args, *kw.values()]
    before = refcounts(watched)
    err = None
    try:
        style(fn, args, kw)
    except BaseException as e:  # judged by problem_with
        err = e
    if err is not None:
        err.__traceback__ = None
        for e in chain(err):
            e.__traceback__ = None
    after = refcounts(watched)
    dropped = [i for i, (b, a) in enumerate(zip(before, after)) if a < b]
    if dropped:
        raise DroppedReference(f"argument reference count dropped for positions {dropped}")
    if err is not None:
        raise err


class DefaultsSwapper:
    """An argument that, whenever the callee looks at it, replaces the callee's __defaults__ with
    equal but new objects, freeing the old ones: a callee that borrowed a default and then calls
    back into Python would use freed memory (visible under the sanitizers)."""

    def __init__(self, fn):
        self.fn = fn

    def _swap(self):
        old = self.fn.__defaults__
        if old:
            self.fn.__defaults__ = tuple(_fresh(x) for x in old)

    def __str__(self):
        self._swap()
        return "swapped"

    __repr__ = __str__

    def __format__(self, format_spec):
        return self.__str__()

    def __eq__(self, other):
        self._swap()
        return False

    def __hash__(self):
        self._swap()
        return 1

    def __bool__(self):
        self._swap()
        return True

    def __len__(self):
        self._swap()
        return 0

    def __iter__(self):
        self._swap()
        return iter(())

    def __getattr__(self, name):
        self._swap()
        raise AttributeError(name)


def _fresh(x):
    if isinstance(x, str) and len(x) > 1:
        return "".join(list(x))
    try:
        return copy.copy(x)
    except Exception:
        return x


# ---- cases ----


def arity_cases(t, prefix):
    """Missing, surplus, duplicated and odd keyword arguments."""
    pos = t.positional()

    def case(label, build, style=vector_call):
        def run():
            args, kw = build()
            invoke(style, t.fn, prefix() + args, kw)

        return f"{t.qualname}: {label}", run

    yield case("no arguments", lambda: ([], {}))
    yield case("valid arguments", lambda: (base_args(t), {}))
    for extra in (1, 20):
        yield case(f"{extra} surplus positional", lambda e=extra: (base_args(t) + [0] * e, {}))
    if pos:
        yield case("all by keyword", lambda: ({}, dict(zip([p.name for p in pos], base_args(t)))))
        yield case("first argument twice", lambda: (base_args(t) or ["a"], {pos[0].name: "a"}))
        for i, p in enumerate(pos):
            if p.default is inspect.Parameter.empty:
                yield case(
                    f"missing {p.name}",
                    lambda i=i: (
                        [],
                        {q.name: v for j, (q, v) in enumerate(zip(pos, base_args(t))) if j != i},
                    ),
                )
    for name in ("zz", "", "\udc80", "not an identifier", "x" * 1000, "self", "kw"):
        yield case(f"keyword {name[:20]!r}", lambda n=name: (base_args(t), {n: 1}), dict_call)
    yield case(
        "str-subclass keyword name",
        lambda: ([], {bv.StrSub(p.name): v for p, v in zip(pos, base_args(t))}),
        dict_call,
    )
    if t.takes_self:
        yield case(
            "bound call",
            lambda: (base_args(t), {}),
            lambda fn, a, k: vector_call(types.MethodType(fn, a[0]), a[1:], k),
        )


def value_cases(t, prefix):
    """Every hostile value in every parameter, by position and by keyword."""
    pos = t.positional()
    for i, p in enumerate(pos):
        for label, _ in bv.VALUES:

            def positional(i=i, label=label):
                args = base_args(t)
                while len(args) < i:  # defaulted parameters in between keep their defaults
                    args.append(current_default(t, len(args)))
                args = args[:i] + [value(label)] + args[i + 1 :]
                invoke(vector_call, t.fn, prefix() + args, {})

            def by_keyword(i=i, name=p.name, label=label, style=vector_call):
                args = base_args(t)[:i]
                invoke(style, t.fn, prefix() + args, {name: value(label)})

            yield f"{t.qualname}: {p.name}={label} (positional)", positional
            yield f"{t.qualname}: {p.name}={label} (keyword)", by_keyword
            yield (
                f"{t.qualname}: {p.name}={label} (keyword, dict)",
                functools.partial(by_keyword, style=dict_call),
            )
    if t.has_varkw():
        for name in bv.KEYWORDS:
            for label, _ in bv.VALUES:

                def varkw(name=name, label=label):
                    invoke(vector_call, t.fn, prefix() + base_args(t), {name: value(label)})

                yield f"{t.qualname}: **{{{name!r}: {label}}}", varkw
        for mode in ("debug", "run"):
            for label in ("RaisesStr", "RaisesEverything", "'global'", "NaN array"):

                def debug(mode=mode, label=label):
                    kw = {"mode": mode, "target": value(label), "ch": value(label)}
                    invoke(vector_call, t.fn, prefix() + base_args(t), kw)

                yield f"{t.qualname}: mode={mode!r}, target=ch={label}", debug


# Argument counts of the shape sweep, for keyword names and, separately, for positionals: the
# smallest, both sides of 64 and of 128 (where a binder might keep a bit mask or a fixed table),
# and many.
SHAPE_COUNTS = (0, 1, 2, 62, 63, 64, 65, 66, 127, 128, 129, 200)


def shape_cases(t, prefix):
    """The required arguments given by position or by keyword, then extras until the call holds
    exactly `count` keyword names, or exactly `count` positionals (self included)."""
    names = [p.name for p in t.positional() if p.default is inspect.Parameter.empty]

    def call(count, given_by, grow):
        def run():
            args, kw = prefix() + base_args(t), {}
            if given_by == "keyword":
                kw = dict(zip(names, args[len(prefix()) :]))
                args = args[: len(prefix())]
            if grow == "keywords":
                kw.update({f"extra{i}": i for i in range(count - len(kw))})
            else:
                args += [0] * (count - len(args))
            invoke(vector_call, t.fn, args, kw)

        return run

    for count in SHAPE_COUNTS:
        for given_by in ("position", "keyword"):
            keywords = len(names) if given_by == "keyword" else 0
            positionals = len(prefix()) + (len(base_args(t)) if given_by == "position" else 0)
            for grow, least in (("keywords", keywords), ("positionals", positionals)):
                if count >= least:
                    yield (
                        f"{t.qualname}: {count} {grow}, required arguments by {given_by}",
                        call(count, given_by, grow),
                    )


def swapper_cases(t, prefix):
    if not getattr(t.fn, "__defaults__", None):
        return
    required = [p for p in t.positional() if p.default is inspect.Parameter.empty]
    for i, p in enumerate(required):
        for shape, wrap in SWAPPER_SHAPES.items():

            def run(i=i, wrap=wrap):
                args = base_args(t)[: len(required)]
                args[i] = wrap(lambda: DefaultsSwapper(t.fn))
                invoke(vector_call, t.fn, prefix() + args, {})

            yield f"{t.qualname}: {p.name}={shape} that replaces the defaults when touched", run


def _object_matrix(make):
    matrix = np.empty((2, 2), dtype=object)
    for index in np.ndindex(matrix.shape):
        matrix[index] = make()
    return matrix


# The swapper alone, and inside the containers the callee walks and formats item by item.
SWAPPER_SHAPES = {
    "an object": lambda make: make(),
    "a list of objects": lambda make: [make(), make()],
    "a dict of objects": lambda make: {"a": make(), "b": {"c": make()}},
    "an object array": _object_matrix,
}


def wrong_self_cases(t, classes):
    for label in bv.SELF_LABELS:

        def run(label=label):
            invoke(vector_call, t.fn, [value(label)] + base_args(t), {})

        yield f"{t.qualname}: unbound, self={label}", run

    def blank():
        invoke(vector_call, t.fn, [classes.blank(t.cls)] + base_args(t), {})

    yield f"{t.qualname}: self=<instance whose __init__ never ran>", blank

    def the_class():
        invoke(vector_call, t.fn, [t.cls] + base_args(t), {})

    yield f"{t.qualname}: self=<the class itself>", the_class


FUNCTION_ATTRS = [
    "__name__",
    "__qualname__",
    "__module__",
    "__doc__",
    "__defaults__",
    "__kwdefaults__",
    "__annotations__",
    "__dict__",
    "__code__",
    "__globals__",
]
WRITABLE_ATTRS = [a for a in FUNCTION_ATTRS if a not in ("__code__", "__globals__")]
ATTR_VALUES = [
    "None",
    "1",
    "'a'",
    "StrSub('a')",
    "()",
    "(1, 2, 3)",
    "{}",
    "DictSub",
    "RaisesEverything",
    "lone surrogate",
]


def introspect(fn):
    for name in dir(fn):
        try:
            getattr(fn, name)
        except Exception:
            pass
    attempts = [
        lambda: repr(fn),
        lambda: str(fn),
        lambda: hash(fn),
        lambda: inspect.signature(fn),
        lambda: pydoc.render_doc(fn),
        lambda: copy.deepcopy(fn),
        lambda: pickle.dumps(fn),
        lambda: weakref.ref(fn)(),
        lambda: fn.__get__(None, type),
        lambda: fn.__get__(1),
        lambda: fn.__get__(),
        lambda: fn.__reduce__(),
        lambda: fn.__reduce_ex__(2),
        lambda: type(fn)(),
        lambda: type(fn).__new__(type(fn)),
        lambda: object.__new__(type(fn)),
        lambda: type("Sub", (type(fn),), {}),
        lambda: setattr(type(fn), "x", 1),
        lambda: fn.__call__(),
        lambda: vars(fn),
        lambda: inspect.getdoc(fn),
    ]
    for attempt in attempts:
        try:
            attempt()
        except Exception as e:
            if problem_with(e):
                raise


# Attribute changes that matter when the function builds its code object, which it does once, on
# the first request (from inspect.signature, help or __code__).  Each function gets one of them
# before anything else touches it.
FIRST_TOUCH = [
    ("__module__", "lone surrogate"),
    ("__qualname__", "lone surrogate"),
    ("__module__", "<delete>"),
    ("__module__", "None"),
    ("__module__", "NUL in str"),
    ("__module__", "StrSub('a')"),
    ("__qualname__", "StrSub('a')"),
    ("__name__", "lone surrogate"),
]


def first_touch_cases(targets):
    for i, t in enumerate(targets):
        attr, label = FIRST_TOUCH[i % len(FIRST_TOUCH)]
        yield (
            f"{t.qualname}: {attr} = {label}, then its signature for the first time",
            (functools.partial(abuse_attribute, t.fn, attr, label)),
        )


def abuse_attribute(fn, attr, label):
    # Not __code__: reading it would build the code object before the change under test.
    saved = {a: getattr(fn, a) for a in WRITABLE_ATTRS if hasattr(fn, a)}
    try:
        try:
            if label == "<delete>":
                delattr(fn, attr)
            else:
                setattr(fn, attr, value(label))
        except (TypeError, AttributeError, ValueError):
            return
        introspect(fn)
        for args in ([], [0] * 3):
            try:
                fn(*args)
            except Exception as e:
                if problem_with(e):
                    raise
    finally:
        for a, v in saved.items():
            try:
                setattr(fn, a, v)
            except (TypeError, AttributeError, ValueError):
                pass


def attribute_cases(t):
    """The function object's own attributes read, replaced and deleted, then the function used."""
    fn = t.fn

    def read():
        introspect(fn)

    yield f"{t.qualname}: introspection", read

    for attr in FUNCTION_ATTRS:
        for label in ATTR_VALUES + ["<delete>"]:
            yield (
                f"{t.qualname}: {attr} = {label}, then used",
                functools.partial(abuse_attribute, fn, attr, label),
            )


def protocol_cases(cls, classes):
    """What the interpreter does to instances by itself: repr, with, copy, pickle, destruction."""
    actions = {
        "repr": repr,
        "str": str,
        "format": lambda o: format(o, ""),
        "dir": dir,
        "copy": copy.copy,
        "deepcopy": copy.deepcopy,
        "pickle": pickle.dumps,
        "help": pydoc.render_doc,
        "with": lambda o: (o.__enter__(), o.__exit__(None, None, None)),
        "with raising": lambda o: (o.__enter__(), o.__exit__(bv.Boom, bv.Boom("x"), None)),
        "del": lambda o: None,
    }
    for how in ("instance", "blank"):
        for action_name, action in actions.items():

            def run(how=how, action=action):
                obj = classes.instance(cls) if how == "instance" else classes.blank(cls)
                try:
                    action(obj)
                except Exception as e:
                    if problem_with(e):
                        raise
                del obj

            yield f"{cls.__qualname__}: {action_name} on {how}", run
    for label, build in (("no arguments", list), ("20 arguments", lambda: [0] * 20)):

        def construct(build=build):
            _, sub = classes.concrete(cls)
            invoke(vector_call, sub, build(), {})

        yield f"{cls.__qualname__}: construction with {label}", construct


def all_cases(module, targets, classes_list, variants):
    classes = Classes(targets)
    for label, run in first_touch_cases(targets):
        yield label, variants[0][1], run
    for variant_label, setup in variants:
        tag = f" [{variant_label}]" if variant_label else ""
        for t in targets:
            if t.takes_self:

                def prefix(t=t):
                    return [classes.instance(t.cls) if t.kind == "method" else t.cls]
            else:

                def prefix():
                    return []

            if t.params is None:
                groups = [arity_cases(t, prefix)]
            else:
                groups = [arity_cases(t, prefix), value_cases(t, prefix), swapper_cases(t, prefix)]
            if t.kind == "method":
                groups.append(wrong_self_cases(t, classes))
            for group in groups:
                for label, run in group:
                    yield label + tag, setup, run
    for cls in classes_list:
        for label, run in protocol_cases(cls, classes):
            yield label, variants[0][1], run
    for t in targets:
        for label, run in attribute_cases(t):
            yield label, variants[0][1], run


def all_shape_cases(targets, variants):
    classes = Classes(targets)
    for t in targets:
        if t.params is None:
            continue
        if t.takes_self:

            def prefix(t=t):
                return [classes.instance(t.cls) if t.kind == "method" else t.cls]
        else:

            def prefix():
                return []

        for label, run in shape_cases(t, prefix):
            yield label, variants[0][1], run


# ---- leak probes ----


def leak_probes(targets, classes):
    """(label, make) pairs; make() returns a call to repeat and the objects whose reference counts
    must stay put."""
    for t in targets:

        def self_args(t=t):
            if t.kind == "method":
                return [classes.instance(t.cls)]
            return [t.cls] if t.kind == "classmethod" else []

        def probe(build, t=t, self_args=self_args):
            def make():
                args, kw = build()
                args = self_args() + args
                return (lambda: t.fn(*args, **kw)), [t.fn, *args, *kw.values()]

            return make

        yield f"{t.qualname}: valid arguments", probe(lambda t=t: (base_args(t), {}))
        yield f"{t.qualname}: missing arguments", probe(lambda: ([], {}))
        yield f"{t.qualname}: unexpected keyword", probe(lambda t=t: (base_args(t), {"zz": 1}))
        pos = t.positional()
        typed = {
            "str": bv.StrSub("a"),
            "int": bv.IntSub(1),
            "dict": bv.DictSub(),
            "str | None": bv.StrSub("a"),
        }
        for i, p in enumerate(pos):
            refused = typed.get(annotation_of(p))
            if refused is None or i >= len(base_args(t)):
                continue

            def refused_args(i=i, refused=refused, t=t):
                args = base_args(t)
                args[i] = refused
                return args, {}

            yield f"{t.qualname}: {p.name} of a refused type", probe(refused_args)
            break
        for label in ("RaisesEverything", "RaisesStr", "NaN array", "nested dict", "[1, 2]"):
            for i in range(min(len(pos), len(base_args(t)))):

                def hostile(i=i, label=label, t=t):
                    args = base_args(t)
                    args[i] = value(label)
                    return args, {}

                yield f"{t.qualname}: {pos[i].name}={label}", probe(hostile)
        if t.has_varkw():
            yield (
                f"{t.qualname}: hostile **kw",
                probe(
                    lambda t=t: (
                        base_args(t),
                        {"ch": bv.RaisesEverything(), "mode": "debug", "zz": []},
                    )
                ),
            )


def growth(call, watched, n):
    """Reference counts of `watched` and allocated memory blocks gained over n calls."""
    gc.collect()
    rc_before, blocks_before = refcounts(watched), sys.getallocatedblocks()
    for _ in range(n):
        call()
    gc.collect()
    rc = [a - b for a, b in zip(refcounts(watched), rc_before)]
    return rc, sys.getallocatedblocks() - blocks_before


def run_leaks(targets, classes_list, variants, emit, n=200, rounds=5):
    """A leak grows with every call for ever; a cache (the regular-expression cache, Rich's
    caches) fills up and stops.  So a probe that gains is measured again, and reported only
    when it gained in every round."""
    classes = Classes(targets)
    variants[0][1]()
    probes = list(leak_probes(targets, classes))
    for cls in classes_list:
        probes.append(
            (
                f"{cls.__qualname__}: construction and destruction",
                lambda cls=cls: ((lambda: classes.instance(cls)), [cls]),
            )
        )
    for label, make in probes:
        call, watched = make()

        def quiet(call=call):
            try:
                call()
            except BaseException:  # only the bookkeeping matters here
                pass

        for _ in range(5):
            quiet()
        for _ in range(rounds):
            rc, blocks = growth(quiet, watched, n)
            grown = [i for i, d in enumerate(rc) if d >= n // 2]
            if not grown and blocks < n // 2:
                break
        else:
            if grown:
                emit(
                    "leak",
                    label,
                    f"references to argument(s) {grown} grow with every call "
                    f"(+{[rc[i] for i in grown]} in {n} calls)",
                )
            if blocks >= n // 2:
                emit("leak", label, f"{blocks} memory blocks more with every {n} calls")


# ---- main ----


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("module")
    ap.add_argument("--tmp", required=True)
    ap.add_argument("--progress", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--mode", choices=("cases", "shapes", "leaks"), default="cases")
    ap.add_argument("--start", type=int, default=0)
    ap.add_argument("--only", type=int)
    opts = ap.parse_args()

    # Hostile sizes (np.repeat by 2**31) must end in MemoryError, not in filling the machine's
    # memory.  Under AddressSanitizer (which reserves terabytes of address space for itself) its
    # own allocation limit does this job; tools/sanitize sets it.
    if not hasattr(ctypes.CDLL(None), "__asan_init"):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    os.chdir(opts.tmp)
    fakes.write_fixture_files(opts.tmp)
    fakes.install_fakes()
    warnings.simplefilter("ignore")

    def emit(kind, case, detail):
        # Opened per record, so that every record is on disk before the next case can crash.
        with open(opts.results, "a", encoding="utf-8") as results:
            results.write(json.dumps({"kind": kind, "case": case, "detail": detail}) + "\n")

    module = importlib.import_module(opts.module)
    fakes.prepare_module(opts.module, module)
    targets, classes_list = discover(module)
    if not targets:
        emit("empty", "", f"{opts.module} has no native callables")
        return
    variants = fakes.module_variants(opts.module, module)
    sys.stdout = Sink()
    current = ["import"]

    def unraisable(info):
        problem = problem_with(info.exc_value) if info.exc_value is not None else None
        if problem:
            emit("problem", current[0], "unraisable: " + problem)

    sys.unraisablehook = unraisable
    sys.setrecursionlimit(3000)
    value("deep list"), value("deep dict")  # built now, so that they are frozen with the rest
    gc.collect()
    gc.freeze()  # long-lived objects out of every collection: keeps the periodic ones cheap

    if opts.mode == "leaks":
        run_leaks(targets, classes_list, variants, emit)
        emit("done", "", f"{len(targets)} callables")
        return

    progress = os.open(opts.progress, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    gc.disable()
    count = 0
    active_setup = None
    if opts.mode == "shapes":
        cases = all_shape_cases(targets, variants)
    else:
        cases = all_cases(module, targets, classes_list, variants)
    for index, (label, setup, run) in enumerate(cases):
        count = index + 1
        if index < opts.start or (opts.only is not None and index != opts.only):
            continue
        current[0] = label
        os.write(progress, f"{index}\t{label}\n".encode("utf-8", "backslashreplace"))
        if setup is not active_setup:
            setup()
            active_setup = setup
        started = time.monotonic()
        try:
            run()
        except DroppedReference as e:
            emit("problem", label, str(e))
        except BaseException as e:  # judged by problem_with
            problem = problem_with(e)
            if problem:
                emit("problem", label, problem)
        elapsed = time.monotonic() - started
        if elapsed > SLOW_CASE_SECONDS:
            emit("slow", label, f"{elapsed:.1f} s")
        if index % GC_EVERY == GC_EVERY - 1:
            os.write(
                progress,
                f"{index}\tgarbage collection after: {label}\n".encode("utf-8", "backslashreplace"),
            )
            gc.collect()
    os.write(progress, b"-1\tfinal garbage collection\n")
    gc.collect()
    emit("done", "", f"{count} cases")


if __name__ == "__main__":
    main()
