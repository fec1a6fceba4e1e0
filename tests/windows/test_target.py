"""Where a launcher unpacks its application, and the run-mode decision: the
target directory comes from the built-in template
{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}, made fresh by every first instance
whatever the caller left in the environment; a FENZAR_ONEFILE_PARENT that does
not name a live instance of the same executable leaves the launcher a first
instance."""
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

APP_NAME = 'echo_app.dll'
BASE64URL = r'[A-Za-z0-9_-]'

PARENT = 'FENZAR_ONEFILE_PARENT'
START = 'FENZAR_ONEFILE_START'
TIME_US = 'FENZAR_ONEFILE_TIME_US'
RANDOM = 'FENZAR_ONEFILE_RANDOM'


def first_entry_pattern():
    """The application's full path: GetTempPathW is C:\\users\\<user>\\Temp\\
    in the test prefix; the first record is stored under its file name."""
    user = pwd.getpwuid(os.getuid()).pw_name
    return re.compile(r'C:\\users\\%s\\Temp\\onefile_(\d+)_(\d{6})_(%s{11})\\%s\Z' % (
        re.escape(user), BASE64URL, re.escape(APP_NAME)))


def parse_echo(stdout):
    """echo_app's report: ({key: value} of its key=value lines,
    {variable: value or None} of its env lines)."""
    report, environment = {}, {}
    for line in stdout.splitlines():
        if line.startswith('env '):
            rest = line[4:]
            if rest.endswith(' unset'):
                environment[rest[:-len(' unset')]] = None
            else:
                name, _, value = rest.partition('=')
                environment[name] = value
        else:
            key, _, value = line.partition('=')
            report[key] = value
    return report, environment


class TargetDirectoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.launcher = harness.pack(harness.windows_test_file(APP_NAME),
                                    out=os.path.join(cls.scratch.name, 'target_echo.exe'))
        cls.pattern = first_entry_pattern()

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def run_launcher(self, env):
        """Runs the launcher with the six variables cleared and ENV set; checks
        that the application ran in a directory of the template's form and
        returns (match of its path, the variables it saw)."""
        environment = {name: None for name in (PARENT, START, TIME_US, RANDOM)}
        environment.update(env)
        result = harness.run(self.launcher, ['one'], env=environment)
        self.assertEqual(result.status, 0, result.stdout + result.stderr)
        report, seen = parse_echo(result.stdout)
        self.assertEqual(report.get('argv[1]'), 'one', result.stdout)
        match = self.pattern.match(report.get('path', ''))
        self.assertIsNotNone(match, 'path=%r' % report.get('path'))
        return match, seen

    def assert_fresh_values(self, match, seen):
        """The directory is named after the parent's own id and the values it
        published, which the application inherits; TIME is not in the
        template, so START stays unset."""
        pid, time_us, random = match.groups()
        self.assertEqual(seen[PARENT], pid)
        self.assertEqual(str(int(pid)), pid)
        self.assertEqual(seen[TIME_US], time_us)
        self.assertEqual(seen[RANDOM], random)
        self.assertIsNone(seen[START])

    def test_directory_below_temp_named_after_pid_time_and_token(self):
        match, seen = self.run_launcher({})
        self.assert_fresh_values(match, seen)
        # A second start gets a directory of its own.
        second, _ = self.run_launcher({})
        self.assertNotEqual(second.group(0), match.group(0))
        self.assertNotEqual(second.group(3), match.group(3))

    def test_inherited_time_and_random_values_are_not_used(self):
        inherited_sets = [
            {START: '17', TIME_US: '7777777', RANDOM: 'AAAAAAAAAAA'},
            {START: 'x', TIME_US: 'abc', RANDOM: '..\\..\\escape'},
            {START: '0', TIME_US: '000000', RANDOM: 'r'},
        ]
        for inherited in inherited_sets:
            with self.subTest(inherited=inherited):
                match, seen = self.run_launcher(inherited)
                self.assert_fresh_values(match, seen)
                self.assertNotEqual(seen[RANDOM], inherited[RANDOM])
                if inherited[TIME_US] != '000000':
                    self.assertNotEqual(seen[TIME_US], inherited[TIME_US])

    def test_parent_variable_not_naming_a_live_instance_gives_parent_mode(self):
        # The parent of a finished run: a dead id that ran this same file.
        _, finished = self.run_launcher({})
        dead_pid = finished[PARENT]

        holder = subprocess.Popen(
            [harness.WINE, harness.windows_test_file('hold_process.exe')],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=harness.wine_environment())
        try:
            line = holder.stdout.readline().decode('ascii').strip()
            self.assertRegex(line, r'\Apid=\d+\Z')
            other_live_pid = line[len('pid='):]

            values = [
                ('garbage', 'garbage'),
                ('above the 32-bit range', '99999999999999999999'),
                ('one above the largest', '2147483648'),
                ('negative', '-8'),
                ('trailing blank', '12 '),
                ('dead process that ran this file', dead_pid),
                ('live process of another executable', other_live_pid),
            ]
            for description, value in values:
                with self.subTest(description, value=value):
                    match, seen = self.run_launcher({PARENT: value})
                    self.assert_fresh_values(match, seen)
                    self.assertNotEqual(match.group(1), value)
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)
            holder.stdout.close()


