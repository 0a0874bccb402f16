"""The Descriptor class: building, splitting and printing codes."""

import pytest

from tarvane import Descriptor


@pytest.mark.parametrize(
    "f,x,y,fxy,text",
    [
        (0, 1, 1, 1001, "Descriptor(001001)"),
        (3, 1, 11, 301011, "Descriptor(301011)"),
        (0, 0, 0, 0, "Descriptor(000000)"),
        (2, 22, 0, 222000, "Descriptor(222000)"),
        (0, 200, 5, 200005, "Descriptor(200005)"),  # X above 99 runs into the F digit
        (255, 255, 255, 25755255, "Descriptor(25755255)"),  # more than six digits in full
    ],
)
def test_parts_code_and_repr(f, x, y, fxy, text):
    d = Descriptor(f, x, y)
    assert (d.f, d.x, d.y, d.fxy) == (f, x, y, fxy)
    assert repr(d) == text


@pytest.mark.parametrize("code,parts", [(301011, (3, 1, 11)), (0, (0, 0, 0)), (1001, (0, 1, 1)), (263255, (2, 63, 255))])
def test_from_fxy_splits(code, parts):
    d = Descriptor.from_fxy(code)
    assert type(d) is Descriptor
    assert (d.f, d.x, d.y) == parts
    assert d.fxy == code
    assert Descriptor.from_fxy(code=code).fxy == code


@pytest.mark.parametrize("code,text", [(1999, "y is 999"), (25600000, "f is 256"), (4294967295, "f is 42949")])
def test_from_fxy_refuses_codes_that_do_not_fit_eight_bits(code, text):
    with pytest.raises(ValueError, match=f"does not fit Descriptor\\(f, x, y\\): {text}, above 255$"):
        Descriptor.from_fxy(code)


@pytest.mark.parametrize(
    "args,exc,text",
    [
        ((256, 0, 0), OverflowError, "out of range integral type conversion attempted"),
        ((-1, 0, 0), OverflowError, "out of range integral type conversion attempted"),
        ((0, 0, 2**70), OverflowError, "Python int too large to convert to C long"),
        (("0", 1, 1), TypeError, "argument 'f': 'str' object cannot be interpreted as an integer"),
        ((0, 1.0, 1), TypeError, "argument 'x': 'float' object cannot be interpreted as an integer"),
        ((0, 1, None), TypeError, "argument 'y': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_constructor_errors(args, exc, text):
    with pytest.raises(exc) as info:
        Descriptor(*args)
    assert str(info.value) == text


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'x'"):
        Descriptor(0, "a", "b")


def test_fields_are_read_only_and_objects_compare_by_identity():
    d = Descriptor(0, 1, 1)
    for name in ["f", "x", "y", "fxy"]:
        with pytest.raises(AttributeError):
            setattr(d, name, 2)
    other = Descriptor(0, 1, 1)
    assert d != other
    assert d == d
