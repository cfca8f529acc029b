"""What the interpreter sees of the module: its attributes, the function object, the stub, and
an import in a process that has no NumPy."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import json
import sys
from pathlib import Path

import numpy as np
import pytest

import vorlane

MODULE_DOC = "A library for processing and annotating raster scanlines in powder bed fusion data."
FUNCTION_DOC_LINES = [
    "annotate_scanlines(x, y)",
    "--",
    "",
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.",
    "",
    "Args:",
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).",
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).",
    "",
    "Returns:",
    "    ndarray: 1D numpy array of scanline_id assignments (int32).",
]
# Attributes every module object has, from the import system rather than from vorlane.
IMPORT_SYSTEM_ATTRIBUTES = {
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
}
STUB = Path(__file__).resolve().parents[2] / "src" / "vorlane.pyi"


def test_specified_docstring_is_319_ascii_bytes():
    raw = "\n".join(FUNCTION_DOC_LINES)
    assert len(raw.encode("ascii")) == 319


def test_module_docstring_is_exact():
    assert vorlane.__doc__ == MODULE_DOC


def test_all_lists_the_one_function():
    assert vorlane.__all__ == ["annotate_scanlines"]
    assert type(vorlane.__all__) is list


def test_module_holds_exactly_two_attributes_of_its_own():
    own = set(vars(vorlane)) - IMPORT_SYSTEM_ATTRIBUTES
    assert own == {"__all__", "annotate_scanlines"}, f"unexpected attributes: {sorted(own)}"


def test_module_is_a_single_file_extension():
    assert vorlane.__name__ == "vorlane"
    assert Path(vorlane.__file__).name.endswith(".so")


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__name__", "annotate_scanlines"),
        ("__qualname__", "annotate_scanlines"),
        ("__module__", "vorlane"),
        ("__text_signature__", "(x, y)"),
        ("__doc__", "\n".join(FUNCTION_DOC_LINES[3:])),
    ],
)
def test_function_attribute(attribute, expected):
    got = getattr(vorlane.annotate_scanlines, attribute)
    assert got == expected, f"{attribute} is {got!r}"


def test_function_is_bound_to_the_module():
    assert vorlane.annotate_scanlines.__self__ is vorlane
    assert type(vorlane.annotate_scanlines).__name__ == "builtin_function_or_method"


def test_doc_begins_with_the_summary():
    assert vorlane.annotate_scanlines.__doc__.startswith("Annotate in-memory scanline data")


def test_signature_has_two_positional_or_keyword_parameters():
    parameters = inspect.signature(vorlane.annotate_scanlines).parameters
    assert list(parameters) == ["x", "y"]
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize(
    "call",
    [
        lambda f, a, b: f(a, b),
        lambda f, a, b: f(x=a, y=b),
        lambda f, a, b: f(y=b, x=a),
        lambda f, a, b: f(a, y=b),
    ],
    ids=["positional", "keywords", "keywords_reversed", "mixed"],
)
def test_arguments_bind_by_position_and_keyword(call):
    x = np.array([0.0, 1.0, 2.0])
    y = np.array([0.0, 5.0, 0.0])
    expected = vorlane.annotate_scanlines(x, y)
    np.testing.assert_array_equal(call(vorlane.annotate_scanlines, x, y), expected)


def test_each_exec_step_makes_a_new_function_and_all_list():
    module_spec = importlib.util.find_spec("vorlane")
    again = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(again)
    assert again is not vorlane
    assert again.__all__ == ["annotate_scanlines"]
    assert again.__all__ is not vorlane.__all__
    assert again.annotate_scanlines is not vorlane.annotate_scanlines
    assert again.annotate_scanlines.__self__ is again
    ids = again.annotate_scanlines(np.zeros(2), np.zeros(2))
    np.testing.assert_array_equal(ids, [-1, -1])


def test_stub_declares_the_exported_function():
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    names = [
        node
        for node in tree.body
        if isinstance(node, ast.Assign)
        and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets)
    ]
    assert len(names) == 1 and ast.literal_eval(names[0].value) == ["annotate_scanlines"]
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == {"annotate_scanlines"}
    function = functions["annotate_scanlines"]
    assert [a.arg for a in function.args.args] == ["x", "y"]
    annotations = [ast.unparse(a.annotation) for a in function.args.args]
    assert annotations == ["NDArray[float64] | NDArray[float32]"] * 2
    assert ast.unparse(function.returns) == "NDArray[int32]"


NO_NUMPY_SCRIPT = r"""
import importlib.util, json, sys
sys.path.insert(0, MODULE_DIR)
assert importlib.util.find_spec("numpy") is None, "numpy is visible"
import vorlane
report = {"all": vorlane.__all__, "doc": vorlane.__doc__,
          "has_function": hasattr(vorlane, "annotate_scanlines"), "calls": []}