class LauncherInADeepDirectory(unittest.TestCase):
    """A child recognises its parent whatever the length of their path, so a
    launcher deep down runs its application once. Wine 8 starts no program
    from a path of 260 characters or more (CreateProcessW fails with error
    123, and from about 1,100 characters on it overruns its own stack), so
    this runs up to 259; the lengths up to the launcher's limit are checked
    natively in own_path_test."""

    def test_runs_its_application_once_and_unpacks_once(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        name = 'deep_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        packed = harness.pack(harness.windows_test_file(APP_NAME), out=os.path.join(scratch.name, name))
        for length in (200, 259):
            with self.subTest(length=length):
                directory = os.path.join(scratch.name, str(length))
                while len(harness.windows_path(os.path.join(directory, 'l' * 40, name))) + 2 <= length:
                    directory = os.path.join(directory, 'l' * 40)
                padding = length - len(harness.windows_path(os.path.join(directory, name))) - 1
                directory = os.path.join(directory, 'p' * padding)
                launcher = os.path.join(directory, name)
                self.assertEqual(len(harness.windows_path(launcher)), length)
                os.makedirs(directory)
                shutil.copy(packed, launcher)

                before = harness.onefile_dirs()
                try:
                    result = harness.run(launcher, ['one', ''], env={PARENT: None, 'ECHO_APP_EXIT': '7'},
                                         timeout=60)
                except subprocess.TimeoutExpired:
                    harness.kill_if_running(name)
                    self.fail('no end within 60 s: a chain of parents')
                self.assertEqual(result.status, 7, result)
                self.assertEqual(result.stderr, '')
                report, seen = parse_echo(result.stdout)
                self.assertEqual(result.stdout.count('argc='), 1, result.stdout)
                self.assertEqual([report.get('argv[%d]' % i) for i in range(3)],
                                 [harness.windows_path(launcher), 'one', ''])
                match = first_entry_pattern().match(report.get('path', ''))
                self.assertIsNotNone(match, report.get('path'))
                self.assertEqual(seen[PARENT], match.group(1), 'started by the launcher that unpacked')
                self.assertEqual(harness.onefile_dirs() - before, set())


class InheritedValuesOfAnotherForm(unittest.TestCase):
    """A copy of the launcher started from inside the application runs in
    re-entered mode and computes the target directory from the inherited
    values. A FENZAR_ONEFILE_RANDOM that is no token of the parent's form,
    such as one with ..\\, counts as absent: the copy gets a fresh token,
    finds no library and fails, instead of loading one from outside the
    launcher's directory."""

    def test_random_value_leaving_the_directory_is_not_used(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        launcher = harness.pack(harness.windows_test_file('child_probe_app.dll'),
                                out=os.path.join(scratch.name, 'probe.exe'))
        planted_name = 'planted_%d_%d' % (os.getpid(), time.monotonic_ns())
        planted = os.path.join(harness.wine_temp_dir(), planted_name)
        os.makedirs(planted)
        self.addCleanup(shutil.rmtree, planted, True)
        # Where the copy would load from: %TEMP%\\onefile_P_T_..\\..\\NAME is
        # %TEMP%\\NAME.
        shutil.copy(harness.windows_test_file(APP_NAME), os.path.join(planted, 'child_probe_app.dll'))

        result = harness.run(launcher, env={
            PARENT: None, 'PROBE_AGAIN': '1', 'PROBE_AGAIN_SET': '%s=..\\..\\%s' % (RANDOM, planted_name)})
        self.assertEqual(result.status, 0, result)
        self.assertNotIn('argc=', result.stdout, 'the planted library ran')
        self.assertIn('again=2\n', result.stdout)
        self.assertRegex(result.stderr, r"\AError, load DLL\. \(\[Error \d+\] .*\)\n\Z")


if __name__ == '__main__':
    unittest.main()


class ProfileFolder(unittest.TestCase):
    def test_home_and_cache_dir_are_the_folders_the_shell_names(self):
        # The launcher reads the profile folder and the local application
        # data folder without SHELL32; they must be the folders
        # SHGetFolderPathW gives (CSIDL_PROFILE, CSIDL_LOCAL_APPDATA).
        user = r'\Alauncher=C:\\users\\[^\\\n]+'
        for folder, pattern in (([], user + r'\nshell='),
                                (['local_app_data'], user + r'\\AppData\\Local\nshell=')):
            with self.subTest(folder=folder):
                result = harness.run(harness.windows_test_file('profile_compare.exe'), folder)
                self.assertEqual(result.status, 0, result)
                self.assertRegex(result.stdout, pattern)
