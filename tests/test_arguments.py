"""How calls bind to parameters and how each kind of argument is converted.

Every case here fails before the function does any work, so no port is
probed, looked up or signalled.
"""

import numpy as np
import pytest

import vantle
from vantle import _lib, _table
from cases import BadIter, BadLen, IndexRaises, IndexReturns, Outer

OUT_OF_RANGE = "out of range integral type conversion attempted"


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_error(call, kind, message, note=None):
    error = raised(call)
    assert type(error) is kind
    assert str(error) == message
    assert getattr(error, "__notes__", None) == ([note] if note else None)
    return error


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: _lib.is_available(1, 2), "is_available() takes 1 positional arguments but 2 were given"),
            (lambda: _lib.get_info(1, 2, 3), "get_info() takes 1 positional arguments but 3 were given"),
            (lambda: _lib.scan([], []), "scan() takes 1 positional arguments but 2 were given"),
            (lambda: _lib.kill(8000, True, 3), "kill() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: _lib.find_free(1, 2), "find_free() takes from 0 to 1 positional arguments but 2 were given"),
            (lambda: _lib.wait_until_free(1, 2, 3),
             "wait_until_free() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: vantle.reserve(1, 2, 3), "reserve() takes from 0 to 2 positional arguments but 3 were given"),
        ],
    )
    def test_too_many_positional(self, call, message):
        assert_error(call, TypeError, message)

    def test_too_many_positional_reported_before_keywords(self):
        assert_error(lambda: _lib.is_available(1, 2, bogus=3), TypeError,
                     "is_available() takes 1 positional arguments but 2 were given")

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: _lib.wait_until_free(8000, time=5), "wait_until_free() got an unexpected keyword argument 'time'"),
            (lambda: _lib.find_free(port=1), "find_free() got an unexpected keyword argument 'port'"),
            (lambda: _lib.scan(ports=[], port=1), "scan() got an unexpected keyword argument 'port'"),
            (lambda: _lib.kill(**{"pört": 1}), "kill() got an unexpected keyword argument 'pört'"),
            (lambda: _lib.kill(**{"\ud800": 1}), "kill() got an unexpected keyword argument '\ud800'"),
            (lambda: vantle.reserve(prefered=1), "reserve() got an unexpected keyword argument 'prefered'"),
        ],
    )
    def test_unexpected_keyword(self, call, message):
        assert_error(call, TypeError, message)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: _lib.is_available(8000, port=8000), "is_available() got multiple values for argument 'port'"),
            (lambda: _lib.kill(1, True, force=False), "kill() got multiple values for argument 'force'"),
            (lambda: _lib.find_free(1, preferred=None), "find_free() got multiple values for argument 'preferred'"),
            (lambda: vantle.reserve(1, preferred=None), "reserve() got multiple values for argument 'preferred'"),
        ],
    )
    def test_multiple_values(self, call, message):
        assert_error(call, TypeError, message)

    @pytest.mark.parametrize("name, param", [("is_available", "port"), ("get_info", "port"), ("scan", "ports"),
                                             ("kill", "port"), ("wait_until_free", "port")])
    def test_missing_required(self, name, param):
        function = getattr(_lib, name)
        assert_error(function, TypeError, f"{name}() missing 1 required positional argument: '{param}'")

    def test_missing_required_with_only_the_optional_given(self):
        assert_error(lambda: _lib.kill(force=True), TypeError,
                     "kill() missing 1 required positional argument: 'port'")
        assert_error(lambda: _lib.wait_until_free(timeout=1), TypeError,
                     "wait_until_free() missing 1 required positional argument: 'port'")

    def test_first_offending_keyword_wins(self):
        assert_error(lambda: _lib.kill(port=1, nope=2, port2=3), TypeError,
                     "kill() got an unexpected keyword argument 'nope'")

    def test_every_function_takes_keywords(self):
        assert _lib.is_available(port=0) is False
        assert _lib.wait_until_free(port=0, timeout=5) is False
        assert _lib.get_info(port=0) is None
        assert _lib.scan(ports=[]) == {}
        assert _lib.kill(port=0, force=False) is True
        assert isinstance(_lib.find_free(preferred=None), int)


class TestPortConversion:
    @pytest.mark.parametrize("function", [_lib.is_available, _lib.get_info, _lib.kill, _lib.wait_until_free,
                                          _table.holders, _table.signal_holders])
    @pytest.mark.parametrize("value", [65536, -1, -(2**40), 2**40])
    def test_out_of_range(self, function, value):
        assert_error(lambda: function(value), OverflowError, OUT_OF_RANGE, "while processing 'port'")

    def test_beyond_a_long_is_the_interpreters_overflow(self):
        error = assert_error(lambda: _lib.is_available(2**70), OverflowError, "Python int too large to convert to C long",
                             "while processing 'port'")
        assert error.__notes__ == ["while processing 'port'"]

    @pytest.mark.parametrize("value", [8000.0, "8000", None, b"1", [1]])
    def test_not_an_integer(self, value):
        error = raised(lambda: _lib.is_available(value))
        assert type(error) is TypeError
        assert error.__notes__ == ["while processing 'port'"]

    def test_index_protocol_and_bools(self):
        assert _lib.is_available(IndexReturns(0)) is False
        assert _lib.is_available(False) is False  # port 0
        assert _lib.is_available(np.uint16(0)) is False
        assert_error(lambda: _lib.is_available(IndexReturns(70000)), OverflowError, OUT_OF_RANGE,
                     "while processing 'port'")

    def test_index_that_raises_passes_through(self):
        assert_error(lambda: _lib.get_info(IndexRaises()), ValueError, "no index here", "while processing 'port'")

    def test_index_returning_non_int(self):
        error = raised(lambda: _lib.is_available(IndexReturns("x")))
        assert type(error) is TypeError
        assert error.__notes__ == ["while processing 'port'"]

    def test_bad_port_reported_before_bad_second_argument(self):
        assert_error(lambda: _lib.kill(-1, force=1), OverflowError, OUT_OF_RANGE, "while processing 'port'")
        assert_error(lambda: _lib.wait_until_free(-1, timeout=-1), OverflowError, OUT_OF_RANGE,
                     "while processing 'port'")


