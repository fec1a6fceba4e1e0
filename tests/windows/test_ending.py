"""How a launcher ends under Wine when it does not simply run to its end: a
launcher killed outright.

The launchers here carry the fault hooks (tests/windows/hooks)."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from test_child import DRIVER, kill_if_running, linux_processes_running, target_dir

PROBE = harness.windows_test_file('child_probe_app.dll')


class EndingTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_ending_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launcher(self):
        """A launcher of child_probe_app with the hooks, under a name no other
        process has; returns (path, name)."""
        name = 'ending_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        return harness.pack_with_hooks(PROBE, out=os.path.join(self.work, name)), name


class KilledLauncher(EndingTest):
    # The child is in a job object that kills it when the launcher's last
    # handle to the job closes; Wine implements this (JOB_OBJECT_LIMIT_
    # KILL_ON_JOB_CLOSE) and ends the child within milliseconds, as Windows
    # does. Nobody is left to remove the target directory: it stays.
    def test_child_ends_with_the_launcher_and_the_directory_stays(self):
        for how in ('kill -9 of its Wine process', 'TerminateProcess'):
            with self.subTest(how):
                exe, name = self.launcher()
                self.addCleanup(kill_if_running, name)
                env = harness.wine_environment({'PROBE_SLEEP_MS': '60000'})
                command = [harness.WINE, DRIVER, 'terminate-on-input', harness.windows_path(exe), name]
                driver = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=self.work,
                                          env=env)
                try:
                    directory = target_dir(driver.stdout.readline().decode())
                    self.addCleanup(shutil.rmtree, directory, True)
                    pids = []
                    deadline = time.monotonic() + 30
                    while len(pids) < 2 and time.monotonic() < deadline:
                        pids = linux_processes_running(name)
                        time.sleep(0.05)
                    self.assertEqual(len(pids), 2, 'parent and child launcher')
                    killed = time.monotonic()
                    if how == 'TerminateProcess':
                        driver.stdin.write(b'\n')
                        driver.stdin.flush()
                    else:
                        os.kill(pids[0], signal.SIGKILL)
                    while linux_processes_running(name) and time.monotonic() - killed < 10:
                        time.sleep(0.01)
                    gone_after = time.monotonic() - killed
                    stdout, _ = driver.communicate(b'', timeout=60)
                finally:
                    if driver.poll() is None:
                        driver.kill()
                        driver.communicate()
                self.assertEqual(linux_processes_running(name), [])
                self.assertLess(gone_after, 1.0, 'the child outlived its launcher')
                self.assertNotIn(b'finished', stdout)
                self.assertTrue(os.path.isdir(directory))


if __name__ == '__main__':
    unittest.main()
