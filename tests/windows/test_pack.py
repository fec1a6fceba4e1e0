"""fenzar-pack as a user meets it: launchers that are byte-identical from run
to run and run their application under Wine, attached data that the
launcher's own unpacking loop turns back into the packed tree for every
compression option, attached data made by other tools (the zstd command line)
linked and listed, refusals (also of attached data that the launcher could
not unpack) that leave nothing behind, and the data and length constant where
the launcher expects them in the executable."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness
from attached_data import archive, wrap, zstd_frame

APP = harness.windows_test_file('echo_app.dll')


def fenzar_pack(*args, env=None):
    return subprocess.run([harness.FENZAR_PACK, *args], capture_output=True,
                          encoding='utf-8', errors='replace', env=env)


def checked(*args, env=None):
    completed = fenzar_pack(*args, env=env)
    if completed.returncode != 0:
        raise AssertionError('fenzar-pack %s failed with status %d:\n%s' % (
            ' '.join(args), completed.returncode, completed.stderr))
    return completed.stdout


def raw_frame(content):
    """A zstd frame holding CONTENT (at most 128 KiB) in one raw block."""
    return (b'\x28\xb5\x2f\xfd' + bytes([0x00, (17 - 10) << 3]) +
            struct.pack('<I', len(content) << 3 | 1)[:3] + content)


def listing(records):
    return ''.join('%12d  %s\n' % (len(data), name) for name, data in records)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    return path


class PackTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='test_pack_')
        self.addCleanup(shutil.rmtree, self.work)
        # The packer's scratch directories go here, so a test can see that
        # none is left behind.
        self.tmpdir = os.path.join(self.work, 'tmp')
        os.mkdir(self.tmpdir)
        self.env = dict(os.environ, TMPDIR=self.tmpdir)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def assert_no_scratch_left(self):
        self.assertEqual(os.listdir(self.tmpdir), [])

    def test_pack_gives_the_same_launcher_every_time(self):
        write(self.path('files', 'data', 'b.txt'), b'bee\n')
        random = write(self.path('files', 'data', 'sub', 'a.bin'), os.urandom(100000))
        write(self.path('files', 'readme.txt'), b'read me\n')
        inputs = [APP, self.path('files', 'data'), self.path('files', 'readme.txt')]
        # The output's name is part of the version information, so both
        # launchers have the same name, in two directories.
        one, two = self.path('one', 'app.exe'), self.path('two', 'app.exe')
        os.mkdir(os.path.dirname(one))
        os.mkdir(os.path.dirname(two))
        checked('pack', '-o', one, *inputs, env=self.env)
        checked('pack', '-o', two, *inputs, env=self.env)
        self.assertEqual(read(one), read(two))
        self.assert_no_scratch_left()

        result = harness.run(one, ['hello', 'w\u00f6rld'],
                             env={'ECHO_APP_EXIT': '7'})
        self.assertEqual(result.status, 7, result.stderr)
        self.assertIn('argv[1]=hello\nargv[2]=w\u00f6rld\n', result.stdout)

        # The launcher holds exactly what build writes, and list reads it.
        checked('build', '-o', self.path('data.bin'), *inputs, env=self.env)
        from_bin = checked('list', self.path('data.bin'))
        self.assertEqual(checked('list', one), from_bin)
        self.assertEqual(from_bin, listing([
            ('echo_app.dll', read(APP)),
            ('data\\b.txt', b'bee\n'),
            ('data\\sub\\a.bin', read(random)),
            ('readme.txt', b'read me\n'),
        ]))

    def test_launcher_unpacks_the_tree_for_every_compression_option(self):
        tree = self.path('tree')
        files = {
            os.path.join('data', 'empty'): b'',
            os.path.join('data', 'deep', 'er', 'random.bin'): os.urandom(1 << 20),
            os.path.join('data', 'repeat.txt'): b'line\n' * 50000,
            os.path.join('data', '\u00fcber \U0001F600.txt'): 'non-ASCII'.encode(),
        }
        for name, data in files.items():
            write(os.path.join(tree, name), data)
        files['echo_app.dll'] = read(APP)
        for options in ([], ['--level', '1', '--threads', '2'], ['--level', '22', '--long']):
            with self.subTest(options=options):
                attached = self.path('data.bin')
                checked('build', *options, '-o', attached, APP, os.path.join(tree, 'data'))
                target = self.path('unpacked')
                shutil.rmtree(target, ignore_errors=True)
                result = harness.run_full_status(
                    harness.windows_test_file('unpack_into.exe'),
                    [harness.windows_path(attached), harness.windows_path(target)])
                self.assertEqual(result.status, 0, result.stdout + result.stderr)
                unpacked = {}
                for directory, _, names in os.walk(target):
                    for name in names:
                        path = os.path.join(directory, name)
                        unpacked[os.path.relpath(path, target)] = read(path)
                self.assertEqual(unpacked, files)

    def test_data_and_length_constant_sit_in_their_own_section_at_the_end(self):
        write(self.path('files', 'f.txt'), b'contents')
        checked('build', '-o', self.path('data.bin'), APP, self.path('files', 'f.txt'))
        checked('link', '-o', self.path('launcher.exe'), self.path('data.bin'), env=self.env)
        attached = read(self.path('data.bin'))
        # Launchers carry no symbol table: the data is found by its section,
        # which only the resources and the relocations follow.
        image = read(self.path('launcher.exe'))
        names = [section.name for section in harness.sections(image)]
        self.assertEqual(names[-3:], [harness.DATA_SECTION, '.rsrc', '.reloc'])
        section = harness.data_section(image)
        self.assertEqual(section.characteristics, 0x40000040, 'initialised data, read only')
        self.assertEqual(section.virtual_size, harness.DATA_OFFSET + len(attached))
        start = section.raw_pointer
        self.assertEqual(struct.unpack_from('<Q', image, start)[0], len(attached))
        data_start = start + harness.DATA_OFFSET
        self.assertEqual(image[data_start:data_start + len(attached)], attached)
        self.assert_no_scratch_left()

    @unittest.skipUnless(shutil.which('zstd'), 'needs the zstd command line tool')
    def test_frame_from_the_zstd_tool_links_and_lists(self):
        records = [('app.dll', read(APP)), ('dir\\empty', b''),
                   ('dir\\\u00fcber \U0001F600.txt', b'unicode name\n'),
                   ('big.bin', bytes(range(256)) * 4096)]
        frame = zstd_frame(archive(records), '-19', '--long=27', '--check')
        write(self.path('zstd.bin'), wrap(frame))
        self.assertEqual(checked('list', self.path('zstd.bin')), listing(records))
        checked('link', '-o', self.path('zstd.exe'), self.path('zstd.bin'), env=self.env)
        self.assertEqual(checked('list', self.path('zstd.exe')), listing(records))
        self.assert_no_scratch_left()

    def test_refusals_write_nothing(self):
        write(self.path('in', 'a:b.txt'), b'x')
        write(self.path('in', 'back\\slash'), b'x')
        write(self.path('in', 'aux.txt'), b'x')
        write(self.path('in', 'other', 'echo_app.dll'), b'x')
        write(self.path('in', 'case', 'File.txt'), b'x')
        write(self.path('in', 'case', 'FILE.TXT'), b'y')
        app_record = ('echo_app.dll', b'app')
        write(self.path('in', 'bad_name.bin'),
              wrap(raw_frame(archive([app_record, ('dir\\con.txt', b'x')]))))
        write(self.path('in', 'no_end_marker.bin'), wrap(raw_frame(archive([app_record])[:-2])))
        write(self.path('in', 'random.bin'), os.urandom(4096))
        checked('build', '-o', self.path('in', 'corrupt.bin'), self.path('in', 'random.bin'))
        corrupt = bytearray(read(self.path('in', 'corrupt.bin')))
        corrupt[len(corrupt) // 2] ^= 1
        write(self.path('in', 'corrupt.bin'), bytes(corrupt))
        os.makedirs(self.path('in', 'loop'))
        os.symlink(self.path('in', 'loop'), self.path('in', 'loop', 'again'))
        invalid_utf8 = os.path.join(os.fsencode(self.path('in', 'utf8')), b'\xff.txt')
        os.makedirs(os.path.dirname(invalid_utf8))
        with open(invalid_utf8, 'wb') as f:
            f.write(b'x')
        cases = [
            ('colon', ['build', APP, self.path('in', 'a:b.txt')], 'colon'),
            ('backslash', ['build', APP, self.path('in', 'back\\slash')], 'backslash'),
            ('device name', ['build', APP, self.path('in', 'aux.txt')], 'device name'),
            ('same name', ['build', APP, self.path('in', 'other', 'echo_app.dll')],
             'both map to the name echo_app.dll'),
            ('case', ['build', APP, self.path('in', 'case')], 'both map'),
            ('loop', ['build', APP, self.path('in', 'loop')], 'leads back'),
            ('utf-8', ['build', APP, self.path('in', 'utf8')], 'not valid UTF-8'),
            ('missing', ['build', APP, self.path('in', 'absent')], 'cannot read'),
            ('application is a directory', ['build', self.path('in', 'case')],
             'must be a file'),
            ('pack', ['pack', APP, self.path('in', 'aux.txt')], 'device name'),
            ('bad link input', ['link', self.path('in', 'absent.bin')], 'cannot read'),
            ('missing icon', ['pack', '--icon', self.path('in', 'absent.ico'), APP],
             'cannot read the icon'),
            ('link of what is not attached data', ['link', self.path('in', 'aux.txt')],
             'no attached data header'),
            ('link of a damaged frame', ['link', self.path('in', 'corrupt.bin')],
             'the frame does not decode'),
            ('link of an incomplete archive', ['link', self.path('in', 'no_end_marker.bin')],
             'without its end marker'),
            ('link of a name pack refuses', ['link', self.path('in', 'bad_name.bin')],
             "'dir\\con.txt': a component of the name is a Windows device name"),
            ('missing template', ['pack', '--template', self.path('in', 'absent.exe'), APP],
             'cannot read'),
            ('template that is not one', ['link', '--template', self.path('in', 'aux.txt'),
                                          self.path('in', 'bad_name.bin')],
             'not a launcher template'),
        ]
        os.mkdir(self.path('out'))
        for what, (command, *rest), message in cases:
            with self.subTest(what):
                completed = fenzar_pack(command, '-o', self.path('out', 'result'), *rest,
                                        env=self.env)
                self.assertEqual(completed.returncode, 1)
                last_line = completed.stderr.splitlines()[-1]
                self.assertTrue(last_line.startswith('fenzar-pack: '), completed.stderr)
                self.assertIn(message, last_line)
                if command == 'build':
                    self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                self.assertEqual(os.listdir(self.path('out')), [])
                self.assert_no_scratch_left()

    def test_usage_and_help(self):
        for command in ('pack', 'build', 'link', 'list'):
            with self.subTest(command):
                completed = fenzar_pack(command, '--help')
                self.assertEqual(completed.returncode, 0)
                self.assertTrue(completed.stdout.startswith('Usage: fenzar-pack ' + command))
        self.assertIn('Commands:', checked('--help'))
        for arguments in (['build', APP], ['build', '-o', self.path('x')], ['frobnicate'],
                          ['build', '--level', '99', '-o', self.path('x'), APP],
                          ['list', '--icon', 'x.ico', self.path('x')],
                          ['pack', '--file-version', '1.2.3.4.5', '-o', self.path('x'), APP],
                          ['pack', '--product-version', '65536', '-o', self.path('x'), APP],
                          ['build', '--template', APP, '-o', self.path('x'), APP]):
            with self.subTest(arguments):
                completed = fenzar_pack(*arguments)
                self.assertEqual(completed.returncode, 2)
                self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                self.assertFalse(os.path.exists(self.path('x')))


if __name__ == '__main__':
    unittest.main()
