"""Module initialisation: namespace, function objects, import rules."""

import builtins
import importlib
import inspect
import pickle
import textwrap

import numpy as np
import pytest

from support import run_python
from vantor.utils.numerics.accel import rebin, respgrid

RESPGRID = "vantor.utils.numerics.accel.respgrid"
REBIN = "vantor.utils.numerics.accel.rebin"
BOTH = pytest.mark.parametrize("name", [RESPGRID, REBIN])


@pytest.mark.parametrize(
    ("module", "functions"),
    [(respgrid, {"calculate_regions", "respgrid_cy"}), (rebin, {"rebin_histogram_cy"})],
)
def test_namespace(module, functions):
    public = {name for name in vars(module) if not name.startswith("__")}
    assert public == {"np"} | functions
    assert module.np is np
    assert module.__builtins__ is builtins
    assert module.__test__ == {}
    spec = module.__spec__
    assert module.__file__ == spec.origin
    assert module.__loader__ is spec.loader
    assert module.__package__ == "vantor.utils.numerics.accel"
    assert not hasattr(module, "__path__")


@pytest.mark.parametrize(
    ("module", "name", "first_line", "varnames"),
    [
        (respgrid, "calculate_regions", 69, ("E_p", "max_value", "has_escape_peaks")),
        (respgrid, "respgrid_cy", 162, ("response_matrix", "ref_indices", "ref_E_axis",
                                        "requested_indices", "requested_E_axis")),
        (rebin, "rebin_histogram_cy", 3, ("energy_axis", "count_axis", "new_energy_axis")),
    ],
)
def test_function_objects(module, name, first_line, varnames):
    fn = getattr(module, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, module.__name__)
    assert fn.__doc__ is None
    assert fn.__globals__ is vars(module)
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    code = fn.__code__
    assert code.co_filename == module.__name__.replace(".", "/")
    assert code.co_firstlineno == first_line
    assert code.co_name == name
    assert code.co_varnames[: code.co_argcount] == varnames
    if module is respgrid:
        assert code.co_varnames == varnames
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert str(inspect.signature(fn)) == f"({', '.join(varnames)})"
    assert inspect.isroutine(fn)
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_function_objects_are_not_bound_as_methods():
    class Holder:
        regions = respgrid.calculate_regions

    assert Holder().regions is respgrid.calculate_regions


@BOTH
def test_import_again_gives_the_same_module(name):
    run_python(f"""
        import importlib, sys
        first = importlib.import_module("{name}")
        first.caller_value = 42
        del sys.modules["{name}"]
        second = importlib.import_module("{name}")
        assert second is first and second.caller_value == 42
        assert importlib.reload(second) is first
    """)


@BOTH
def test_second_module_object_is_refused(name):
    proc = run_python(f"""
        import importlib.util
        spec = importlib.util.find_spec("{name}")
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        assert a is not b
        spec.loader.exec_module(a)
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
    """)
    assert proc.stdout == (
        f"Module '{name.rsplit('.', 1)[1]}' has already been imported. "
        "Re-initialisation is not supported.\n")


def test_create_step_copies_the_spec():
    run_python(f"""
        import _imp, importlib.util, types
        origin = importlib.util.find_spec("{RESPGRID}").origin
        bare = _imp.create_dynamic(types.SimpleNamespace(name="{RESPGRID}", origin=origin))
        assert bare.__file__ == origin and bare.__loader__ is None
        assert not hasattr(bare, "__path__")
        full = _imp.create_dynamic(types.SimpleNamespace(
            name="{RESPGRID}", origin=origin, loader="L", parent="P",
            submodule_search_locations=["where"]))
        assert (full.__loader__, full.__package__, full.__path__) == ("L", "P", ["where"])
        assert full is not bare
    """)


@BOTH
def test_second_interpreter_is_refused(name):
    proc = run_python(f"""
        import _xxsubinterpreters as interpreters
        import {name}
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, '''if True:
            try:
                import {name}
            except ImportError as e:
                print("ImportError:", e)''')
    """)
    assert proc.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.\n")


INIT_FAILURE = """
    import sys, traceback, types, ctypes
    import numpy
    core = sys.modules["numpy._core._multiarray_umath"]
    {setup}
    try:
        import {module}
    except BaseException as e:
        entries = [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                   if f.filename.startswith("vantor/")]
        print(type(e).__name__, e, sep=": ")
        print(entries)
    else:
        print("imported")
    {after}
"""

