#!/usr/bin/env python3
"""The runner's own tests: how it reads the setup log, the journal's exit entry, the launcher's
exit code under Wine and the machine statements of the log and of WOW64, without a build (CTest:
scenario_runner)."""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

sys.path.insert(0, str(Path(__file__).resolve().parent))

from runner import backend as backend_module  # noqa: E402
from runner import case as case_module  # noqa: E402
from runner.common import CaseError  # noqa: E402
from runner.journal import check_journal, whole_exit_code  # noqa: E402
from runner.log import check_log  # noqa: E402
from runner.machine import FILLER_LINE_BYTES, Machine, large_file  # noqa: E402
from runner.simulator import Simulator  # noqa: E402
from runner import wine as wine_module  # noqa: E402


class FakeBackend:
    def __init__(self, root, time_by_form):
        self.root, self.log_time_by_form = Path(root), time_by_form
        self.config = {"version": "1.000.000"}  # what {version} in an expected log line reads

    def host_path(self, path):
        return self.root / path[0] / path[3:].replace("\\", "/")


class FakeCheck:
    """What the functions under test use of a check: its backend, its failures, its files."""

    def __init__(self, root, time_by_form=False):
        self.backend, self.failures, self.laid_out = FakeBackend(root, time_by_form), [], {}
        self.log_file, self.machine = "C:\\WINNT\\ZOVSETUP.LOG", None

    def fail(self, message):
        self.failures.append(message)


class FakeCase:
    def __init__(self, *statements, system="C:\\WINNT\\system32"):
        self.name, self.system, self.lines = "fake", system, list(statements)

    def machine_lines(self):
        return self.lines


OLD = b"2000-01-01 00:00:00 filler 000000\r\n"
ADDED = b"2026-12-09 18:40:01 Setup started: D:\\win2000\\SETUP.EXE /Q\r\n" \
        b"2026-12-09 18:40:02 Windows version 5.0.2195\r\n" \
        b"2026-12-09 18:40:03 Exit code 0\r\n"
EXACT = ["2026-12-09 18:40:01 Setup started: D:\\win2000\\SETUP.EXE /Q",
         "2026-12-09 18:40:02 Windows version 5.0.2195", "2026-12-09 18:40:03 Exit code 0"]


