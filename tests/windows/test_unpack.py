"""Unpacking on real launchers under Wine: every record below the target
directory byte for byte, and the three ways unpacking ends early (a file that
cannot be opened, a failed write, a full path past 4,096 characters).

The archives are crafted here and linked with the fault hooks
(tests/windows/hooks) by harness.link_with_hooks, into the launcher template
that carries them. A failure with status 2
removes the target directory; to look at what a run wrote, the hooks turn a
chosen call into an immediate stop, which leaves everything as it is: the
child's start (FINISHED_UNPACKING), or the first deletion of the removal that
follows a failure (FROZEN_REMOVAL)."""
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest
import uuid

import harness
from attached_data import archive, wrap, zstd_frame

APP = harness.windows_test_file('echo_app.dll')
FINISHED_UNPACKING = 'start_process:0:stop'
FROZEN_REMOVAL = 'delete_entry_relative:0:stop'
PIECE = 32768


def attached_data(records):
    return wrap(zstd_frame(archive(records), '-3'))


def pattern(size, seed):
    state = seed
    out = bytearray(size)
    for i in range(size):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = state >> 24
    return bytes(out)


def long_name(length):
    """A name of LENGTH units in components of at most 255 (the file systems'
    limit for one name)."""
    name = ''
    while len(name) < length:
        if name:
            name += '\\'
        name += chr(ord('a') + len(name) % 26) * min(255, length - len(name))
    return name


class UnpackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        with open(APP, 'rb') as app:
            cls.app = app.read()

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def setUp(self):
        self.marker = 'marker_%s.txt' % uuid.uuid4().hex
        self.left_behind = []

    def tearDown(self):
        for directory in self.left_behind:
            shutil.rmtree(directory, ignore_errors=True)

    def launcher(self, records, checked=True):
        """A launcher for RECORDS after echo_app.dll and this test's marker;
        with checked=False also for records that `fenzar-pack link` refuses."""
        records = [('echo_app.dll', self.app), (self.marker, b'')] + records
        exe = os.path.join(self.scratch.name, self.marker + '.exe')
        if not checked:
            return harness.link_unchecked(attached_data(records), exe, self.scratch.name,
                                          template=harness.HOOKS_TEMPLATE)
        data = os.path.join(self.scratch.name, self.marker + '.bin')
        with open(data, 'wb') as out:
            out.write(attached_data(records))
        return harness.link_with_hooks(data, exe)

    def marked_directories(self):
        temp = harness.wine_temp_dir()
        return [os.path.join(temp, name) for name in os.listdir(temp)
                if name.startswith('onefile_') and os.path.exists(os.path.join(temp, name, self.marker))]

    def target_directory(self):
        """The Linux path of this test's target directory (the one holding
        its marker), to be removed after the test."""
        found = self.marked_directories()
        self.assertEqual(len(found), 1, found)
        self.left_behind.append(found[0])
        return found[0]

    def assert_removed(self, result):
        """The run ended with status 2 and left no directory of this test."""
        self.assertEqual(result.status, 2, result.stdout + result.stderr)
        self.assertEqual(self.marked_directories(), [], 'a failure removes the target directory')


    def files_below(self, directory):
        result = {}
        for parent, _, names in os.walk(directory):
            for name in names:
                path = os.path.join(parent, name)
                relative = os.path.relpath(path, directory).replace('/', '\\')
                with open(path, 'rb') as data:
                    result[relative] = data.read()
        return result

    def assert_stopped_at_the_start(self, result):
        self.assertEqual((result.status, result.stdout, result.stderr), (0xC0000409 & 0xFF, '', ''))

    def test_every_record_is_written_byte_exact(self):
        records = [
            ('nested\\deeper\\deepest\\data.bin', pattern(50000, 1)),
            ('empty.txt', b''),
            ('exact.bin', pattern(PIECE, 2)),
            ('one_more.bin', pattern(PIECE + 1, 3)),
            ('nested\\again.txt', b'an earlier content, longer than the later one'),
            (long_name(1023), pattern(1000, 4)),
            ('nested\\again.txt', b'later'),
        ]
        result = harness.run(self.launcher(records), env={'FENZAR_TEST_FAULT': FINISHED_UNPACKING})
        self.assert_stopped_at_the_start(result)

        expected = {'echo_app.dll': self.app, self.marker: b''}
        expected.update(records)
        self.assertEqual(self.files_below(self.target_directory()), expected)

    def run_failing(self, exe, fault=None, env=None):
        """Runs EXE (with FENZAR_TEST_FAULT=FAULT and ENV) twice: as it is,
        where the failure must end with status 2 and no directory, and with
        the removal frozen. Returns the first run's result and the files the
        second one left, which are what the failure found."""
        faults = [fault] if fault else []
        result = harness.run(exe, env=dict(env or {}, FENZAR_TEST_FAULT=','.join(faults)))
        self.assert_removed(result)
        frozen = harness.run(exe, env=dict(env or {}, FENZAR_TEST_FAULT=','.join(faults + [FROZEN_REMOVAL])))
        self.assertEqual(frozen.status, 0xC0000409 & 0xFF, frozen.stdout + frozen.stderr)
        self.assertEqual(frozen.stderr.replace(self.directory_name(frozen.stderr), ''),
                         result.stderr.replace(self.directory_name(result.stderr), ''))
        return result, self.files_below(self.target_directory())

    @staticmethod
    def directory_name(message):
        match = re.search(r'onefile_[^\\]+', message)
        return match.group(0) if match else ''

    def test_file_that_cannot_be_opened_ends_with_its_full_path(self):
        # A directory where a file should go, and a file where a directory
        # should go: both opens fail for real. (fenzar-pack link refuses such
        # names, so they go in unchecked.)
        for records, blocked in (
                ([('d\\inside.txt', b'inside'), ('d', b'file over a directory')], 'd'),
                ([('f', b'plain file'), ('f\\below.txt', b'below a file')], 'f\\below.txt')):
            with self.subTest(blocked=blocked):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                result, written = self.run_failing(self.launcher(records, checked=False))
                match = re.fullmatch(r"Error, failed to open '(C:\\users\\[^\\]+\\Temp\\onefile_[^\\]+)\\(.+)' for writing\.\n",
                                     result.stderr)
                self.assertIsNotNone(match, result.stderr)
                self.assertEqual(match.group(2), blocked)
                self.assertEqual(written[records[0][0]], records[0][1], 'what was written before the failure')
                self.assertEqual(written['echo_app.dll'], self.app)

    def test_open_message_keeps_the_characters_of_the_path(self):
        # The path goes to a pipe here, so in the ANSI code page, without
        # best-fit look-alikes: what the page lacks is "?". A lone surrogate,
        # which no text holds, shows as U+FFFD. (On a console the launcher
        # writes UTF-16 with WriteConsoleW; a program that Wine starts from
        # Linux has no console, so that path is not shown here.)
        driver = harness.run(harness.windows_test_file('child_driver.exe'), ['code-pages'])
        code_page = int(re.fullmatch(r'acp=(\d+) oemcp=\d+\n', driver.stdout).group(1))
        # A file where a directory should be: the open of the name below it
        # fails for real.
        for blocked, below, shown in (('Grüße\\блок\\f', 'below.txt', 'Grüße\\блок\\f\\below.txt'),
                                      ('f', 'lone\ud800x.txt', 'f\\lone\ufffdx.txt')):
            with self.subTest(code_page=code_page, name=shown):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                records = [(blocked, b'a file'), (blocked + '\\' + below, b'below a file')]
                exe = self.launcher(records, checked=False)
                completed = subprocess.run([harness.WINE, exe], capture_output=True,
                                           env=harness.wine_environment(), timeout=120)
                self.assertEqual(completed.returncode, 2, completed)
                name = shown.encode('cp%d' % code_page, errors='replace')
                self.assertRegex(completed.stderr, rb"\AError, failed to open 'C:\\users\\[^\\]+\\Temp\\onefile_[^\\]+\\"
                                 + re.escape(name) + rb"' for writing\.\r\n\Z")
                self.assertEqual(self.marked_directories(), [], 'a failure removes the target directory')

    @unittest.skipIf(os.getuid() == 0, 'Wine run as root truncates read-only files: the system does not refuse '
                                       'root; Windows refuses CREATE_ALWAYS on a read-only file')
    def test_read_only_existing_file_cannot_be_opened(self):
        # The same name twice; the hook marks the file read-only just before
        # the second open, as another program could.
        records = [('data.txt', b'first'), ('data.txt', b'second')]
        result, written = self.run_failing(self.launcher(records), 'create_file_for_writing:3:readonly')
        self.assertRegex(result.stderr, r"\AError, failed to open 'C:\\.+\\onefile_[^\\]+\\data\.txt' for writing\.\n\Z")
        self.assertEqual(written['data.txt'], b'first')

    def test_failed_write_ends_with_the_system_error(self):
        big = pattern(3 * PIECE, 5)
        records = [('big.bin', big), ('never.txt', b'never written')]
        passes = -(-len(self.app) // PIECE) + 1  # all of echo_app.dll, one piece of big.bin
        result, written = self.run_failing(self.launcher(records), 'write_file:%d:112' % passes)
        self.assertRegex(result.stderr,
                         r"\AError, couldn't unpack file to target path\. \(\[Error 112\] \S.*\)\n\Z")
        self.assertEqual(written, {'echo_app.dll': self.app, self.marker: b'', 'big.bin': big[:PIECE]})

    def files_holding(self, directory, data):
        """Paths of the files below DIRECTORY whose content holds DATA."""
        found = []
        for parent, _, names in os.walk(directory):
            for name in names:
                path = os.path.join(parent, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, 'rb') as content:
                        if data in content.read():
                            found.append(path)
        return found

    def assert_refused_before_written(self, result, name, data):
        """The open message for NAME below a target directory, and DATA
        nowhere."""
        self.assertEqual(result.status, 2, result.stdout + result.stderr)
        self.assertRegex(result.stderr, r"\AError, failed to open 'C:\\users\\[^\\]+\\Temp\\onefile_[^\\]+\\%s' for writing\.\n\Z"
                         % re.escape(name))
        self.assertNotIn(data.decode(), result.stdout, 'nothing went to the console')
        self.assertEqual(self.files_holding(harness.wine_temp_dir(), data), [], 'nothing of the record was written')
        self.assertEqual(self.files_holding(self.scratch.name, data), [])

    def test_names_that_leave_the_directory_or_open_a_device_are_refused(self):
        # Without the check, '..\\x' and 'a/../../x' land in %TEMP%, and the
        # devices take the data and report success.
        for name in ('..\\x', 'a/../../x', 'NUL', 'CONOUT$', 'sub\\com1.txt'):
            with self.subTest(name=name):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                data = ('record data %s' % uuid.uuid4().hex).encode()
                result, written = self.run_failing(self.launcher([(name, data)], checked=False))
                self.assert_refused_before_written(result, name, data)
                self.assertEqual(written, {'echo_app.dll': self.app, self.marker: b''})

    def test_first_record_outside_the_directory_is_neither_written_nor_loaded(self):
        # The library would be written to %TEMP%, loaded from there by the
        # second instance and left behind.
        name = '..\\evil.dll'
        marker = ('evil %s' % uuid.uuid4().hex).encode()
        exe = harness.link_unchecked(
            attached_data([(name, self.app + marker), ('after.txt', b'never reached')]),
            os.path.join(self.scratch.name, 'evil.exe'), self.scratch.name)

        before = harness.onefile_dirs()
        result = harness.run(exe)
        created = harness.onefile_dirs() - before
        self.left_behind += [os.path.join(harness.wine_temp_dir(), name) for name in created]
        self.assertEqual(created, set(), 'not even the target directory was made')
        self.assert_refused_before_written(result, name, marker)

    def test_full_path_past_4096_characters_stops_at_once(self):
        # Wine's GetTempPathW stays within 260 characters, so no launcher
        # there gets a target directory long enough; unpack_into.exe runs the
        # same loop over the win32 layer into a directory of 4,000 characters.
        # Wine cannot create files much beyond 4,050 characters (its Linux
        # path runs through dosdevices/ and must fit PATH_MAX), so the 4,096
        # boundary itself is checked in the native unit tests.
        target = os.path.join(self.scratch.name, 'long_target')
        while len(harness.windows_path(target)) < 4000:
            target = os.path.join(target, 't' * min(200, 4000 - len(harness.windows_path(target)) - 1))
        windows_target = harness.windows_path(target)
        self.assertEqual(len(windows_target), 4000)
        records = [('n' * length, b'%d' % length) for length in (40, 96, 10)]
        data = os.path.join(self.scratch.name, 'long_paths.bin')
        with open(data, 'wb') as out:
            out.write(attached_data(records))

        result = harness.run_full_status(harness.windows_test_file('unpack_into.exe'),
                                         [harness.windows_path(data), windows_target])
        self.assertEqual(result.status, 0xC0000409, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, '')
        self.assertEqual(self.files_below(target), {'n' * 40: b'40'}, 'nothing from the first of 4,097 characters on')

    # Beside the decoding: past its first megabyte a launcher's files are
    # created, written and closed on a writer thread, and where closes are
    # slow, as a virus scanner makes them, closed on a pool of threads. The
    # hooks' FENZAR_TEST_SLOW_CLOSE simulates that scanner (a wait after each
    # close of 2 ms plus 1 ms per MB), which moves the closes to the pool
    # after a few files. Which thread a call ran on is not visible from
    # here: the native unit tests (unpack_test, parent_end_test) show that.
    SCANNER = {'FENZAR_TEST_SLOW_CLOSE': '2:1'}
    THREADS = (('writer thread', {}), ('writer thread and closing pool', SCANNER))
    SMALL_FILES = 12

    def records_beside_the_writer(self):
        """More than the main thread writes itself: LEAD crosses the first
        megabyte, then small files (enough for the closes to be judged),
        BIG and a last file."""
        rng = random.Random(7)
        self.lead = rng.randbytes(1500000)
        self.big = rng.randbytes(3 * 2 ** 20)
        self.small = [rng.randbytes(3000 + i) for i in range(self.SMALL_FILES)]
        return ([('lead.bin', self.lead)] + [('s\\%d.txt' % i, data) for i, data in enumerate(self.small)] +
                [('big.bin', self.big), ('after.txt', b'after')])

    def test_failed_write_beside_the_decoding_ends_with_the_error_of_its_own_file(self):
        for threads, env in self.THREADS:
            with self.subTest(threads):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                records = self.records_beside_the_writer()
                # Every piece before big.bin's third.
                passes = -(-len(self.app) // PIECE) + -(-len(self.lead) // PIECE) + self.SMALL_FILES + 2
                result, written = self.run_failing(self.launcher(records), 'write_file:%d:112' % passes, env)
                self.assertRegex(result.stderr,
                                 r"\AError, couldn't unpack file to target path\. \(\[Error 112\] \S.*\)\n\Z")
                expected = {'echo_app.dll': self.app, self.marker: b'', 'lead.bin': self.lead,
                            'big.bin': self.big[:2 * PIECE]}
                expected.update(('s\\%d.txt' % i, data) for i, data in enumerate(self.small))
                self.assertEqual(written, expected)

    def test_failed_open_beside_the_decoding_names_its_own_file(self):
        # The main thread has decoded the records after it by then, the last
        # of them one it refuses itself.
        for threads, env in self.THREADS:
            with self.subTest(threads):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                records = self.records_beside_the_writer() + [('f', b'plain file'), ('f\\below.txt', b'below'),
                                                               ('..\\refused', b'never')]
                result, written = self.run_failing(self.launcher(records, checked=False), env=env)
                self.assertRegex(result.stderr, r"\AError, failed to open 'C:\\users\\[^\\]+\\Temp\\onefile_[^\\]+"
                                 r"\\f\\below\.txt' for writing\.\n\Z")
                self.assertEqual((written['big.bin'], written['f']), (self.big, b'plain file'))

    def test_failed_close_is_the_write_error_on_the_writer_and_on_the_pool(self):
        # Close 10 falls on one of the small files (the launcher closes a
        # few handles of its own before it unpacks).
        for threads, env in self.THREADS:
            with self.subTest(threads):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                result, written = self.run_failing(self.launcher(self.records_beside_the_writer()),
                                                   'close_file:10:112', env)
                self.assertRegex(result.stderr,
                                 r"\AError, couldn't unpack file to target path\. \(\[Error 112\] \S.*\)\n\Z")
                small = [i for i in range(self.SMALL_FILES) if 's\\%d.txt' % i in written]
                self.assertEqual(small, list(range(len(small))), 'the files are created in order')
                # The files before the failed close are complete. When the
                # close was on the pool, the writer may have begun the next
                # files before it learnt of the failure: those may be short,
                # but only after the complete ones.
                complete = [i for i in small if written['s\\%d.txt' % i] == self.small[i]]
                self.assertTrue(complete, 'the files before the failed close are complete')
                self.assertEqual(complete, list(range(len(complete))), 'no short file before a complete one')
                # Whether the closes went to the pool is decided on the
                # times measured, which a busy machine moves: which thread
                # made the failed close, and that nothing after it is created
                # when the writer made it, the native unit tests pin
                # (unpack_test, parent_end_test).

    def test_console_event_beside_the_decoding_stops_every_thread_and_removes_the_directory(self):
        # A write of big.bin on the writer thread, or a close on the pool.
        passes = -(-len(self.app) // PIECE) + 46 + self.SMALL_FILES + 2
        for threads, env, event in (('writer thread', {}, 'write_file:%d' % passes),
                                    ('writer thread and closing pool', self.SCANNER, 'write_file:%d' % passes),
                                    ('a close on the pool', self.SCANNER, 'close_file:12')):
            with self.subTest(threads, event=event):
                self.marker = 'marker_%s.txt' % uuid.uuid4().hex
                exe = self.launcher(self.records_beside_the_writer())
                name = os.path.basename(exe).lower()
                self.addCleanup(harness.kill_if_running, name)
                result = harness.run_full_status(exe, env=dict(env, FENZAR_TEST_EVENT=event))
                self.assertEqual(result.status, 0xC000013A, result)
                self.assertEqual((result.stdout, result.stderr), ('', ''))
                self.assertEqual(self.marked_directories(), [], 'the target directory was removed')
                self.assertEqual(harness.linux_processes_running(name), [], 'nothing is left running')


if __name__ == '__main__':
    unittest.main()