FAKE_TABLE = textwrap.dedent("""\
    capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    capsule_pointer.restype = ctypes.c_void_p
    capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    real = ctypes.cast(capsule_pointer(core._ARRAY_API, None), ctypes.POINTER(ctypes.c_void_p))
    table = (ctypes.c_void_p * 212)(*[real[i] for i in range(212)])
    answer = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {value})
    table[{slot}] = ctypes.cast(answer, ctypes.c_void_p)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    fake = types.ModuleType("fake")
    fake._ARRAY_API = new_capsule(table, None, None)
    sys.modules["numpy._core._multiarray_umath"] = fake
""")

INIT_ENTRY = [("vantor/utils/numerics/accel/respgrid", f"init {RESPGRID}", 1)]


@pytest.mark.parametrize(
    ("setup", "detail"),
    [
        ('sys.modules["numpy._core._multiarray_umath"] = types.ModuleType("empty")',
         "has no attribute '_ARRAY_API'"),
        ('sys.modules["numpy._core._multiarray_umath"] = types.SimpleNamespace(_ARRAY_API=5)',
         "_ARRAY_API is not PyCapsule object"),
        # An ABI newer than NumPy 2's, a feature level below NumPy 1.25's,
        # big-endian data.
        (FAKE_TABLE.format(slot=0, value=0x3000000), "ABI version"),
        (FAKE_TABLE.format(slot=211, value=0x10), "C-API version 0x10"),
        (FAKE_TABLE.format(slot=210, value=2), "endianness"),
    ],
)
def test_incompatible_numpy_fails_the_import(setup, detail):
    proc = run_python(INIT_FAILURE.format(
        setup=setup.replace("\n", "\n    "), module=RESPGRID,
        after=f"""
    sys.modules["numpy._core._multiarray_umath"] = core
    import {RESPGRID}
    print("then imported")"""))
    message, entries, then = proc.stdout.splitlines()
    assert message.startswith("ImportError: numpy.core.multiarray failed to import")
    assert detail in message
    assert eval(entries) == INIT_ENTRY
    # A failed initialisation is forgotten: the next import runs it again.
    assert then == "then imported"


def test_numpy_core_found_at_its_former_location():
    proc = run_python(INIT_FAILURE.format(
        setup="""sys.modules["numpy._core._multiarray_umath"] = None
    sys.modules["numpy.core._multiarray_umath"] = types.SimpleNamespace(
        _ARRAY_API=core._ARRAY_API)""",
        module=RESPGRID, after=""))
    assert proc.stdout == "imported\n"


@pytest.mark.parametrize(
    ("setup", "message"),
    [
        ("numpy.ufunc = 3", "TypeError: numpy.ufunc is not a type object"),
        ("numpy.dtype = object",
         "ValueError: numpy.dtype size changed, may indicate binary incompatibility. "
         "Expected {} from C header, got 16 from PyObject"),
        ("import warnings; warnings.simplefilter('error')\n    numpy.character = float",
         "RuntimeWarning: numpy.character size changed, may indicate binary "
         "incompatibility. Expected 16 from C header, got 24 from PyObject"),
    ],
)
def test_type_layout_checks(setup, message):
    proc = run_python(INIT_FAILURE.format(setup=setup, module=RESPGRID, after=""))
    got, entries = proc.stdout.splitlines()
    if "{}" in message:
        prefix, suffix = message.split("{}")
        assert got.startswith(prefix) and got.endswith(suffix)
    else:
        assert got == message
    assert eval(entries) == INIT_ENTRY


def test_larger_scalar_type_only_warns():
    proc = run_python(INIT_FAILURE.format(
        setup="numpy.generic = float", module=RESPGRID, after=""))
    assert proc.stdout == "imported\n"
    assert "RuntimeWarning: numpy.generic size changed" in proc.stderr


def test_rebin_without_numpy():
    proc = run_python(INIT_FAILURE.format(
        setup='sys.modules["numpy"] = None', module=REBIN, after=""))
    message, entries = proc.stdout.splitlines()
    assert message == "ModuleNotFoundError: import of numpy halted; None in sys.modules"
    assert eval(entries) == [
        ("vantor/utils/numerics/accel/rebin", f"init {REBIN}", 1)]