class LogTest(unittest.TestCase):
    def failures(self, expected, before, after, time_by_form=False, old_log=None):
        with tempfile.TemporaryDirectory() as root:
            check = FakeCheck(root, time_by_form)
            if old_log is not None:  # the log that the run set aside
                old = check.backend.host_path("C:\\WINNT\\ZOVSETUP.OLD")
                old.parent.mkdir(parents=True)
                old.write_bytes(old_log)
            with mock.patch("builtins.print"):
                check_log(check, expected, before, after, "utf-8")
            return check.failures

    def test_matching(self):
        other_time = [re.sub(r"^2026-12-09 18", "1999-01-31 07", line) for line in EXACT]
        table = [  # expected, time matched by its form, whether the added lines match
            (EXACT, False, True),
            (EXACT, True, True),
            (other_time, False, False),
            (other_time, True, True),
            (EXACT[:2], False, False),
            (EXACT + EXACT[2:], False, False),
            ([EXACT[0], "...", EXACT[2]], False, True),
            (["...", EXACT[2]], True, True),
            (["...", EXACT[1], "...", EXACT[1]], False, False),
            (["..."], False, True),
            ([EXACT[0], "2026-12-09 18:40:02 Windows version {*}", EXACT[2]], False, True),
            ([EXACT[0], "2026-12-09 18:40:02 Windows {*} 6.1", EXACT[2]], False, False),
            ([EXACT[0], EXACT[1] + "X", EXACT[2]], True, False),
            ([EXACT[0].replace("SETUP", "setup"), *EXACT[1:]], False, False),
        ]
        for expected, by_form, wanted in table:
            with self.subTest(expected=expected, by_form=by_form):
                failures = self.failures(expected, OLD, OLD + ADDED, by_form)
                self.assertEqual(not failures, wanted, failures)

    def test_what_the_run_added(self):
        table = [  # expected, before, after, the failure (None: none)
            ([], None, None, None),
            ([], OLD, OLD, None),
            (["..."], None, None, None),
            ([], OLD, OLD + ADDED, "differ"),
            (EXACT, None, ADDED, None),
            (EXACT, OLD, ADDED + OLD, "did not append"),
            (EXACT, OLD, None, "it is gone"),
            (EXACT, OLD, OLD + ADDED[:-2], "does not end in CR LF"),
            (EXACT, OLD, OLD + ADDED.replace(b"\r\n", b"\n"), "does not end in CR LF"),
            (EXACT[:1], None, ADDED[:ADDED.index(b"\n") - 1] + b"\n\r\n", "differ"),
        ]
        for expected, before, after, failure in table:
            with self.subTest(expected=expected, before=before, after=after):
                failures = self.failures(expected, before, after)
                if failure is None:
                    self.assertEqual(failures, [])
                else:
                    self.assertEqual(len(failures), 1, failures)
                    self.assertIn(failure, failures[0])

    def test_a_log_set_aside_whole_begins_anew(self):
        table = [  # what lies in ZOVSETUP.OLD after the run, the failure (None: none)
            (OLD, None),
            (OLD + b"x", "did not append"),
            (None, "did not append"),
        ]
        for old_log, failure in table:
            with self.subTest(old_log=old_log):
                failures = self.failures(EXACT, OLD, ADDED, old_log=old_log)
                self.assertEqual([f for f in failures if failure is None or failure not in f], [])
                self.assertEqual(len(failures), 0 if failure is None else 1)

    def test_the_version_stands_for_the_programs_stamp(self):
        added = b"2026-12-09 18:40:01 Setup 1.000.000 started\r\n"
        self.assertEqual(self.failures(["2026-12-09 18:40:01 Setup {version} started"], None, added),
                         [])
        self.assertEqual(len(self.failures(["2026-12-09 18:40:01 Setup {version} started"], None,
                                           added.replace(b"1.000.000", b"1.000.001"))), 1)

    def test_an_expected_line_begins_with_its_time(self):
        for line in ("Setup started", "{*} Setup started", "2026-12-09 18:40 Setup"):
            with self.subTest(line=line), self.assertRaises(CaseError):
                self.failures([line], None, ADDED)


class JournalTest(unittest.TestCase):
    def test_the_exit_entry(self):
        entries = [{"op": "CopyFileA", "ok": True}, {"op": "ExitProcess", "ok": True,
                                                      "exit_code": 3010}]
        table = [  # status, entries, the exit code, whether that fails
            (3010 & 0xFF, entries, 3010, False),
            (0, entries, 3010, True),
            (1, entries[:1], 1, False),
            (None, entries, None, False),
        ]
        for status, journal, code, fails in table:
            with self.subTest(status=status, journal=journal):
                check = FakeCheck("/nonexistent")
                self.assertEqual(whole_exit_code(check, status, journal), code)
                self.assertEqual(bool(check.failures), fails)

    def test_an_empty_journal_leaves_the_exit_entry_and_ops_unknown_here_are_passed_over(self):
        exit_entry = {"op": "ExitProcess", "ok": True, "exit_code": 0}
        unknown = {"op": "SomeNewOperation", "ok": True}
        copy = {"op": "CopyFileA", "ok": True, "from": "a", "to": "b"}
        table = [  # expected, entries, whether that fails
            ([], [exit_entry], False),
            ([], [copy, exit_entry], True),
            ([], [unknown], True),
            (["CopyFileA from=a"], [unknown, copy, exit_entry], False),
            (["CopyFileA from=b"], [unknown, copy, exit_entry], True),
            (["CopyFileA", "ExitProcess exit_code=0"], [copy, unknown, exit_entry], False),
            (["ExitProcess exit_code=1"], [copy, exit_entry], True),
            (["ExitProcess exit_code=0", "nothing else"], [exit_entry], False),
            (["ExitProcess exit_code=0", "nothing else"], [unknown, exit_entry], True),
            (["CopyFileA", "nothing else"], [copy, exit_entry], True),
            (["CopyFileA", "ExitProcess", "nothing else"], [copy, exit_entry], False),
        ]
        for expected, entries, fails in table:
            with self.subTest(expected=expected, entries=entries):
                check = FakeCheck("/nonexistent")
                check_journal(check, expected, entries)
                self.assertEqual(bool(check.failures), fails, check.failures)


