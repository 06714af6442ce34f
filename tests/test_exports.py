"""Exported symbols of the extension modules, and the check that wheels pass."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vela_sha

CHECK = Path(__file__).resolve().parent.parent / "scripts" / "check-extension"
MODULES = sorted(Path(vela_sha.__file__).parent.glob("_*.so"))

# A module that gets wrong what the check looks for: weak and GNU-unique
# symbols besides its init function, the machine's libcrypto, and a glibc
# symbol newer than manylinux_2_28.
FAULTY = r"""
#include <typeinfo>
__attribute__((noinline)) inline int& counter() { static int n; return n; }
struct Thrown { virtual ~Thrown() = default; };
extern "C" char __libc_single_threaded;
extern "C" int SHA256_Init(void*);
extern "C" const void* PyInit__faulty() {
  ++counter();
  return __libc_single_threaded ? &typeid(Thrown) : reinterpret_cast<const void*>(&SHA256_Init);
}
"""

CLEAN = r"""
extern "C" __attribute__((visibility("default"))) int PyInit__clean() { return 0; }
inline int& counter() { static int n; return n; }
int bump() { return ++counter(); }
"""


# The compiler and binutils run without the sanitizer runtime that
# scripts/sanitize preloads.
ENV = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "PYTHONMALLOC")}


def check(*paths):
    return subprocess.run([sys.executable, str(CHECK), *map(str, paths)], capture_output=True, text=True, env=ENV)


def test_each_module_exports_only_its_init_function():
    assert {path.name.split(".")[0] for path in MODULES} >= {"_native", "_ext"}
    result = check(*MODULES)
    assert " exports " not in result.stdout, result.stdout


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_check_names_every_fault(tmp_path):
    compiler = os.environ.get("CXX", "g++")
    for name, source, options in [("_faulty", FAULTY, ["-lcrypto"]), ("_clean", CLEAN, ["-fvisibility=hidden"])]:
        (tmp_path / f"{name}.cpp").write_text(source)
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", f"{name}.so", f"{name}.cpp", *options],
                       cwd=tmp_path, check=True, env=ENV)

    faulty = check(tmp_path / "_faulty.so")
    assert faulty.returncode == 1
    assert faulty.stdout.splitlines()[0] == "_faulty.so: 6 fault(s)"
    assert sorted(faulty.stdout.splitlines()[1:]) == [
        "  exports counter() besides PyInit__faulty",
        "  exports counter()::n besides PyInit__faulty",
        "  exports typeinfo for Thrown besides PyInit__faulty",
        "  exports typeinfo name for Thrown besides PyInit__faulty",
        "  needs GLIBC_2.32 (manylinux_2_28 allows GLIBC_2.28) for __libc_single_threaded",
        "  needs the machine's OpenSSL (libcrypto.so.3)",
    ]
    clean = check(tmp_path / "_clean.so")
    assert (clean.returncode, clean.stdout) == (0, "_clean.so: ok\n")
