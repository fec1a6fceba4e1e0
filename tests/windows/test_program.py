"""Launchers that run an existing program (fenzar-pack --exe), end to end
under Wine, with program_probe.exe and windowed_probe.exe: plain executables
that know nothing of Fenzar (tests/windows/program_subjects). The program
must see what it would have seen started directly: its raw command line
after its own quoted path, its arguments, the user's current directory and
standard handles, its DLL and data file beside it; the launcher passes its
32-bit status, its console events, removes the directory, and takes the
program and what it started with it when it is killed.

What Wine cannot show. On Windows a program whose DLL is missing is stopped
by its loader with a dialog ("The code execution cannot proceed") unless
its error mode says otherwise, as when it is started directly; under Wine
it ends with STATUS_DLL_NOT_FOUND and no dialog. Under Wine a console
program without a handler of its own ends on Ctrl+C with the status Wine
gives it (measured below) where Windows gives 0xC000013A; the launcher
passes whichever it is."""
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness

PROGRAM = harness.windows_test_file('program_probe.exe')
WINDOWED = harness.windows_test_file('windowed_probe.exe')
NEIGHBOUR = harness.windows_test_file('neighbour_lib.dll')
ECHO_APP = harness.windows_test_file('echo_app.dll')
CHILD_DRIVER = harness.CHILD_DRIVER
RUN_AND_REPORT = harness.windows_test_file('run_and_report.exe')
INTERRUPTED = 0xC000013A
DLL_NOT_FOUND = 0xC0000135
DATA_LINE = 'données packed beside the program'


def lines(stdout, key):
    return re.findall(r'^%s=(.*)$' % re.escape(key), stdout, re.MULTILINE)


def arguments(stdout):
    return re.findall(r'^argv\[\d+\]=(.*)$', stdout, re.MULTILINE)


def program_processes(marker):
    """Linux pids of Wine processes whose command line holds MARKER."""
    found = []
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open('/proc/%s/cmdline' % name, 'rb') as f:
                text = f.read().replace(b'\0', b' ').decode('utf-8', 'replace')
        except OSError:
            continue
        if marker in text:
            found.append(int(name))
    return found


class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_program_')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.data = os.path.join(self.work, 'probe_data.txt')
        with open(self.data, 'w', encoding='utf-8') as f:
            f.write(DATA_LINE + '\nsecond line\n')

    def launcher(self, program=PROGRAM, files=None, options=(), prefix='program'):
        name = '%s_%d_%d.exe' % (prefix, os.getpid(), time.monotonic_ns())
        self.addCleanup(harness.kill_if_running, name)
        out = os.path.join(self.work, name)
        files = [NEIGHBOUR, self.data] if files is None else files
        command = [harness.FENZAR_PACK, 'pack', '--level', '1', *options, '-o', out, '--exe', program, *files]
        completed = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(completed.returncode, 0, completed.stderr)
        return out

    def raw(self, program, tail, env=None):
        """Runs PROGRAM with the raw command line '"PROGRAM"' + TAIL, exactly,
        through child_driver; Result with the full status."""
        line = '"%s"%s' % (harness.windows_path(program), tail)
        result = harness.run(CHILD_DRIVER, ['raw-env', harness.windows_path(program), 'FENZAR_TEST_LINE'],
                             env={'FENZAR_TEST_LINE': line, **(env or {})}, cwd=self.work)
        match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result.stdout + result.stderr)
        return harness.Result(int(match.group(1)), result.stdout[:match.start()], result.stderr)


