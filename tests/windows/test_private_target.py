"""The target directory that a launcher unpacks into: made by the launcher
itself, open only to its user, Administrators and SYSTEM, with a high
mandatory label when it runs elevated, and never one that exists already:
%TEMP% is open to every program of the user, which could otherwise prepare
the directory and replace the application's files before they run.

What Wine shows: it keeps of a directory's descriptor only what the mode bits
hold, so the directory reads back with the user's and SYSTEM's
entries and without Everyone, and files and subdirectories below it read
back from their own modes, not from inherited entries. The descriptor itself
(protected, Administrators, the label) is read back from an event created
with it, which Wine keeps whole."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
import test_cache

TARGET = re.compile(r'C:\\users\\[^\\]+\\Temp\\(onefile_\d+_\d{6}_[A-Za-z0-9_-]{11})\Z')
HIGH_NO_WRITE_UP = 'ML;OICI;NW;S-1-16-12288'


def key_values(stdout):
    """{key: [values]} of KEY=VALUE lines."""
    found = {}
    for line in stdout.splitlines():
        key, _, value = line.partition('=')
        found.setdefault(key, []).append(value)
    return found


class PrivateTarget(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_private_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launcher_with_hooks(self, app):
        data = os.path.join(self.work, 'app.bin')
        exe = os.path.join(self.work, 'hooked.exe')
        for command in ([harness.FENZAR_PACK, 'build', '-o', data, harness.windows_test_file(app)],
                        [harness.FENZAR_PACK, 'link', '--template', harness.HOOKS_TEMPLATE, '-o', exe, data]):
            subprocess.run(command, check=True, capture_output=True)
        return exe

    def test_descriptor_lets_in_only_the_user_administrators_and_system(self):
        # Elevated (as Wine runs every program) with the label, and with the
        # linked limited token without it.
        for what, start in (('elevated', harness.run), ('unelevated', test_cache.run_unelevated)):
            with self.subTest(what):
                directory = tempfile.mkdtemp(prefix='descriptor_', dir=self.work)
                result = start(harness.windows_test_file('private_descriptor.exe'), [harness.windows_path(directory)])
                self.assertEqual(result.status, 0, result)
                seen = key_values(result.stdout)
                self.assertEqual(seen['elevated'], ['1' if what == 'elevated' else '0'])
                user = seen['user'][0]
                self.assertRegex(user, r'\AS-1-5-')
                dacl = 'D:P(A;OICI;FA;;;%s)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)' % user
                labels = [HIGH_NO_WRITE_UP] if what == 'elevated' else []
                for source in ('descriptor', 'event', 'reference'):
                    with self.subTest(source=source):
                        self.assertEqual(seen[source], [dacl])
                        self.assertEqual(seen.get(source + ' label', []), labels)

    def test_descriptor_written_by_hand_is_the_one_its_text_converts_to(self):
        """The launcher writes its descriptor without ADVAPI32; the text it
        stands for, converted by ADVAPI32, is the reference: the same control
        flags (protected, present), no owner or group, the same DACL and SACL
        byte for byte, and a directory created with either reads back alike.
        What Wine keeps of a directory is derived from its mode bits, so the
        read-back shows only that both directories get the same mode; the
        byte comparison is what shows the label and Administrators' entry."""
        for what, start in (('elevated', harness.run), ('unelevated', test_cache.run_unelevated)):
            with self.subTest(what):
                directory = tempfile.mkdtemp(prefix='descriptor_', dir=self.work)
                result = start(harness.windows_test_file('private_descriptor.exe'), [harness.windows_path(directory)])
                self.assertEqual(result.status, 0, result)
                seen = key_values(result.stdout)
                self.assertEqual(seen['differences'], ['none'], result.stdout)
                made = seen['directory made']
                self.assertEqual(made, seen['directory reference'])
                # No entry for Everyone: the directory is not open to others.
                self.assertNotIn(';;;WD)', made[0])
                self.assertEqual(os.listdir(directory), [])

    def test_target_directory_reads_back_without_access_for_others(self):
        launcher = harness.pack(harness.windows_test_file('security_app.dll'),
                                out=os.path.join(self.work, 'security.exe'))
        result = harness.run(launcher, ['.'], cwd=self.work)
        self.assertEqual((result.status, result.stderr), (0, ''), result)
        seen = key_values(result.stdout)
        self.assertEqual(seen['elevated'], ['1'])
        user = seen['user'][0]
        # As Wine derives it from the directory's mode (750); a directory
        # made as before (755) also lets Everyone read (0x1200a9;;;WD).
        # Windows would show D:P, the Administrators' entry and the label.
        self.assertEqual(seen['sd .'], ['O:%sD:(A;OICI;FA;;;SY)(A;OICI;FA;;;%s)' % (user, user)])

    def test_existing_target_directory_is_refused_and_left_as_it_was(self):
        launcher = self.launcher_with_hooks('echo_app.dll')
        before = harness.onefile_dirs()
        # The hook makes the directory just before the launcher does, as
        # another program that guessed the name could.
        result = harness.run(launcher, env={'FENZAR_TEST_FAULT': 'create_private_directory:0:precreate'},
                             cwd=self.work)
        made = harness.onefile_dirs() - before
        for name in made:
            self.addCleanup(shutil.rmtree, os.path.join(harness.wine_temp_dir(), name), True)
        self.assertEqual((result.status, result.stdout), (2, ''), result)
        match = re.fullmatch(r"Error, target directory '(.*)' already exists\.\n", result.stderr)
        self.assertIsNotNone(match, result.stderr)
        name = TARGET.match(match.group(1))
        self.assertIsNotNone(name, match.group(1))
        self.assertEqual(made, {name.group(1)})
        self.assertEqual(os.listdir(os.path.join(harness.wine_temp_dir(), name.group(1))), [])

    def test_target_directory_that_cannot_be_created(self):
        launcher = self.launcher_with_hooks('echo_app.dll')
        before = harness.onefile_dirs()
        result = harness.run(launcher, env={'FENZAR_TEST_FAULT': 'create_private_directory:0:5'}, cwd=self.work)
        self.assertEqual((result.status, result.stdout), (2, ''), result)
        self.assertRegex(result.stderr, r"\AError, couldn't create target directory\. \(\[Error 5\] [^\n]+\)\n\Z")
        self.assertEqual(harness.onefile_dirs() - before, set())

    def test_missing_temporary_directory_is_made_first(self):
        launcher = self.launcher_with_hooks('echo_app.dll')
        temp = os.path.join(self.work, 'missing', 'temp')
        result = harness.run(launcher, ['x'], env={'FENZAR_TEST_TMP': harness.windows_path(temp)}, cwd=self.work)
        self.assertEqual((result.status, result.stderr), (0, ''), result)
        path = re.search(r'^path=(.*)$', result.stdout, re.MULTILINE).group(1)
        self.assertRegex(path, r'\A%s\\onefile_\d+_\d{6}_[A-Za-z0-9_-]{11}\\echo_app\.dll\Z'
                         % re.escape(harness.windows_path(temp)))
        self.assertEqual(os.listdir(temp), [], 'the target directory is removed, the made levels stay')


if __name__ == '__main__':
    unittest.main()
