"""fenzar-pack as a user meets it: launchers that are byte-identical from run
to run and run their application under Wine, attached data that the
launcher's own unpacking loop turns back into the packed tree for every
compression option, attached data made by other tools (the zstd command line)
linked and listed, refusals (also of attached data that the launcher could
not unpack, of application libraries it could not load and call, of icons
whose images are not what they claim) that leave nothing behind, write
failures with their reason, interruptions that leave nothing either, and the
data and length constant where the launcher expects them in the executable.
The packer for Windows (fenzar-pack.exe under Wine) writes the same attached
data and launchers as the one for Linux, also for non-ASCII output names and
directory paths past 260 characters, and refuses the same inputs with the
same messages."""
import hashlib
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import harness
from attached_data import archive, wrap, zstd_frame
from test_executable import RT_MANIFEST, PeImage

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


class Path(str):
    """A path argument: the Windows packer gets it as Wine shows it, Z:\\..."""


def run_packer(packer, *args, env=None, file_size_limit=None):
    """Runs the Linux packer or the Windows one under Wine; the Result's text
    has LF line ends. FILE_SIZE_LIMIT: the largest file it may write, a limit
    past which writes fail (not kill it)."""
    if packer == 'linux':
        command, environment = [harness.FENZAR_PACK, *args], env
    else:
        command = [harness.WINE, harness.FENZAR_PACK_EXE,
                   *(harness.windows_path(a) if isinstance(a, Path) else a for a in args)]
        environment = harness.wine_environment()

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

    completed = subprocess.run(command, capture_output=True, env=environment,
                               preexec_fn=limit_file_size if file_size_limit else None)
    return harness.Result(completed.returncode, harness._text(completed.stdout),
                          harness._text(completed.stderr))


def as_windows_message(message, root):
    """A Linux packer's message as the Windows packer words it: each path
    below ROOT in its Z:\\ form."""
    return re.sub(re.escape(root) + r'[^ ;,]*',
                  lambda match: harness.windows_path(match.group(0)), message)


def scratch_entries(packer, tmpdir):
    """What the packer may leave in the directory for temporary files."""
    if packer == 'linux':
        return set(os.listdir(tmpdir))
    temp = harness.wine_temp_dir()
    return {name for name in os.listdir(temp) if name.startswith('fenzar-pack-')}


def raw_frame(content):
    """A zstd frame holding CONTENT (at most 128 KiB) in one raw block."""
    return (b'\x28\xb5\x2f\xfd' + bytes([0x00, (17 - 10) << 3]) +
            struct.pack('<I', len(content) << 3 | 1)[:3] + content)


def unsigned_pe(data):
    """Whether DATA is a PE image (MZ, the PE signature where e_lfanew
    points, a PE32 or PE32+ optional header) whose certificate table (data
    directory 4) is empty."""
    try:
        pe = struct.unpack_from('<I', data, 0x3C)[0] if data[:2] == b'MZ' else None
        if pe is None or data[pe:pe + 4] != b'PE\0\0':
            return False
        optional = pe + 24
        directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(struct.unpack_from('<H', data, optional)[0])
        if directories is None:
            return False
        count = struct.unpack_from('<I', data, directories - 4)[0]
        return count <= 4 or struct.unpack_from('<I', data, directories + 8 * 4 + 4)[0] == 0
    except struct.error:
        return False


def listing(records):
    return ''.join('%12d  %s%s\n' % (len(data), name, '  (unsigned PE)' if unsigned_pe(data) else '')
                   for name, data in records)


PACKER_VERSION = open(os.path.join(harness.SOURCE_DIR, 'VERSION')).read().strip()
WRITTEN_BY = ', written by fenzar-pack ' + PACKER_VERSION

