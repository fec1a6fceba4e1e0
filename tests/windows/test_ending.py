"""How a launcher ends under Wine when it does not simply run to its end: a
console event at each moment of its run, a launcher killed outright, a
failed wait, and failures that end it with status 2.

The launchers here carry the fault hooks (tests/windows/hooks). Under Wine a
console event reaches a launcher only from a console parent and SIGINT
(test_child.ConsoleInterrupt does that while the application runs); to place
an event at an exact moment, the hooks call the launcher's registered
handler on a new thread, as the platform does, just before a chosen call."""
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import uuid

import harness

PROBE = harness.windows_test_file('child_probe_app.dll')
INTERRUPTED = 0xC000013A


class EndingTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_ending_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launcher(self):
        """A launcher of child_probe_app with the hooks, under a name no other
        process has; returns (path, name)."""
        name = 'ending_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        return harness.pack_with_hooks(PROBE, out=os.path.join(self.work, name)), name

    def run_launcher(self, env):
        """Runs a new launcher with ENV; Result with the full status, the
        directories it left, and whether a launcher process was left."""
        exe, name = self.launcher()
        self.addCleanup(harness.kill_if_running, name)
        before = harness.onefile_dirs()
        result = harness.run_full_status(exe, env=env, cwd=self.work)
        left = harness.onefile_dirs() - before
        for directory in left:
            shutil.rmtree(os.path.join(harness.wine_temp_dir(), directory), ignore_errors=True)
        return result, left, harness.linux_processes_running(name)


class ConsoleEventMoments(EndingTest):
    MOMENTS = [
        # moment, where the event falls, what the application does, status
        ('before unpacking', 'create_private_directory:0', {}, INTERRUPTED),
        ('while a file is written', 'write_file:1', {}, INTERRUPTED),
        ('while the command line is built, before unpacking', 'get_raw_command_line:0', {}, INTERRUPTED),
        ('between unpacking and the start', 'create_kill_on_close_job:0', {}, INTERRUPTED),
        # The application ignores the event: 5 s of grace, then terminated.
        ('while the application runs', 'wait_for_process:0', {'PROBE_SLEEP_MS': '60000'}, INTERRUPTED),
        # The application had ended with 3 by itself: its status stands.
        ('while the directory is removed', 'delete_entry_relative:0', {'PROBE_EXIT': '3'}, 3),
    ]

    def test_no_child_runs_no_directory_stays_and_the_status_is_the_stops(self):
        for moment, event, app_env, status in self.MOMENTS:
            with self.subTest(moment):
                result, left, running = self.run_launcher(dict(app_env, FENZAR_TEST_EVENT=event))
                self.assertEqual(result.status, status, result)
                self.assertEqual(result.stderr, '')
                self.assertNotIn('finished', result.stdout)
                self.assertEqual(left, set())
                self.assertEqual(running, [])
                if status == INTERRUPTED and 'PROBE_SLEEP_MS' not in app_env:
                    self.assertEqual(result.stdout, '', 'the application never started')


class KilledLauncher(EndingTest):
    # The child is in a job object that kills it when the launcher's last
    # handle to the job closes; Wine implements this (JOB_OBJECT_LIMIT_
    # KILL_ON_JOB_CLOSE) and ends the child within milliseconds, as Windows
    # does. Nobody is left to remove the target directory: it stays.
    def test_child_ends_with_the_launcher_and_the_directory_stays(self):
        for how in ('kill -9 of its Wine process', 'TerminateProcess'):
            with self.subTest(how):
                exe, name = self.launcher()
                self.addCleanup(harness.kill_if_running, name)
                env = harness.wine_environment({'PROBE_SLEEP_MS': '60000'})
                command = [harness.WINE, harness.CHILD_DRIVER, 'terminate-on-input', harness.windows_path(exe), name]
                driver = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=self.work,
                                          env=env)
                try:
                    directory = harness.target_dir(driver.stdout.readline().decode())
                    self.addCleanup(shutil.rmtree, directory, True)
                    pids = []
                    deadline = time.monotonic() + 30
                    while len(pids) < 2 and time.monotonic() < deadline:
                        pids = harness.linux_processes_running(name)
                        time.sleep(0.05)
                    self.assertEqual(len(pids), 2, 'parent and child launcher')
                    killed = time.monotonic()
                    if how == 'TerminateProcess':
                        driver.stdin.write(b'\n')
                        driver.stdin.flush()
                    else:
                        os.kill(pids[0], signal.SIGKILL)
                    while harness.linux_processes_running(name) and time.monotonic() - killed < 10:
                        time.sleep(0.01)
                    gone_after = time.monotonic() - killed
                    stdout, _ = driver.communicate(b'', timeout=60)
                finally:
                    if driver.poll() is None:
                        driver.kill()
                        driver.communicate()
                self.assertEqual(harness.linux_processes_running(name), [])
                self.assertLess(gone_after, 1.0, 'the child outlived its launcher')
                self.assertNotIn(b'finished', stdout)
                self.assertTrue(os.path.isdir(directory))


