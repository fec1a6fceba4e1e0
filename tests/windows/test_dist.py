"""The release archives of scripts/dist as a user meets them: unpacked into
an empty directory, the packer needs nothing of this machine's build (no
toolchain on PATH, inputs copied away from the build tree) and only the
system's libraries (glibc on Linux; the system's DLLs on Windows). Both
packers write the same attached data for the example application, also with
zstd's worker threads (--threads 2)."""
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

import harness

VERSION = open(os.path.join(harness.SOURCE_DIR, 'VERSION')).read().strip()
DIST_DIR = os.path.join(harness.SOURCE_DIR, 'build', 'dist')
LINUX_ARCHIVE = os.path.join(DIST_DIR, 'fenzar-%s-linux-x86_64.tar.gz' % VERSION)
WINDOWS_ARCHIVE = os.path.join(DIST_DIR, 'fenzar-%s-windows-x86_64.zip' % VERSION)
HELLO_DLL = os.path.join(harness.WINDOWS_BUILD_DIR, 'examples', 'hello', 'hello.dll')
GREETING = os.path.join(harness.SOURCE_DIR, 'examples', 'hello', 'greeting.txt')

# glibc of Debian 12, the oldest system the Linux packer is for.
OLDEST_GLIBC = (2, 36)
LINUX_LIBRARIES = {'libc.so.6', 'libm.so.6', 'ld-linux-x86-64.so.2'}
WINDOWS_LIBRARIES = {'kernel32.dll', 'msvcrt.dll', 'advapi32.dll', 'user32.dll'}

