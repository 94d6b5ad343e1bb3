"""tools/setup/install-deps.sh on a machine that has everything: it runs no
apt at all, also where both architectures of a library are installed and a
bare package name is ambiguous to dpkg. dpkg and apt-get are stand-ins on
the PATH; every other command is this machine's own, which the build has
already installed."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "tools", "setup", "install-deps.sh")

# dpkg as it answers with amd64 and i386 installed: a package of both
# architectures must be named with one; the architecture-free Wine package
# is found by its name alone.
DPKG = r"""#!/bin/sh
case "$1" in
  --print-architecture) echo amd64; exit 0 ;;
  --print-foreign-architectures) echo i386; exit 0 ;;
  -s)
    case "$2" in
      libgnutls30|libgnutls30:i386|libgnutls30:amd64)
        [ "$2" = libgnutls30 ] && { echo "dpkg-query: error: --status needs a valid package name but 'libgnutls30' is not: ambiguous package name 'libgnutls30' with more than one installed instance" >&2; exit 2; }
        exit 0 ;;
      *) exit 0 ;;
    esac ;;
esac
exit 0
"""
APT = """#!/bin/sh
echo "$0 $*" >>"%s"
exit 0
"""


class InstallDepsDecision(unittest.TestCase):
    def run_script(self, route):
        stubs = tempfile.mkdtemp(prefix="install-deps-")
        self.addCleanup(shutil.rmtree, stubs, True)
        called = os.path.join(stubs, "apt-called")
        for name, text in (("dpkg", DPKG), ("apt-get", APT % called), ("sudo", "#!/bin/sh\nexec \"$@\"\n")):
            path = os.path.join(stubs, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        env = dict(os.environ, PATH=stubs + os.pathsep + os.environ["PATH"], WINE=route)
        # Run where the checkout's build folder is not consulted.
        work = tempfile.mkdtemp(prefix="install-deps-work-")
        self.addCleanup(shutil.rmtree, work, True)
        result = subprocess.run(["sh", SCRIPT], env=env, cwd=work, capture_output=True, text=True, timeout=120)
        return result, (open(called).read() if os.path.exists(called) else "")

    def test_everything_installed_runs_no_apt(self):
        for route in ("32", "64"):
            with self.subTest(route=route):
                result, apt = self.run_script(route)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(apt, "", "apt ran on a machine that has everything:\n" + result.stdout)


if __name__ == "__main__":
    sys.exit(unittest.main())