def wine_backend(root, arch="win32"):
    """A Wine backend whose prefixes lie in ROOT, each with its drive Z: on the host's root."""
    backend = wine_module.Wine({"work": root, "arch": arch, "programs": root,
                                "launcher": root + "/launcher.exe"})
    for prefix in ("prefix", "prefix-wow64"):
        (Path(root) / prefix / "dosdevices").mkdir(parents=True)
        (Path(root) / prefix / "dosdevices/z:").symlink_to("/")
    return backend


class WineExitCodeTest(unittest.TestCase):
    def test_the_launcher_gives_the_whole_exit_code(self):
        table = [  # what the launcher wrote (None: no file), the exit status, the code, fails
            ("3010\n", 3010 & 0xFF, 3010, False),
            ("256\n", 1, 256, False),  # Wine: a code other than 0 never reads as success
            ("256\n", 0, 256, True),
            ("4294967295\n", 255, 4294967295, False),
            ("0\n", 0, 0, False),
            ("3010\n", 3010, 3010, True),  # a status is never above 255: not the launcher's
            ("3010\n", 1, 3010, True),
            (None, 2, 2, True),
            (None, None, None, False),  # the run timed out, which fails by itself
        ]
        for written, status, code, fails in table:
            with self.subTest(written=written, status=status), \
                    tempfile.TemporaryDirectory() as root:
                backend, check = wine_backend(root), FakeCheck(root)
                out, seen = Path(root) / "run", []

                def launcher(_check, args, env, stdin, folder, out_folder):
                    seen.append(args)
                    if written is not None:
                        (out_folder / "exit_code").write_text(written)
                    return subprocess.CompletedProcess(args, status, b"out", b"")

                with mock.patch.object(wine_module, "run_program", launcher):
                    result = backend.run(check, ["D:\\win2000\\SETUP.EXE", "/Q"], {}, b"", out,
                                         expected_exit=3010)
                self.assertEqual(result.returncode, code)
                self.assertEqual(result.stdout, b"out")
                self.assertEqual(bool(check.failures), fails, check.failures)
                self.assertEqual(seen[0][1:], [root + "/launcher.exe",
                                               "Z:" + str(out.resolve()).replace("/", "\\")
                                               + "\\exit_code", "D:\\win2000\\SETUP.EXE", "/Q"])

    def test_a_code_file_of_an_earlier_run_does_not_count(self):
        with tempfile.TemporaryDirectory() as root:
            backend, check, out = wine_backend(root), FakeCheck(root), Path(root) / "run"
            out.mkdir()
            (out / "exit_code").write_text("3010\n")
            with mock.patch.object(wine_module, "run_program", lambda *args: subprocess.
                                   CompletedProcess(args, 194, b"", b"")):
                self.assertEqual(backend.run(check, ["D:\\SETUP.EXE"], {}, b"", out,
                                             expected_exit=3010).returncode, 194)
            self.assertEqual(len(check.failures), 1)

    def test_which_runs_go_through_the_launcher(self):
        table = [  # the program, the expected exit code, launched (None: a case error)
            ("D:\\SETUP.EXE", None, False),  # not a run of a case: a restart, platform_check
            ("D:\\SETUP.EXE", 0, True),
            ("D:\\SETUP.EXE", 3010, True),
            ("..\\SETUP", 1, True),
            ("SETUP", 0, False),  # a bare name: Wine starts it through start.exe
            ("SETUP", 255, False),
            ("SETUP", 3010, None),
        ]
        for program, expected, launched in table:
            with self.subTest(program=program, expected=expected), \
                    tempfile.TemporaryDirectory() as root:
                backend, seen = wine_backend(root), []

                def started(_check, args, *_):
                    seen.append(args)
                    return subprocess.CompletedProcess(args, 0, b"", b"")

                with mock.patch.object(wine_module, "run_program", started):
                    try:
                        backend.run(FakeCheck(root), [program, "/Q"], {}, b"",
                                    Path(root) / "run", expected_exit=expected)
                    except CaseError:
                        seen.append(None)
                self.assertEqual(None if seen[0] is None else seen[0][1] == root + "/launcher.exe",
                                 launched)
                if seen[0] is not None:
                    self.assertEqual(seen[0][-2:], [program, "/Q"])