class CommandLine(ProgramTest):
    # Each tail follows the quoted program name exactly as typed; the
    # program started directly with the same tail is the oracle.
    TAILS = [
        '',
        ' plain',
        ' "two words" x',
        '   spaces  between   and after  ',
        '\tafter-a-tab',
        ' "" "" empty arguments',
        ' a""b "c d"""e """triple"""',
        ' C:\\dir with space\\ "C:\\dir with space\\\\" x\\\\"y z',
        ' /flag:"quoted value" --opt=a\\"b \\\\server\\share',
        ' ünïcødé ©ø 日本語 😀 "Ελληνικά λέξεις"',
        'glued-to-the-name',
        ' %PATH% ^& | < > *.txt',
    ]

    def test_the_program_sees_the_tail_as_typed_and_the_arguments_it_would_see_directly(self):
        launcher = self.launcher()
        for tail in self.TAILS:
            with self.subTest(tail=tail):
                packed = self.raw(launcher, tail)
                direct = self.raw(PROGRAM, tail)
                self.assertEqual(packed.status, 0, packed.stdout + packed.stderr)
                module = lines(packed.stdout, 'module')[0]
                self.assertEqual(lines(packed.stdout, 'raw'), ['"%s"%s' % (module, tail)])
                # A tail glued to the quoted name continues argument 0 for
                # the C runtime, as it does started directly.
                self.assertTrue(arguments(packed.stdout)[0].startswith(module))
                self.assertEqual(arguments(packed.stdout)[1:], arguments(direct.stdout)[1:])

    def test_a_quoted_launcher_name_with_the_tail_glued_to_it(self):
        launcher = self.launcher()
        packed = self.raw(launcher, 'x "y z"')
        direct = self.raw(PROGRAM, 'x "y z"')
        module = lines(packed.stdout, 'module')[0]
        self.assertEqual(lines(packed.stdout, 'raw'), ['"%s"x "y z"' % module])
        self.assertEqual(arguments(packed.stdout)[1:], arguments(direct.stdout)[1:])


class WhatTheProgramFinds(ProgramTest):
    def test_files_beside_it_environment_directory_and_removal(self):
        launcher = self.launcher()
        cwd = os.path.join(self.work, 'current')
        os.mkdir(cwd)
        typed = 'Z:' + launcher.replace('/', '\\')[:-4]
        line = '%s first' % typed
        result = harness.run(CHILD_DRIVER, ['raw-env', harness.windows_path(launcher), 'FENZAR_TEST_LINE'],
                             env={'FENZAR_TEST_LINE': line, 'PROBE_DATA': 'probe_data.txt'}, cwd=cwd)
        out = result.stdout
        self.assertRegex(out, r'(?m)^exit_code=0$', out + result.stderr)
        module = lines(out, 'module')[0]
        directory = module.rsplit('\\', 1)[0]
        self.assertRegex(directory, r'\\Temp\\onefile_\d+_\d{6}_[A-Za-z0-9_-]{11}$')
        self.assertEqual(lines(out, 'raw'), ['"%s" first' % module])
        self.assertEqual(lines(out, 'neighbour'), ['42'])
        self.assertEqual(lines(out, 'data'), [DATA_LINE])
        self.assertEqual(lines(out, 'cwd'), [harness.windows_path(cwd)])
        self.assertEqual(lines(out, 'env FENZAR_ORIGINAL_ARGV0'), [typed])
        self.assertEqual(lines(out, 'env FENZAR_ONEFILE_DIRECTORY'), [harness.windows_path(self.work)])
        parent = lines(out, 'env FENZAR_ONEFILE_PARENT')[0]
        self.assertTrue(os.path.basename(harness.target_dir('path=' + module)).startswith('onefile_%s_' % parent))
        self.assertFalse(os.path.lexists(harness.target_dir('path=' + module)))

    def test_a_launcher_the_program_starts_through_its_path_unpacks_afresh(self):
        # Restarting through FENZAR_ORIGINAL_ARGV0 gives a launcher whose
        # parent is the program: a new start, with its own directory, not
        # an instance that reuses the first one's.
        launcher = self.launcher()
        result = harness.run_full_status(launcher, env={'PROBE_SPAWN': 'argv0', 'PROBE_SPAWN_WAIT': '1'},
                                         cwd=self.work)
        self.assertEqual(result.status, 0, result.stdout + result.stderr)
        modules = lines(result.stdout, 'module')
        self.assertEqual(len(modules), 2, result.stdout)
        self.assertNotEqual(modules[0].rsplit('\\', 1)[0], modules[1].rsplit('\\', 1)[0])
        self.assertEqual(lines(result.stdout, 'neighbour'), ['42', '42'])
        for module in modules:
            self.assertFalse(os.path.lexists(harness.target_dir('path=' + module)))


class Statuses(ProgramTest):
    def test_the_program_status_all_32_bits(self):
        launcher = self.launcher()
        for status in (0, 1, 255, 256, 0x7FFFFFFF, 0x80000000, 0xC0000005, 0xFFFFFFFF):
            with self.subTest(status=hex(status)):
                result = harness.run_full_status(launcher, env={'PROBE_EXIT': str(status)}, cwd=self.work)
                self.assertEqual(result.status, status, result.stderr)
                self.assertEqual(result.stderr, '')


