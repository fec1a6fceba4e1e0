"""Console and windowed launchers (fenzar-pack --console, --windows) and the
execution level (--execution-level), end to end under Wine: what Windows
reads from the file before the launcher runs (subsystem, entry point,
manifest), status and output through cmd, Ctrl+C typed on a terminal,
SIGINT to a process group without one, and the C runtime's own reports.

What Wine cannot show. On Windows the two kinds differ where a user meets
them: cmd typed at its prompt and PowerShell do not wait for a windowed
launcher and do not get its status, its output does not appear in their
console, and console events (Ctrl+C, Ctrl+Break, closing the window) never
reach it or its application; a console launcher started from Explorer opens
a console window. Under Wine, `wine app.exe` and Wine's cmd wait for both
kinds and hand both the terminal's descriptors, and a windowed program
started from a terminal, or by a console program, gets the terminal's Ctrl+C
as a console event too (measured: the windowed launcher passes the
application's status on a typed Ctrl+C just as the console one does). So
through cmd and on a terminal the windowed launcher behaves under Wine as
the console one does and proves nothing about Windows: those cases run for
both kinds where both must agree and for the console kind where only it is
right on Windows. What Wine does tell apart is SIGINT to a process group
without a terminal (a windowed program started from Linux takes no console
events) and the C runtime's idea of the program (a failed assert reported
on stderr or in a dialog). Wine ignores the execution level (no UAC prompt,
everything runs with the same rights): it is checked in the file."""
import json
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import harness
from test_executable import NS_ASM_V3, RT_MANIFEST, PeImage
from test_image import SYSTEM_PYTHON

PACKER_VERSION = open(os.path.join(harness.SOURCE_DIR, 'VERSION')).read().strip()

CONSOLE_APP = harness.windows_test_file('console_app.dll')
ECHO_APP = harness.windows_test_file('echo_app.dll')
RUN_LIBRARY = harness.windows_test_file('run_library.exe')
RUN_AND_REPORT = harness.windows_test_file('run_and_report.exe')
CONSOLE_LINKED_TEMPLATE = harness.windows_test_file('launcher_template_console_linked.exe')

KINDS = {'windows': ['--windows'], 'console': ['--console']}
SUBSYSTEMS = {'windows': 2, 'console': 3}
LEVELS = ('asInvoker', 'highestAvailable', 'requireAdministrator')
INTERRUPTED = 0xC000013A
GRACE = 5.0

