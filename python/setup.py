"""The wheel's tag: a wheel that bundles the C library holds machine code and is
tagged for this platform (py3-none-linux_x86_64); without it, pure (py3-none-any)."""
import os

from setuptools import setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: an sdist or a plain install still works
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
BUNDLED = any(os.path.isfile(os.path.join(HERE, "marlune", name)) for name in ("libmarlune.so.1", "Marlune.dll"))

commands = {}
if bdist_wheel is not None and BUNDLED:
    class PlatformWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands)
