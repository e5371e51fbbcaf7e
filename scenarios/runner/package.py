"""The Windows Installer package: the statements that build one from the case's medium, and the
checks of what msiexec placed and installed (cases under Wine only)."""
import shutil
import subprocess
import sys
from pathlib import Path

from .backend import run_program
from .common import CaseError, Unavailable, fields

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "release" / "msi"))
import make_msi  # noqa: E402  (the Windows Installer package's builder)

# Where the package places the medium, and where the installer lists an installed product (the
# key of its ProductCode).
PACKAGE_FOLDER = "C:\\Program Files\\" + make_msi.INSTALL_FOLDER
UNINSTALL = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# Where devtool writes msiexec's exit code (InstallerRuns.msiexec).
MSIEXEC_EXIT = "C:\\msiexec.exit"


def product_code(version):
    return make_msi.product_code(version)


def package(check, what):
    """The Windows Installer package of the medium on D: as it stands (every file of it), built
    by make_msi.py with the build's custom action, at the Windows path PATH."""
    path, _, options = what.partition(" ")
    version, action = fields(options).get("version"), check.backend.config.get("msi_action")
    if not version:
        raise CaseError(f"package {what}: no version=X.Y.Z")
    if not action:
        raise Unavailable("the Windows Installer package is x86 only: this build has no custom "
                          "action")
    medium, target = check.backend.host_path("D:\\"), check.backend.host_path(path)
    files = sorted(file.relative_to(medium).as_posix() for file in medium.rglob("*")
                   if file.is_file())
    target.parent.mkdir(parents=True, exist_ok=True)
    try:
        make_msi.build(version, medium, files, action, target)
    except make_msi.PackageError as error:
        raise CaseError(f"package {what}: {error}")
    check.backend.packaged(make_msi.product_code(version))
    check.package = {file: (medium / file).read_bytes() for file in files}


def placed_path(path):
    return PACKAGE_FOLDER + "\\" + path.replace("/", "\\")


def check_placed(check, _):
    """Every file of the last package built lies in the package's folder, as in the package."""
    for path, content in (check.package or {}).items():
        host = check.backend.host_path(placed_path(path))
        if not host.is_file():
            check.fail(f"{path} is not placed in {PACKAGE_FOLDER}")
        elif host.read_bytes() != content:
            check.fail(f"{path} in {PACKAGE_FOLDER} is not the package's")
    if not check.package:
        check.fail("placed: no package was built")


def check_not_placed(check, _):
    """No file of the last package built lies in the package's folder."""
    for path in check.package or {}:
        if check.backend.host_path(placed_path(path)).exists():
            check.fail(f"{path} is left in {PACKAGE_FOLDER}")
    if not check.package:
        check.fail("not-placed: no package was built")


def check_product(check, version, installed=True):
    """The installer lists the product of the package of VERSION as installed (or not)."""
    found = check.backend.product_version(check, make_msi.product_code(version))
    if (found == version) != installed:
        check.fail(f"the product of version {version} is {'not ' if installed else ''}installed"
                   f" (the installer lists {found})")


def check_logged(check, words, logged=True):
    """The file at the Windows path FILE (an installer's log: ANSI or UTF-16) holds TEXT (or,
    there, does not)."""
    path, _, text = words.partition(" ")
    host = check.backend.host_path(path)
    if not host.is_file():
        return check.fail(f"{path}: no such file")
    if (text in host.read_bytes().replace(b"\0", b"").decode("latin-1")) != logged:
        check.fail(f"{path} {'does not hold' if logged else 'holds'} '{text}'")


PACKAGE_CHECKS = {
    "placed": check_placed, "not-placed": check_not_placed, "product": check_product,
    "no-product": lambda check, version: check_product(check, version, False),
    "logged": check_logged,
    "not-logged": lambda check, words: check_logged(check, words, False),
}


class InstallerRuns:
    """What the Wine backend does for the package's cases: msiexec with its whole exit code, and
    each case starting without the products that earlier cases installed."""

    def msiexec(self, check, command, env, stdin, folder, out):
        """msiexec started by devtool, which writes its whole exit code (3010 comes to Linux as
        194)."""
        exit_file = self.host_path(MSIEXEC_EXIT)
        exit_file.unlink(missing_ok=True)
        result = run_program(check, [self.loader, str(self.programs / "devtool.exe"), "run",
                                     MSIEXEC_EXIT, *command], env, stdin, folder, out)
        if result.returncode != 0:
            check.fail(f"devtool run: exit code {result.returncode}")
        code = int(exit_file.read_text()) if exit_file.exists() else None
        return subprocess.CompletedProcess(result.args, code, result.stdout, result.stderr)

    def packaged(self, product_code):
        with open(self.work / "packaged", "a", encoding="ascii") as packaged:
            packaged.write(product_code + "\n")

    def uninstall_packages(self, check):
        """Uninstalls each product that a case's package installed (the installer then leaves
        the drivers alone), and removes what is left in the package's folder."""
        packaged = self.work / "packaged"
        codes = set(packaged.read_text(encoding="ascii").split()) if packaged.exists() else set()
        for code in sorted(codes):
            if self.product_version(check, code) is not None:
                self.quietly(self.loader, "msiexec", "/x", "{" + code + "}", "/qn")
        packaged.unlink(missing_ok=True)
        shutil.rmtree(self.host_path(PACKAGE_FOLDER), ignore_errors=True)

    def product_version(self, check, product_code):
        """The version that the installer lists for an installed product, None when none."""
        value = self.registry_value(check, f"{UNINSTALL}\\{{{product_code}}}", "DisplayVersion")
        return value[1] if value else None