# The fields of a PE32+ image that tell the two kinds apart.
PEFILE_REPORT = r'''
import json, sys
import pefile
pe = pefile.PE(sys.argv[1])
manifest = b''
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id == pefile.RESOURCE_TYPE['RT_MANIFEST']:
        data = kind.directory.entries[0].directory.entries[0].data.struct
        manifest = pe.get_data(data.OffsetToData, data.Size)
print(json.dumps({
    'subsystem': pe.OPTIONAL_HEADER.Subsystem,
    'entry_point': pe.OPTIONAL_HEADER.AddressOfEntryPoint,
    'checksum_ok': pe.verify_checksum(),
    'manifest': manifest.decode('utf-8'),
}))
'''


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def pefile_report(path):
    completed = subprocess.run([SYSTEM_PYTHON, '-c', PEFILE_REPORT, path],
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def fenzar_pack(*args):
    completed = subprocess.run([harness.FENZAR_PACK, *args], capture_output=True, text=True)
    if completed.returncode != 0:
        raise AssertionError('fenzar-pack %s failed:\n%s' % (' '.join(args), completed.stderr))
    return completed.stdout


def optional_header(image):
    return struct.unpack_from('<I', image, 0x3C)[0] + 24


def header_fields(image):
    """(entry point, checksum, subsystem) of the PE32+ image IMAGE (bytes)."""
    optional = optional_header(image)
    return (struct.unpack_from('<I', image, optional + 16)[0],
            struct.unpack_from('<I', image, optional + 64)[0],
            struct.unpack_from('<H', image, optional + 68)[0])


def execution_levels(manifest):
    root = ElementTree.fromstring(manifest)
    return [e.get('level') for e in root.iter(NS_ASM_V3 + 'requestedExecutionLevel')]


def terminal_text(data):
    """What a program wrote to a terminal, without Wine's console escape
    sequences and carriage returns."""
    text = data.decode('utf-8', errors='replace')
    text = re.sub(r'\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]', '', text)
    return text.replace('\r', '')


def unique_name(prefix):
    """A launcher name no other process shows, so that its processes can be
    found and counted."""
    return '%s_%d_%d.exe' % (prefix, os.getpid(), time.monotonic_ns())


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='test_console_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launcher(self, kind, app=CONSOLE_APP, prefix='console'):
        name = unique_name(prefix + '_' + kind)
        self.addCleanup(harness.kill_if_running, name)
        return harness.pack(app, out=os.path.join(self.work, name), options=['--level', '1'] + KINDS[kind])

    def assertEndedCleanly(self, launcher, output):
        """The launcher's target directory is gone and no process of it is
        left."""
        self.assertFalse(os.path.lexists(harness.target_dir(output)), output)
        self.assertEqual(harness.linux_processes_running(os.path.basename(launcher)), [])


class WhatWindowsReads(ConsoleTest):
    """The subsystem, the entry point and the manifest: all Windows needs to
    treat the launcher as the kind of program it is, with the rights asked
    for."""

    def test_subsystem_entry_point_and_execution_level_for_each_choice(self):
        windows_entry = header_fields(read(harness.LAUNCHER_TEMPLATE))[0]
        console_entry = header_fields(read(CONSOLE_LINKED_TEMPLATE))[0]
        built_in = read(os.path.join(harness.SOURCE_DIR, 'resources', 'launcher.manifest')).decode()
        choices = [(kind, level, KINDS[kind] + ['--execution-level', level])
                   for kind in KINDS for level in LEVELS]
        choices.append(('windows', 'asInvoker', []))
        self.assertEqual(execution_levels(built_in), ['asInvoker'])
        for kind, level, options in choices:
            with self.subTest(options=options):
                out = os.path.join(self.work, '_'.join(options) or 'default', 'app.exe')
                os.makedirs(os.path.dirname(out))
                harness.pack(ECHO_APP, out=out, options=['--level', '1'] + options)
                report = pefile_report(out)
                self.assertEqual(report['subsystem'], SUBSYSTEMS[kind])
                self.assertEqual(header_fields(read(out))[2], SUBSYSTEMS[kind])
                self.assertEqual(report['entry_point'],
                                 console_entry if kind == 'console' else windows_entry)
                self.assertTrue(report['checksum_ok'])

                manifest = PeImage(out).resources()[RT_MANIFEST][1]
                self.assertEqual(manifest.decode(), report['manifest'])
                self.assertEqual(execution_levels(manifest), [level])
                # Long paths, Common Controls and the supported systems stay.
                self.assertEqual(manifest.decode().replace('"%s"' % level, '"asInvoker"'), built_in)

                listing = fenzar_pack('list', out).splitlines()
                self.assertEqual(listing[0], 'launcher: %s subsystem, execution level %s, written by fenzar-pack %s'
                                 % (kind, level, PACKER_VERSION))
                self.assertRegex(listing[1], r'^ +\d+  echo_app\.dll  \(unsigned PE\)$')
        # No option is --windows with asInvoker, byte for byte.
        self.assertEqual(read(os.path.join(self.work, 'default', 'app.exe')),
                         read(os.path.join(self.work, '--windows_--execution-level_asInvoker', 'app.exe')))

    def test_console_launcher_is_what_the_linker_makes_for_the_console(self):
        # The packer writes one template either way. Linked with -mconsole,
        # the same template differs in exactly the subsystem, the entry point
        # (the C runtime's console start-up, which the windows template
        # records in its data section) and the checksum.
        windows = read(harness.LAUNCHER_TEMPLATE)
        console = read(CONSOLE_LINKED_TEMPLATE)
        optional = optional_header(windows)
        differing = {i for i in range(len(windows)) if windows[i] != console[i]}
        fields = set(range(optional + 16, optional + 20)) | set(range(optional + 64, optional + 70))
        self.assertEqual(len(windows), len(console))
        self.assertLessEqual(differing, fields)
        self.assertEqual(header_fields(windows)[2], 2)
        self.assertEqual(header_fields(console)[2], 3)
        data = harness.data_section(windows)
        recorded = struct.unpack_from('<I', windows, data.raw_pointer + 8)[0]
        self.assertEqual(recorded, header_fields(console)[0])
        self.assertNotEqual(recorded, header_fields(windows)[0])
        # In a launcher those bytes are zero, as before the console kind.
        launcher = read(self.launcher('console'))
        self.assertEqual(launcher[harness.data_section(launcher).raw_pointer + 8:][:8], bytes(8))

    def test_list_says_what_it_finds(self):
        data = os.path.join(self.work, 'data.bin')
        fenzar_pack('build', '--level', '1', '-o', data, ECHO_APP)
        launcher = read(self.launcher('windows', app=ECHO_APP))
        optional = optional_header(launcher)

        def changed(offset, form, value):
            image = bytearray(launcher)
            struct.pack_into(form, image, offset, value)
            return bytes(image)

        cases = [
            ('attached data', read(data), None),
            ('another subsystem', changed(optional + 68, '<H', 9),
             'launcher: subsystem 9, execution level asInvoker, written by fenzar-pack ' + PACKER_VERSION),
            # Also a launcher of a packer that did not yet record its version:
            # no version information, so nothing is said about it.
            ('no resources', changed(optional + 112 + 8 * 2, '<Q', 0), 'launcher: windows subsystem, no manifest'),
        ]
        for what, contents, first_line in cases:
            with self.subTest(what):
                path = os.path.join(self.work, 'listed')
                with open(path, 'wb') as f:
                    f.write(contents)
                listing = fenzar_pack('list', path)
                self.assertRegex(listing, r'(?m)^ +\d+  echo_app\.dll  \(unsigned PE\)\n\Z')
                if first_line is None:
                    self.assertEqual(len(listing.splitlines()), 1, listing)
                else:
                    self.assertEqual(listing.splitlines()[0], first_line)


class StatusAndOutputThroughCmd(ConsoleTest):
    # Windows' cmd expands %ERRORLEVEL% when it reads the line, before the
    # program has run; !ERRORLEVEL! with /v:on is expanded when echo runs,
    # on Windows and under Wine. Wine's cmd waits for both kinds; on Windows
    # cmd typed at its prompt would not wait for the windowed one.
    STATUSES = [(0, '0'), (7, '7'), (300, '300'), (0xC0000005, '-1073741819')]

    def test_cmd_sees_the_output_and_the_status(self):
        for kind in KINDS:
            launcher = self.launcher(kind, app=ECHO_APP, prefix='cmd')
            for status, shown in self.STATUSES:
                with self.subTest(kind=kind, status=status):
                    # The launcher by its name, from the current directory.
                    # Wine quotes the line as one argument and escapes
                    # quotes inside it with backslashes, which cmd keeps:
                    # arguments without quotes here.
                    line = '%s first w\u00f6rld & echo !ERRORLEVEL!' % os.path.basename(launcher)
                    completed = subprocess.run(
                        [harness.WINE, 'cmd', '/v:on', '/c', line], capture_output=True, cwd=self.work,
                        env=harness.wine_environment({'ECHO_APP_EXIT': str(status)}), timeout=120)
                    output = harness._text(completed.stdout)
                    self.assertIn('argc=3\nargv[0]=%s\nargv[1]=first\nargv[2]=w\u00f6rld\n'
                                  % harness.windows_path(launcher), output)
                    self.assertTrue(output.endswith('\n%s\n' % shown), output)
                    self.assertEndedCleanly(launcher, output)


class CtrlCOnATerminal(ConsoleTest):
    # The launcher runs on a terminal (util-linux `script` gives it one) and
    # the test types Ctrl+C there. Both launcher instances and the
    # application share the console, so the event reaches all of them.
    # run_and_report, on the same terminal, takes the event itself and reports
    # the full 32-bit status. Console kind only: under Wine the windowed
    # launcher gets the same events, on Windows it never would (see above).
    # An application without a handler of its own is not tested: Wine ends
    # it with 0 where Windows gives 0xC000013A.
    CASES = [
        # the application's handler, status, the launcher gave it the grace
        ('exit:5', 5, False),
        ('ignore', INTERRUPTED, True),
    ]

    def type_ctrl_c(self, launcher, handler):
        """Runs LAUNCHER on a terminal, types Ctrl+C once the application is
        ready; returns (full status, output, seconds from Ctrl+C to the end)."""
        env = harness.wine_environment({'CONSOLE_APP_HANDLER': handler, 'CONSOLE_APP_SLEEP_MS': '60000'})
        command = shlex.join([harness.WINE, RUN_AND_REPORT, harness.windows_path(launcher)])
        terminal = subprocess.Popen(['script', '--quiet', '--flush', '--return', '--command', command, '/dev/null'],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    cwd=self.work, env=env, restore_signals=True)
        self.addCleanup(terminal.kill)
        received = b''
        while b'ready' not in received:
            chunk = os.read(terminal.stdout.fileno(), 4096)
            self.assertTrue(chunk, terminal_text(received))
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
        output = terminal_text(received)
        match = re.search(r'^exit_code=(\d+)$', output, re.MULTILINE)
        self.assertIsNotNone(match, output)
        return int(match.group(1)), output, elapsed

    def test_ctrl_c_reaches_the_application_and_the_launcher(self):
        for handler, status, grace in self.CASES:
            with self.subTest(handler=handler):
                launcher = self.launcher('console', prefix='terminal')
                received, output, elapsed = self.type_ctrl_c(launcher, handler)
                self.assertEqual(received, status, output)
                # The terminal echoes the Ctrl+C as ^C.
                self.assertRegex(output, r'\nready\n(\^C)?event=0\n')
                self.assertNotIn('finished', output)
                if grace:
                    self.assertGreaterEqual(elapsed, GRACE - 0.5)
                self.assertLess(elapsed, GRACE - 0.5 if not grace else 30)
                self.assertEndedCleanly(launcher, output)


class InterruptOfAProcessGroup(ConsoleTest):
    # SIGINT to the process group of a program started without a terminal
    # (a new session): Wine turns it into CTRL_C_EVENT for each console
    # program in the group, and a console launcher must end as the same
    # application run by a plain console program does. The programs start
    # straight from Linux: one started by a console test driver would get
    # the event under Wine even when it is windowed. The windowed launcher
    # takes no console event here, as on Windows, and runs to its end.
    CASES = [
        # what runs, status, output after "ready"
        ('plain console program', 2, 'event=0\n'),
        ('console', 2, 'event=0\n'),
        ('windows', 4, 'finished\n'),
    ]

    def interrupt(self, command):
        env = harness.wine_environment({'CONSOLE_APP_HANDLER': 'exit:2', 'CONSOLE_APP_SLEEP_MS': '4000',
                                        'CONSOLE_APP_EXIT': '4'})
        program = subprocess.Popen([harness.WINE, *command], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   cwd=self.work, env=env, start_new_session=True, restore_signals=True)
        self.addCleanup(program.kill)
        output = b''
        while b'ready' not in output:
            line = program.stdout.readline()
            self.assertTrue(line, output)
            output += line
        interrupted = time.monotonic()
        os.killpg(program.pid, signal.SIGINT)
        output += program.stdout.read()
        program.stdout.close()
        status = program.wait(timeout=60)
        return status, harness._text(output), time.monotonic() - interrupted

    def test_console_launcher_ends_as_a_plain_console_program_does(self):
        for what, status, after_ready in self.CASES:
            with self.subTest(what):
                if what in KINDS:
                    launcher = self.launcher(what, prefix='group')
                    command = [launcher]
                else:
                    command = [RUN_LIBRARY, harness.windows_path(CONSOLE_APP)]
                received, output, elapsed = self.interrupt(command)
                self.assertEqual(received, status, output)
                self.assertTrue(output.endswith('\nready\n' + after_ready), output)
                if what in KINDS:
                    self.assertEndedCleanly(launcher, output)
                if what == 'windows':
                    self.assertGreaterEqual(elapsed, 3.0, 'the application did not sleep on')
                else:
                    self.assertLess(elapsed, 2.0)


class RuntimeReports(ConsoleTest):
    # The C runtime (msvcrt, which the launcher and the application share)
    # reports a failed assert on stderr in a console program and in a dialog
    # in a windowed one, after the start-up that the entry point chose. A
    # console launcher whose header alone said console would report in a
    # dialog. Wine, without a display, shows the dialog nowhere and goes on.
    CASES = [
        ('plain console program', True),
        ('console', True),
        ('windows', False),
    ]

    def test_failed_assert_is_reported_as_the_kind_of_program_does(self):
        expected = re.compile(r'\AAssertion failed: packed == 1, file .*console_app\.cpp, line \d+\n+\Z')
        for what, on_stderr in self.CASES:
            with self.subTest(what):
                if what in KINDS:
                    program, arguments = self.launcher(what, prefix='assert'), []
                else:
                    program, arguments = RUN_LIBRARY, [harness.windows_path(CONSOLE_APP)]
                result = harness.run(program, arguments, cwd=self.work,
                                     env={'CONSOLE_APP_ASSERT': '1', 'DISPLAY': None})
                self.assertEqual(result.status, 3, result)
                if on_stderr:
                    self.assertRegex(result.stderr, expected)
                else:
                    self.assertEqual(result.stderr, '')
                if what in KINDS:
                    self.assertEndedCleanly(program, result.stdout)


if __name__ == '__main__':
    unittest.main()
