"""Argument binding of annotate_scanlines(x, y): every TypeError message, exactly, and the
order of the checks (count, then keywords in order, then missing)."""

from __future__ import annotations

import numpy as np
import pytest

import vorlane

f = vorlane.annotate_scanlines
A = np.array([0.0, 1.0, 2.0])
B = np.array([0.0, 5.0, 0.0])

TOO_MANY = "annotate_scanlines() takes 2 positional arguments but {} were given"
MISSING_ONE = "annotate_scanlines() missing 1 required positional argument: '{}'"
MISSING_BOTH = "annotate_scanlines() missing 2 required positional arguments: 'x' and 'y'"
MULTIPLE = "annotate_scanlines() got multiple values for argument '{}'"
UNEXPECTED = "annotate_scanlines() got an unexpected keyword argument '{}'"

BINDING_ERRORS = [
    ("three_positional", (A, B, A), {}, TOO_MANY.format(3)),
    ("four_positional", (A, B, A, B), {}, TOO_MANY.format(4)),
    ("three_positional_and_keyword", (A, B, A), {"x": A}, TOO_MANY.format(3)),
    ("three_positional_and_unknown_keyword", (A, B, A), {"z": 1}, TOO_MANY.format(3)),
    ("three_non_arrays", (1, 2, 3), {}, TOO_MANY.format(3)),
    ("no_arguments", (), {}, MISSING_BOTH),
    ("only_x", (A,), {}, MISSING_ONE.format("y")),
    ("only_x_by_keyword", (), {"x": A}, MISSING_ONE.format("y")),
    ("only_y_by_keyword", (), {"y": B}, MISSING_ONE.format("x")),
    ("only_a_non_array", ("text",), {}, MISSING_ONE.format("y")),
    ("x_twice", (A,), {"x": A}, MULTIPLE.format("x")),
    ("x_twice_y_given", (A,), {"x": A, "y": B}, MULTIPLE.format("x")),
    ("y_twice", (A, B), {"y": B}, MULTIPLE.format("y")),
    ("both_twice_x_named_first", (A, B), {"x": A, "y": B}, MULTIPLE.format("x")),
    ("both_twice_y_named_first", (A, B), {"y": B, "x": A}, MULTIPLE.format("y")),
    ("unknown_keyword", (A, B), {"z": 1}, UNEXPECTED.format("z")),
    ("unknown_keyword_only", (), {"z": 1}, UNEXPECTED.format("z")),
    ("unknown_before_missing", (A,), {"z": 1}, UNEXPECTED.format("z")),
    ("unknown_before_duplicate", (A,), {"z": 1, "x": A}, UNEXPECTED.format("z")),
    ("duplicate_before_unknown", (A,), {"x": A, "z": 1}, MULTIPLE.format("x")),
    ("capital_x", (), {"X": A, "y": B}, UNEXPECTED.format("X")),
    ("long_name", (A,), {"yy": B}, UNEXPECTED.format("yy")),
    ("prefix_of_nothing", (A,), {"": B}, UNEXPECTED.format("")),
    ("name_with_nul", (A,), {"y\0": B}, UNEXPECTED.format("y\0")),
    ("unicode_name", (A,), {"ÿ": B}, UNEXPECTED.format("ÿ")),
    ("no_utf8_text", (A,), {"\udc80": B}, UNEXPECTED.format("\udc80")),
]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [case[1:] for case in BINDING_ERRORS],
    ids=[case[0] for case in BINDING_ERRORS],
)
def test_binding_error_message(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        f(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,), f"got {caught.value.args!r}"


def test_binding_error_is_raised_before_any_array_test():
    # Neither argument is an array, yet the binding error wins over the dispatch error.
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'y'"):
        f("not an array")


@pytest.mark.parametrize(
    "args, kwargs",
    [((A, B), {}), ((), {"x": A, "y": B}), ((), {"y": B, "x": A}), ((A,), {"y": B})],
    ids=["positional", "keywords", "keywords_reversed", "mixed"],
)
def test_valid_bindings_give_the_same_result(args, kwargs):
    np.testing.assert_array_equal(f(*args, **kwargs), f(A, B))


def test_keyword_values_fill_the_named_slot():
    x = np.array([0.0, 1.0, 2.0, 3.0, 4.0])
    y = np.array([0.0, 1.0, 2.0])
    with pytest.raises(ValueError) as caught:
        f(y=y, x=x)
    assert caught.value.args == ("Input x and y length mismatch: 5 vs 3",)


def test_keyword_names_of_a_str_subclass_match():
    class Name(str):
        pass

    np.testing.assert_array_equal(f(**{Name("x"): A, Name("y"): B}), f(A, B))


def test_binding_errors_leave_no_state_behind():
    for _ in range(3):
        for _, args, kwargs, _ in BINDING_ERRORS:
            with pytest.raises(TypeError):
                f(*args, **kwargs)
        np.testing.assert_array_equal(f(A, B), f(A, B))
