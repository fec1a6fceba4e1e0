"""How a launcher ends under Wine when it does not simply run to its end: a
console event at each moment of its run, a launcher killed outright, a
failed wait, and failures that end it with status 2.

The launchers here carry the fault hooks (tests/windows/hooks). Under Wine a
console event reaches a launcher only from a console parent and SIGINT
(test_child.ConsoleInterrupt does that while the application runs); to place
an event at an exact moment, the hooks call the launcher's registered
handler on a new thread, as the platform does, just before a chosen call."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

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
        ('before unpacking', 'allocate_memory:0', {}, INTERRUPTED),
        ('while a file is written', 'write_file:1', {}, INTERRUPTED),
        ('between unpacking and the start', 'get_raw_command_line:0', {}, INTERRUPTED),
        # The application ignores the event: 5 s of grace, then terminated.
        ('while the application runs', 'wait_for_process:0', {'PROBE_SLEEP_MS': '60000'}, INTERRUPTED),
        # The application had ended with 3 by itself: its status stands.
        ('while the directory is removed', 'delete_file:0', {'PROBE_EXIT': '3'}, 3),
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
    CASES = [
        # fault, stream, message
        ('start_process:0:1359', 'stderr', r"\AError, couldn't launch child \(\[Error 1359\] .+\)\n\Z"),
        ('write_file:1:112', 'stderr', r"\AError, couldn't unpack file to target path\. \(\[Error 112\] .+\)\n\Z"),
        ('add_console_control_handler:0:5', 'stdout', r"\AError, failed to register signal handler\.\n\Z"),
        ('allocate_memory:0:8', 'stdout', r"\AError, couldn't allocate memory\.\n\Z"),
    ]

    def test_status_2_with_the_message_and_no_directory_left(self):
        for fault, stream, message in self.CASES:
            with self.subTest(fault):
                result, left, running = self.run_launcher({'FENZAR_TEST_FAULT': fault})
                self.assertEqual(result.status, 2, result)
                self.assertRegex(getattr(result, stream), message)
                self.assertEqual(result.stdout + result.stderr, getattr(result, stream))
                self.assertEqual((left, running), (set(), []))


if __name__ == '__main__':
    unittest.main()
