import ast
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import py_quillmere as pq

BUILDER_SIGNATURES = {
    "from_yaml": "(file)",
    "from_disk": "(working_dir)",
    "buffer_size": "($self, size)",
    "bucket_size": "($self, size)",
    "arity": "($self, arity)",
    "compaction_strategy": "($self, compaction)",
    "distance_fn": "($self, distance_fn)",
    "train_threshold_samples": "($self, samples)",
    "linear_model_layer": "($self, hidden_neurons)",
    "relu_layer": "($self)",
    "train_batch_size": "($self, size)",
    "train_epochs": "($self, epochs)",
    "retrain_strategy": "($self, strategy)",
    "input_shape": "($self, shape)",
    "device": "($self, device)",
    "delete_method": "($self, delete_method)",
    "build": "($self)",
}

INDEX_SIGNATURES = {
    "search": "($self, query, k, **py_kwargs)",
    "insert": "($self, record, id)",
    "delete": "($self, id)",
    "n_buckets": "($self)",
    "n_levels": "($self)",
    "occupied": "($self)",
    "n_empty_buckets": "($self)",
    "dump": "($self, working_dir)",
    "buffer_occupied": "($self)",
    "level_occupied": "($self, level_idx)",
    "level_n_buckets": "($self, level_idx)",
    "level_total_size": "($self, level_idx)",
    "level_n_empty_buckets": "($self, level_idx)",
    "bucket_occupied": "($self, level_idx, bucket_idx)",
    "memory_usage": "($self)",
}


def test_module_attributes_in_order():
    assert pq.__all__ == ["__version__", "Quillmere", "QuillmereBuilder", "log_init"]
    assert pq.__version__ == "0.1.1"
    assert isinstance(pq.Quillmere, type) and isinstance(pq.QuillmereBuilder, type)
    assert callable(pq.log_init)


@pytest.mark.parametrize(
    "cls, table",
    [(pq.QuillmereBuilder, BUILDER_SIGNATURES), (pq.Quillmere, INDEX_SIGNATURES)],
    ids=["builder", "index"],
)
def test_text_signatures(cls, table):
    public = {name for name in vars(cls) if not name.startswith("_")}
    assert public == set(table)
    for name, signature in table.items():
        assert getattr(cls, name).__text_signature__ == signature, name
    assert cls.__text_signature__ == "()"
    assert not cls.__doc__


def stub_parameters(node):
    """Parameter names of a function in the stub, as its runtime text signature writes them."""
    args = node.args
    names = [("$self" if a.arg == "self" else a.arg) for a in args.posonlyargs + args.args]
    return names, [a.arg for a in args.kwonlyargs]


def test_type_stub_ships_beside_the_module_and_matches_it():
    stub = ast.parse(pathlib.Path(pq.__file__).with_name("py_quillmere.pyi").read_text())
    classes = {n.name: n for n in stub.body if isinstance(n, ast.ClassDef)}
    functions = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert set(classes) | set(functions) == set(pq.__all__) - {"__version__"}
    for name, node in [*classes.items(), *functions.items()]:
        runtime = getattr(pq, name)
        methods = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)} if name in classes else {name: node}
        if name in classes:
            assert set(methods) - {"__init__"} == {m for m in vars(runtime) if not m.startswith("_")}, name
            runtime_of = lambda m: getattr(runtime, m)  # noqa: E731
        else:
            runtime_of = lambda m: runtime  # noqa: E731
        for method, fn in methods.items():
            if method == "__init__":
                continue
            assert ast.get_docstring(fn), f"{name}.{method} has no documentation"
            names, keywords = stub_parameters(fn)
            text = runtime_of(method).__text_signature__.strip("()").split(", ")
            # The runtime takes the search keywords as **py_kwargs; the stub names them.
            expected = [t for t in text if t and not t.startswith("**")]
            assert names == expected, f"{name}.{method}"
            assert keywords == (["n_candidates", "search_strategy"] if method == "search" else []), method


def test_log_init_signature():
    assert pq.log_init.__text_signature__ == "(target, level)"
    assert str(inspect.signature(pq.log_init)) == "(target, level)"


def test_static_methods_need_no_instance():
    with pytest.raises(RuntimeError, match="^File operation failed: "):
        pq.QuillmereBuilder.from_yaml("/nonexistent/quillmere.yaml")
    with pytest.raises(RuntimeError, match="^File operation failed: "):
        pq.QuillmereBuilder.from_disk("/nonexistent/quillmere-dir")


@pytest.mark.parametrize(
    "call",
    [
        lambda: pq.Quillmere.n_levels(pq.QuillmereBuilder()),
        lambda: pq.Quillmere.insert(pq.QuillmereBuilder(), None, 0),
        lambda: pq.QuillmereBuilder.arity(pq.Quillmere(), 2),
        lambda: pq.QuillmereBuilder.build(object()),
    ],
)
def test_wrong_self_is_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: pq.QuillmereBuilder(1),
        lambda: pq.QuillmereBuilder(size=1),
        lambda: pq.Quillmere(1),
        lambda: pq.QuillmereBuilder().arity(),
        lambda: pq.QuillmereBuilder().arity(1, 2),
        lambda: pq.QuillmereBuilder().arity(size=1),
        lambda: pq.QuillmereBuilder().relu_layer(1),
        lambda: pq.Quillmere().search(),
        lambda: pq.Quillmere().delete(1, id=1),
    ],
)
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments_bind():
    builder = pq.QuillmereBuilder().arity(arity=4).input_shape(shape=3)
    assert builder is not None


def run_python(code, timeout=120):
    env = dict(os.environ)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def test_repeated_import_returns_the_same_module():
    result = run_python(
        """
        import sys, importlib
        import py_quillmere as first
        del sys.modules["py_quillmere"]
        import py_quillmere as second
        assert first is second, (first, second)
        assert second.__all__ == ["__version__", "Quillmere", "QuillmereBuilder", "log_init"]
        assert second.Quillmere is first.Quillmere
        print("same")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


SUBINTERPRETER = r"""
import os, sys, tempfile
import py_quillmere

out = tempfile.mktemp()
code = (
    "try:\n"
    "    import py_quillmere\n"
    "    outcome = 'imported'\n"
    "except ImportError:\n"
    "    outcome = 'ImportError'\n"
    "except BaseException as e:\n"
    "    outcome = 'other:' + type(e).__name__\n"
    f"with open({out!r}, 'w') as f:\n"
    "    f.write(outcome)\n"
)
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _testcapi
    _testcapi.run_in_subinterp(code)
else:
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
with open(out) as f:
    print(f.read())
os.unlink(out)
# The main interpreter keeps working.
assert py_quillmere.QuillmereBuilder() is not None
"""


def test_sub_interpreter_import_is_refused():
    result = run_python(SUBINTERPRETER)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"
