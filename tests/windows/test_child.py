"""Child supervision end to end under Wine: the arguments, variables and
exit code that pass between the user, the launcher and the application; the
library-mode failures; the removal of the target directory, also when a file
is held open, paths are long, a console interrupt arrives or several
launchers run at once."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import harness

def argv_lines(stdout):
    return re.findall(r'^argv\[\d+\]=(.*)$', stdout, re.MULTILINE)


def env_value(stdout, name):
    match = re.search(r'^env %s=(.*)$' % name, stdout, re.MULTILINE)
    return match and match.group(1)


class ChildTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_child_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def pack(self, app, files=(), name='app.exe'):
        return harness.pack(harness.windows_test_file(app), files, out=os.path.join(self.work, name))

    def raw(self, program, command_line, env=None, timeout=120):
        """Starts PROGRAM with exactly COMMAND_LINE through child_driver;
        Result with the full exit code."""
        result = harness.run(harness.CHILD_DRIVER, ['raw', harness.windows_path(program), command_line],
                             env=env, cwd=self.work, timeout=timeout)
        match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result)
        return harness.Result(int(match.group(1)), result.stdout[:match.start()], result.stderr)

    def assertGone(self, directory):
        self.assertFalse(os.path.lexists(directory), directory)


class Arguments(ChildTest):
    TAILS = [
        'plain "two words" "" last',
        '"say \\"hi\\"" \\"quoted\\" x\\\\\\"y',
        '"C:\\dir with space\\\\" back\\slash \\\\server\\share\\ "a\\\\\\\\" b',
        '"tab\there" "new\nline" cr\rff\x0c',
        '\u00e9t\u00e9 "\u65e5\u672c \u8a9e" \U0001f600',
        '"" "" x ""',
        '""',
        '-f -o "" input',
    ]

    def test_application_gets_the_arguments_a_directly_started_program_gets(self):
        launcher = self.pack('echo_app.dll', name='Echo.exe')
        for tail in self.TAILS:
            with self.subTest(tail=tail):
                direct = self.raw(harness.CHILD_DRIVER, 'child_driver print-args ' + tail)
                expected = argv_lines(direct.stdout)[2:]
                # What the user typed as the program: a name without
                # directory or extension, in another letter case.
                result = self.raw(launcher, 'ECHO ' + tail)
                self.assertEqual(result.status, 0, result)
                received = argv_lines(result.stdout)
                self.assertEqual(received[0], harness.windows_path(launcher))
                self.assertEqual(received[1:], expected)
                self.assertEqual(env_value(result.stdout, 'FENZAR_ORIGINAL_ARGV0'), 'ECHO')
                self.assertGone(harness.target_dir(result.stdout))

    def test_launcher_splits_its_command_line_as_the_system_does(self):
        # The launcher splits its command line itself; split_compare holds it
        # against CommandLineToArgvW on a table and on random lines.
        result = harness.run(harness.windows_test_file('split_compare.exe'), [], cwd=self.work)
        self.assertEqual(result.status, 0, result.stdout[-3000:])
        self.assertRegex(result.stdout, r'\Acompared=\d{5} differing=0\n\Z')

    def test_variables_library_path_and_current_directory(self):
        launcher = self.pack('echo_app.dll', name='app.exe')
        result = self.raw(launcher, '".\\app.exe" x')
        self.assertEqual(env_value(result.stdout, 'FENZAR_ORIGINAL_ARGV0'), '.\\app.exe')
        self.assertEqual(env_value(result.stdout, 'FENZAR_ONEFILE_DIRECTORY'), harness.windows_path(self.work))
        path = re.search(r'^path=(.*)$', result.stdout, re.MULTILINE).group(1)
        self.assertRegex(path, r'\AC:\\users\\[^\\]+\\Temp\\onefile_\d+_\d{6}_[A-Za-z0-9_-]{11}\\echo_app\.dll\Z')
        self.assertEqual(re.search(r'^cwd=(.*)$', result.stdout, re.MULTILINE).group(1),
                         harness.windows_path(self.work))
        self.assertGone(harness.target_dir(result.stdout))


class ExitStatus(ChildTest):
    def test_exit_code_passes_through_with_all_32_bits(self):
        launcher = self.pack('echo_app.dll')
        for code in (0, 3, 0xFFFFFFFF, 3221225477):
            with self.subTest(code=code):
                result = harness.run_full_status(launcher, env={'ECHO_APP_EXIT': str(code)}, cwd=self.work)
                self.assertEqual(result.status, code)
                self.assertEqual(result.stderr, '')
                self.assertGone(harness.target_dir(result.stdout))

    def test_library_without_run_code(self):
        # The packer refuses such a library; linked attached data has it.
        app = harness.windows_test_file('no_entry_app.dll')
        with open(app, 'rb') as f:
            launcher = harness.link_archive([('no_entry_app.dll', f.read())],
                                            os.path.join(self.work, 'app.exe'))
        before = harness.onefile_dirs()
        result = harness.run(launcher, cwd=self.work)
        self.assertEqual((result.status, result.stdout, result.stderr),
                         (2, 'Error, DLL entry point not found.\n', ''))
        self.assertEqual(harness.onefile_dirs() - before, set())

    def test_library_needing_a_library_only_next_to_the_launcher(self):
        launcher = self.pack('needs_neighbour_app.dll')
        shutil.copy(harness.windows_test_file('neighbour_lib.dll'), self.work)
        before = harness.onefile_dirs()
        result = harness.run(launcher, cwd=self.work)
        self.assertEqual(result.status, 2, result)
        self.assertEqual(result.stdout, '')
        self.assertRegex(result.stderr, r'\AError, load DLL\. \(\[Error 126\] [^\n]+\)\n'
                                        r"The DLL 'neighbour_lib\.dll' that '[^\n]+\\needs_neighbour_app\.dll' "
                                        r'needs was not found: [^\n]+\n\Z')
        self.assertEqual(harness.onefile_dirs() - before, set())
        # Packed beside it, the same library is found.
        packed = self.pack('needs_neighbour_app.dll', [harness.windows_test_file('neighbour_lib.dll')],
                           name='packed.exe')
        self.assertEqual(harness.run(packed, cwd=self.work), (0, 'neighbour=42\n', ''))

    def test_copy_started_by_the_application_runs_it_in_re_entered_mode(self):
        # The application starts its own launcher again, which inherits
        # FENZAR_ONEFILE_PARENT: the copy runs the already unpacked library
        # without unpacking anything. The application runs in the job that
        # ties it to its launcher; the copy it starts breaks away from it.
        launcher = self.pack('child_probe_app.dll')
        before = harness.onefile_dirs()
        result = harness.run(launcher, env={'PROBE_AGAIN': '1', 'PROBE_EXIT': '6'}, cwd=self.work)
        self.assertEqual(result.status, 6, result)
        paths = re.findall(r'^path=(.*)$', result.stdout, re.MULTILINE)
        self.assertEqual(len(paths), 2, result.stdout)
        self.assertEqual(paths[0], paths[1])
        self.assertEqual(re.findall(r'^(in_job=\d|again=\d+)$', result.stdout, re.MULTILINE),
                         ['in_job=1', 'in_job=0', 'again=6'])
        self.assertEqual(harness.onefile_dirs() - before, set())

    def test_standard_streams_reach_the_callers_pipes(self):
        launcher = self.pack('child_probe_app.dll')
        result = harness.run(launcher, env={'PROBE_OUT': 'to stdout', 'PROBE_ERR': 'to stderr'}, cwd=self.work)
        self.assertEqual(result.status, 0)
        self.assertIn('to stdout\n', result.stdout)
        self.assertEqual(result.stderr, 'to stderr\n')
        self.assertGone(harness.target_dir(result.stdout))


class Removal(ChildTest):
    def test_file_held_open_delays_removal_and_stays_alone(self):
        launcher = self.pack('child_probe_app.dll')
        env = {'PROBE_HOLD': 'held.txt', 'PROBE_HOLDER': harness.windows_path(harness.CHILD_DRIVER),
               'PROBE_EXIT': '5'}
        # The holder's Linux process may keep inherited descriptors of the
        # caller's pipes open, so the streams go to files here.
        with open(os.path.join(self.work, 'out'), 'w+b') as out, open(os.path.join(self.work, 'err'), 'w+b') as err:
            start = time.monotonic()
            status = subprocess.run([harness.WINE, launcher], stdout=out, stderr=err, cwd=self.work,
                                    env=harness.wine_environment(env), timeout=120).returncode
            elapsed = time.monotonic() - start
            out.seek(0)
            err.seek(0)
            result = harness.Result(status, out.read().decode().replace('\r\n', '\n'), err.read().decode())
        directory = harness.target_dir(result.stdout)
        self.addCleanup(shutil.rmtree, directory, True)
        self.assertEqual((result.status, result.stderr), (5, ''))
        self.assertIn('held=1\n', result.stdout)
        self.assertNotIn('Error', result.stdout)
        # 20 pauses of 100 ms; the holder keeps the file for 6 s, so the
        # launcher did not wait for it to let go.
        self.assertGreaterEqual(elapsed, 2.0)
        self.assertLess(elapsed, 5.5)
        self.assertEqual(os.listdir(directory), ['held.txt'])

    def test_paths_longer_than_260_are_removed_and_nothing_outside(self):
        # Under Wine a full path cannot pass Linux's PATH_MAX of 4,096 bytes in
        # its Unix form, so the deepest file here stays just below that.
        launcher = self.pack('child_probe_app.dll')
        cwd_canary = os.path.join(self.work, 'canary.txt')
        beside_canary = os.path.join(harness.wine_temp_dir(), 'fenzar_canary_%d.txt' % os.getpid())
        for canary in (cwd_canary, beside_canary):
            with open(canary, 'w') as f:
                f.write('canary')
        self.addCleanup(os.remove, beside_canary)
        for length in (261, 1000, 3900):
            with self.subTest(length=length):
                result = harness.run(launcher, env={'PROBE_DEEP': str(length)}, cwd=self.work)
                self.assertEqual(result.status, 0, result)
                self.assertRegex(result.stdout, r'deep=%d levels=\d+ exists=1\n' % length)
                self.assertGone(harness.target_dir(result.stdout))
                self.assertTrue(os.path.exists(cwd_canary))
                self.assertTrue(os.path.exists(beside_canary))
                self.assertTrue(os.path.exists(launcher))

    def test_eight_launchers_at_once(self):
        launcher = self.pack('echo_app.dll')
        results = [None] * 8

        def run(index):
            results[index] = harness.run(launcher, ['run', str(index)], cwd=self.work)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        directories = set()
        for index, result in enumerate(results):
            self.assertEqual(result.status, 0, result)
            self.assertEqual(argv_lines(result.stdout)[1:], ['run', str(index)])
            directories.add(harness.target_dir(result.stdout))
        self.assertEqual(len(directories), 8)
        for directory in directories:
            self.assertGone(directory)


class ConsoleInterrupt(ChildTest):
    # Wine delivers CTRL_C_EVENT to a graphical-subsystem program only when a
    # console-subsystem Windows program started it and its Linux process gets
    # SIGINT; so the launcher runs under child_driver, and the test sends
    # SIGINT to the Linux processes it chooses. Wine ends a process whose
    # handler returned FALSE with status 0 (Windows: 0xC000013A), so the
    # launcher ends itself with the status it decides.
    def interrupt(self, env, signalled):
        """Runs a launcher of child_probe_app with ENV under child_driver,
        sends SIGINT to the parent's and then, when SIGNALLED is 'both', to
        the child's Linux process, and returns (driver's stdout after the
        path line, stderr, seconds from the interrupt to the end, target
        directory)."""
        # A name of its own, so that no other process matches it.
        name = 'interrupted_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        launcher = self.pack('child_probe_app.dll', name=name)
        command = [harness.WINE, harness.CHILD_DRIVER, 'raw', harness.windows_path(launcher), name]
        driver = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.work,
                                  env=harness.wine_environment(env))
        try:
            path_line = driver.stdout.readline().decode()
            directory = harness.target_dir(path_line)
            self.assertTrue(os.path.isdir(directory))
            pids = []
            deadline = time.monotonic() + 30
            while len(pids) < 2 and time.monotonic() < deadline:
                pids = harness.linux_processes_running(name)
                time.sleep(0.1)
            self.assertEqual(len(pids), 2, 'parent and child launcher')
            self.addCleanup(harness.kill_if_running, name)
            interrupted = time.monotonic()
            os.kill(pids[0], signal.SIGINT)
            if signalled == 'both':
                # The parent's handler is giving the child its grace now.
                time.sleep(0.5)
                os.kill(pids[1], signal.SIGINT)
            stdout, stderr = driver.communicate(timeout=60)
            driver.stdout.close()
            driver.stderr.close()
            elapsed = time.monotonic() - interrupted
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.communicate()
        self.assertEqual(harness.linux_processes_running(name), [], 'no launcher is left running')
        return stdout.decode().replace('\r\n', '\n'), stderr, elapsed, directory

    def test_interrupt_ends_child_after_grace_and_removes_directory(self):
        # The application sleeps and never sees the event: the launcher gives
        # it the 5 s grace, then terminates it and ends with 0xC000013A.
        stdout, stderr, elapsed, directory = self.interrupt({'PROBE_SLEEP_MS': '60000'}, 'parent')
        self.assertEqual(stdout, 'exit_code=%d\n' % 0xC000013A)
        # Only the driver's report follows the path line: no "finished".
        self.assertEqual(stderr, b'')
        self.assertGreaterEqual(elapsed, 4.5)
        self.assertLess(elapsed, 30)
        self.assertGone(directory)

    def test_application_ending_on_the_interrupt_passes_its_own_status(self):
        # The application's own handler ends it with 2 within the grace.
        stdout, stderr, elapsed, directory = self.interrupt(
            {'PROBE_SLEEP_MS': '60000', 'PROBE_CTRL_C': '2'}, 'both')
        self.assertEqual(stdout, 'interrupted\nexit_code=2\n')
        self.assertEqual(stderr, b'')
        self.assertLess(elapsed, 4.5, 'the child was not terminated after the grace')
        self.assertGone(directory)


if __name__ == '__main__':
    unittest.main()