# The line that list prints first for a launcher made without options.
DEFAULT_LAUNCHER_LINE = 'launcher: windows subsystem, execution level asInvoker%s\n' % WRITTEN_BY


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
        self.assertEqual(checked('list', one), DEFAULT_LAUNCHER_LINE + from_bin)
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
        # The console start-up's address and the launch settings' size: zero
        # in a launcher without --cache.
        self.assertEqual(image[start + 8:start + harness.DATA_OFFSET], bytes(8))
        data_start = start + harness.DATA_OFFSET
        self.assertEqual(image[data_start:data_start + len(attached)], attached)
        # With --cache the launch settings follow the data: the first 16 bytes
        # of its SHA-256 and the library's name without its extension.
        checked('link', '--cache', '-o', self.path('cached.exe'), self.path('data.bin'), env=self.env)
        image = read(self.path('cached.exe'))
        section = harness.data_section(image)
        start = section.raw_pointer
        length, console_entry, settings_size = struct.unpack_from('<QII', image, start)
        self.assertEqual((length, console_entry, settings_size), (len(attached), 0, 152))
        self.assertEqual(section.virtual_size, harness.DATA_OFFSET + len(attached) + settings_size)
        data_end = start + harness.DATA_OFFSET + length
        self.assertEqual(image[start + harness.DATA_OFFSET:data_end], attached)
        # The library's name and a key of the launcher's file name.
        key = hashlib.sha256('cached.exe'.encode('utf-16-le')).hexdigest()[:8]
        name = (os.path.splitext(os.path.basename(APP))[0] + '-' + key).encode('utf-16-le')
        self.assertEqual(image[data_end:data_end + settings_size],
                         hashlib.sha256(attached).digest()[:16] + struct.pack('<H', len(name) // 2) +
                         bytes(6) + name + bytes(128 - len(name)))
        # list names where the launcher keeps the application, and says so
        # when the settings are not what the launcher takes, which ends such
        # a launcher at once; a size beyond the section is refused.
        listed = ('launcher: windows subsystem, execution level asInvoker, '
                  'cache %%LOCALAPPDATA%%\\Fenzar\\%s\\%s%s\n' % (
                      name.decode('utf-16-le'), hashlib.sha256(attached).hexdigest()[:32], WRITTEN_BY))
        self.assertTrue(checked('list', self.path('cached.exe')).startswith(listed))
        damaged = bytearray(image)
        damaged[data_end + 16] = 0
        write(self.path('damaged.exe'), bytes(damaged))
        self.assertTrue(checked('list', self.path('damaged.exe')).startswith(
            'launcher: windows subsystem, execution level asInvoker, launch settings the launcher refuses'
            + WRITTEN_BY + '\n'))
        self.assertEqual(harness.run_full_status(self.path('damaged.exe')).status, 0xC0000409)
        struct.pack_into('<I', damaged, start + 12, section.raw_size)
        write(self.path('damaged.exe'), bytes(damaged))
        completed = run_packer('linux', 'list', Path(self.path('damaged.exe')))
        self.assertEqual(completed.status, 1)
        self.assertIn("the launch settings' size in the .fzdata section does not fit it", completed.stderr)
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
        self.assertEqual(checked('list', self.path('zstd.exe')), DEFAULT_LAUNCHER_LINE + listing(records))
        self.assert_no_scratch_left()

    def test_refusals_write_nothing(self):
        """One table for both packers: each case is refused with status 1 and
        one line on stderr, the same line from both, and leaves neither an
        output nor a temporary file. Cases that only Linux can present (names
        Wine shows otherwise) or that need a launcher run on Linux only."""
        write(self.path('in', 'a:b.txt'), b'x')
        write(self.path('in', 'back\\slash'), b'x')
        write(self.path('in', 'aux.txt'), b'x')
        for device in ('CONIN$', 'conout$.txt', 'CLOCK$', 'COM0', 'lpt0.log',
                       'COM\u00b9', 'LPT\u00b3.txt'):
            write(self.path('in', 'devices', device, device), b'x')
        write(self.path('in', 'other', 'echo_app.dll'), b'x')
        write(self.path('in', 'case', 'File.txt'), b'x')
        write(self.path('in', 'case', 'FILE.TXT'), b'y')
        write(self.path('in', 'accent', '\u00c9.txt'), b'x')
        write(self.path('in', 'accent', '\u00e9.txt'), b'y')
        write(self.path('in', 'sigma', '\u03a3.txt'), b'x')
        write(self.path('in', 'sigma', '\u03c3.txt'), b'y')
        write(self.path('in', 'beside', '\u00c9'), b'file')
        write(self.path('in', 'beside', '\u00e9', 'inner.txt'), b'y')
        os.makedirs(self.path('in', 'loop'))
        os.symlink(self.path('in', 'loop'), self.path('in', 'loop', 'again'))
        invalid_utf8 = os.path.join(os.fsencode(self.path('in', 'utf8')), b'\xff.txt')
        os.makedirs(os.path.dirname(invalid_utf8))
        with open(invalid_utf8, 'wb') as f:
            f.write(b'x')
        app_record = ('echo_app.dll', b'app')
        bad_name = write(self.path('in', 'bad_name.bin'),
                         wrap(raw_frame(archive([app_record, ('dir\\con.txt', b'x')]))))
        no_end_marker = write(self.path('in', 'no_end_marker.bin'),
                              wrap(raw_frame(archive([app_record])[:-2])))
        write(self.path('in', 'random.bin'), os.urandom(4096))
        corrupt = self.path('in', 'corrupt.bin')
        checked('build', '-o', corrupt, APP, self.path('in', 'random.bin'))
        damaged = bytearray(read(corrupt))
        damaged[len(damaged) // 2] ^= 1
        write(corrupt, bytes(damaged))
        victim = write(self.path('out', 'victim.dll'), read(APP))
        os.symlink(victim, self.path('out', 'victim-link.dll'))
        os.link(victim, self.path('out', 'victim-hard.dll'))
        long_name = write(self.path('in', 'long.bin'),
                          wrap(zstd_frame(archive([('n' * 1024, b'')]), '--check')))
        endless_name = write(self.path('in', 'endless.bin'),
                             wrap(zstd_frame(b'n\0' * (1 << 24), '-19', '--check')))
        # Names the launcher cannot write together, and no records at all.
        app_bytes = read(APP)
        no_records = write(self.path('in', 'no_records.bin'), wrap(raw_frame(archive([]))))
        file_and_directory = write(self.path('in', 'file_and_directory.bin'), wrap(zstd_frame(
            archive([('echo_app.dll', app_bytes), ('x', b'file'), ('x\\y', b'below')]))))
        directory_then_file = write(self.path('in', 'directory_then_file.bin'), wrap(zstd_frame(
            archive([('echo_app.dll', app_bytes), ('D\u00c9\\y', b'below'),
                     ('d\u00e9', b'file')]))))
        # 'a' and the high surrogate D800 alone, as UTF-16LE units.
        lone_surrogate = write(self.path('in', 'lone_surrogate.bin'), wrap(zstd_frame(
            archive([('echo_app.dll', app_bytes)], end_marker=False) +
            b'a\0\x00\xd8\0\0' + struct.pack('<Q', 1) + b'x' + b'\0\0')))
        write(self.path('in', 'clash', 'one', 'x'), b'file')
        write(self.path('in', 'clash', 'x', 'y'), b'below')
        # Application libraries the launcher could not load or call.
        write(self.path('in', 'text.dll'), b'int run_code(void);\n')
        write(self.path('in', 'empty.dll'), b'')
        icon = self.path('in', 'fenzar.ico')
        shutil.copy(os.path.join(harness.SOURCE_DIR, 'resources', 'fenzar.ico'), icon)
        x86 = bytearray(app_bytes)
        struct.pack_into('<H', x86, struct.unpack_from('<I', x86, 0x3C)[0] + 4, 0x14C)
        write(self.path('in', 'x86.dll'), bytes(x86))
        shutil.copy(harness.windows_test_file('no_entry_app.dll'), self.path('in', 'no_entry.dll'))
        shutil.copy(harness.LAUNCHER_TEMPLATE, self.path('in', 'program.dll'))
        # Icons whose images are not what their entries say.
        entry = struct.pack('<BBBBHHII', 16, 16, 0, 0, 1, 32, 1064, 22)
        write(self.path('in', 'random.ico'), struct.pack('<HHH', 0, 1, 1) + entry +
              bytes([0x5A]) * 1064)
        many = bytes(struct.pack('<BBBBHHII', 16, 16, 0, 0, 1, 32, 1064, 6 + 16 * 300))
        write(self.path('in', 'many.ico'), struct.pack('<HHH', 0, 1, 300) + many * 300 +
              struct.pack('<IiiHHIIiiII', 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(1024))

        # Every path lies below the work directory, so that the messages of
        # the two packers can be compared.
        app = Path(write(self.path('app', 'echo_app.dll'), read(APP)))
        out = Path(self.path('out', 'result'))
        both, linux = ('linux', 'windows'), ('linux',)
        cases = [
            ('device name', both, ['build', '-o', out, app, Path(self.path('in', 'aux.txt'))],
             'device name'),
            ('same name', both, ['build', '-o', out, app,
                                 Path(self.path('in', 'other', 'echo_app.dll'))],
             'both map to the name echo_app.dll'),
            ('ASCII case', both, ['build', '-o', out, app, Path(self.path('in', 'case'))],
             'both map'),
            ('accent case', both, ['build', '-o', out, app, Path(self.path('in', 'accent'))],
             'the same file as'),
            ('Greek case', both, ['build', '-o', out, app, Path(self.path('in', 'sigma'))],
             'the same file as'),
            ('file beside a directory of another case', both,
             ['build', '-o', out, app, Path(self.path('in', 'beside'))], 'also a directory'),
            ('loop', both, ['build', '-o', out, app, Path(self.path('in', 'loop'))],
             'leads back'),
            ('missing', both, ['build', '-o', out, app, Path(self.path('in', 'absent'))],
             'cannot read'),
            ('application is a directory', both, ['build', '-o', out, Path(self.path('in', 'case'))],
             'must be a file'),
            ('output is the input', both, ['build', '-o', Path(victim), Path(victim)],
             'the output is the input'),
            ('output is a link to an input', both,
             ['build', '-o', Path(self.path('out', 'victim-link.dll')), app, Path(victim)],
             'the output is the input'),
            ('output is a hard link to an input', both,
             ['build', '-o', Path(self.path('out', 'victim-hard.dll')), Path(victim)],
             'the output is the input'),
            ('link over its input', both, ['link', '-o', Path(victim), Path(victim)],
             'the output is the input'),
            ('name above the launcher\'s limit', both, ['list', Path(long_name)],
             'longer than 1023'),
            ('endless name', both, ['list', Path(endless_name)], 'longer than 1023'),
            ('colon', linux, ['build', '-o', out, app, self.path('in', 'a:b.txt')], 'colon'),
            ('backslash', linux, ['build', '-o', out, app, self.path('in', 'back\\slash')],
             'backslash'),
            ('utf-8', linux, ['build', '-o', out, app, self.path('in', 'utf8')],
             'not valid UTF-8'),
            ('pack', both, ['pack', '-o', out, app, Path(self.path('in', 'aux.txt'))],
             'device name'),
            ('bad link input', both, ['link', '-o', out, Path(self.path('in', 'absent.bin'))],
             'cannot read'),
            ('missing icon', both, ['pack', '-o', out, '--icon',
                                    Path(self.path('in', 'absent.ico')), app],
             'cannot read the icon'),
            ('pack over its icon', both, ['pack', '-o', Path(victim), '--icon', Path(victim), app],
             'the output is the input'),
            ('link of what is not attached data', both,
             ['link', '-o', out, Path(self.path('in', 'aux.txt'))], 'no attached data header'),
            ('link of a damaged frame', both, ['link', '-o', out, Path(corrupt)],
             'the frame does not decode'),
            ('link of an incomplete archive', both, ['link', '-o', out, Path(no_end_marker)],
             'without its end marker'),
            ('link of a name pack refuses', both, ['link', '-o', out, Path(bad_name)],
             "'dir\\con.txt': a component of the name is a Windows device name"),
            ('missing template', both,
             ['pack', '-o', out, '--template', Path(self.path('in', 'absent.exe')), app],
             'cannot read'),
            ('link of no records', both, ['link', '-o', out, Path(no_records)],
             'the archive holds no records; its first must be the application library'),
            ('link of a file that is also a directory', both,
             ['link', '-o', out, Path(file_and_directory)],
             "the record 'x' is a file and also a directory of the record 'x\\y'"),
            ('link of a directory, then a file of its name in another case', both,
             ['link', '-o', out, Path(directory_then_file)],
             "the record 'd\u00e9' is a file and also a directory of the record 'D\u00c9\\y'"),
            ('link of an unpaired surrogate', both, ['link', '-o', out, Path(lone_surrogate)],
             "the record 'a\\u{D800}': the name holds an unpaired surrogate"),
            ('file that is also a directory', both,
             ['build', '-o', out, app, Path(self.path('in', 'clash', 'one', 'x')),
              Path(self.path('in', 'clash', 'x'))],
             'is stored as the file x, which is also a directory of'),
            ('application is text', both, ['pack', '-o', out, Path(self.path('in', 'text.dll'))],
             'the application library is not a Windows DLL (not a PE image: no "MZ")'),
            ('application is empty', both, ['build', '-o', out, Path(self.path('in', 'empty.dll'))],
             'the application library is not a Windows DLL (not a PE image: no "MZ")'),
            ('application is an icon', both, ['build', '-o', out, Path(icon)],
             'the application library is not a Windows DLL (not a PE image: no "MZ")'),
            ('application is for x86', both, ['pack', '-o', out, Path(self.path('in', 'x86.dll'))],
             'the application library is not for x86-64 (its machine is 0x014C, x86-64 is 0x8664)'),
            ('application is a program', both,
             ['build', '-o', out, Path(self.path('in', 'program.dll'))],
             'the application library is not a DLL (it is an executable program)'),
            ('application without run_code', both,
             ['pack', '-o', out, Path(self.path('in', 'no_entry.dll'))],
             'the application library does not export run_code'),
            ('icon of random images', both,
             ['pack', '-o', out, '--icon', Path(self.path('in', 'random.ico')), app],
             'image 1 of the icon file is neither a PNG image nor a bitmap (BITMAPINFOHEADER)'),
            ('icon of too many images', both,
             ['pack', '-o', out, '--icon', Path(self.path('in', 'many.ico')), app],
             'the icon file lists 300 images, more than the 256 allowed'),
            # A Windows command line (32,767 characters) cannot carry texts
            # that pass the resource's 65,535 bytes.
            ('version information too long', linux,
             ['pack', '-o', out, '--description', 'd' * 20000, '--copyright', 'c' * 30000, app],
             'the version information is too long: LegalCopyright (--copyright) has 30000 '
             'UTF-16 units, and with the other fields as they are at most '),
            ('--cache with a name that cannot name a folder', both,
             ['pack', '--cache', '-o', out, Path(write(self.path('in', 'cache', 'app..dll'), app_bytes))],
             "--cache: the application's name 'app.' (its library's name without the extension) "
             "must be a usable folder name of 1 to 64 characters"),
            ('--cache with a name too long for the folder', both,
             ['pack', '--cache', '-o', out,
              Path(write(self.path('in', 'cache', 'n' * 65 + '.dll'), app_bytes))],
             "--cache: the application's name '" + 'n' * 65 + "'"),
            ('template that is not one', both,
             ['link', '-o', out, '--template', Path(self.path('in', 'aux.txt')), Path(bad_name)],
             'not a launcher template'),
        ]
        cases += [('device name ' + device, both,
                   ['build', '-o', out, app, Path(self.path('in', 'devices', device))],
                   'device name')
                  for device in sorted(os.listdir(self.path('in', 'devices')))]
        outputs = sorted(os.listdir(self.path('out')))
        for what, packers, arguments, message in cases:
            messages = {}
            for packer in packers:
                with self.subTest(what, packer=packer):
                    before = scratch_entries(packer, self.tmpdir)
                    completed = run_packer(packer, *arguments, env=self.env)
                    self.assertEqual(completed.status, 1, completed.stderr)
                    last_line = completed.stderr.splitlines()[-1]
                    self.assertTrue(last_line.startswith('fenzar-pack: '), completed.stderr)
                    self.assertIn(message, last_line)
                    self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                    self.assertEqual(sorted(os.listdir(self.path('out'))), outputs)
                    self.assertEqual(read(victim), read(APP))
                    self.assertEqual(scratch_entries(packer, self.tmpdir), before)
                    messages[packer] = completed.stderr
            if len(messages) == 2:
                with self.subTest(what, packer='same message'):
                    self.assertEqual(messages['windows'],
                                     as_windows_message(messages['linux'], self.work))

    def test_usage_and_help(self):
        version = read(os.path.join(harness.SOURCE_DIR, 'VERSION')).decode().strip()
        for packer in ('linux', 'windows'):
            with self.subTest(packer):
                for command in ('pack', 'build', 'link', 'list'):
                    completed = run_packer(packer, command, '--help')
                    self.assertEqual(completed.status, 0)
                    self.assertTrue(completed.stdout.startswith('Usage: fenzar-pack ' + command))
                # Directory arguments as the system's users type them.
                separator = '/' if packer == 'linux' else '\\'
                self.assertIn("'data%s' gives data\\..." % separator,
                              run_packer(packer, 'pack', '--help').stdout)
                self.assertIn("'DIR%s.'" % separator, run_packer(packer, 'build', '--help').stdout)
                for command in ('pack', 'link'):
                    self.assertIn('  --dpi-aware unaware|system|permonitorv2\n', run_packer(packer, command, '--help').stdout)
                self.assertNotIn('--dpi-aware', run_packer(packer, 'build', '--help').stdout)
                completed = run_packer(packer, '--help')
                self.assertEqual(completed.status, 0)
                self.assertIn('Commands:', completed.stdout)
                self.assertEqual(run_packer(packer, '--version').stdout,
                                 'fenzar-pack %s\n' % version)
                x = Path(self.path('x'))
                for arguments in (['build', Path(APP)], ['build', '-o', x], ['frobnicate'],
                                  ['build', '--level', '99', '-o', x, Path(APP)],
                                  ['list', '--icon', 'x.ico', x], [],
                                  ['pack', '--file-version', '1.2.3.4.5', '-o', x, Path(APP)],
                                  ['pack', '--product-version', '65536', '-o', x, Path(APP)],
                                  ['build', '--template', Path(APP), '-o', x, Path(APP)],
                                  ['build', '--console', '-o', x, Path(APP)],
                                  ['pack', '--execution-level', 'administrator', '-o', x, Path(APP)],
                                  ['link', '--execution-level', '-o', x, Path(APP)],
                                  ['pack', '--console=yes', '-o', x, Path(APP)],
                                  ['pack', '--dpi-aware', 'PerMonitorV2', '-o', x, Path(APP)],
                                  ['build', '--dpi-aware', 'system', '-o', x, Path(APP)]):
                    completed = run_packer(packer, *arguments)
                    self.assertEqual(completed.status, 2, arguments)
                    if arguments:
                        self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                    self.assertFalse(os.path.exists(self.path('x')))

    def test_output_forms_summary_and_quiet(self):
        """-o FILE, -oFILE, --output FILE and --output=FILE name the same
        output; each command that writes says so in one line on standard
        error (nothing on standard output), -q keeps it quiet; both packers
        alike."""
        size = len(read(APP))
        for packer in ('linux', 'windows'):
            with self.subTest(packer):
                outputs = []
                for i, form in enumerate((['-o', '@'], ['-o@'], ['--output', '@'], ['--output=@'])):
                    # One name in four directories: the version resource holds the name.
                    out = self.path('%s%d' % (packer, i), 'app.exe')
                    os.makedirs(os.path.dirname(out))
                    arguments = ['pack', '--console', '--level', '3'] + [
                        a.replace('@', harness.windows_path(out) if packer == 'windows' else out) for a in form]
                    completed = run_packer(packer, *arguments, Path(APP))
                    self.assertEqual(completed.status, 0, completed.stderr)
                    self.assertEqual(completed.stdout, '')
                    shown = harness.windows_path(out) if packer == 'windows' else out
                    data = read(out)
                    self.assertRegex(completed.stderr, r'\Afenzar-pack: wrote %s \(console launcher, %d bytes\): '
                                     r'1 file, %d bytes compressed to \d+ \(\d+\.\d%%\) at level 3\n\Z'
                                     % (re.escape(shown), len(data), size))
                    outputs.append(data)
                self.assertEqual(len(set(outputs)), 1)
                data = Path(self.path(packer + '.bin'))
                completed = run_packer(packer, 'build', '-q', '--level', '1', '-o', data, Path(APP))
                self.assertEqual((completed.status, completed.stdout, completed.stderr), (0, '', ''))
                linked = Path(self.path(packer + '-linked.exe'))
                completed = run_packer(packer, 'link', '-o', linked, data)
                self.assertEqual(completed.status, 0, completed.stderr)
                self.assertEqual(completed.stderr, 'fenzar-pack: wrote %s (windows launcher, %d bytes): with %d bytes '
                                 'of attached data\n' % (harness.windows_path(linked) if packer == 'windows'
                                                          else linked, len(read(linked)), len(read(data))))
                # Extra arguments are refused, each in one line.
                for arguments in (['--version', 'extra'], ['--help', 'extra'], ['help', 'pack', 'extra']):
                    completed = run_packer(packer, *arguments)
                    self.assertEqual(completed.status, 2, arguments)
                    self.assertEqual(completed.stdout, '')
                    self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                self.assertTrue(run_packer(packer, 'help', 'pack').stdout.startswith('Usage: fenzar-pack pack'))
                help_text = run_packer(packer, 'pack', '--help').stdout
                self.assertIn('from -131072 (fastest) to 22 (smallest)', help_text)
                self.assertIn('from 0 to 200', help_text)

    def test_checks_before_shipping(self):
        """What the packer can tell before a user ships: an import that is
        neither packed nor on its list of Windows' DLLs (a warning; the
        launcher is written), --cache with requireAdministrator (refused), a
        run_code without extern "C" (refused, with the hint); both packers
        alike."""
        needer = harness.windows_test_file('needs_neighbour_app.dll')
        neighbour = harness.windows_test_file('neighbour_lib.dll')
        decorated = harness.windows_test_file('decorated_app.dll')
        warning = ("fenzar-pack: warning: needs_neighbour_app.dll imports neighbour_lib.dll, which is neither "
                   "packed beside it nor on the packer's list of DLLs that Windows has: the launcher finds it "
                   "only where Windows has it\n")
        for packer in ('linux', 'windows'):
            with self.subTest(packer):
                out = Path(self.path(packer + '.exe'))
                cases = [
                    # arguments, status, stderr (a regular expression)
                    (['pack', '-q', '-o', out, Path(needer)], 0, re.escape(warning)),
                    (['build', '-q', '-o', out, Path(needer)], 0, re.escape(warning)),
                    (['pack', '-q', '-o', out, Path(needer), Path(neighbour)], 0, ''),
                    # echo_app imports only Windows' DLLs.
                    (['pack', '-q', '-o', out, Path(APP)], 0, ''),
                    (['pack', '--cache', '--execution-level', 'requireAdministrator', '-o', out, Path(APP)], 2,
                     r'fenzar-pack pack: --cache and --execution-level requireAdministrator do not go together: '
                     r'an elevated launcher never uses the cache \(see fenzar-pack pack --help\)\n'),
                    (['pack', '-o', out, Path(decorated)], 1,
                     r"fenzar-pack: [^\n]*decorated_app\.dll: the application library does not export run_code, "
                     r"only '_Z8run_code[^']*', the name a C\+\+ compiler gives it: declare it extern \"C\"\n"),
                ]
                for arguments, status, stderr in cases:
                    if os.path.exists(out):
                        os.remove(out)
                    completed = run_packer(packer, *arguments)
                    self.assertEqual(completed.status, status, (arguments, completed.stderr))
                    self.assertRegex(completed.stderr, r'\A%s\Z' % stderr, arguments)
                    self.assertEqual(os.path.exists(out), status == 0, arguments)

    def test_list_marks_unsigned_pe_files_and_names_the_packer(self):
        """A DLL signed with osslsigncode stays signed in the archive and is
        listed as it is; an unsigned one is marked, which matters on
        machines whose policy admits only signed code; text files are never
        marked. The first line names the packer that wrote the launcher.
        Both packers list alike."""
        keys = self.path('keys')
        os.mkdir(keys)
        certificate, key = os.path.join(keys, 'cert.pem'), os.path.join(keys, 'key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
                        '-subj', '/CN=Fenzar test signer', '-addext', 'extendedKeyUsage=codeSigning',
                        '-keyout', key, '-out', certificate], capture_output=True, check=True)
        signed = self.path('files', 'signed_lib.dll')
        os.makedirs(os.path.dirname(signed))
        subprocess.run(['osslsigncode', 'sign', '-certs', certificate, '-key', key,
                        '-in', harness.windows_test_file('neighbour_lib.dll'), '-out', signed],
                       capture_output=True, check=True)
        unsigned = write(self.path('files', 'unsigned_lib.dll'), read(harness.windows_test_file('neighbour_lib.dll')))
        text = write(self.path('files', 'notes.txt'), b'MZ, but text\n')
        launcher = self.path('app.exe')
        checked('pack', '-q', '--level', '1', '-o', launcher, APP, signed, unsigned, text, env=self.env)
        expected = ('launcher: windows subsystem, execution level asInvoker, written by fenzar-pack %s\n'
                    '%12d  echo_app.dll  (unsigned PE)\n'
                    '%12d  signed_lib.dll\n'
                    '%12d  unsigned_lib.dll  (unsigned PE)\n'
                    '%12d  notes.txt\n' % (PACKER_VERSION, os.path.getsize(APP), os.path.getsize(signed),
                                           os.path.getsize(unsigned), os.path.getsize(text)))
        for packer in ('linux', 'windows'):
            with self.subTest(packer):
                completed = run_packer(packer, 'list', Path(launcher))
                self.assertEqual((completed.status, completed.stdout), (0, expected), completed.stderr)

    def test_dpi_awareness_in_the_manifest(self):
        """--dpi-aware adds the two settings to the manifest's windowsSettings;
        without it the manifest is the built-in one byte for byte."""
        built_in = read(os.path.join(harness.SOURCE_DIR, 'resources', 'launcher.manifest')).decode()
        tail = '    </windowsSettings>\n'
        self.assertIn(tail, built_in)

        def setting(aware, awareness):
            return ('      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">%s</dpiAware>\n'
                    '      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">%s'
                    '</dpiAwareness>\n' % (aware, awareness))
        cases = [
            ([], built_in),
            (['--dpi-aware', 'unaware'], built_in.replace(tail, setting('false', 'unaware') + tail)),
            (['--dpi-aware', 'system'], built_in.replace(tail, setting('true', 'system') + tail)),
            (['--dpi-aware', 'permonitorv2'],
             built_in.replace(tail, setting('true/pm', 'PerMonitorV2, PerMonitor') + tail)),
        ]
        for options, manifest in cases:
            with self.subTest(options):
                out = self.path('dpi', '_'.join(options) or 'default', 'app.exe')
                os.makedirs(os.path.dirname(out))
                checked('pack', '-q', '--level', '1', *options, '-o', out, APP, env=self.env)
                self.assertEqual(PeImage(out).resources()[RT_MANIFEST][1].decode(), manifest)
        # The launcher starts with it (Wine reads the manifest at the start).
        result = harness.run(out, ['x'], env={'ECHO_APP_EXIT': '4'})
        self.assertEqual(result.status, 4, result.stderr)

    def test_linux_and_windows_packers_write_the_same_data(self):
        """The same tree, with subdirectories and names beyond ASCII, gives
        the same bytes from both packers, attached data and whole launchers,
        and each lists what the other wrote: the same names in the same
        order."""
        tree = self.path('tree')
        files = {
            os.path.join('\u00fcber', 'na\u00efve.txt'): b'naive\n',
            os.path.join('\u03a3', '\u65e5\u672c.bin'): os.urandom(200000),
            os.path.join('deep', 'er', 'est', 'x'): b'x' * 70000,
            'Z.txt': b'upper case sorts first',
            'a.txt': b'',
            '\ue000.txt': b'private use, before the emoji in UTF-8 but after it in UTF-16',
            '\U0001F600.txt': b'emoji',
        }
        for name, data in files.items():
            write(os.path.join(tree, name), data)
        app = write(self.path('app', 'echo_app.dll'), read(APP))
        for options in ([], ['--level', '3', '--threads', '2'], ['--long', '--level', '9']):
            with self.subTest(options=options):
                outputs = {}
                for packer in ('linux', 'windows'):
                    output = self.path(packer + '.bin')
                    completed = run_packer(packer, 'build', *options, '-o', Path(output),
                                           Path(app), Path(tree), Path(os.path.join(tree, 'deep')))
                    self.assertEqual(completed.status, 0, completed.stderr)
                    outputs[packer] = output
                self.assertEqual(read(outputs['linux']), read(outputs['windows']))
                names = sorted(files, key=lambda name: name.encode())
                expected = listing(
                    [('echo_app.dll', read(APP))] +
                    [('tree\\' + name.replace('/', '\\'), files[name]) for name in names] +
                    [(name.replace('/', '\\'), files[name]) for name in names
                     if name.startswith('deep')])
                for packer in ('linux', 'windows'):
                    for output in outputs.values():
                        self.assertEqual(run_packer(packer, 'list', Path(output)).stdout, expected)

        # Whole launchers, with an icon and version information, of either
        # subsystem and execution level, and with --cache (the data's digest
        # and the library's name after the data), are the same bytes too: the
        # output's name is part of them, so each packer writes app.exe in a
        # directory of its own.
        icon = os.path.join(harness.SOURCE_DIR, 'resources', 'fenzar.ico')
        written = set()
        for kind in ([], ['--console'], ['--console', '--execution-level', 'requireAdministrator'],
                     ['--windows', '--execution-level', 'highestAvailable'], ['--cache'],
                     ['--dpi-aware', 'permonitorv2']):
            with self.subTest(kind=kind):
                launchers = {}
                for packer in ('linux', 'windows'):
                    launchers[packer] = self.path('_'.join([packer] + kind), 'app.exe')
                    os.makedirs(os.path.dirname(launchers[packer]))
                    completed = run_packer(packer, 'pack', '--level', '3', *kind, '--icon', Path(icon),
                                           '--file-version', '1.2.3.4', '--product-name', 'Na\u00efve',
                                           '-o', Path(launchers[packer]), Path(app), Path(tree))
                    self.assertEqual(completed.status, 0, completed.stderr)
                self.assertEqual(read(launchers['linux']), read(launchers['windows']))
                written.add(read(launchers['linux']))
                result = harness.run(launchers['windows'], ['x'], env={'ECHO_APP_EXIT': '5'})
                self.assertEqual(result.status, 5, result.stderr)
        self.assertEqual(len(written), 6, 'each choice gives a launcher of its own')
        # Non-ASCII output and original file names give the same bytes too
        # (InternalName, OriginalFilename, ProductName).
        for name, options in (('na\u00efve \u65e5\u672c.exe', []),
                              ('\U0001F600.exe', ['--original-filename', '\u00dcr\u00fcn \u540d.v2.exe'])):
            with self.subTest(output=name, options=options):
                launchers = {}
                for packer in ('linux', 'windows'):
                    launchers[packer] = self.path('launchers', name, packer, name)
                    os.makedirs(os.path.dirname(launchers[packer]))
                    completed = run_packer(packer, 'pack', '--level', '3', '--icon', Path(icon),
                                           '--file-version', '1.2.3.4', *options,
                                           '-o', Path(launchers[packer]), Path(app), Path(tree))
                    self.assertEqual(completed.status, 0, completed.stderr)
                self.assertEqual(read(launchers['linux']), read(launchers['windows']))
        # The original file name's stem is the internal name, as UTF-16.
        self.assertIn('\u00dcr\u00fcn \u540d.v2'.encode('utf-16-le') + b'\0\0',
                      read(launchers['windows']))
        result = harness.run(launchers['windows'], ['x'], env={'ECHO_APP_EXIT': '5'})
        self.assertEqual(result.status, 5, result.stderr)

    def interrupted(self, packer, command, number, work):
        """Starts PACKER on a large random file at level 19 and sends it the
        signal NUMBER once it has written a part of its output; returns the
        exit status."""
        write(os.path.join(work, 'big.bin'), os.urandom(48 << 20))
        output = os.path.join(work, 'out', 'big.' + ('bin' if command == 'build' else 'exe'))
        os.makedirs(os.path.dirname(output))
        args = [command, '--level', '19', '-o', Path(output), Path(APP),
                Path(os.path.join(work, 'big.bin'))]
        if packer == 'linux':
            command_line, env = [harness.FENZAR_PACK, *args], self.env
            watched = [self.tmpdir, os.path.dirname(output)]
        else:
            command_line = [harness.WINE, harness.FENZAR_PACK_EXE,
                            *(harness.windows_path(a) if isinstance(a, Path) else a
                              for a in args)]
            env = harness.wine_environment()
            watched = [harness.wine_temp_dir(), os.path.dirname(output)]
        # The default handlers, as a user's shell gives them (a background
        # job of a script would ignore SIGINT).
        process = subprocess.Popen(command_line, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, restore_signals=True)
        self.addCleanup(process.kill)
        deadline = time.monotonic() + 60
        while not self.writing_below(watched) and process.poll() is None:
            self.assertLess(time.monotonic(), deadline, 'no output written')
            time.sleep(0.02)
        self.assertIsNone(process.poll(), 'the pack ended before it was interrupted')
        process.send_signal(number)
        return process.wait(timeout=60)

    @staticmethod
    def writing_below(directories):
        for directory in directories:
            for parent, _, names in os.walk(directory):
                for name in names:
                    if name.startswith('.') and os.path.getsize(os.path.join(parent, name)) > 0:
                        return True
        return False

    def test_interrupted_pack_leaves_nothing(self):
        """SIGINT and SIGTERM while the output is being written: the
        temporary output and the scratch directory go, and the packer ends by
        the signal."""
        for command in ('build', 'pack'):
            for number in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(command=command, signal=number.name):
                    work = tempfile.mkdtemp(dir=self.work)
                    status = self.interrupted('linux', command, number, work)
                    self.assertEqual(status, -number)
                    self.assertEqual(os.listdir(os.path.join(work, 'out')), [])
                    self.assert_no_scratch_left()

    def test_windows_packer_removes_its_files_on_ctrl_c(self):
        """Wine turns SIGINT into the console's Ctrl+C event for a console
        program. The handler closes the temporary output, removes it and the
        scratch directory that pack writes the attached data into, and ends
        the process with STATUS_CONTROL_C_EXIT (0xC000013A; Linux sees its
        low byte)."""
        for command in ('build', 'pack'):
            with self.subTest(command=command):
                before = scratch_entries('windows', self.tmpdir)
                work = tempfile.mkdtemp(dir=self.work)
                status = self.interrupted('windows', command, signal.SIGINT, work)
                self.assertEqual(status, 0xC000013A & 0xFF)
                self.assertEqual(os.listdir(os.path.join(work, 'out')), [])
                self.assertEqual(scratch_entries('windows', self.tmpdir), before)

    def test_directories_past_260_characters(self):
        """A tree whose directory paths pass Windows' old limit of 260
        characters: the Windows packer reads it (through the extended-length
        form) and writes what the Linux packer writes."""
        tree = self.path('tree')
        deepest = os.path.join(tree, 'd' * 120, 'e' * 120, 'f' * 60, 'g' * 40)
        write(os.path.join(deepest, 'x.txt'), b'deep\n')
        write(os.path.join(tree, 'd' * 120, 'top.txt'), b'top\n')
        self.assertGreater(len(harness.windows_path(deepest)), 260)
        # Wine takes long paths everywhere; on Windows the packer's manifest
        # lets the calls that take plain paths (the C runtime's) pass 260.
        self.assertRegex(read(harness.FENZAR_PACK_EXE),
                         rb'<longPathAware[^>]*>true</longPathAware>')
        outputs = {}
        for packer in ('linux', 'windows'):
            outputs[packer] = self.path(packer + '.bin')
            completed = run_packer(packer, 'build', '--level', '3', '-o', Path(outputs[packer]),
                                   Path(APP), Path(tree))
            self.assertEqual(completed.status, 0, completed.stderr)
        self.assertEqual(read(outputs['linux']), read(outputs['windows']))
        deep_name = '\\'.join(['tree', 'd' * 120, 'e' * 120, 'f' * 60, 'g' * 40, 'x.txt'])
        self.assertIn('       5  %s\n' % deep_name, checked('list', outputs['windows']))

    def test_write_failure_gives_the_reason(self):
        """A write that the system refuses (here: past the file size limit,
        RLIMIT_FSIZE, which Wine inherits) ends the packer with the reason,
        not only that it could not write."""
        write(self.path('big.bin'), os.urandom(4 << 20))
        for packer in ('linux', 'windows'):
            for command in ('build', 'pack'):
                with self.subTest(packer=packer, command=command):
                    output = self.path('out', packer + '.' + command)
                    os.makedirs(os.path.dirname(output), exist_ok=True)
                    completed = run_packer(packer, command, '--level', '1', '-o', Path(output),
                                           Path(APP), Path(self.path('big.bin')),
                                           env=self.env, file_size_limit=1 << 20)
                    self.assertEqual(completed.status, 1, completed.stderr)
                    self.assertRegex(completed.stderr.splitlines()[-1],
                                     r'^fenzar-pack: .*cannot write.*: \S')
                    self.assertEqual(os.listdir(self.path('out')), [])


if __name__ == '__main__':
    unittest.main()