class Streams(ProgramTest):
    def test_pipes_and_files(self):
        launcher = self.launcher()
        env = harness.wine_environment({'PROBE_STDIN': '1', 'PROBE_STDERR': 'to the error stream'})
        piped = subprocess.run([harness.WINE, launcher], input='piped ünï\n'.encode(), capture_output=True, env=env,
                               cwd=self.work, timeout=120)
        self.assertEqual(piped.returncode, 0)
        self.assertEqual(lines(harness._text(piped.stdout), 'stdin'), ['piped ünï'])
        self.assertEqual(harness._text(piped.stderr), 'to the error stream\n')
        paths = {name: os.path.join(self.work, name) for name in ('in.txt', 'out.txt', 'err.txt')}
        with open(paths['in.txt'], 'w', encoding='utf-8') as f:
            f.write('from a file\n')
        with open(paths['in.txt'], 'rb') as stdin, open(paths['out.txt'], 'wb') as stdout, \
                open(paths['err.txt'], 'wb') as stderr:
            status = subprocess.run([harness.WINE, launcher], stdin=stdin, stdout=stdout, stderr=stderr, env=env,
                                    cwd=self.work, timeout=120).returncode
        self.assertEqual(status, 0)
        with open(paths['out.txt'], 'rb') as f:
            out = harness._text(f.read())
        with open(paths['err.txt'], 'rb') as f:
            err = harness._text(f.read())
        self.assertEqual(lines(out, 'stdin'), ['from a file'])
        self.assertEqual(lines(out, 'neighbour'), ['42'])
        self.assertEqual(err, 'to the error stream\n')


class StartFailures(ProgramTest):
    def test_a_missing_dll_is_named_and_the_status_passed(self):
        launcher = self.launcher(files=[self.data])
        result = harness.run_full_status(launcher, cwd=self.work)
        self.assertEqual(result.status, DLL_NOT_FOUND, result.stdout + result.stderr)
        self.assertRegex(result.stderr, r"(?m)^Error, couldn't launch child \(\[Error 126\] [^\n]*\)\n")
        self.assertRegex(result.stderr, r"The DLL 'neighbour_lib.dll' that '[^']*\\program_probe.exe' needs was "
                                        r"not found: it is neither among the packed files nor in the system directory")
        self.assertFalse(os.path.lexists(harness.target_dir('path=' + lines(result.stdout, 'module')[0])
                                         if lines(result.stdout, 'module') else self.work + '/none'))

    def test_a_program_that_is_no_image_is_named(self):
        # The headers are whole, so the packer takes it for a program;
        # the rest is cut off.
        with open(PROGRAM, 'rb') as f:
            head = f.read(4096)
        cut = os.path.join(self.work, 'program_probe.exe')
        with open(cut, 'wb') as f:
            f.write(head)
        data = os.path.join(self.work, 'cut.bin')
        launcher = os.path.join(self.work, 'cut_%d_%d.exe' % (os.getpid(), time.monotonic_ns()))
        built = subprocess.run([harness.FENZAR_PACK, 'build', '--level', '1', '-o', data, '--exe', cut, NEIGHBOUR],
                               capture_output=True, text=True)
        self.assertEqual(built.returncode, 0, built.stderr)
        subprocess.run([harness.FENZAR_PACK, 'link', '-o', launcher, data], check=True, capture_output=True)
        result = harness.run_full_status(launcher, cwd=self.work)
        self.assertEqual(result.status, 2, result.stdout + result.stderr)
        # Wine's own line may come first.
        self.assertRegex(result.stderr, r"(?m)^Error, couldn't launch child \(\[Error (193|11)\] ")
        self.assertIn("program_probe.exe' is not a 64-bit Windows program: it is damaged or made for another "
                      "processor.", result.stderr)


