"""--target-base under Wine: a launcher packed with it makes its fresh
directory below the base instead of %TEMP% (creating the base's missing
folders), runs the application from there, removes the directory and sweeps
dead launchers' directories in the base; a base that is a link is refused.
The packer refuses templates that cannot work, for pack and link alike, and
lists the base.

Links: Wine cannot make a junction; a Linux symbolic link to a directory is
what it shows as a directory reparse point, so that stands in for one (as in
test_sweep.py). Owners: the sweep runs through run_unelevated.exe, since
under Wine an elevated launcher sweeps nothing (see test_sweep.py). What
Wine cannot show: a base in a folder that another user can write to, and an
allow-list policy that admits only the base (Wine has neither users nor
application control)."""
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

PROBE = harness.windows_test_file('child_probe_app.dll')
RUN_UNELEVATED = harness.windows_test_file('run_unelevated.exe')
SWEEP_TIME = {'PROBE_SLEEP_MS': '1500'}
TEN_MINUTES = 600


def packer(*args):
    completed = subprocess.run([harness.FENZAR_PACK, *args], capture_output=True, encoding='utf-8',
                               errors='replace')
    return harness.Result(completed.returncode, completed.stdout, completed.stderr)


def local_app_data():
    """The Linux path of the Wine user's %LOCALAPPDATA% ({CACHE_DIR})."""
    user = pwd.getpwuid(os.getuid()).pw_name
    return os.path.join(harness.WINEPREFIX, 'drive_c', 'users', user, 'AppData', 'Local')


class TargetBaseTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_base_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launcher(self, *options, app=PROBE):
        name = 'base_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        out = os.path.join(self.work, name)
        self.addCleanup(harness.kill_if_running, name)
        return harness.pack(app, out=out, options=['--level', '1', *options])

    def run_probe(self, exe, env=None, unelevated=False):
        """Runs the probe application to its status 5; its path line."""
        env = {'PROBE_EXIT': '5', **(env or {})}
        if unelevated:
            completed = harness.run(RUN_UNELEVATED, [harness.windows_path(exe)], env=env, cwd=self.work)
            match = re.search(r'^exit_code=(\d+)\n\Z', completed.stdout, re.MULTILINE)
            self.assertIsNotNone(match, completed.stdout + completed.stderr)
            result = harness.Result(int(match.group(1)), completed.stdout[:match.start()], completed.stderr)
        else:
            result = harness.run(exe, env=env, cwd=self.work)
        self.assertEqual((result.status, result.stderr), (5, ''), result.stdout)
        return re.search(r'^path=(.*)$', result.stdout, re.MULTILINE).group(1)

    def assert_launcher_directory(self, library_path, base_windows):
        """LIBRARY_PATH is the probe's library in a launcher's directory
        right below BASE_WINDOWS; returns that directory's name."""
        directory, library = library_path.rsplit('\\', 1)
        parent, name = directory.rsplit('\\', 1)
        self.assertEqual(library, 'child_probe_app.dll')
        self.assertEqual(parent, base_windows)
        self.assertRegex(name, r'^onefile_[1-9][0-9]*_[0-9]{6}_[A-Za-z0-9_-]{11}$')
        return name


