"""What a launcher says when the application cannot start, end to end under
Wine: after the platform's line, which stays as it is, one line naming what
the files tell: the import found nowhere, the file that is no 64-bit image,
the policy or virus scanner that refused a file. Policy refusals cannot
happen under Wine (no AppLocker, WDAC or scanner); the fault hooks make the
library load or the child's start fail with their codes instead, as
Windows would."""
import os
import re
import shutil
import struct
import tempfile
import unittest

import harness

MISSING = ("The DLL '%s' that '%s' needs was not found: "
           "it is neither among the packed files nor in the system directory.")
NOT_X64 = "The file '%s' is not a 64-bit Windows DLL: it is damaged or made for another processor."
POLICY = ("A policy or a virus scanner of this machine refused '%s'%s: "
          "see \"Locked-down machines and virus scanners\" in Fenzar's README.")

# The target directory a launcher makes in Wine's %TEMP%, as its messages
# show it.
TARGET = r'C:\\users\\[^\\]+\\Temp\\onefile_[^\\]+'


def pe32_dll():
    """A small valid 32-bit (i386) DLL with no imports and no entry point:
    what a 64-bit process cannot load."""
    dos = bytearray(0x80)
    dos[0:2] = b'MZ'
    struct.pack_into('<I', dos, 0x3C, len(dos))
    # Machine i386, one section, a PE32 optional header; a 32-bit DLL.
    coff = struct.pack('<4sHHIIIHH', b'PE\0\0', 0x14C, 1, 0, 0, 0, 0xE0, 0x2102)
    optional = struct.pack(
        '<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII',
        0x10B, 14, 0, 0x200, 0, 0, 0, 0x1000, 0x1000,
        0x10000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
        0x2000, 0x200, 0, 2, 0x0140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += bytes(16 * 8)
    section = struct.pack('<8sIIIIIIHHI', b'.text', 0x10, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    headers = bytes(dos) + coff + optional + section
    return headers + bytes(0x200 - len(headers)) + b'\xC3' * 0x200


class Diagnose(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_diagnose_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def read(self, name):
        with open(harness.windows_test_file(name), 'rb') as f:
            return f.read()

    def assertLines(self, result, code, explanation):
        """Status 2, the load's platform line with CODE, then EXPLANATION (a
        regular expression) as the one line after it."""
        self.assertEqual(result.status, 2, result)
        lines = result.stderr.split('\n')
        self.assertEqual(len(lines), 3, result.stderr)
        self.assertRegex(lines[0], r'\AError, load DLL\. \(\[Error %d\] [^\n]*\)\Z' % code)
        self.assertRegex(lines[1], r'\A%s\Z' % explanation)
        self.assertEqual(lines[2], '')
        return lines

    def test_an_import_found_nowhere_is_named(self):
        neighbour = harness.windows_test_file('neighbour_lib.dll')
        needer = harness.windows_test_file('needs_neighbour_app.dll')
        cases = [
            # The application's DLL needs a DLL that was not packed.
            ('direct', 'needs_neighbour_app.dll', [], 'neighbour_lib.dll', 'needs_neighbour_app.dll'),
            # A packed DLL it needs needs one that was not packed: the walk
            # goes through the packed DLLs and names the last link.
            ('chain', 'needs_needer_app.dll', [needer], 'neighbour_lib.dll', 'needs_neighbour_app.dll'),
        ]
        for label, app, files, missing, importer in cases:
            with self.subTest(label):
                launcher = harness.pack(harness.windows_test_file(app), files,
                                        out=os.path.join(self.work, label + '.exe'))
                # Beside the launcher and in the current directory it does
                # not count: the load does not search there.
                shutil.copy(neighbour, self.work)
                result = harness.run(launcher, cwd=self.work)
                self.assertLines(result, 126, re.escape(MISSING % (missing, '@')).replace(
                    '@', TARGET + r'\\' + re.escape(importer)))
                self.assertEqual(result.stdout, '')
        # With the DLL packed, the same application runs.
        launcher = harness.pack(harness.windows_test_file('needs_needer_app.dll'), [needer, neighbour],
                                out=os.path.join(self.work, 'whole.exe'))
        self.assertEqual(harness.run(launcher, cwd=self.work), (0, 'twice=84\n', ''))

    def test_a_file_that_is_no_64_bit_image_is_named(self):
        echo = self.read('echo_app.dll')
        cases = [
            ('32-bit', [('app.dll', pe32_dll())], 'app.dll'),
            # Cut short: the headers are there, the sections are not.
            ('truncated', [('app.dll', echo[:0x600])], 'app.dll'),
            ('no image', [('app.dll', b'not a DLL at all\r\n' * 64)], 'app.dll'),
            # A packed DLL that the application's DLL needs is the one refused.
            ('32-bit import', [('needs_neighbour_app.dll', self.read('needs_neighbour_app.dll')),
                               ('neighbour_lib.dll', pe32_dll())], 'neighbour_lib.dll'),
        ]
        for label, records, refused in cases:
            with self.subTest(label):
                launcher = harness.link_archive(records, os.path.join(self.work, label + '.exe'))
                result = harness.run(launcher, cwd=self.work)
                self.assertEqual(result.status, 2, result)
                lines = result.stderr.split('\n')
                self.assertEqual(len(lines), 3, result.stderr)
                code = int(re.match(r'Error, load DLL\. \(\[Error (\d+)\] ', lines[0]).group(1))
                # Windows says 193 (bad image); Wine 8 says 126 for a DLL of
                # another processor, as if it were missing.
                self.assertIn(code, (11, 126, 193, 216), lines[0])
                path = TARGET + r'\\' + re.escape(refused)
                self.assertRegex(lines[1], r'\A%s\Z' % re.escape(NOT_X64 % '@').replace('@', path))
                # Windows' texts name the file as "%1"; the line names it.
                self.assertNotIn('%1', lines[0])

    def test_policy_refusals_say_so_and_keep_the_status(self):
        codes = [1260, 4551, 577, 225, 226]
        for code in codes:
            with self.subTest(load=code):
                launcher = harness.pack_with_hooks(harness.windows_test_file('echo_app.dll'),
                                                   out=os.path.join(self.work, 'load%d.exe' % code))
                result = harness.run(launcher, env={'FENZAR_TEST_FAULT': 'load_library:0:%d' % code},
                                     cwd=self.work)
                path = TARGET + r'\\echo_app\.dll'
                self.assertLines(result, code, re.escape(POLICY % ('@', ' or a DLL that it loads')).replace(
                    '@', path))
            with self.subTest(start=code):
                launcher = harness.pack_with_hooks(harness.windows_test_file('echo_app.dll'),
                                                   out=os.path.join(self.work, 'start%d.exe' % code))
                result = harness.run(launcher, env={'FENZAR_TEST_FAULT': 'start_process:0:%d' % code},
                                     cwd=self.work)
                self.assertEqual(result.status, 2, result)
                lines = result.stderr.split('\n')
                self.assertEqual(len(lines), 3, result.stderr)
                self.assertRegex(lines[0], r"\AError, couldn't launch child \(\[Error %d\] [^\n]*\)\Z" % code)
                self.assertEqual(lines[1], POLICY % (harness.windows_path(launcher), ''))

    def test_other_failures_add_nothing(self):
        # An error that is neither a missing file, a bad image nor a policy
        # keeps its one line.
        launcher = harness.pack_with_hooks(harness.windows_test_file('echo_app.dll'),
                                           out=os.path.join(self.work, 'other.exe'))
        for operation in ('load_library', 'start_process'):
            with self.subTest(operation):
                result = harness.run(launcher, env={'FENZAR_TEST_FAULT': '%s:0:5' % operation}, cwd=self.work)
                self.assertEqual(result.status, 2, result)
                self.assertRegex(result.stderr, r'\AError, [^\n]*\(\[Error 5\] [^\n]*\)\n\Z')


if __name__ == '__main__':
    unittest.main()