class TestOptionalPort:
    @pytest.mark.parametrize("takes_preferred", [_lib.find_free, vantle.reserve])
    def test_refused(self, takes_preferred):
        assert_error(lambda: takes_preferred(70000), OverflowError, OUT_OF_RANGE, "while processing 'preferred'")
        assert_error(lambda: takes_preferred(-1), OverflowError, OUT_OF_RANGE, "while processing 'preferred'")
        error = raised(lambda: takes_preferred("8000"))
        assert type(error) is TypeError and error.__notes__ == ["while processing 'preferred'"]


class TestBooleanConversion:
    @pytest.mark.parametrize(
        "value, message",
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("yes", "'str' object is not an instance of 'bool'"),
            (np.int64(1), "'int64' object is not an instance of 'bool'"),
            (Outer.Inner(), "'Outer.Inner' object is not an instance of 'bool'"),
        ],
    )
    def test_refused(self, value, message):
        assert_error(lambda: _lib.kill(8000, force=value), TypeError, message, "while processing 'force'")

    def test_force_checked_before_port_zero(self):
        assert_error(lambda: _lib.kill(0, force=1), TypeError, "'int' object is not an instance of 'bool'",
                     "while processing 'force'")

    @pytest.mark.parametrize("value", [True, False, np.True_, np.False_, np.bool_(1)])
    def test_accepted(self, value):
        assert _lib.kill(0, force=value) is True

    def test_ordinary_bool_method_is_not_consulted(self):
        class Truthy:
            def __bool__(self):
                raise AssertionError("must not be called")

        assert_error(lambda: _lib.kill(0, Truthy()), TypeError,
                     f"'{Truthy.__qualname__}' object is not an instance of 'bool'", "while processing 'force'")


class TestSecondsConversion:
    def test_refused(self):
        assert_error(lambda: _lib.wait_until_free(0, timeout=-1), OverflowError, "can't convert negative int to unsigned",
                     "while processing 'timeout'")
        assert_error(lambda: _lib.wait_until_free(0, timeout=2**64), OverflowError,
                     "int too big to convert", "while processing 'timeout'")
        for value in (1.5, None, "1"):
            error = raised(lambda: _lib.wait_until_free(0, value))
            assert type(error) is TypeError and error.__notes__ == ["while processing 'timeout'"]
        assert_error(lambda: _lib.wait_until_free(0, IndexRaises()), ValueError, "no index here",
                     "while processing 'timeout'")

    def test_accepted(self):
        for value in (0, True, 2**64 - 1, IndexReturns(5), np.uint64(2**64 - 1)):
            assert _lib.wait_until_free(0, value) is False


# The functions taking a sequence of ports convert it alike.
SEQUENCE_TAKERS = pytest.mark.parametrize("takes_ports", [_lib.scan, _table.listeners])


class TestPortSequence:
    @SEQUENCE_TAKERS
    def test_str_refused(self, takes_ports):
        assert_error(lambda: takes_ports("8000"), TypeError, "Can't extract `str` to `Vec`", "while processing 'ports'")

        class MyStr(str):
            pass

        assert_error(lambda: takes_ports(MyStr("1")), TypeError, "Can't extract `str` to `Vec`",
                     "while processing 'ports'")

    @pytest.mark.parametrize(
        "value, type_name",
        [(8000, "int"), ({8000}, "set"), ({8000: 1}, "dict"), (iter([8000]), "list_iterator"),
         ((p for p in [1]), "generator"), (Outer.Inner(), "Outer.Inner")],
    )
    @SEQUENCE_TAKERS
    def test_not_a_sequence(self, value, type_name, takes_ports):
        assert_error(lambda: takes_ports(value), TypeError, f"'{type_name}' object is not an instance of 'Sequence'",
                     "while processing 'ports'")

    def test_none(self):
        assert_error(lambda: _lib.scan(None), TypeError, "'None' is not an instance of 'Sequence'",
                     "while processing 'ports'")

    @SEQUENCE_TAKERS
    def test_bad_items(self, takes_ports):
        assert_error(lambda: takes_ports([0, 70000]), OverflowError, OUT_OF_RANGE, "while processing 'ports'")
        error = raised(lambda: takes_ports([0, "x"]))
        assert type(error) is TypeError and error.__notes__ == ["while processing 'ports'"]

    def test_iteration_errors_pass_through(self):
        assert_error(lambda: _lib.scan(BadIter()), RuntimeError, "cannot iterate", "while processing 'ports'")

    def test_failing_length_is_ignored(self):
        assert _lib.scan(BadLen()) == {0: None}

    def test_accepted_sequences(self):
        assert _lib.scan([]) == {}
        assert _lib.scan(()) == {}
        assert _lib.scan(b"") == {}
        assert _lib.scan([0, 0, False]) == {0: None}
        assert _lib.scan(bytearray(b"\x00")) == {0: None}
        assert _lib.scan(range(0, 1)) == {0: None}
        assert _lib.scan(np.array([0], dtype=np.uint16)) == {0: None}