class Runs(TargetBaseTest):
    def test_the_directory_is_made_below_a_missing_base_and_removed(self):
        base = os.path.join(self.work, 'made', 'for', 'app')
        base_windows = harness.windows_path(base)
        exe = self.launcher('--target-base', base_windows)
        temp_before = harness.onefile_dirs()
        name = self.assert_launcher_directory(self.run_probe(exe), base_windows)
        # Gone again; the base stays for the next start; nothing in %TEMP%.
        self.assertEqual(os.listdir(base), [])
        self.assertFalse(os.path.lexists(os.path.join(base, name)))
        self.assertEqual({n for n in harness.onefile_dirs() - temp_before if name in n}, set())

    def test_a_placeholder_base_and_cache_fallback(self):
        """{CACHE_DIR} expands in both processes alike. With --cache, the
        base holds the directories of runs that do not use the cache: under
        Wine a launcher started directly is elevated and never uses it; one
        with the limited token runs from the cache, not from the base."""
        folder = 'FenzarTargetBase_%d_%d' % (os.getpid(), time.monotonic_ns())
        base = os.path.join(local_app_data(), folder, 'App')
        self.addCleanup(shutil.rmtree, os.path.join(local_app_data(), folder), True)
        exe = self.launcher('--cache', '--target-base', '{CACHE_DIR}\\%s\\App' % folder)
        listed = packer('list', exe)
        self.assertEqual(listed.status, 0, listed.stderr)
        cache = re.search(r', cache %LOCALAPPDATA%\\Fenzar\\(\S+?), target base \{CACHE_DIR\}\\' + folder + r'\\App,',
                          listed.stdout)
        self.assertIsNotNone(cache, listed.stdout)
        self.addCleanup(shutil.rmtree, os.path.join(local_app_data(), 'Fenzar', cache.group(1).split('\\')[0]), True)

        user = pwd.getpwuid(os.getuid()).pw_name
        base_windows = 'C:\\users\\%s\\AppData\\Local\\%s\\App' % (user, folder)
        name = self.assert_launcher_directory(self.run_probe(exe), base_windows)
        self.assertEqual(os.listdir(base), [])
        self.assertNotIn(name, os.listdir(harness.wine_temp_dir()))

        cached = self.run_probe(exe, unelevated=True)
        self.assertTrue(cached.startswith('C:\\users\\%s\\AppData\\Local\\Fenzar\\%s\\' % (
            user, cache.group(1).split('\\')[0])), cached)
        self.assertEqual(os.listdir(base), [])

    def test_a_base_that_is_a_link_is_refused(self):
        """Planted in place of the base, a link would send the directory, its
        removal and the sweep elsewhere: the launcher stops before making
        anything, with its message and status 2."""
        elsewhere = os.path.join(self.work, 'elsewhere')
        os.mkdir(elsewhere)
        link = os.path.join(self.work, 'base')
        os.symlink(elsewhere, link)
        exe = self.launcher('--target-base', harness.windows_path(link))
        for unelevated in (False, True):
            with self.subTest(unelevated=unelevated):
                if unelevated:
                    completed = harness.run(RUN_UNELEVATED, [harness.windows_path(exe)], cwd=self.work)
                    self.assertRegex(completed.stdout, r'(?m)^exit_code=2$')
                    stderr = completed.stderr
                else:
                    completed = harness.run(exe, cwd=self.work)
                    self.assertEqual(completed.status, 2)
                    stderr = completed.stderr
                self.assertEqual(stderr, "Error, target base '%s' is not a plain directory.\n"
                                 % harness.windows_path(link))
                self.assertNotIn('path=', completed.stdout)
                self.assertEqual(os.listdir(elsewhere), [])


    def test_a_base_that_cannot_be_made_is_the_directorys_creation_failure(self):
        # No drive Q: in the test prefix.
        exe = self.launcher('--target-base', 'Q:\\Apps\\Run')
        result = harness.run(exe, cwd=self.work)
        self.assertEqual(result.status, 2)
        self.assertRegex(result.stderr, r"^Error, couldn't create target directory\. \(\[Error 3\] .*\)\n\Z")
        self.assertNotIn('path=', result.stdout)


class Sweep(TargetBaseTest):
    def test_dead_launchers_directories_in_the_base_are_swept(self):
        base = os.path.join(self.work, 'base')
        stale = os.path.join(base, 'onefile_%d_000001_Sweep-Test_' % (400000 + os.getpid() % 1000 * 4))
        os.makedirs(os.path.join(stale, 'sub'))
        with open(os.path.join(stale, 'sub', 'data.txt'), 'w') as f:
            f.write('left behind')
        # Not a launcher's name: never touched.
        other = os.path.join(base, 'notes')
        os.mkdir(other)
        then = time.time() - TEN_MINUTES
        for path in (stale, other):
            os.utime(path, (then, then))
        base_windows = harness.windows_path(base)
        exe = self.launcher('--target-base', base_windows)
        self.assert_launcher_directory(self.run_probe(exe, env=SWEEP_TIME, unelevated=True), base_windows)
        self.assertEqual(os.listdir(base), ['notes'])