for arguments in [(1, 2), ([0.0], [0.0]), (None, "text"), (1, 2)]:
    try:
        vorlane.annotate_scanlines(*arguments)
        report["calls"].append(["returned"])
    except Exception as e:
        report["calls"].append(["Exception", type(e).__name__, str(e)])
    except BaseException as e:
        report["calls"].append([type(e).__name__, type(e).__mro__[1].__name__, str(e),
                                len(e.args)])
try:
    vorlane.annotate_scanlines(1)
except TypeError as e:
    report["binding"] = str(e)
print(json.dumps(report))
"""


@pytest.fixture
def numpy_free_module_dir(tmp_path: Path) -> Path:
    """A folder holding only the module file, for a path that has no NumPy on it."""
    module_file = Path(vorlane.__file__).resolve()
    (tmp_path / module_file.name).symlink_to(module_file)
    return tmp_path


def test_import_succeeds_and_only_a_call_fails_without_numpy(run_python, numpy_free_module_dir):
    # -I -S: no site-packages, no user site, no PYTHONPATH: only the standard library and the
    # folder that holds the module.
    script = NO_NUMPY_SCRIPT.replace("MODULE_DIR", repr(str(numpy_free_module_dir)))
    result = run_python(script, args=("-I", "-S"))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["all"] == ["annotate_scanlines"]
    assert report["doc"] == MODULE_DOC
    assert report["has_function"]
    assert len(report["calls"]) == 4
    for call in report["calls"]:
        assert len(call) == 4 and call[0] == "PanicException", call
        _, base, message, n_args = call
        assert (base, n_args) == ("BaseException", 1), call
        assert message.startswith("Failed to access NumPy array API capsule"), message
        assert "numpy" in message
    assert report["binding"] == ("annotate_scanlines() missing 1 required positional argument: 'y'")
    assert "Failed to access NumPy array API capsule" in result.stderr


@pytest.mark.skipif(sys.platform != "linux", reason="the .abi3.so suffix is that of Linux builds")
def test_module_file_is_abi3():
    assert Path(vorlane.__file__).name == "vorlane.abi3.so"


FIRST_USE_SCRIPT = r"""
import sys, threading
import numpy as np
import vorlane

sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
x = np.array([0.0, 1.0, 2.0, 3.0, 4.0])
y = np.array([0.0, 5.0, 0.0, 5.0, 0.0])
barrier = threading.Barrier(8)
results, errors = [], []

def first_call(dtype):
    barrier.wait()
    try:
        for _ in range(20):
            results.append(vorlane.annotate_scanlines(x.astype(dtype), y.astype(dtype)).tolist())
    except BaseException as e:
        errors.append(repr(e))

threads = [threading.Thread(target=first_call, args=(np.float64 if i % 2 else np.float32,))
           for i in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(len(results), len(set(map(tuple, results))), errors)
"""


def test_first_calls_from_many_threads_make_the_process_wide_values_once(run_python):
    result = run_python(FIRST_USE_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(maxsplit=2) == ["160", "1", "[]\n"], result.stdout