class FailedWait(EndingTest):
    def test_a_failed_wait_is_not_taken_as_the_end_of_the_child(self):
        # The first wait fails: the launcher waits again instead of removing
        # the directory under the running application.
        result, left, running = self.run_launcher(
            {'FENZAR_TEST_FAULT': 'wait_for_process:0:6', 'PROBE_SLEEP_MS': '1500', 'PROBE_EXIT': '4'})
        self.assertEqual(result.status, 4, result)
        self.assertTrue(result.stdout.endswith('finished\n'), result.stdout)
        self.assertEqual((left, running), (set(), []))


class FailureExits(EndingTest):
    LAUNCH = r"\AError, couldn't launch child \(\[Error %d\] .+\)\n\Z"
    UNPACK = r"\AError, couldn't unpack file to target path\. \(\[Error 112\] .+\)\n\Z"
    CASES = [
        # what, environment, stream, message
        ('every start fails with a passing error', {'FENZAR_TEST_FAULT': 'start_process:0:1359*5'}, 'stderr',
         LAUNCH % 1359),
        ('the start fails with a lasting error', {'FENZAR_TEST_FAULT': 'start_process:0:193'}, 'stderr',
         LAUNCH % 193),
        ('a write fails', {'FENZAR_TEST_FAULT': 'write_file:1:112'}, 'stderr', UNPACK),
        # The close of the one file written, the application: CloseHandle
        # reports a write that failed late.
        ('a close of a written file fails', {'FENZAR_TEST_FAULT': 'close_file:0:112'}, 'stderr', UNPACK),
        ('no handler', {'FENZAR_TEST_FAULT': 'add_console_control_handler:0:5'}, 'stdout',
         r"\AError, failed to register signal handler\.\n\Z"),
        ('no memory', {'FENZAR_TEST_FAULT': 'allocate_memory:0:8'}, 'stdout', r"\AError, couldn't allocate memory\.\n\Z"),
        # A real parent named by FENZAR_ONEFILE_PARENT that cannot be
        # examined: test_parent_proof, which starts the launcher from a
        # driver that names itself.
    ]

    def test_status_2_with_the_message_and_no_directory_left(self):
        for what, env, stream, message in self.CASES:
            with self.subTest(what):
                result, left, running = self.run_launcher(env)
                self.assertEqual(result.status, 2, result)
                self.assertRegex(getattr(result, stream), message)
                self.assertEqual(result.stdout + result.stderr, getattr(result, stream))
                self.assertEqual((left, running), (set(), []))


class PassingStartFailure(EndingTest):
    # Under load CreateProcessW has failed with 1359 for a moment: the start
    # is tried again and the application runs.
    def test_the_application_runs_after_failed_starts(self):
        for fault in ('start_process:0:1359', 'start_process:0:1359*4', 'start_process:0:32*2'):
            with self.subTest(fault):
                result, left, running = self.run_launcher({'FENZAR_TEST_FAULT': fault, 'PROBE_EXIT': '6'})
                self.assertEqual(result.status, 6, result)
                self.assertRegex(result.stdout, r'\Apath=')
                self.assertEqual(result.stderr, '')
                self.assertEqual((left, running), (set(), []))


class LimitsOfTheChildsStart(EndingTest):
    # A command line that the system accepts but the child's, with the
    # launcher's full path as argument 0, cannot hold: the launcher stops at
    # once, before it creates anything, instead of after unpacking. (An own
    # path of 4,096 characters or more cannot be shown: Wine starts no
    # program from a path of 260 or more; own_path_test and parent_end_test
    # check it natively.)
    def test_a_command_line_the_child_cannot_hold_leaves_nothing(self):
        exe, name = self.launcher()
        self.addCleanup(harness.kill_if_running, name)
        line = 'a ' + 'x' * 32747
        self.assertEqual(len(line), 32749)
        before = harness.onefile_dirs()
        result = harness.run(harness.CHILD_DRIVER, ['raw-env', harness.windows_path(exe), 'FENZAR_TEST_LINE'],
                             env={'FENZAR_TEST_LINE': line}, cwd=self.work)
        match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result)
        self.assertEqual(int(match.group(1)), 0xC0000409)
        self.assertEqual(result.stdout[:match.start()] + result.stderr, '')
        self.assertEqual(harness.onefile_dirs() - before, set(), 'nothing was unpacked')


class ExtendedLengthTemp(EndingTest):
    # TMP=\\?\C:\... gives a target directory in the extended-length form;
    # it is removed like any other, after a run and after a failure.
    def test_target_directory_is_removed(self):
        user = pwd.getpwuid(os.getuid()).pw_name
        for what, env, status in (('after a run', {'PROBE_EXIT': '3'}, 3),
                                  ('after a failed write', {'FENZAR_TEST_FAULT': 'write_file:1:112'}, 2)):
            with self.subTest(what):
                temp_name = 'fenzar_extended_%s' % uuid.uuid4().hex
                linux_temp = os.path.join(harness.wine_temp_dir(), temp_name)
                os.makedirs(linux_temp)
                self.addCleanup(shutil.rmtree, linux_temp, True)
                temp = '\\\\?\\C:\\users\\%s\\Temp\\%s' % (user, temp_name)
                result, _, running = self.run_launcher(dict(env, FENZAR_TEST_TMP=temp))
                self.assertEqual(result.status, status, result)
                if status == 3:
                    self.assertTrue(result.stdout.startswith('path=%s\\onefile_' % temp), result.stdout)
                self.assertEqual(os.listdir(linux_temp), [])
                self.assertEqual(running, [])


if __name__ == '__main__':
    unittest.main()
