"""The wheel's tag: a wheel that bundles the C library holds machine code, so it
is a platform wheel (py3-none-linux_x86_64: any Python 3, no extension module)
installed beside other compiled packages; without the library it is pure
(py3-none-any) and finds the library elsewhere at import."""
import os

from setuptools import Distribution, setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: a plain install still works
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
BUNDLED = any(os.path.isfile(os.path.join(HERE, "marlune", name)) for name in ("libmarlune.so.1", "Marlune.dll"))


class BundlingDistribution(Distribution):
    def has_ext_modules(self):
        return BUNDLED


commands = {}
if bdist_wheel is not None and BUNDLED:
    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel

# Here rather than in pyproject.toml, whose [tool.setuptools] table makes Debian 12's setuptools (66)
# warn on every build that its support is still beta.
setup(cmdclass=commands, distclass=BundlingDistribution, packages=["marlune"],
      # py.typed always; the C library when the build put a copy in the package folder.
      package_data={"marlune": ["py.typed", "libmarlune.so.1", "Marlune.dll"]})