class KilledLauncher(ProgramTest):
    # The program and what it starts are in the launcher's job: ended with
    # TerminateProcess, the launcher takes both with it, unless the program
    # started its child with CREATE_BREAKAWAY_FROM_JOB (what the README
    # tells a program whose helpers must outlive it). The directory stays,
    # and once it is old a later launcher's sweep removes it.
    def kill_launcher(self, breakaway):
        launcher = self.launcher()
        name = os.path.basename(launcher)
        env = harness.wine_environment({'PROBE_SLEEP_MS': '60000', 'PROBE_SPAWN': 'self',
                                        'PROBE_SPAWN_BREAKAWAY': '1' if breakaway else None})
        command = [harness.WINE, CHILD_DRIVER, 'terminate-on-input', harness.windows_path(launcher), name]
        driver = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=self.work, env=env)
        try:
            seen = b''
            while seen.count(b'ready') < 2:
                chunk = driver.stdout.readline()
                self.assertTrue(chunk, seen)
                seen += chunk
            text = harness._text(seen)
            module = lines(text, 'module')[0]
            directory = harness.target_dir('path=' + module)
            self.addCleanup(shutil.rmtree, directory, True)
            marker = os.path.basename(directory)
            self.addCleanup(lambda: [os.kill(pid, signal.SIGKILL) for pid in program_processes(marker)])
            self.assertEqual(len(program_processes(marker)), 2, text)
            killed = time.monotonic()
            driver.stdin.write(b'\n')
            driver.stdin.flush()
            while len(program_processes(marker)) > (1 if breakaway else 0) and time.monotonic() - killed < 10:
                time.sleep(0.01)
            gone_after = time.monotonic() - killed
            time.sleep(0.5)
            left = program_processes(marker)
            # A survivor holds the driver's output pipe open.
            for pid in left:
                os.kill(pid, signal.SIGKILL)
            rest, _ = driver.communicate(b'', timeout=60)
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.communicate()
        self.assertLess(gone_after, 2.0, 'the program or its child outlived the launcher')
        self.assertNotIn(b'finished', rest)
        self.assertTrue(os.path.isfile(os.path.join(directory, 'program_probe.exe')))
        return directory, left

    def test_program_and_its_child_end_with_the_launcher_and_the_directory_is_swept_later(self):
        directory, left = self.kill_launcher(breakaway=False)
        self.assertEqual(left, [])
        then = time.time() - 600
        os.utime(directory, (then, then))
        sweeper = self.launcher()
        result = harness.run(harness.windows_test_file('run_unelevated.exe'), [harness.windows_path(sweeper)],
                             env={'PROBE_SLEEP_MS': '1500'}, cwd=self.work)
        self.assertRegex(result.stdout, r'(?m)^exit_code=0$', result.stdout + result.stderr)
        self.assertFalse(os.path.lexists(directory))

    def test_a_child_started_to_break_away_outlives_the_launcher(self):
        directory, left = self.kill_launcher(breakaway=True)
        self.assertEqual(len(left), 1, 'the program ended, its breakaway child runs on')


class CtrlCOnATerminal(ProgramTest):
    # As test_console.CtrlCOnATerminal: the launcher on a terminal, Ctrl+C
    # typed there once the program is ready. The program shares the console.
    def type_ctrl_c(self, launcher, handler):
        env = harness.wine_environment({'PROBE_HANDLER': handler, 'PROBE_SLEEP_MS': '60000'})
        command = shlex.join([harness.WINE, RUN_AND_REPORT, harness.windows_path(launcher)])
        terminal = subprocess.Popen(['script', '--quiet', '--flush', '--return', '--command', command, '/dev/null'],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    cwd=self.work, env=env, restore_signals=True)
        self.addCleanup(terminal.kill)
        received = b''
        while b'ready' not in received:
            chunk = os.read(terminal.stdout.fileno(), 4096)
            self.assertTrue(chunk, received)
            received += chunk
        typed = time.monotonic()
        terminal.stdin.write(b'\x03')
        terminal.stdin.flush()
        while True:
            chunk = os.read(terminal.stdout.fileno(), 4096)
            if not chunk:
                break
            received += chunk
        terminal.wait(timeout=60)
        elapsed = time.monotonic() - typed
        terminal.stdin.close()
        terminal.stdout.close()
        output = re.sub(r'\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]', '', received.decode('utf-8', 'replace'))
        output = output.replace('\r', '')
        # The terminal's echo ^C may stand before it.
        match = re.search(r'exit_code=(\d+)$', output, re.MULTILINE)
        self.assertIsNotNone(match, output)
        return int(match.group(1)), output, elapsed

    def test_the_program_handler_decides_the_status(self):
        for handler, expected in (('exit:7', 7), ('none', None)):
            with self.subTest(handler=handler):
                launcher = self.launcher(options=['--console'])
                status, output, elapsed = self.type_ctrl_c(launcher, handler)
                self.assertNotIn('finished', output)
                self.assertLess(elapsed, 4.5, output)
                if expected is not None:
                    self.assertEqual(status, expected, output)
                    self.assertIn('event=0', output)
                else:
                    # Wine's end of a console program without a handler
                    # (0 under Wine 8, 0xC000013A on Windows), passed on.
                    self.assertIn(status, (0, INTERRUPTED), output)
                module = lines(output, 'module')[0]
                self.assertFalse(os.path.lexists(harness.target_dir('path=' + module)))
                self.assertEqual(harness.linux_processes_running(os.path.basename(launcher)), [])