class RunProgramTest(unittest.TestCase):
    def test_a_run_that_does_not_end_is_ended_with_what_it_started(self):
        with tempfile.TemporaryDirectory() as root, \
                mock.patch.object(backend_module, "TIME_LIMIT", 1):
            check, pid_file = FakeCheck(root), Path(root) / "child.pid"
            result = backend_module.run_program(
                check, ["sh", "-c", f"sleep 60 & echo $! >{pid_file}; wait"], dict(os.environ),
                b"", root, Path(root) / "out")
            self.assertIsNone(result.returncode)
            self.assertEqual(len(check.failures), 1)
            child = int(pid_file.read_text())
            for _ in range(50):  # killed; gone once its parent, init, has reaped it
                if not Path(f"/proc/{child}").exists() or "State:\tZ" in Path(
                        f"/proc/{child}/status").read_text():
                    break
                time.sleep(0.1)
            else:
                self.fail(f"the program's child {child} outlived the run")


class Wow64Test(unittest.TestCase):
    def test_the_32_bit_image_runs_a_wow64_machine_in_the_64_bit_prefix(self):
        with tempfile.TemporaryDirectory() as root:
            backend = wine_backend(root)
            self.assertEqual(backend.prefixes(), [False, True])
            self.assertIsNone(backend.not_for(FakeCase("wow64")))
            backend.use(wow64=True)
            self.assertEqual((backend.prefix, backend.env["WINEARCH"]),
                             (Path(root) / "prefix-wow64", "win64"))
            self.assertEqual(backend.loader, "wine")  # the image's own: 32-bit
            # Its system directory is SysWOW64 there; the rest of drive C: is as it is.
            drive_c = Path(root) / "prefix-wow64/drive_c"
            self.assertEqual(backend.host_path("C:\\windows\\system32\\drivers\\orvan"),
                             drive_c / "windows/syswow64/drivers/orvan")
            self.assertEqual(backend.host_path("C:\\windows\\system32"),
                             drive_c / "windows/syswow64")
            self.assertEqual(backend.host_path("C:\\windows\\system32x\\a"),
                             drive_c / "windows/system32x/a")
            self.assertEqual(backend.host_path("C:\\windows\\ZOVSETUP.LOG"),
                             drive_c / "windows/ZOVSETUP.LOG")
            backend.use(wow64=False)
            self.assertEqual((backend.prefix, backend.env["WINEARCH"]),
                             (Path(root) / "prefix", "win32"))
            self.assertEqual(backend.host_path("C:\\windows\\system32\\a"),
                             Path(root) / "prefix/drive_c/windows/system32/a")

    def test_the_64_bit_image_is_no_wow64_program(self):
        with tempfile.TemporaryDirectory() as root:
            backend = wine_backend(root, "win64")
            self.assertEqual(backend.prefixes(), [False])
            self.assertIn("64-bit image is no WOW64 program",
                          backend.not_for(FakeCase("device X", "wow64")))
            self.assertIsNone(backend.not_for(FakeCase("device X")))


