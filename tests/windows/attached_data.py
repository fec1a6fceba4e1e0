"""Attached data made by the tests, byte for byte as the launcher reads it:
the magic "ZUQ", one zstd frame holding the archive, zero padding to a
multiple of 8 and the trailer, a 64-bit little-endian value equal to its own
offset. The archive is entry records (the name in UTF-16LE units and a zero
unit, the 64-bit little-endian size, the data), then the end marker, a single
zero unit."""
import struct
import subprocess

MAGIC = b'ZUQ'
END_MARKER = b'\0\0'
TRAILER_ALIGNMENT = 8


def archive(records, end_marker=True):
    """Entry records from (name, data) pairs and, unless left out, the end
    marker. A name may hold a lone surrogate, which goes in as its unit."""
    out = bytearray()
    for name, data in records:
        out += name.encode('utf-16-le', 'surrogatepass') + b'\0\0' + struct.pack('<Q', len(data)) + data
    if end_marker:
        out += END_MARKER
    return bytes(out)


def wrap(frame, magic=MAGIC):
    """The magic (or any other bytes), the frame as it is, the padding and
    the trailer."""
    data = magic + frame
    data += bytes(-len(data) % TRAILER_ALIGNMENT)
    return data + struct.pack('<Q', len(data))


def zstd_frame(content, *options):
    """CONTENT compressed by the zstd command line tool (with its content
    checksum)."""
    return subprocess.run(['zstd', '-q', '-c', *options], input=content,
                          capture_output=True, check=True).stdout


def raw_frame(content, window_log=17):
    """CONTENT as one zstd frame of raw (stored) blocks, without a content
    size or checksum: each archive byte stands as it is in the frame, so
    that a changed byte changes the archive and nothing else."""
    block_limit = min(1 << window_log, 128 * 1024)
    frame = bytearray(b'\x28\xb5\x2f\xfd')
    frame += bytes([0x00, (window_log - 10) << 3])
    pieces = [content[i:i + block_limit] for i in range(0, len(content), block_limit)] or [b'']
    for index, piece in enumerate(pieces):
        last = index == len(pieces) - 1
        frame += (int(last) | len(piece) << 3).to_bytes(3, 'little') + piece
    return bytes(frame)
