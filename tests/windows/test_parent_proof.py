"""A launcher runs in re-entered mode only when the system shows that the
instance FENZAR_ONEFILE_PARENT names started it: its real parent, or the end
of a short chain of real parents running the same file, each created before
its child, all elevated when it is. Any program of the user can give every
new process of the user such a variable (the user's registry environment)
and keep a suspended copy of the launcher alive to be named; a launcher so
started is a first instance and runs what it unpacks itself.

What Wine cannot show: Wine gives every program an elevated token (with a
linked limited one, which run_unelevated.exe starts programs with), so the
boundary that matters on Windows, an unelevated program against an elevated
launcher, is shown here only as elevated against unelevated tokens of one
Wine user. On Windows a program can name another real parent for a process
it starts (PROC_THREAD_ATTRIBUTE_PARENT_PROCESS) only with a handle to that
parent, and the process then gets that parent's token: so an unelevated
program cannot give an elevated launcher a parent it controls. Wine honours
that attribute for the parent's id but not for the token, so a test of it
would show nothing of Windows; run_mode_test covers the elevation rule
natively."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
import test_cache

ECHO = 'echo_app.dll'
# The planted library: restart_app without arguments prints its usage.
PLANTED = harness.windows_test_file('restart_app.dll')
PLANTED_MARK = 'usage: start-copy'
TEMP_TARGET = r'^path=C:\\users\\[^\\]+\\Temp\\onefile_(\d+)_\d{6}_[A-Za-z0-9_-]{11}\\'


class HeldCopy:
    """A suspended copy of LAUNCHER, alive until closed: the 'parent' an
    attacker keeps. Its id is .pid."""

    def __init__(self, launcher):
        self.process = subprocess.Popen(
            [harness.WINE, harness.windows_test_file('hold_process.exe'), harness.windows_path(launcher)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=harness.wine_environment())
        line = self.process.stdout.readline().decode('ascii').strip()
        if not re.fullmatch(r'pid=\d+', line):
            self.close()
            raise RuntimeError('hold_process: %r' % line)
        self.pid = line[len('pid='):]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)
        self.process.stdout.close()


class ProofTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_proof_')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.temp_before = harness.onefile_dirs()

    def held_copy(self, launcher):
        held = HeldCopy(launcher)
        self.addCleanup(held.close)
        return held

    def plant(self, directory, name):
        """The planted library as DIRECTORY\\NAME; DIRECTORY is removed at
        the end."""
        os.makedirs(directory, exist_ok=True)
        self.addCleanup(shutil.rmtree, directory, True)
        # Not the launcher's: it stays, and the launcher leaves nothing else.
        self.temp_before.add(os.path.basename(directory))
        shutil.copyfile(PLANTED, os.path.join(directory, name))

    def assert_packed_application_ran(self, result, status):
        """The packed echo_app ran, as a first instance, from a directory of
        its own, which is gone again; the planted library did not run."""
        self.assertNotIn(PLANTED_MARK, result.stdout, 'the planted library ran')
        self.assertEqual(result.status, status, result)
        self.assertEqual(result.stderr, '')
        self.assertIn('argv[1]=one\n', result.stdout)
        match = re.search(TEMP_TARGET, result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result.stdout)
        # The variable names the launcher that unpacked, not the held copy.
        self.assertIn('env FENZAR_ONEFILE_PARENT=%s\n' % match.group(1), result.stdout)
        self.assertEqual(harness.onefile_dirs() - self.temp_before, set())


class CraftedEnvironment(ProofTest):
    def test_a_live_copy_named_with_a_planted_directory_gives_a_first_instance(self):
        # The held copy is a live process of the same file, the variables
        # name a directory that holds another library under the packed
        # one's name: the launcher's real parent is not that copy, so it
        # unpacks and runs what it carries.
        launcher = harness.pack(harness.windows_test_file(ECHO), out=os.path.join(self.work, 'app.exe'))
        held = self.held_copy(launcher)
        time_us, random = '123456', 'AAAAAAAAAAA'
        planted = os.path.join(harness.wine_temp_dir(), 'onefile_%s_%s_%s' % (held.pid, time_us, random))
        self.plant(planted, ECHO)
        env = {'FENZAR_ONEFILE_PARENT': held.pid, 'FENZAR_ONEFILE_TIME_US': time_us,
               'FENZAR_ONEFILE_RANDOM': random, 'ECHO_APP_EXIT': '7'}
        starts = [
            ('from Linux, without a Windows parent', harness.run),
            ('by a Windows program, elevated', harness.run_full_status),
            ('by a Windows program, unelevated', test_cache.run_unelevated),
        ]
        for what, start in starts:
            with self.subTest(what):
                self.assert_packed_application_ran(start(launcher, ['one'], env=env), 7)
                self.assertEqual(os.listdir(planted), [ECHO])

    def test_the_real_parent_named_but_not_an_instance(self):
        # The driver that starts the launcher names itself: the real parent,
        # of another executable.
        launcher = harness.pack(harness.windows_test_file(ECHO), out=os.path.join(self.work, 'app.exe'))
        result = harness.run(harness.CHILD_DRIVER, ['raw-named', harness.windows_path(launcher), 'app one'],
                             env={'ECHO_APP_EXIT': '3'}, cwd=self.work)
        match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result)
        self.assert_packed_application_ran(
            harness.Result(int(match.group(1)), result.stdout[:match.start()], result.stderr), 3)

    def test_the_real_parent_named_that_cannot_be_examined_stops(self):
        # The named process is the launcher's real parent, but opening it
        # fails (a hardened process, a security product in the way): as a
        # first instance the launcher would start a child that meets the
        # same refusal, and that one another, so it stops.
        name = 'proof_%d.exe' % os.getpid()
        launcher = harness.pack_with_hooks(harness.windows_test_file(ECHO), out=os.path.join(self.work, name))
        self.addCleanup(harness.kill_if_running, name)
        result = harness.run(harness.CHILD_DRIVER, ['raw-named', harness.windows_path(launcher), 'app one'],
                             env={'FENZAR_TEST_FAULT': 'open_process_for_query:0:5'}, cwd=self.work)
        self.assertRegex(result.stdout, r'\Aexit_code=2\n\Z')
        self.assertRegex(result.stderr, r"\AError, couldn't examine parent process\. \(\[Error 5\] .+\)\n\Z")
        self.assertEqual(harness.onefile_dirs() - self.temp_before, set())


class CraftedEnvironmentWithTheCache(ProofTest):
    """The issue's case: the cache holds a replaced library, and an elevated
    start with FENZAR_ONEFILE_PARENT naming a live copy and no
    FENZAR_ONEFILE_TIME_US, as a re-entered instance of the cache would have,
    runs the packed application or stops, never the replaced library."""

    def cached_launcher(self, app, name, replace=True):
        """A --cache launcher of APP whose cache the unelevated first start
        filled, with the application's library then replaced by the
        planted one (unless not REPLACE); returns the launcher."""
        library = os.path.join(self.work, name + '.dll')
        shutil.copyfile(harness.windows_test_file(app), library)
        folder = test_cache.cache_folder(name, name + '.exe')
        shutil.rmtree(folder, True)
        self.addCleanup(shutil.rmtree, folder, True)
        launcher = harness.pack(library, out=os.path.join(self.work, name + '.exe'),
                                options=['--level', '3', '--cache'])
        first = test_cache.run_unelevated(launcher, ['one'])
        self.assertEqual(first.status, 0, first)
        digest = test_cache.attached_digest(launcher)
        self.assertRegex(first.stdout, r'path=C:\\users\\[^\\]+\\AppData\\Local\\Fenzar\\%s\\%s\\files\\' % (
            test_cache.folder_name(name, name + '.exe'), digest))
        if replace:
            self.plant(os.path.join(folder, digest, 'files'), name + '.dll')
        return launcher

    def cache_library(self, name):
        return 'C:\\users\\%s\\AppData\\Local\\Fenzar\\%s\\%s\\files\\%s.dll' % (
            os.path.basename(os.path.dirname(harness.wine_temp_dir())), test_cache.folder_name(name, name + '.exe'),
            test_cache.attached_digest(os.path.join(self.work, name + '.exe')), name)

    def test_a_crafted_cache_directory_is_never_taken(self):
        """A parent that runs from the cache hands the directory it chose to
        its child in FENZAR_ONEFILE_CACHE_FILES, which the child takes
        instead of computing the cache's paths. A value crafted by whoever
        starts the launcher names a directory with the planted library: a
        parent replaces it with its own, a started instance with no proven
        parent is a parent, and an elevated one never takes the cache; the
        application never sees the variable."""
        name = 'proof_cache_handed'
        launcher = self.cached_launcher(ECHO, name, replace=False)
        planted = os.path.join(self.work, 'planted', 'files')
        self.plant(planted, name + '.dll')
        crafted = harness.windows_path(planted)
        held = self.held_copy(launcher)
        named_copy = {'FENZAR_ONEFILE_PARENT': held.pid, 'FENZAR_ONEFILE_TIME_US': None,
                      'FENZAR_ONEFILE_RANDOM': None}
        for what, env in (('nothing else crafted', {}), ('a live copy named as the parent', named_copy)):
            with self.subTest(what):
                result = test_cache.run_unelevated(launcher, ['one'], env={
                    'FENZAR_ONEFILE_CACHE_FILES': crafted, 'ECHO_APP_EXIT': '5', **env})
                self.assertNotIn(PLANTED_MARK, result.stdout, 'the planted library ran')
                self.assertEqual((result.status, result.stderr), (5, ''), result)
                self.assertIn('path=%s\n' % self.cache_library(name), result.stdout)
                self.assertIn('env FENZAR_ONEFILE_CACHE_FILES unset\n', result.stdout)
                self.assertEqual(os.listdir(planted), [name + '.dll'])
        with self.subTest('elevated, a live copy named as the parent'):
            result = harness.run_full_status(launcher, ['one'], env={
                'FENZAR_ONEFILE_CACHE_FILES': crafted, 'ECHO_APP_EXIT': '9', **named_copy})
            self.assert_packed_application_ran(result, 9)
            self.assertIn('env FENZAR_ONEFILE_CACHE_FILES unset\n', result.stdout)

    def test_an_application_that_starts_the_launcher_again_cannot_hand_down_a_directory(self):
        # The application of a re-entered instance starts the launcher again
        # with a crafted value: that copy is re-entered through a chain of
        # two, not started by the named parent itself, so it computes the
        # cache's paths and runs from the cache.
        name = 'proof_cache_again'
        launcher = self.cached_launcher('child_probe_app.dll', name, replace=False)
        planted = os.path.join(self.work, 'planted', 'files')
        self.plant(planted, name + '.dll')
        result = test_cache.run_unelevated(launcher, env={
            'PROBE_AGAIN': '1', 'PROBE_EXIT': '4',
            'PROBE_AGAIN_SET': 'FENZAR_ONEFILE_CACHE_FILES=%s' % harness.windows_path(planted)})
        self.assertNotIn(PLANTED_MARK, result.stdout, 'the planted library ran')
        self.assertEqual((result.status, result.stderr), (4, ''), result)
        self.assertEqual(re.findall(r'^path=(.*)$', result.stdout, re.MULTILINE), [self.cache_library(name)] * 2)
        self.assertIn('again=4\n', result.stdout)

    def test_an_elevated_start_with_a_crafted_parent_never_runs_the_cache(self):
        name = 'proof_cache'
        launcher = self.cached_launcher(ECHO, name)
        held = self.held_copy(launcher)
        result = harness.run_full_status(launcher, ['one'], env={
            'FENZAR_ONEFILE_PARENT': held.pid, 'FENZAR_ONEFILE_TIME_US': None, 'FENZAR_ONEFILE_RANDOM': None,
            'ECHO_APP_EXIT': '9'})
        self.assert_packed_application_ran(result, 9)

    def test_an_elevated_instance_started_by_the_application_never_runs_the_cache(self):
        # A genuine chain, all elevated: the application of the re-entered
        # instance starts the launcher again without FENZAR_ONEFILE_TIME_US.
        # That copy is re-entered, but elevated it does not take the cache
        # (where an unelevated program may write): it computes a directory
        # of its own, finds no library there and stops.
        name = 'proof_cache_chain'
        launcher = self.cached_launcher('child_probe_app.dll', name)
        result = harness.run(launcher, env={
            'FENZAR_ONEFILE_PARENT': None, 'PROBE_AGAIN': '1',
            'PROBE_AGAIN_SET': 'FENZAR_ONEFILE_TIME_US=', 'PROBE_EXIT': '4'})
        self.assertNotIn(PLANTED_MARK, result.stdout, 'the planted library ran')
        self.assertEqual(result.status, 4, result)
        self.assertIn('again=2\n', result.stdout)
        self.assertRegex(result.stderr, r"\AError, load DLL\. \(\[Error \d+\] .*\)\n\Z")
        self.assertEqual(harness.onefile_dirs() - self.temp_before, set())


class GenuineChildren(ProofTest):
    def test_the_application_starting_the_launcher_again_gets_a_re_entered_instance(self):
        # The copy's real parent is the re-entered instance, whose real
        # parent is the named launcher: a chain of two, elevated or not.
        launcher = harness.pack(harness.windows_test_file('child_probe_app.dll'),
                                out=os.path.join(self.work, 'probe.exe'))
        env = {'FENZAR_ONEFILE_PARENT': None, 'PROBE_AGAIN': '1', 'PROBE_EXIT': '6'}
        for what, start in (('elevated', harness.run_full_status), ('unelevated', test_cache.run_unelevated)):
            with self.subTest(what):
                result = start(launcher, [], env=env)
                self.assertEqual(result.status, 6, result)
                self.assertEqual(result.stderr, '')
                paths = re.findall(r'^path=(.*)$', result.stdout, re.MULTILINE)
                self.assertEqual(len(paths), 2, result.stdout)
                self.assertEqual(paths[0], paths[1])
                self.assertIn('again=6\n', result.stdout)
                self.assertEqual(harness.onefile_dirs() - self.temp_before, set())


if __name__ == '__main__':
    unittest.main()
