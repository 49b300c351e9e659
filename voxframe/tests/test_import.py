"""Importing voxframe: its namespace, re-import, one interpreter per process, failed imports."""
import builtins
import ctypes
import importlib
import os
import shutil
import subprocess
import sys
import typing
import unittest

import support
import voxframe

SUBINTERPRETER_IMPORT = """
import voxframe, _xxsubinterpreters as interpreters
other = interpreters.create()
try:
    interpreters.run_string(other, "import voxframe")
except interpreters.RunFailedError as exc:
    print(exc)
else:
    print("imported")
"""

SECOND_MODULE_OBJECT = """
import importlib.util, sys
found = importlib.util.find_spec("voxframe")
first = importlib.util.module_from_spec(found)
second = importlib.util.module_from_spec(found)
found.loader.exec_module(first)
try:
    found.loader.exec_module(second)
except RuntimeError as exc:
    print(first is not second, exc)
print(importlib.util.module_from_spec(found) is first, sys.modules["voxframe"] is first)
"""

FAILED_IMPORT = """
import sys, traceback
{breakage}
try:
    import voxframe
except Exception as exc:
    entries = traceback.extract_tb(exc.__traceback__)
    print(type(exc).__name__, exc, "|", entries[-1].name, "|", "voxframe" in sys.modules)
{repair}
import voxframe
print(voxframe.VoxFrame(1, 0, b"1234", 0, b"ab").get_data())
"""


class NamespaceTest(unittest.TestCase):
    def test_namespace(self):
        ns = vars(voxframe)
        self.assertIs(ns["__builtins__"], builtins)
        self.assertIs(voxframe.Union, typing.Union)
        self.assertIs(voxframe.c_uint16, ctypes.c_uint16)
        self.assertIs(voxframe.Structure, ctypes.Structure)
        self.assertEqual(voxframe.__test__, {})
        self.assertIsNone(voxframe.__doc__)
        self.assertEqual(voxframe.__name__, "voxframe")
        self.assertEqual(voxframe.__file__, voxframe.__spec__.origin)
        self.assertIs(voxframe.__loader__, voxframe.__spec__.loader)
        self.assertEqual(voxframe.__package__, "")
        self.assertNotIn("__path__", ns)
        public = [name for name in vars(ctypes) if not name.startswith("_")]
        for name in public:
            if name != "Union":
                self.assertIs(ns[name], getattr(ctypes, name), name)
        extra = set(ns) - set(public) - {"VoxFrame", "__test__", "__builtins__", "__name__",
                                         "__doc__", "__loader__", "__file__", "__package__",
                                         "__spec__"}
        self.assertEqual(extra, set())

    def test_exports_one_symbol_and_needs_no_library(self):
        readelf = shutil.which("readelf")
        if readelf is None:
            self.skipTest("no readelf")
        if os.environ.get("VOXFRAME_SANITIZED"):
            self.skipTest("a sanitizer build needs its runtimes")
        dynamic = subprocess.run([readelf, "-d", "-W", voxframe.__file__], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=True).stdout
        self.assertNotIn("NEEDED", dynamic)
        symbols = subprocess.run([readelf, "--dyn-syms", "-W", voxframe.__file__],
                                 stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        defined = [line.split()[-1] for line in symbols.splitlines()
                   if len(line.split()) >= 8 and line.split()[6] != "UND"
                   and line.split()[4] in ("GLOBAL", "WEAK")]
        self.assertEqual(defined, ["PyInit_voxframe"])
        # Without NEEDED entries every reference binds unversioned, to the oldest version the
        # process offers: only the interpreter's API and C runtime calls with one stable ABI may
        # appear (a libstdc++ call would fail the import, a compat-versioned libc call would
        # silently get the old ABI).
        runtime = {"memcpy", "memmove", "memset", "__memcpy_chk", "__memmove_chk", "__memset_chk",
                   "__assert_fail", "__stack_chk_fail", "__stack_chk_guard", "__cxa_finalize",
                   "__gmon_start__", "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
                   "raise", "abort"}
        undefined = {line.split()[7] for line in symbols.splitlines()
                     if len(line.split()) >= 8 and line.split()[6] == "UND"}
        other = {name for name in undefined
                 if not name.startswith(("Py", "_Py")) and name not in runtime}
        self.assertEqual(other, set())


class ReimportTest(unittest.TestCase):
    def test_second_import_gives_the_same_object(self):
        self.assertIs(importlib.import_module("voxframe"), voxframe)

    def test_import_after_removal_gives_the_same_object_unchanged(self):
        before = dict(vars(voxframe))
        del sys.modules["voxframe"]
        again = importlib.import_module("voxframe")
        self.assertIs(again, voxframe)
        self.assertIs(sys.modules["voxframe"], voxframe)
        after = vars(again)
        self.assertEqual(set(after), set(before))
        for name, value in before.items():
            if name != "__spec__":  # the import system sets a new one each time
                self.assertIs(after[name], value, name)

    def test_exec_of_another_module_object_fails(self):
        out = support.run_python(SECOND_MODULE_OBJECT)
        self.assertEqual(out.splitlines(), [
            "True Module 'voxframe' has already been imported. Re-initialisation is not supported.",
            "True True"])


class InterpreterTest(unittest.TestCase):
    def test_second_interpreter_is_refused(self):
        out = support.run_python(SUBINTERPRETER_IMPORT)
        # The wrapping of the error text differs between interpreter versions.
        self.assertIn("ImportError", out)
        self.assertTrue(out.strip().endswith(
            ": Interpreter change detected - this module can only be loaded into one interpreter "
            "per process."), out)


class FailedImportTest(unittest.TestCase):
    def test_failed_exec_drops_the_module_and_a_retry_succeeds(self):
        cases = [  # breakage, repair, first line printed
            ("sys.modules['ctypes'] = 5", "del sys.modules['ctypes']",
             "ImportError from-import-* object has no __dict__ and no __all__ | init voxframe | False"),
            ("import typing; saved = typing.Union; del typing.Union", "typing.Union = saved",
             "ImportError cannot import name Union | init voxframe | False"),
        ]
        for breakage, repair, first in cases:
            with self.subTest(breakage=breakage):
                out = support.run_python(FAILED_IMPORT.format(breakage=breakage, repair=repair))
                self.assertEqual(out.splitlines(), [first, "b'ab'"])


if __name__ == "__main__":
    unittest.main()
