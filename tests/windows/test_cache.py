"""Launchers packed with --cache: the application runs from
%LOCALAPPDATA%\\Fenzar\\<name>\\<digest>\\files, unpacked by the first start
into a private sibling and published with one rename, checked by later
starts against the index and never removed at the end; old content goes
once no launcher holds its lock.

What Wine cannot show: Wine gives every program an elevated token, so the
launchers here run through run_unelevated.exe, which starts them with the
limited token linked to its own, as Windows does for an administrator's
unelevated programs; a launcher started directly shows the elevated case.
Windows also refuses to rename a directory with a file open or mapped inside
it, which Wine allows; the lock file's share modes, which Wine enforces
between its processes, are what keeps a directory in use here."""
import glob
import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import harness

RUN_UNELEVATED = harness.windows_test_file('run_unelevated.exe')


def local_app_data():
    user = os.path.basename(os.path.dirname(harness.wine_temp_dir()))
    return os.path.join(harness.WINEPREFIX, 'drive_c', 'users', user, 'AppData', 'Local')


def folder_name(name, launcher='app.exe'):
    """The application's folder: the library's name and a key of the
    launcher's file name, so that two applications whose libraries share a
    name keep apart."""
    key = hashlib.sha256(launcher.lower().encode('utf-16-le')).hexdigest()[:8]
    return '%s-%s' % (name, key)


def cache_folder(name, launcher='app.exe'):
    return os.path.join(local_app_data(), 'Fenzar', folder_name(name, launcher))


def attached_digest(exe):
    """The first 16 bytes of the SHA-256 of the launcher's attached data, in
    hex: the name its cache directory must have."""
    with open(exe, 'rb') as f:
        image = f.read()
    start = harness.data_section(image).raw_pointer
    length = struct.unpack_from('<Q', image, start)[0]
    data = image[start + harness.DATA_OFFSET:start + harness.DATA_OFFSET + length]
    return hashlib.sha256(data).hexdigest()[:32]


def command(exe, args=()):
    return [harness.WINE, RUN_UNELEVATED, harness.windows_path(exe), *args]


def finish(completed_stdout, completed_stderr, returncode):
    """Result(status, stdout, stderr) of a run through run_unelevated.exe,
    with the driver's exit_code line taken as the status."""
    stdout = completed_stdout.decode('utf-8', 'replace').replace('\r\n', '\n')
    stderr = completed_stderr.decode('utf-8', 'replace').replace('\r\n', '\n')
    match = re.search(r'^exit_code=(\d+)\n\Z', stdout, re.MULTILINE)
    if returncode != 0 or match is None:
        raise RuntimeError('run_unelevated failed (%d):\n%s%s' % (returncode, stdout, stderr))
    return harness.Result(int(match.group(1)), stdout[:match.start()], stderr)


def run_unelevated(exe, args=(), env=None, timeout=120, cwd=None):
    completed = subprocess.run(command(exe, args), capture_output=True,
                               env=harness.wine_environment(env), timeout=timeout, cwd=cwd)
    return finish(completed.stdout, completed.stderr, completed.returncode)


def start_unelevated(exe, args=(), env=None):
    return subprocess.Popen(command(exe, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=harness.wine_environment(env))


def wait_unelevated(process, timeout=120):
    stdout, stderr = process.communicate(timeout=timeout)
    return finish(stdout, stderr, process.returncode)


def tree(root):
    """{relative path: bytes} of every file below ROOT."""
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, 'rb') as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


