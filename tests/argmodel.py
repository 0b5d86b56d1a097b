"""A small pure-Python model of how vantle._lib binds and converts arguments.

evaluate(function, args, kwargs) answers what a call must do before any
work starts: fail with a given exception (type, message, notes), or go on
with the converted values. It runs the same Python-level hooks a call runs
(__index__, __iter__, __bool__, str() of a keyword), so objects handed to it
must behave the same each time they are asked.
"""

import operator
from dataclasses import dataclass

import numpy as np

PARAMETERS = {
    "is_available": (("port",), 1),
    "find_free": (("preferred",), 0),
    "wait_until_free": (("port", "timeout"), 1),
    "get_info": (("port",), 1),
    "kill": (("port", "force"), 1),
    "scan": (("ports",), 1),
}

LONG_MIN, LONG_MAX = -(2**63), 2**63 - 1
ULLONG_MAX = 2**64 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"
HEAP_TYPE = 1 << 9

# Types implemented in C that the sequence protocol accepts (they fill the
# sequence item slot); mappings and scalars with __getitem__ do not.
BUILTIN_SEQUENCES = (list, tuple, range, str, bytes, bytearray, memoryview, np.ndarray)


@dataclass
class Refused:
    """The call must raise: an exception of exactly `kind`, with `message` as
    its str() and `notes` as its __notes__ (None when it has none)."""
    kind: type
    message: str
    notes: object = None


@dataclass
class Accepted:
    """Binding and conversion succeed; `values` maps each parameter to its
    converted value, or to Absent when it was not given."""
    values: dict


class Absent:
    def __repr__(self):
        return "Absent"


ABSENT = Absent()


class _Fail(Exception):
    """A refusal inside the model, holding the exception the call will raise
    (the model's own instance of it)."""

    def __init__(self, exception):
        self.exception = exception


def _typed(kind, message):
    return _Fail(kind(message))


def _passed_through(error):
    return _Fail(error)


def _type_attribute(cls, name):
    # Read through type's own descriptors, as PyType_GetQualName and friends do.
    return type.__dict__[name].__get__(cls, type)


def _qualified_name(obj):
    return _type_attribute(type(obj), "__qualname__")


def _wrong_type(obj, target):
    if obj is None:
        return _typed(TypeError, f"'None' is not an instance of '{target}'")
    return _typed(TypeError, f"'{_qualified_name(obj)}' object is not an instance of '{target}'")


def _caught(convert, *args):
    """Runs a Python-level operation; an exception it raises passes through."""
    try:
        return convert(*args)
    except _Fail:
        raise
    except BaseException as error:
        raise _passed_through(error) from None


def _exact_int(value):
    # Compare as a plain int even when an int subclass overrides comparison.
    return int.__int__(value)


def to_port(obj):
    value = _exact_int(_caught(operator.index, obj))  # what PyLong_AsLong asks of a non-int
    if not LONG_MIN <= value <= LONG_MAX:
        raise _typed(OverflowError, "Python int too large to convert to C long")
    if not 0 <= value <= 0xFFFF:
        raise _typed(OverflowError, OUT_OF_RANGE)
    return value


def to_optional_port(obj):
    return None if obj is None else to_port(obj)


def to_seconds(obj):
    value = _exact_int(obj if isinstance(obj, int) else _caught(operator.index, obj))
    if value < 0:
        raise _typed(OverflowError, "can't convert negative int to unsigned")
    if value > ULLONG_MAX:
        raise _typed(OverflowError, "int too big to convert")
    return value


def _is_numpy_bool(obj):
    try:
        module = _type_attribute(type(obj), "__module__")
        name = _type_attribute(type(obj), "__name__")
    except Exception:
        return False
    return type(module) is str and module == "numpy" and name in ("bool_", "bool")


def _defines_truth(cls):
    if cls.__flags__ & HEAP_TYPE:
        return any("__bool__" in vars(base) for base in cls.__mro__)
    return cls is np.bool_


def to_bool(obj):
    if type(obj) is bool:
        return obj
    if _is_numpy_bool(obj):
        if not _defines_truth(type(obj)):
            raise _typed(TypeError, f"object of type '{type(obj)}' does not define a '__bool__' conversion")
        return _caught(bool, obj)  # the type's truth slot, as bool() calls it
    raise _wrong_type(obj, "bool")


def _is_sequence(obj):
    if isinstance(obj, dict):
        return False
    cls = type(obj)
    if cls.__flags__ & HEAP_TYPE:
        return any("__getitem__" in vars(base) for base in cls.__mro__)
    return isinstance(obj, BUILTIN_SEQUENCES)


def to_ports(obj):
    if isinstance(obj, str):
        raise _typed(TypeError, "Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise _wrong_type(obj, "Sequence")
    ports = []
    iterator = _caught(iter, obj)
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return ports
        except BaseException as error:
            raise _passed_through(error) from None
        ports.append(to_port(item))


CONVERSIONS = {
    "port": to_port,
    "preferred": to_optional_port,
    "timeout": to_seconds,
    "force": to_bool,
    "ports": to_ports,
}


def _note(exception, parameter):
    """The argument note: added with the exception's own add_note; when
    add_note fails, the exception goes on as it was."""
    try:
        exception.add_note(f"while processing '{parameter}'")
    except BaseException:
        pass


def _refused(exception):
    notes = getattr(exception, "__notes__", None)
    return Refused(type(exception), str(exception), list(notes) if isinstance(notes, list) else notes)


def _utf8(keyword):
    try:
        return str.encode(keyword, "utf-8")
    except UnicodeEncodeError:
        return None


def _keyword_text(keyword):
    return _caught(str, keyword)  # what %S in the message does


def bind(function, args, kwargs):
    names, required = PARAMETERS[function]
    n = len(names)
    if len(args) > n:
        takes = str(n) if required == n else f"from {required} to {n}"
        raise _typed(TypeError, f"{function}() takes {takes} positional arguments but {len(args)} were given")
    slots = dict(zip(names, args))
    for keyword, value in kwargs.items():
        text = _utf8(keyword)
        name = next((p for p in names if p.encode() == text), None)
        if name is None:
            raise _typed(TypeError, f"{function}() got an unexpected keyword argument '{_keyword_text(keyword)}'")
        if name in slots:
            raise _typed(TypeError, f"{function}() got multiple values for argument '{_keyword_text(keyword)}'")
        slots[name] = value
    missing = [p for p in names[len(args):required] if p not in slots]
    if missing:
        k = len(missing)
        if k == 1:
            listed = f"'{missing[0]}'"
        elif k == 2:
            listed = f"'{missing[0]}' and '{missing[1]}'"
        else:
            listed = ", ".join(f"'{p}'" for p in missing[:-1]) + f", and '{missing[-1]}'"
        raise _typed(TypeError, f"{function}() missing {k} required positional {'argument' if k == 1 else 'arguments'}: "
                                f"{listed}")
    return slots


def evaluate(function, args, kwargs):
    """Refused(...) or Accepted(values) for the call function(*args, **kwargs)."""
    try:
        slots = bind(function, args, kwargs)
    except _Fail as failure:
        return _refused(failure.exception)
    values = {}
    for name in PARAMETERS[function][0]:
        if name not in slots:
            values[name] = ABSENT
            continue
        try:
            values[name] = CONVERSIONS[name](slots[name])
        except _Fail as failure:
            _note(failure.exception, name)
            return _refused(failure.exception)
    return Accepted(values)