class MachineTest(unittest.TestCase):
    def test_large_file(self):
        for size in (0, FILLER_LINE_BYTES, FILLER_LINE_BYTES + 1, 2 * FILLER_LINE_BYTES - 1,
                     1024 * 1024):
            with self.subTest(size=size), tempfile.TemporaryDirectory() as root:
                check = FakeCheck(root)
                large_file(check, f"C:\\Some Folder\\OLD.LOG {size}")
                content = (Path(root) / "C/Some Folder/OLD.LOG").read_bytes()
                self.assertEqual(len(content), size)
                self.assertTrue(content == b"" or content.endswith(b"\r\n"))
                lines = content.split(b"\r\n")[:-1]
                self.assertEqual(len(lines), size // FILLER_LINE_BYTES)
                for line in lines:
                    self.assertRegex(line, rb"^2000-01-01 00:00:00 filler \d{6,}$")
        with tempfile.TemporaryDirectory() as root, self.assertRaises(CaseError):
            large_file(FakeCheck(root), f"C:\\OLD.LOG {FILLER_LINE_BYTES - 1}")

    def test_statements_of_the_log(self):
        plain = Machine(FakeCase())
        self.assertEqual(plain.setup_log, "C:\\WINNT\\ZOVSETUP.LOG")
        self.assertEqual(Machine(FakeCase(system="E:\\W\\sys")).setup_log, "E:\\W\\ZOVSETUP.LOG")
        machine = Machine(FakeCase("windows-directory D:\\Win", "clock 2026-02-28 23:59:59.500",
                                   "wow64"))
        self.assertEqual(machine.setup_log, "D:\\Win\\ZOVSETUP.LOG")
        self.assertEqual((machine.clock, machine.wow64), ("2026-02-28 23:59:59.500", True))
        # A wow64 machine is laid out under Wine too (the 32-bit image in a 64-bit prefix).
        self.assertEqual(len(machine.simulator_only), 2)
        for clock in ("2026-02-28 23:59:59", "2026-02-28T23:59:59.500", "tomorrow"):
            with self.subTest(clock=clock), self.assertRaises(CaseError):
                Machine(FakeCase("clock " + clock))

    def test_machine_json_says_them_only_when_a_statement_does(self):
        for statements, wanted in (
                ((), {}),
                (("windows-directory D:\\Win", "clock 2026-02-28 23:59:59.500", "wow64"),
                 {"windows_directory": "D:\\Win", "clock": "2026-02-28 23:59:59.500",
                  "wow64": True})):
            with self.subTest(statements=statements), tempfile.TemporaryDirectory() as root:
                simulator = Simulator({"work": root})
                simulator.machine = Path(root)
                simulator.machine_state(None, Machine(FakeCase(*statements)))
                state = json.loads((Path(root) / "machine.json").read_text())
                self.assertEqual({name: state[name] for name in wanted if name in state}, wanted)
                self.assertFalse({"windows_directory", "clock", "wow64"} - set(wanted) & set(state))

    def test_under_wine_the_windows_directory_is_wines(self):
        with tempfile.TemporaryDirectory() as folder:
            Path(folder, "log.case").write_text(
                "log-file: C:\\WINNT\\ZOVSETUP.LOG\nmachine:\n  file C:\\WINNTX\\a.txt x\n"
                "  file C:\\winnt\\system32\\b.txt y\nrun: D:\\win2000\\SETUP.EXE\nexit: 0\n"
                "output:\nlog:\n  2000-01-01 00:00:00 C:\\WINNT.\n")
            with mock.patch.object(case_module, "CASES", Path(folder)):
                wine = case_module.Case("log", "C:\\windows\\system32")
                simulated = case_module.Case("log")
        self.assertEqual(wine.value("log-file"), "C:\\windows\\ZOVSETUP.LOG")
        self.assertEqual(wine.statements, ["file C:\\WINNTX\\a.txt x",
                                           "file C:\\windows\\system32\\b.txt y"])
        self.assertEqual(wine.steps[0]["log"], ["2000-01-01 00:00:00 C:\\windows."])
        self.assertEqual(simulated.value("log-file"), "C:\\WINNT\\ZOVSETUP.LOG")
        self.assertEqual(simulated.steps[0]["log"], ["2000-01-01 00:00:00 C:\\WINNT."])


if __name__ == "__main__":
    unittest.main()
