"""A stand-in for a faulty native module: its callables crash the process, raise SystemError or
leak references on particular inputs, so the harness can be shown to notice each fault."""

import ctypes


class _Callable:
    """Callable instances are found by the harness the way native functions are."""

    def __init__(self, body):
        self.body = body

    def __call__(self, value):
        return self.body(value)


def _crash(value):
    if type(value) is bytes and value == b"\xff\xfe":
        ctypes.string_at(0)  # reads address 0: the process dies with SIGSEGV


def _system_error(value):
    if value is None:
        raise SystemError("error return without exception set")


def _leak(value):
    if type(value) is list:
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(value))


crash_on_bytes = _Callable(_crash)
system_error_on_none = _Callable(_system_error)
leak_list = _Callable(_leak)
