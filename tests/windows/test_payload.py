"""Reading the attached data on the real launcher: the magic, the decode
errors of damaged or unsupported frames, and a packed archive read to its end
marker. `fenzar-pack link` refuses damaged data, so crafted attached data is
written over a packed stand-in (harness.link_unchecked); crafted frames hold
the archive in raw blocks, so the window they declare is exactly the one
written into their header."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness
from attached_data import archive, wrap as attached_data

APP_NAME = 'echo_app.dll'
HEADER_ERROR = "Error, couldn't find attached data header.\n"
DECODE_ERROR = "Error, couldn't decode attached data.\n"

FRAME_MAGIC = b'\x28\xb5\x2f\xfd'
MAX_BLOCK = 128 * 1024


def fenzar_pack(*args):
    command = [harness.FENZAR_PACK, *args]
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise RuntimeError('%s failed with status %d:\n%s%s' % (
            ' '.join(command), completed.returncode, completed.stdout, completed.stderr))


def raw_frame(content, window_log=27):
    """A zstd frame with a window descriptor for 2^window_log bytes, no content
    size and no checksum, holding CONTENT in raw blocks."""
    frame = bytearray(FRAME_MAGIC + bytes([0x00, (window_log - 10) << 3]))
    pieces = [content[i:i + MAX_BLOCK] for i in range(0, len(content), MAX_BLOCK)] or [b'']
    for index, piece in enumerate(pieces):
        last = index == len(pieces) - 1
        frame += struct.pack('<I', len(piece) << 3 | int(last))[:3] + piece
    return bytes(frame)


def first_block_header_offset(data):
    """Where the first block header of the attached data's frame starts."""
    descriptor = data[7]
    single_segment = descriptor >> 5 & 1
    dictionary_id_size = (0, 1, 2, 4)[descriptor & 3]
    content_size_size = (int(single_segment), 2, 4, 8)[descriptor >> 6]
    return 3 + 4 + 1 + (1 - single_segment) + dictionary_id_size + content_size_size


class PayloadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.app = harness.windows_test_file(APP_NAME)
        with open(cls.app, 'rb') as f:
            cls.app_bytes = f.read()
        packed = cls.path('packed.bin')
        fenzar_pack('build', '-o', packed, cls.app)
        with open(packed, 'rb') as f:
            cls.packed_data = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.scratch.name, name)

    def link(self, name, data):
        """A launcher carrying DATA as its attached data."""
        return harness.link_unchecked(data, self.path(name + '.exe'), self.scratch.name)

    def assert_fails(self, exe, message):
        """Runs EXE, expecting MESSAGE and status 2, and no directory left: a
        decode error after the first record has begun removes what was
        unpacked."""
        before = harness.onefile_dirs()
        result = harness.run(exe, ['one'])
        left = harness.onefile_dirs() - before
        for name in left:
            shutil.rmtree(os.path.join(harness.wine_temp_dir(), name))
        self.assertEqual((result.status, result.stdout, result.stderr), (2, message, ''))
        self.assertEqual(left, set())

    def test_wrong_magic_fails_before_any_directory_is_made(self):
        for name, index in (('third byte', 2), ('first byte', 0)):
            with self.subTest(name):
                data = bytearray(self.packed_data)
                data[index] ^= 0x20
                exe = self.link('magic_%d' % index, bytes(data))
                self.assert_fails(exe, HEADER_ERROR)

    def test_faults_in_the_frame_are_decode_errors(self):
        app_archive = archive([(APP_NAME, self.app_bytes)])
        corrupt = bytearray(self.packed_data)
        corrupt[first_block_header_offset(self.packed_data)] |= 0x06  # reserved block type
        frame = raw_frame(app_archive)
        cases = {
            'corrupt block': bytes(corrupt),
            'window log 28': attached_data(raw_frame(app_archive, window_log=28)),
            # The content stops inside the application's data; the decoder
            # takes the trailer for the next frame.
            'archive ending inside a record': attached_data(
                raw_frame(app_archive[:len(app_archive) // 2])),
            'archive without end marker': attached_data(
                raw_frame(archive([(APP_NAME, self.app_bytes)], end_marker=False))),
            # The frame stops inside a raw block: the trailer is read as block
            # data and then the input is used up.
            'frame cut inside a block': attached_data(frame[:len(frame) // 2]),
            'no frame after the magic': attached_data(b''),
        }
        for name, data in cases.items():
            with self.subTest(name):
                exe = self.link(name.replace(' ', '_'), data)
                self.assert_fails(exe, DECODE_ERROR)

    def test_crafted_frame_with_window_log_27_runs(self):
        """The control for the crafted frames: the same archive in a frame that
        declares the largest window allowed is read and the application runs."""
        exe = self.link('window_27', attached_data(raw_frame(archive([(APP_NAME, self.app_bytes)]))))
        result = harness.run(exe, ['one'], env={'ECHO_APP_EXIT': '7'})
        self.assertEqual(result.status, 7, result.stdout + result.stderr)
        self.assertIn('argv[1]=one\n', result.stdout)

    def test_packed_archive_is_read_to_its_end_marker(self):
        """Files spanning many decoding windows, an empty one, and a record
        after them: the child only starts once the parent has read the whole
        archive, so the application's exit code shows that it did."""
        files = self.path('files')
        os.makedirs(os.path.join(files, 'data'))
        random_bytes = os.urandom(700 * 1024)
        with open(os.path.join(files, 'data', 'mixed.bin'), 'wb') as f:
            for i in range(3):
                f.write(random_bytes[i * 200 * 1024:(i + 1) * 200 * 1024])
                f.write(b'line %d of compressible text\n' % i * 20000)
        open(os.path.join(files, 'data', 'empty.txt'), 'wb').close()
        with open(os.path.join(files, 'last.txt'), 'wb') as f:
            f.write(b'the last record\n')
        exe = harness.pack(self.app, [os.path.join(files, 'data'), os.path.join(files, 'last.txt')],
                           out=self.path('packed.exe'), options=['--level', '3'])
        result = harness.run(exe, ['one', 'two'], env={'ECHO_APP_EXIT': '42'})
        self.assertEqual(result.status, 42, result.stdout + result.stderr)
        self.assertIn('argv[2]=two\n', result.stdout)
        self.assertEqual(result.stderr, '')


if __name__ == '__main__':
    unittest.main()
