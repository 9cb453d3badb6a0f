"""One interpreter per process, whichever comes first: a module first imported
by a subinterpreter belongs to it, and the main interpreter is refused, also
once that subinterpreter is gone. (test_init.py covers the main interpreter
first.)"""

import pytest

from support import run_python

REFUSED = ("ImportError: Interpreter change detected - this module can only be loaded "
           "into one interpreter per process.")


@pytest.mark.parametrize("name", ["vantor.utils.numerics.accel.respgrid",
                                  "vantor.utils.numerics.accel.rebin"])
def test_subinterpreter_first_then_main_is_refused(name):
    proc = run_python(f"""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, '''if True:
            import warnings
            warnings.simplefilter("ignore")   # NumPy warns about subinterpreters
            import {name}
            print("imported in the subinterpreter")''')
        for attempt in ("while it lives", "after it is gone"):
            try:
                import {name}
            except ImportError as e:
                print("ImportError:", e)
            else:
                print("imported")
            if attempt == "while it lives":
                interpreters.destroy(interp)
    """)
    assert proc.stdout.splitlines() == ["imported in the subinterpreter", REFUSED, REFUSED]