class Cache(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_cache_')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.temp_before = harness.onefile_dirs()

    def app(self, source, name):
        """A copy of the test application SOURCE named NAME.dll: the cache's
        folder is named after it, so every test has its own."""
        path = os.path.join(self.work, name + '.dll')
        shutil.copyfile(harness.windows_test_file(source), path)
        folder = cache_folder(name)
        shutil.rmtree(folder, True)
        self.addCleanup(shutil.rmtree, folder, True)
        return path

    def payload(self, version='1', count=3):
        """A directory with a few files whose content depends on VERSION."""
        files = os.path.join(self.work, 'payload' + version)
        os.makedirs(os.path.join(files, 'sub'), exist_ok=True)
        for i in range(count):
            with open(os.path.join(files, 'sub', 'f%04d.bin' % i), 'wb') as f:
                f.write(('%s:%d\n' % (version, i)).encode() * (1 + i % 7))
        with open(os.path.join(files, 'greeting.txt'), 'w') as f:
            f.write('hello ' + version)
        return files

    def pack(self, app, payload, name='app.exe', options=()):
        exe = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        return harness.pack(app, [payload + '/.'], out=exe, options=['--level', '3', '--cache', *options])

    def content(self, name, digest):
        return os.path.join(cache_folder(name), digest)

    def assert_only(self, name, digests):
        """The application's folder holds exactly the content directories of
        DIGESTS and their locks: nothing half unpacked, nothing claimed."""
        expected = set(digests) | {d + '.lock' for d in digests}
        self.assertEqual(set(os.listdir(cache_folder(name))), expected)

    def assert_runs_from_cache(self, result, name, digest, status=0):
        self.assertEqual(result.status, status, result)
        self.assertEqual(result.stderr, '')
        library = 'C:\\users\\%s\\AppData\\Local\\Fenzar\\%s\\%s\\files\\%s.dll' % (
            os.path.basename(os.path.dirname(harness.wine_temp_dir())), folder_name(name), digest, name)
        self.assertIn('path=' + library + '\n', result.stdout)
        self.assertIn('env FENZAR_ONEFILE_TIME_US unset\n', result.stdout)

    def assert_files_as_packed(self, name, digest, app, payload):
        expected = tree(payload)
        with open(app, 'rb') as f:
            expected[name + '.dll'] = f.read()
        self.assertEqual(tree(os.path.join(self.content(name, digest), 'files')), expected)

    def test_first_and_second_start(self):
        app = self.app('echo_app.dll', 'cache_starts')
        payload = self.payload()
        exe = self.pack(app, payload)
        digest = attached_digest(exe)
        env = {'ECHO_APP_EXIT': '0x8765ABCD'}
        first = run_unelevated(exe, ['one', 'two words'], env=env)
        self.assert_runs_from_cache(first, 'cache_starts', digest, status=0x8765ABCD)
        self.assertIn('argv[2]=two words\n', first.stdout)
        self.assert_only('cache_starts', [digest])
        self.assert_files_as_packed('cache_starts', digest, app, payload)
        files = os.path.join(self.content('cache_starts', digest), 'files')
        written = {path: os.stat(path).st_mtime_ns for path in glob.glob(files + '/**', recursive=True)}

        second = run_unelevated(exe, ['again'], env=env)
        self.assert_runs_from_cache(second, 'cache_starts', digest, status=0x8765ABCD)
        self.assertIn('argv[1]=again\n', second.stdout)
        # Nothing was unpacked again: every file is the one the first start wrote.
        self.assertEqual({path: os.stat(path).st_mtime_ns for path in written}, written)
        self.assert_only('cache_starts', [digest])
        self.assertEqual(harness.onefile_dirs() - self.temp_before, set())

    def test_without_cache_and_elevated_the_temporary_directory_is_used(self):
        app = self.app('echo_app.dll', 'cache_elevated')
        payload = self.payload()
        cached = self.pack(app, payload)
        plain = harness.pack(app, [payload + '/.'], out=os.path.join(self.work, 'plain.exe'),
                             options=['--level', '3'])
        for exe, runner in ((cached, harness.run_full_status), (plain, run_unelevated)):
            with self.subTest(exe=os.path.basename(exe)):
                result = runner(exe, ['x'], env={'ECHO_APP_EXIT': '7'})
                self.assertEqual(result.status, 7, result)
                self.assertRegex(result.stdout, r'path=C:\\users\\[^\\]+\\Temp\\onefile_\d+_\d{6}_')
                self.assertFalse(os.path.exists(cache_folder('cache_elevated')))
                self.assertEqual(harness.onefile_dirs() - self.temp_before, set())

    def test_instances_started_at_once_publish_one_directory(self):
        for count in (2, 8):
            with self.subTest(count=count):
                name = 'cache_race%d' % count
                app = self.app('echo_app.dll', name)
                payload = self.payload(count=200)
                exe = self.pack(app, payload)
                digest = attached_digest(exe)
                processes = [start_unelevated(exe, [str(i)], env={'ECHO_APP_EXIT': str(10 + i)})
                             for i in range(count)]
                for i, process in enumerate(processes):
                    result = wait_unelevated(process)
                    self.assert_runs_from_cache(result, name, digest, status=10 + i)
                    self.assertIn('argv[1]=%d\n' % i, result.stdout)
                self.assert_only(name, [digest])
                self.assert_files_as_packed(name, digest, app, payload)

    def test_a_deleted_and_a_truncated_file_are_repaired(self):
        app = self.app('echo_app.dll', 'cache_repair')
        payload = self.payload(count=5)
        exe = self.pack(app, payload)
        digest = attached_digest(exe)
        self.assert_runs_from_cache(run_unelevated(exe), 'cache_repair', digest)
        files = os.path.join(self.content('cache_repair', digest), 'files')
        os.remove(os.path.join(files, 'sub', 'f0003.bin'))
        with open(os.path.join(files, 'greeting.txt'), 'r+b') as f:
            f.truncate(2)
        result = run_unelevated(exe, ['after'])
        self.assert_runs_from_cache(result, 'cache_repair', digest)
        self.assertIn('argv[1]=after\n', result.stdout)
        self.assert_files_as_packed('cache_repair', digest, app, payload)
        self.assert_only('cache_repair', [digest])

    def test_a_zero_filled_library_of_the_right_size_is_repaired_by_the_next_start(self):
        """As after a power cut: the library keeps its size but holds zeros.
        The sizes match, so the start that finds it fails to load it, with
        the load's message and status 2, and marks the content broken; the
        next start unpacks it again."""
        name = 'cache_zeros'
        app = self.app('echo_app.dll', name)
        exe = self.pack(app, self.payload())
        digest = attached_digest(exe)
        self.assert_runs_from_cache(run_unelevated(exe), name, digest)
        library = os.path.join(self.content(name, digest), 'files', name + '.dll')
        size = os.path.getsize(library)
        with open(library, 'wb') as f:
            f.write(bytes(size))
        failed = run_unelevated(exe)
        self.assertEqual(failed.status, 2, failed)
        self.assertIn('Error, load DLL.', failed.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.content(name, digest), 'index')))
        result = run_unelevated(exe, ['repaired'])
        self.assert_runs_from_cache(result, name, digest)
        self.assertIn('argv[1]=repaired\n', result.stdout)
        self.assert_files_as_packed(name, digest, app, self.payload())
        self.assert_only(name, [digest])

    def test_two_applications_whose_libraries_share_a_name_keep_their_content(self):
        """Two unrelated applications, both app.dll, packed to one.exe and
        two.exe: each has a folder of its own, so starting them in turn never
        removes the other's content and every second start runs cached."""
        name = 'cache_shared_name'
        app = self.app('echo_app.dll', name)
        launchers = {}
        for launcher in ('one.exe', 'two.exe'):
            folder = cache_folder(name, launcher)
            shutil.rmtree(folder, True)
            self.addCleanup(shutil.rmtree, folder, True)
            launchers[launcher] = self.pack(app, self.payload(launcher), name=launcher)
        self.assertNotEqual(folder_name(name, 'one.exe'), folder_name(name, 'two.exe'))
        for round_number in range(2):
            for launcher, exe in launchers.items():
                digest = attached_digest(exe)
                result = run_unelevated(exe)
                self.assertEqual(result.status, 0, result)
                self.assertIn('env FENZAR_ONEFILE_TIME_US unset\n', result.stdout)
                content = os.path.join(cache_folder(name, launcher), digest)
                self.assertEqual(sorted(os.listdir(cache_folder(name, launcher))), [digest, digest + '.lock'])
                if round_number == 1:
                    # Cached: the index is the one the first round wrote.
                    self.assertLess(os.path.getmtime(os.path.join(content, 'index')), started)
            started = time.time()

    def test_a_new_build_removes_the_old_content_once_no_instance_runs_from_it(self):
        name = 'cache_versions'
        app = self.app('child_probe_app.dll', name)
        # Two builds of one application, each written to app.exe.
        old = self.pack(app, self.payload('1'), name=os.path.join('old', 'app.exe'))
        new = self.pack(app, self.payload('2'), name=os.path.join('new', 'app.exe'))
        old_digest, new_digest = attached_digest(old), attached_digest(new)
        self.assertNotEqual(old_digest, new_digest)

        running = start_unelevated(old, env={'PROBE_SLEEP_MS': '4000', 'PROBE_EXIT': '3'})
        deadline = time.monotonic() + 60
        while not os.path.isdir(self.content(name, old_digest)) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(run_unelevated(new).status, 0)
        # The old launcher's application still runs from its directory.
        self.assert_only(name, [old_digest, new_digest])
        result = wait_unelevated(running)
        self.assertEqual(result.status, 3, result)
        self.assertIn('finished\n', result.stdout)

        self.assertEqual(run_unelevated(new).status, 0)
        self.assert_only(name, [new_digest])
        # The old build started again unpacks its content anew and removes
        # the new build's, which no launcher uses now.
        self.assertEqual(run_unelevated(old).status, 0)
        self.assert_only(name, [old_digest])

    def test_an_interrupted_first_start_leaves_nothing_taken_for_complete(self):
        name = 'cache_interrupted'
        app = self.app('echo_app.dll', name)
        payload = self.payload(count=1500)
        exe = self.pack(app, payload)
        digest = attached_digest(exe)
        # TerminateProcess, as End task does: the Linux process of the
        # launcher is killed outright (run_unelevated then reports it).
        process = start_unelevated(exe)
        self.wait_for_partial_unpacking(name, digest)
        killed = self.kill_launcher(exe)
        process.communicate(timeout=60)
        self.assertTrue(killed, 'the launcher was found and killed')
        self.assertFalse(os.path.exists(self.content(name, digest)))
        leftovers = [entry for entry in os.listdir(cache_folder(name)) if entry.endswith('.tmp')]
        self.assertEqual(len(leftovers), 1, os.listdir(cache_folder(name)))
        # A .tmp younger than a minute is kept (a launcher of another machine
        # sharing the folder may still unpack there): this one is aged.
        old = time.time() - 120
        os.utime(os.path.join(cache_folder(name), leftovers[0]), (old, old))

        result = run_unelevated(exe, ['normal'])
        self.assert_runs_from_cache(result, name, digest)
        self.assert_files_as_packed(name, digest, app, payload)
        # The dead launcher's private directory went with the next start.
        self.assert_only(name, [digest])

    def kill_launcher(self, exe):
        """SIGKILL to the oldest Wine process whose program is EXE (the
        parent launcher)."""
        for pid in harness.linux_processes_running(harness.windows_path(exe).lower()):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                continue
            return True
        return False

    def wait_for_partial_unpacking(self, name, digest):
        """Until a first start has written ten files of its private
        directory."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            partial = glob.glob(os.path.join(cache_folder(name), digest + '.*.tmp', 'files', 'sub', 'f00*'))
            if len(partial) >= 10:
                return
            time.sleep(0.01)

    def test_a_console_event_during_the_first_start_removes_the_private_directory(self):
        # The hooks template delivers the interrupt at the 20th file, as the
        # platform would: a windowed launcher gets no SIGINT under Wine.
        name = 'cache_event'
        app = self.app('echo_app.dll', name)
        payload = self.payload(count=50)
        data = os.path.join(self.work, 'app.bin')
        subprocess.run([harness.FENZAR_PACK, 'build', '--level', '3', '-o', data, app, payload + '/.'],
                       check=True, capture_output=True)
        os.makedirs(os.path.join(self.work, 'hooked'))
        exe = os.path.join(self.work, 'hooked', 'app.exe')
        subprocess.run([harness.FENZAR_PACK, 'link', '--cache', '--template', harness.HOOKS_TEMPLATE,
                        '-o', exe, data], check=True, capture_output=True)
        digest = attached_digest(exe)
        result = run_unelevated(exe, env={'FENZAR_TEST_EVENT': 'create_file_for_writing:20'})
        self.assertEqual(result.status, 0xC000013A, result)
        self.assertEqual(result.stdout, '')
        # Only the lock file stays, which is no content.
        self.assertEqual(os.listdir(cache_folder(name)), [digest + '.lock'])
        result = run_unelevated(exe)
        self.assert_runs_from_cache(result, name, digest)
        self.assert_only(name, [digest])

    def test_ctrl_c_during_the_first_start_of_a_console_launcher(self):
        # SIGINT to a new session's process group reaches the console
        # programs in it as CTRL_C_EVENT: the launcher, started by the
        # driver, while it unpacks into its private directory.
        name = 'cache_ctrl_c'
        app = self.app('echo_app.dll', name)
        payload = self.payload(count=1500)
        exe = self.pack(app, payload, options=['--console'])
        digest = attached_digest(exe)
        process = subprocess.Popen(command(exe), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=harness.wine_environment(),
                                   start_new_session=True, restore_signals=True)
        self.addCleanup(process.kill)
        self.wait_for_partial_unpacking(name, digest)
        os.killpg(process.pid, signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
        result = finish(stdout, stderr, process.returncode)
        self.assertEqual(result.status, 0xC000013A, result)
        self.assertEqual(result.stdout, '')
        # The private directory went with the launcher; only the lock stays.
        self.assertEqual(os.listdir(cache_folder(name)), [digest + '.lock'])
        result = run_unelevated(exe, ['normal'])
        self.assert_runs_from_cache(result, name, digest)
        self.assert_files_as_packed(name, digest, app, payload)
        self.assert_only(name, [digest])

    def test_a_cache_folder_that_is_a_link_or_a_file_is_bypassed(self):
        app = self.app('echo_app.dll', 'cache_link')
        exe = self.pack(app, self.payload())
        elsewhere = os.path.join(self.work, 'elsewhere')
        os.makedirs(elsewhere)
        os.makedirs(os.path.join(local_app_data(), 'Fenzar'), exist_ok=True)
        folder = cache_folder('cache_link')
        for kind in ('link', 'file'):
            with self.subTest(kind=kind):
                if kind == 'link':
                    os.symlink(elsewhere, folder)
                else:
                    with open(folder, 'w') as f:
                        f.write('not a folder')
                try:
                    result = run_unelevated(exe, ['x'])
                    self.assertEqual(result.status, 0, result)
                    self.assertRegex(result.stdout, r'path=C:\\users\\[^\\]+\\Temp\\onefile_\d+_\d{6}_')
                    self.assertEqual(os.listdir(elsewhere), [])
                    if kind == 'file':
                        with open(folder) as f:
                            self.assertEqual(f.read(), 'not a folder')
                    self.assertEqual(harness.onefile_dirs() - self.temp_before, set())
                finally:
                    os.remove(folder)
                    shutil.rmtree(elsewhere, True)
                    os.makedirs(elsewhere)


if __name__ == '__main__':
    unittest.main()