class Packer(TargetBaseTest):
    def test_templates_that_cannot_work_are_refused(self):
        out = os.path.join(self.work, 'refused.exe')
        cases = [
            ('Apps\\Run', 'the base is relative'),
            ('C:Apps', 'the base is relative'),
            ('{FOO}\\x', '{FOO} is no placeholder of a base'),
            ('{TEMP}\\{PID}', '{PID} changes at every start'),
            ('{TEMP}\\{RANDOM}', '{RANDOM} changes at every start'),
            ('{PROGRAM_DIR}\\run', '{PROGRAM_DIR} is the path the launcher was started by'),
            ('{CACHE_DIR}\\{HOME}', '{HOME} is a full path and can only begin the base'),
            ('{TEMP', "'{' without its '}'"),
            ('C:\\Apps\\', 'ends with a backslash'),
            ('C:\\', "a drive's root is no base"),
            ('C:\\Apps\\a|b', 'does not allow'),
            ('C:\\Apps\\con', 'device name'),
            ('C:\\Apps\\..\\x', "'.' or '..' folder"),
            ('C:\\' + 'a' * 1022, 'longer than 1024 UTF-16 units'),
            ('\\\\?\\C:\\Apps', 'device path'),
        ]
        for template, reason in cases:
            for command, form in (('pack', ['--target-base', template]), ('link', ['--target-base=' + template])):
                with self.subTest(template=template, command=command):
                    inputs = [PROBE] if command == 'pack' else [os.path.join(self.work, 'missing.bin')]
                    result = packer(command, *form, '-o', out, *inputs)
                    self.assertEqual(result.status, 2, result.stderr)
                    self.assertTrue(result.stderr.startswith(
                        "fenzar-pack %s: --target-base '%s' cannot work: " % (command, template)), result.stderr)
                    self.assertIn(reason, result.stderr)
                    self.assertTrue(result.stderr.endswith(' (see fenzar-pack %s --help)\n' % command))
                    self.assertEqual(result.stderr.count('\n'), 1)
                    self.assertFalse(os.path.lexists(out))

    def test_both_packers_write_the_same_base(self):
        data = os.path.join(self.work, 'app.bin')
        self.assertEqual(packer('build', '-q', '-o', data, PROBE).status, 0)
        base = '{CACHE_DIR}\\V\u00e9ndor\\App'
        outputs = []
        for kind in ('linux', 'windows'):
            out = os.path.join(self.work, kind, 'app.exe')
            os.mkdir(os.path.dirname(out))
            if kind == 'linux':
                result = packer('link', '-q', '--target-base', base, '-o', out, data)
            else:
                result = harness.run(harness.FENZAR_PACK_EXE, ['link', '-q', '--target-base', base, '-o',
                                                               harness.windows_path(out), harness.windows_path(data)])
            self.assertEqual(result.status, 0, result.stderr)
            with open(out, 'rb') as f:
                outputs.append(f.read())
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn(', target base %s,' % base, packer('list', out).stdout.splitlines()[0])

    def test_link_takes_it_and_list_shows_it_and_build_does_not(self):
        data = os.path.join(self.work, 'app.bin')
        self.assertEqual(packer('build', '-q', '-o', data, PROBE).status, 0)
        refused = packer('build', '--target-base', 'C:\\Apps', '-o', data + '2', PROBE)
        self.assertEqual(refused.status, 2)
        self.assertIn('unknown option --target-base', refused.stderr)
        plain = os.path.join(self.work, 'plain.exe')
        based = os.path.join(self.work, 'based.exe')
        self.assertEqual(packer('link', '-q', '-o', plain, data).status, 0)
        self.assertEqual(packer('link', '-q', '--target-base', '\\\\server\\share\\Apps', '-o', based, data).status, 0)
        self.assertNotIn('target base', packer('list', plain).stdout.splitlines()[0])
        self.assertRegex(packer('list', based).stdout.splitlines()[0],
                         r'^launcher: windows subsystem, execution level asInvoker, '
                         r'target base \\\\server\\share\\Apps, written by fenzar-pack ')


if __name__ == '__main__':
    unittest.main()