class Windowed(ProgramTest):
    def test_a_windowed_program_gets_a_windowed_launcher_that_passes_output_and_status(self):
        launcher = self.launcher(program=WINDOWED, files=[])
        listing = subprocess.run([harness.FENZAR_PACK, 'list', launcher], capture_output=True, text=True)
        self.assertTrue(listing.stdout.startswith('launcher: windows subsystem, '), listing.stdout)
        self.assertIn(', runs the program windowed_probe.exe', listing.stdout.splitlines()[0])
        result = harness.run_full_status(launcher, ['one', 'two words'], env={'WINDOWED_PROBE_EXIT': '0xFFFFFFFE'},
                                         cwd=self.work)
        self.assertEqual(result.status, 0xFFFFFFFE, result.stderr)
        self.assertEqual(arguments(result.stdout)[1:], ['one', 'two words'])
        self.assertRegex(lines(result.stdout, 'raw')[0], r'^"[^"]*\\onefile_[^"]*\\windowed_probe.exe" one ')


class Cache(ProgramTest):
    # Through run_unelevated.exe: Wine runs everything elevated, and an
    # elevated launcher never uses the cache (test_cache.py).
    def unelevated(self, launcher, argument, env):
        result = harness.run(harness.windows_test_file('run_unelevated.exe'),
                             [harness.windows_path(launcher), argument], env=env, cwd=self.work)
        match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
        self.assertIsNotNone(match, result.stdout + result.stderr)
        return harness.Result(int(match.group(1)), result.stdout[:match.start()], result.stderr)

    def test_later_starts_run_the_program_from_the_cache(self):
        launcher = self.launcher(options=['--cache'])
        first = self.unelevated(launcher, 'a', {'PROBE_DATA': 'probe_data.txt', 'PROBE_EXIT': '3'})
        second = self.unelevated(launcher, 'b', {'PROBE_DATA': 'probe_data.txt', 'PROBE_EXIT': '4'})
        self.assertEqual((first.status, second.status), (3, 4), first.stderr + second.stderr)
        modules = lines(first.stdout, 'module') + lines(second.stdout, 'module')
        self.assertEqual(modules[0], modules[1])
        self.assertRegex(modules[0], r'\\Fenzar\\program_probe[^\\]*\\[0-9a-f]{32}\\')
        self.assertEqual(lines(second.stdout, 'data'), [DATA_LINE])
        self.assertEqual(lines(second.stdout, 'neighbour'), ['42'])
        self.assertEqual(arguments(second.stdout)[1:], ['b'])
        # What a parent hands its own second instance is not the program's.
        for result in (first, second):
            self.assertIn('env FENZAR_ONEFILE_CACHE_FILES unset', result.stdout)



def patched(source, destination, edits):
    """A copy of the PE file SOURCE with EDITS, (field, value) pairs:
    'machine', 'characteristics' (or'ed in), 'subsystem'."""
    with open(source, 'rb') as f:
        image = bytearray(f.read())
    pe = int.from_bytes(image[0x3C:0x40], 'little')
    for field, value in edits:
        if field == 'machine':
            image[pe + 4:pe + 6] = value.to_bytes(2, 'little')
        elif field == 'characteristics':
            old = int.from_bytes(image[pe + 22:pe + 24], 'little')
            image[pe + 22:pe + 24] = (old | value).to_bytes(2, 'little')
        elif field == 'subsystem':
            image[pe + 24 + 68:pe + 24 + 70] = value.to_bytes(2, 'little')
    with open(destination, 'wb') as f:
        f.write(image)
    return destination