def setUpModule():
    # scripts/test makes the archives first; a run of ctest alone makes
    # them here when they are missing.
    if not (os.path.exists(LINUX_ARCHIVE) and os.path.exists(WINDOWS_ARCHIVE)):
        subprocess.run([os.path.join(harness.SOURCE_DIR, 'scripts', 'dist')], check=True,
                       stdout=subprocess.DEVNULL, timeout=1800)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class DistTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='test_dist_')
        self.addCleanup(shutil.rmtree, self.work)
        self.install = os.path.join(self.work, 'install')
        os.mkdir(self.install)
        # The user's files, away from the build tree.
        self.inputs = os.path.join(self.work, 'inputs')
        os.mkdir(self.inputs)
        for source in (HELLO_DLL, GREETING):
            shutil.copy(source, self.inputs)
        # A PATH with nothing on it: no compiler, assembler or linker.
        self.empty_path = os.path.join(self.work, 'empty-path')
        os.mkdir(self.empty_path)

    def input(self, name):
        return os.path.join(self.inputs, name)

    def expected_listing(self):
        return ''.join('%12d  %s%s\n' % (os.path.getsize(self.input(name)), name, mark)
                       for name, mark in (('hello.dll', '  (unsigned PE)'), ('greeting.txt', '')))

    def unpack_linux(self):
        with tarfile.open(LINUX_ARCHIVE) as archive:
            self.assertEqual(sorted(archive.getnames()), [
                'fenzar-' + VERSION, 'fenzar-%s/LICENSE' % VERSION,
                'fenzar-%s/README.md' % VERSION, 'fenzar-%s/bin' % VERSION,
                'fenzar-%s/bin/fenzar-pack' % VERSION])
            archive.extractall(self.install)
        return os.path.join(self.install, 'fenzar-' + VERSION, 'bin', 'fenzar-pack')

    def unpack_windows(self):
        with zipfile.ZipFile(WINDOWS_ARCHIVE) as archive:
            files = sorted(name for name in archive.namelist() if not name.endswith('/'))
            self.assertEqual(files, ['fenzar-%s/LICENSE' % VERSION, 'fenzar-%s/README.md' % VERSION,
                                     'fenzar-%s/bin/fenzar-pack.exe' % VERSION])
            archive.extractall(self.install)
        return os.path.join(self.install, 'fenzar-' + VERSION, 'bin', 'fenzar-pack.exe')

    def run_linux(self, packer, *args):
        completed = subprocess.run([packer, *args], capture_output=True, text=True,
                                   cwd=self.inputs, env={'PATH': self.empty_path,
                                                         'TMPDIR': self.work})
        self.assertEqual(completed.returncode, 0, completed.stderr)
        return completed.stdout

    def run_windows(self, packer, *args):
        result = harness.run(packer, args, env={'PATH': self.empty_path}, cwd=self.inputs)
        self.assertEqual(result.status, 0, result.stderr)
        return result.stdout

    def test_linux_packer_needs_only_glibc_and_builds_the_example(self):
        packer = self.unpack_linux()
        headers = subprocess.run(['objdump', '-p', packer], capture_output=True, text=True,
                                 check=True).stdout
        self.assertLessEqual(set(re.findall(r'NEEDED\s+(\S+)', headers)), LINUX_LIBRARIES)
        symbols = subprocess.run(['objdump', '-T', packer], capture_output=True, text=True,
                                 check=True).stdout
        glibc = {tuple(map(int, version.split('.')))
                 for version in re.findall(r'GLIBC_(\d+(?:\.\d+)+)', symbols)}
        self.assertLessEqual(max(glibc), OLDEST_GLIBC)

        self.assertEqual(self.run_linux(packer, '--version'), 'fenzar-pack %s\n' % VERSION)
        self.run_linux(packer, 'build', '-o', 'hello.bin', 'hello.dll', 'greeting.txt')
        self.assertEqual(self.run_linux(packer, 'list', 'hello.bin'), self.expected_listing())
        self.run_linux(packer, 'build', '--threads', '2', '-o', 'threads.bin', 'hello.dll',
                       'greeting.txt')
        self.assertEqual(self.run_linux(packer, 'list', 'threads.bin'), self.expected_listing())

    def test_windows_packer_needs_only_system_dlls_and_builds_the_same_data(self):
        packer = self.unpack_windows()
        headers = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', packer],
                                 capture_output=True, text=True, check=True).stdout
        imported = {name.lower() for name in re.findall(r'DLL Name: (\S+)', headers)}
        self.assertLessEqual(imported, WINDOWS_LIBRARIES)

        self.assertEqual(self.run_windows(packer, '--version'), 'fenzar-pack %s\n' % VERSION)
        self.run_windows(packer, 'build', '-o', 'hello.bin', 'hello.dll', 'greeting.txt')
        self.assertEqual(self.run_windows(packer, 'list', 'hello.bin'), self.expected_listing())

        linux_packer = self.unpack_linux()
        self.run_linux(linux_packer, 'build', '-o', 'linux.bin', 'hello.dll', 'greeting.txt')
        self.assertEqual(read(self.input('hello.bin')), read(self.input('linux.bin')))
        # With worker threads both write the same frame too (a frame of its
        # own: any number of threads from 1 gives the same bytes).
        self.run_windows(packer, 'build', '--threads', '2', '-o', 'windows-threads.bin',
                         'hello.dll', 'greeting.txt')
        self.run_linux(linux_packer, 'build', '--threads', '2', '-o', 'linux-threads.bin',
                       'hello.dll', 'greeting.txt')
        self.assertEqual(read(self.input('windows-threads.bin')),
                         read(self.input('linux-threads.bin')))

    def check_launcher(self, launcher):
        result = harness.run(launcher, ['one', 'two words', '--exit=7'])
        self.assertEqual(result.status, 7, result.stdout + result.stderr)
        self.assertIn('greeting.txt says:', result.stdout)

    def test_linux_packer_packs_the_example_into_a_launcher_that_runs(self):
        packer = self.unpack_linux()
        self.run_linux(packer, 'pack', '--threads', '2', '-o', 'hello.exe', 'hello.dll',
                       'greeting.txt')
        self.check_launcher(self.input('hello.exe'))

    def test_windows_packer_packs_the_example_into_a_launcher_that_runs(self):
        packer = self.unpack_windows()
        self.run_windows(packer, 'pack', '--threads', '2', '-o', 'hello.exe', 'hello.dll',
                         'greeting.txt')
        self.check_launcher(self.input('hello.exe'))


if __name__ == '__main__':
    unittest.main()
