"""The Debian programs the tests and tools run, found where Debian installs them or named with their package."""
import shutil

# Daemons and munin's own programs are installed off a user's PATH.
_ELSEWHERE = "/usr/sbin:/sbin:/usr/share/munin"


def tool(name, package):
    path = shutil.which(name) or shutil.which(name, path=_ELSEWHERE)
    if path is None:
        raise AssertionError(f"{name} is missing (Debian package {package})")
    return path