class PackerChecks(ProgramTest):
    def pack_exe(self, program, files=(), options=(), command='pack'):
        out = os.path.join(self.work, 'out.exe' if command == 'pack' else 'out.bin')
        completed = subprocess.run([harness.FENZAR_PACK, command, '--level', '1', *options, '-o', out,
                                    '--exe', program, *files], capture_output=True, text=True)
        return completed, out

    def test_refusals(self):
        text = os.path.join(self.work, 'notes.exe')
        with open(text, 'w') as f:
            f.write('not a program\n')
        cases = [
            # what --exe gets, the files after it, the message's end
            (NEIGHBOUR, [], 'the program is not a program (it is a DLL)'),
            (ECHO_APP, [], 'the program is not a program (it is a DLL that exports run_code: pack it without --exe)'),
            (patched(PROGRAM, os.path.join(self.work, 'x86.exe'), [('machine', 0x014C)]), [],
             'the program is not for x86-64 (it is for x86, 32-bit)'),
            (patched(PROGRAM, os.path.join(self.work, 'arm.exe'), [('machine', 0xAA64)]), [],
             'the program is not for x86-64 (it is for ARM64)'),
            (patched(PROGRAM, os.path.join(self.work, 'native.exe'), [('subsystem', 1)]), [],
             'the program is not a Windows program (its subsystem is 1, neither windows (2) nor console (3))'),
            (text, [], 'the program is not a Windows program (not a PE image: no "MZ")'),
            (PROGRAM, [ECHO_APP, NEIGHBOUR],
             'echo_app.dll is a DLL application (it exports run_code): pack it without --exe, or --exe a '
             'program and store the DLL beside it'),
        ]
        for command in ('pack', 'build'):
            for program, files, message in cases:
                with self.subTest(command=command, program=os.path.basename(program), message=message):
                    completed, out = self.pack_exe(program, files, command=command)
                    self.assertNotEqual(completed.returncode, 0)
                    self.assertIn(message, completed.stderr)
                    self.assertFalse(os.path.exists(out))

    def test_kind_listing_warning_and_link(self):
        cases = [
            # program, options, subsystem in the listing
            (PROGRAM, [], 'console'),
            (PROGRAM, ['--windows'], 'windows'),
            (WINDOWED, [], 'windows'),
            (WINDOWED, ['--console'], 'console'),
        ]
        for program, options, kind in cases:
            with self.subTest(program=os.path.basename(program), options=options):
                completed, out = self.pack_exe(program, [NEIGHBOUR], options)
                self.assertEqual(completed.returncode, 0, completed.stderr)
                self.assertIn('(%s launcher,' % kind, completed.stderr)
                listing = subprocess.run([harness.FENZAR_PACK, 'list', out], capture_output=True, text=True)
                first = listing.stdout.splitlines()[0]
                self.assertTrue(first.startswith('launcher: %s subsystem, ' % kind), first)
                self.assertIn(', runs the program %s, ' % os.path.basename(program), first)
        # Its imports are checked as a DLL application's are.
        completed, _ = self.pack_exe(PROGRAM)
        self.assertIn('warning: program_probe.exe imports neighbour_lib.dll, which is neither packed beside it',
                      completed.stderr)
        # build --exe, then link: the same launcher as pack --exe.
        packed, packed_out = self.pack_exe(PROGRAM, [NEIGHBOUR])
        with open(packed_out, 'rb') as f:
            packed_bytes = f.read()
        built, data = self.pack_exe(PROGRAM, [NEIGHBOUR], command='build')
        self.assertEqual(built.returncode, 0, built.stderr)
        # Under the same name, since the version information carries it.
        os.mkdir(os.path.join(self.work, 'linked'))
        linked = os.path.join(self.work, 'linked', 'out.exe')
        subprocess.run([harness.FENZAR_PACK, 'link', '-q', '-o', linked, data], check=True)
        with open(linked, 'rb') as f:
            self.assertEqual(f.read(), packed_bytes)
        # A DLL application's launcher carries no program record.
        dll_out = os.path.join(self.work, 'dll.exe')
        plain = subprocess.run([harness.FENZAR_PACK, 'pack', '-q', '--level', '1', '-o', dll_out, ECHO_APP],
                               capture_output=True, text=True)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        listing = subprocess.run([harness.FENZAR_PACK, 'list', dll_out], capture_output=True, text=True)
        self.assertNotIn('runs the program', listing.stdout)


if __name__ == '__main__':
    unittest.main()
