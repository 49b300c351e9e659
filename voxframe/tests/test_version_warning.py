"""The version check: one build loaded by other interpreters warns when the minor versions differ."""
import importlib.util
import os
import re
import sys
import unittest

import support

LOAD = """
import importlib.machinery, importlib.util, sys, warnings
path = {path!r}
loader = importlib.machinery.ExtensionFileLoader("voxframe", path)
found = importlib.util.spec_from_file_location("voxframe", path, loader=loader)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
for w in caught:
    print(w.category.__name__, w.message)
record = module.VoxFrame(1, 0, b"\\0\\0\\3\\xe8", 0, b"abc")
print(sys.version[:3], record.get_timestamp_ms(), record.get_data())
"""

LOAD_AS_ERROR = """
import importlib.machinery, importlib.util, traceback, warnings
path = {path!r}
loader = importlib.machinery.ExtensionFileLoader("voxframe", path)
found = importlib.util.spec_from_file_location("voxframe", path, loader=loader)
warnings.simplefilter("error", RuntimeWarning)
try:
    loader.exec_module(importlib.util.module_from_spec(found))
except RuntimeWarning as exc:
    print(traceback.extract_tb(exc.__traceback__)[-1].name)
warnings.simplefilter("ignore", RuntimeWarning)
module = importlib.util.module_from_spec(found)
loader.exec_module(module)
print(module.VoxFrame(1, 0, b"1234", 0, b"ab").get_data())
"""


def expected_warning(build, running):
    if build[0] == running[0] and build[2] == running[2]:
        return None
    return ("RuntimeWarning compiletime version %s of module 'voxframe' does not match runtime "
            "version %s" % (build, running))


class VersionWarningTest(unittest.TestCase):
    def setUp(self):
        self.build = os.environ.get("VOXFRAME_BUILD_VERSION", "")
        self.path = importlib.util.find_spec("voxframe").origin
        # Without others, the interpreter under test loads the build through a path.
        self.pythons = [p for p in os.environ.get("VOXFRAME_OTHER_PYTHONS", "").split("|")
                        if p and self.loads(p)]
        self.pythons = self.pythons or [sys.executable]

    def loads(self, python):
        """Whether python can load the build: an earlier version lacks functions it calls."""
        named = re.search(r"python(\d+)\.(\d+)$", python)
        return not named or not self.build or \
            tuple(map(int, named.groups())) >= tuple(map(int, self.build.split(".")))

    def load(self, python, code):
        out = support.run_python(code.format(path=self.path),
                                 command=support.python_command(python))
        return out.splitlines()

    def test_warning_names_the_first_three_characters(self):
        for python in self.pythons:
            with self.subTest(python=python):
                lines = self.load(python, LOAD)
                running = lines[-1].split()[0]
                self.assertEqual(lines[-1].split()[1:], ["1000", "b'abc'"])
                warning = expected_warning(self.build, running)
                self.assertEqual(lines[:-1], [warning] if warning else [])
                if self.build == "3.8":
                    expected = {"3.8": [], "3.9": [expected_warning("3.8", "3.9")],
                                "3.1": [expected_warning("3.8", "3.1")]}
                    self.assertEqual(lines[:-1], expected[running])

    def test_warning_made_an_error_fails_the_import(self):
        for python in self.pythons:
            lines = self.load(python, LOAD)
            if expected_warning(self.build, lines[-1].split()[0]):
                self.assertEqual(self.load(python, LOAD_AS_ERROR), ["init voxframe", "b'ab'"])


if __name__ == "__main__":
    unittest.main()
