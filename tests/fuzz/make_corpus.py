#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/: small
inputs, well-formed and damaged, made with the one Python builder of attached
data for the unpacker. Deterministic: run again, it writes the same files.

    tests/fuzz/make_corpus.py [TARGET ...]
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'windows'))
from attached_data import archive, raw_frame, wrap, zstd_frame  # noqa: E402

SHORT_TARGET = b'\0'
LONG_TARGET = b'\1'


def units(text):
    return text.encode('utf-16-le', 'surrogatepass')


def fields(*values):
    """UTF-16LE fields, each ended by a zero unit."""
    return b''.join(units(value) + b'\0\0' for value in values)


def unpack_seeds():
    app = b'MZ' + bytes(range(256)) * 2
    small = [('app.dll', app), ('readme.txt', b'read me\n')]
    nested = small + [('lib\\plugins\\one.bin', b'\1' * 40), ('lib\\two.txt', b''), ('lib\\plugins\\one.bin', b'again')]
    seeds = {
        'zstd_small': SHORT_TARGET + wrap(zstd_frame(archive(small), '-3')),
        'zstd_nested': SHORT_TARGET + wrap(zstd_frame(archive(nested), '-19')),
        'zstd_empty_archive': SHORT_TARGET + wrap(zstd_frame(archive([]), '-3')),
        'zstd_window_log_28': SHORT_TARGET + wrap(zstd_frame(archive(small), '-3', '--long=28', '--no-check')),
        'raw_small': SHORT_TARGET + wrap(raw_frame(archive(small))),
        'raw_nested': SHORT_TARGET + wrap(raw_frame(archive(nested))),
        'raw_non_ascii': SHORT_TARGET + wrap(raw_frame(archive([('gr\u00fc\u00dfe\\\u65e5\u672c.txt', b'x'),
                                                                ('\U0001F600.bin', b'y')]))),
        'raw_name_1023_units': SHORT_TARGET + wrap(raw_frame(archive([('n' * 255 + '\\' + 'm' * 255 + '\\' +
                                                                       'o' * 255 + '\\' + 'p' * 255, b'z')]))),
        'raw_name_1024_units': SHORT_TARGET + wrap(raw_frame(archive([(('q' * 200 + '\\') * 5 + 'q' * 19, b'z')]))),
        'raw_path_near_4096_units': LONG_TARGET + wrap(raw_frame(archive([(('r' * 200 + '\\') * 4 + 'r' * 211, b'z')]))),
        'raw_files_below_file': SHORT_TARGET + wrap(raw_frame(archive([('f', b'file'), ('f\\below', b'x')]))),
        'raw_no_end_marker': SHORT_TARGET + wrap(raw_frame(archive(small, end_marker=False))),
        'raw_cut_in_record': SHORT_TARGET + wrap(raw_frame(archive(small)[:-20])),
        'raw_size_past_data': SHORT_TARGET + wrap(raw_frame(units('big') + b'\0\0' + struct.pack('<Q', 1 << 40) + b'abc')),
        'raw_skippable_first': SHORT_TARGET + wrap(b'\x50\x2a\x4d\x18' + struct.pack('<I', 4) + b'skip' +
                                                    raw_frame(archive(small))),
        'zstd_no_trailer': SHORT_TARGET + b'ZUQ' + zstd_frame(archive(small), '-3'),
        'zstd_truncated': SHORT_TARGET + wrap(zstd_frame(archive(nested), '-3')[:-30]),
        'bad_magic': SHORT_TARGET + wrap(zstd_frame(archive(small), '-3'), magic=b'ZUX'),
        'magic_only': SHORT_TARGET + b'ZUQ',
    }
    for label, name in (('dotdot', '..\\x'), ('dotdot_inner', 'a\\..\\..\\x'), ('device_nul', 'NUL'),
                        ('device_conout', 'CONOUT$'), ('device_com1_ext', 'sub\\COM1.txt'),
                        ('forward_slash', 'a/b'), ('drive', 'C:x'), ('absolute', '\\abs'),
                        ('empty_component', 'a\\\\b'), ('dots_and_spaces', '. .\\x')):
        seeds['raw_name_' + label] = SHORT_TARGET + wrap(raw_frame(archive([('app.dll', app), (name, b'bad')])))
    seeds['raw_first_name_dotdot'] = SHORT_TARGET + wrap(raw_frame(archive([('..\\evil.dll', app)])))
    return seeds


def expand_spec_seeds():
    """Capacity (2 bytes), flags, then fields: the template, the temporary
    path, the profile folder, the cache folder, argument 0 and the values of
    FENZAR_ONEFILE_PARENT, FENZAR_ONEFILE_RANDOM, FENZAR_ONEFILE_TIME_US and
    FENZAR_ONEFILE_START."""
    def seed(capacity, flags, *values):
        return struct.pack('<HB', capacity, flags) + fields(*values)

    temp = 'C:\\Users\\me\\AppData\\Local\\Temp\\'
    home = 'C:\\Users\\me'
    cache = 'C:\\Users\\me\\AppData\\Local'
    program = 'C:\\Program Files\\App\\app.exe'
    return {
        'default_template': seed(4096, 0, '{TEMP}\\onefile_{PID}_{TIME}', temp, home, cache, program),
        'published_values': seed(4096, 0, '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}', temp, home, cache, program,
                                 '1234', 'AbCdEfGhIjK', '000042', '133000000000000000'),
        'every_placeholder': seed(4096, 0, '{TEMP}|{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}|{PID}|{HOME}|'
                                           '{CACHE_DIR}|{RANDOM}|{TIME_US}|{TIME}', temp, home, cache, program),
        'lower_case_names': seed(4096, 0, '{temp}\\{program_base}', temp, home, cache, program),
        'small_capacity': seed(12, 0, '{TEMP}\\x', temp, home, cache, program),
        'literal_exact_fit': seed(5, 0, 'abcde'),
        'literal_one_over': seed(4, 0, 'abcde'),
        'zero_capacity': seed(0, 0, 'a'),
        'unknown_placeholder': seed(4096, 0, '{NOPE}', temp),
        'unclosed_brace': seed(4096, 0, '{TEMP', temp),
        'lone_closing_brace': seed(4096, 0, 'a}b{TEMP}}', temp),
        'long_name': seed(4096, 0, '{' + 'N' * 1030 + '}'),
        'name_1023_units': seed(4096, 0, '{' + 'N' * 1023 + '}'),
        'folder_fails': seed(4096, 1, '{HOME}\\x', temp, home),
        'no_argument_0': seed(4096, 2, '{PROGRAM}', temp, home, cache),
        'parent_not_digits': seed(4096, 0, '{PID}', temp, home, cache, program, '12a'),
        'temp_does_not_fit': seed(8, 0, 'ab{TEMP}', temp),
        'trailing_backslashes': seed(4096, 0, '{TEMP}{HOME}', 'C:\\t\\\\\\', 'C:\\h\\\\'),
        'program_without_exe': seed(4096, 0, '{PROGRAM_BASE}|{PROGRAM_DIR}', temp, home, cache, 'app'),
        'surrogates': seed(4096, 0, '\ud83d\ude00{TEMP}\ud800', 'C:\\\udc00\\', home),
    }


def command_line_seeds():
    """A mode byte (even: a raw command line; odd: arguments, each ended by
    a zero unit, after the program), then UTF-16LE units."""
    raw = [
        'app.exe',
        'app.exe a b c',
        '"C:\\Program Files\\app.exe" "with space" plain',
        'app.exe "a\\"b" c\\\\"d e" f\\\\\\"g',
        'app.exe a\\\\\\b "c\\\\" "d\\\\\\""',
        'app.exe "a""b" """ """" """""',
        'app.exe\t\ttab\t"x\ty"  ',
        '"unclosed program a b',
        'app.exe "unclosed argument',
        'app.exe \u00e9\u65e5 \ud83d\ude00',
        'app.exe "" x',
        ' leading blank',
    ]
    arguments = [
        ['plain', 'two words', 'tab\there', 'new\nline', 'vertical\vtab'],
        ['quote"inside', 'ends with\\', 'ends with quote\\"', 'trailing\\\\', '\\\\server\\share'],
        ['"', '\\', '\\"', '""', ' ', '\\\\\\"\\'],
        ['', 'after empty', ''],
    ]
    seeds = {}
    for index, line in enumerate(raw):
        seeds['raw_%02d' % index] = b'\0' + units(line)
    for index, values in enumerate(arguments):
        seeds['arguments_%02d' % index] = b'\1' + fields(*values)
    return seeds


def pe_image(sections, subsystem=2, file_alignment=0x200, section_alignment=0x1000, relocations=None,
             resources=None, imports=None):
    """A small PE32+ executable: headers, then SECTIONS, (name, flags, data)
    in order, each padded to the file alignment; RELOCATIONS and RESOURCES
    name the sections that the data directories point at (their whole
    data), and so does IMPORTS. The checksum is right."""
    headers_size = file_alignment
    pe, optional_size = 0x40, 240
    table = pe + 24 + optional_size
    image = bytearray(headers_size)
    image[0:2] = b'MZ'
    struct.pack_into('<I', image, 0x3C, pe)
    image[pe:pe + 4] = b'PE\0\0'
    struct.pack_into('<HHIIIHH', image, pe + 4, 0x8664, len(sections), 0, 0, 0, optional_size, 0x22)
    optional = pe + 24
    address, raw, initialized, places = section_alignment, headers_size, 0, {}
    for index, (name, flags, data) in enumerate(sections):
        raw_size = -(-len(data) // file_alignment) * file_alignment
        struct.pack_into('<8sIIII12xI', image, table + 40 * index, name.encode(), len(data), address, raw_size,
                         raw, flags)
        places[name] = (address, len(data))
        if flags & 0x40:
            initialized += raw_size
        image += data + bytes(raw_size - len(data))
        address += -(-len(data) // section_alignment) * section_alignment
        raw += raw_size
    struct.pack_into('<HBBIII', image, optional, 0x20B, 2, 0, 0x200, initialized, 0)
    struct.pack_into('<Q', image, optional + 24, 0x140000000)
    struct.pack_into('<II', image, optional + 32, section_alignment, file_alignment)
    struct.pack_into('<HHHHHHI', image, optional + 40, 6, 0, 0, 0, 6, 0, 0)
    struct.pack_into('<III', image, optional + 56, address, headers_size, 0)
    struct.pack_into('<HH', image, optional + 68, subsystem, 0x8160)
    struct.pack_into('<QQQQII', image, optional + 72, 1 << 24, 0x1000, 1 << 20, 0x1000, 0, 16)
    for directory, name in ((5, relocations), (2, resources), (1, imports)):
        if name:
            struct.pack_into('<II', image, optional + 112 + 8 * directory, *places[name])
    struct.pack_into('<I', image, optional + 64, pe_checksum(image, optional + 64))
    return bytes(image)


def pe_checksum(image, field):
    total = 0
    for at in range(0, len(image), 2):
        if field <= at < field + 4:
            continue
        total += int.from_bytes(image[at:at + 2], 'little')
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(image)) & 0xFFFFFFFF


CODE = 0x60000020
READ_ONLY_DATA = 0x40000040
# A relocation block for the page of the code: one 64-bit fix-up, one padding.
RELOCATIONS = struct.pack('<IIHH', 0x1000, 12, 0xA000, 0)


def template(console_entry=0x1000, data_flags=READ_ONLY_DATA):
    """A launcher template as read_template wants it: code, the data section
    (the length, the console start-up's address, 8 bytes more), relocations."""
    data = struct.pack('<QII', 0, console_entry, 0) + bytes(16)
    return pe_image([('.text', CODE, b'\xc3' * 16), ('.fzdata', data_flags, data), ('.reloc', 0x42000040, RELOCATIONS)],
                    relocations='.reloc')


def resource_directory(type_id, item_id, data, rva):
    """A resource section at RVA with the one resource TYPE_ID, ITEM_ID."""
    out = bytearray()
    out += struct.pack('<12xHH', 0, 1) + struct.pack('<II', type_id, 0x80000000 | 24)
    out += struct.pack('<12xHH', 0, 1) + struct.pack('<II', item_id, 0x80000000 | 48)
    out += struct.pack('<12xHH', 0, 1) + struct.pack('<II', 0x409, 72)
    out += struct.pack('<IIII', rva + 88, len(data), 0, 0)
    return bytes(out + data)


def launcher(attached, manifest=None, subsystem=2, settings=b'', settings_size=None):
    """A launcher as the packer writes it, small: code, the data section with
    ATTACHED and the launch SETTINGS after it (their size in the header's
    last 4 bytes, SETTINGS_SIZE when given), a resource section with
    MANIFEST, relocations."""
    size = len(settings) if settings_size is None else settings_size
    data = struct.pack('<Q4xI', len(attached), size) + attached + settings
    sections = [('.text', CODE, b'\xc3' * 16), ('.fzdata', READ_ONLY_DATA, data)]
    if manifest is not None:
        rva = 0x1000 * (2 + -(-len(data) // 0x1000))
        sections.append(('.rsrc', READ_ONLY_DATA, resource_directory(24, 1, manifest, rva)))
    sections.append(('.reloc', 0x42000040, RELOCATIONS))
    return pe_image(sections, subsystem=subsystem, relocations='.reloc',
                    resources='.rsrc' if manifest is not None else None)


def pack_template_seeds():
    """A flags byte (bit 0: the fuzz target fixes the checksum), then the
    image."""
    good = template()
    return {
        'template': b'\0' + good,
        'template_checksum_fixed': b'\1' + good,
        'template_console_outside_code': b'\1' + template(console_entry=0x2000),
        'template_writable_data': b'\1' + template(data_flags=READ_ONLY_DATA | 0x80000000),
        'template_cut': b'\1' + good[:0x300],
        'not_pe': b'\1MZ' + bytes(62),
    }


def icon_file(images):
    """An .ico file of (width, height, image bytes), each stored once."""
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for width, height, data in images:
        out += struct.pack('<BBBBHHII', width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(data for _, _, data in images)


def bitmap(width, height, bits=32):
    colours = 4 * (1 << bits) if bits <= 8 else 0
    row = (width * bits + 31) // 32 * 4
    mask = (width + 31) // 32 * 4
    return struct.pack('<IiiHHIIiiII', 40, width, 2 * height, 1, bits, 0, 0, 0, 0, 0, 0) + \
        bytes(colours + row * height + mask * height)


def png(width, height):
    return b'\x89PNG\r\n\x1a\n' + struct.pack('>I4sII5B', 13, b'IHDR', width, height, 8, 6, 0, 0, 0) + b'\0' * 4


def pack_icon_seeds():
    shared = icon_file([(16, 16, bitmap(16, 16))])
    shared = shared[:6] + shared[6:22] * 2 + shared[22:]
    shared = struct.pack('<HHH', 0, 1, 2) + shared[6:]
    # Two entries, the second pointing at the first's bytes.
    first_offset = 6 + 32
    shared = bytearray(shared)
    struct.pack_into('<I', shared, 6 + 12, first_offset)
    struct.pack_into('<I', shared, 22 + 12, first_offset)
    return {
        'bitmap_16': icon_file([(16, 16, bitmap(16, 16))]),
        'bitmap_4_bits': icon_file([(16, 16, bitmap(16, 16, 4))]),
        'png_256': icon_file([(256, 256, png(256, 256))]),
        'two_sizes': icon_file([(16, 16, bitmap(16, 16, 8)), (32, 32, png(32, 32))]),
        'shared_image': bytes(shared),
        'wrong_size': icon_file([(16, 16, bitmap(32, 32))]),
        'outside': icon_file([(16, 16, bitmap(16, 16))])[:40],
        'not_icon': b'\0\0\2\0\1\0',
    }


def pack_list_seeds():
    small = archive([('app.dll', b'MZ' + bytes(40)), ('data\\x.txt', b'x')])
    attached = wrap(zstd_frame(small, '-3'))
    manifest = (b'<assembly><trustInfo><security><requestedPrivileges>'
                b'<requestedExecutionLevel level="asInvoker"/></requestedPrivileges></security>'
                b'</trustInfo></assembly>')
    return {
        'attached_data': attached,
        'attached_data_raw': wrap(raw_frame(small)),
        'attached_data_no_end_marker': wrap(raw_frame(archive([('a', b'')], end_marker=False))),
        'attached_data_after_end_marker': wrap(raw_frame(small + b'xx')),
        'launcher': launcher(attached, manifest),
        'launcher_console_no_manifest': launcher(attached, subsystem=3),
        'launcher_no_data_section': pe_image([('.text', CODE, b'\xc3' * 16), ('.rdata', READ_ONLY_DATA, attached)]),
        'launcher_length_past_section': launcher(attached)[:0x400 + 8] + b'\xff' * 8 + launcher(attached)[0x400 + 16:],
        'launcher_cache': launcher(attached, manifest, settings=cache_settings('app')),
        'launcher_cache_name_refused': launcher(attached, manifest, settings=cache_settings('a\\b')),
        'launcher_cache_size_past_section': launcher(attached, manifest, settings=cache_settings('app'),
                                                     settings_size=0x10000),
    }


def import_section(names, address=0x1000):
    """An import directory at ADDRESS naming NAMES: descriptors, an empty
    one, then the names."""
    table = 20 * (len(names) + 1)
    data, strings = bytearray(), bytearray()
    for name in names:
        data += struct.pack('<IIIII', 0, 0, 0, address + table + len(strings), 0)
        strings += name.encode() + b'\0'
    return bytes(data + bytes(20) + strings)


def pe_imports_seeds():
    names = ['KERNEL32.dll', 'neighbour_lib.dll', 'api-ms-win-crt-runtime-l1-1-0.dll']
    image = pe_image([('.idata', 0xC0000040, import_section(names))], imports='.idata')
    i386 = bytearray(image)
    struct.pack_into('<H', i386, 0x44, 0x14C)
    return {
        'imports': image,
        'no_imports': pe_image([('.text', 0x60000020, b'\xC3' * 16)]),
        'i386': bytes(i386),
        'cut_in_section': image[:0x210],
        'cut_in_headers': image[:0x100],
    }


def cache_settings(name):
    """The launch settings block of a --cache launcher for NAME."""
    units = name.encode('utf-16-le')
    return bytes(range(16)) + struct.pack('<H6x', len(name)) + units + bytes(128 - len(units))


SEEDS = {'unpack': unpack_seeds, 'expand_spec': expand_spec_seeds, 'command_line': command_line_seeds,
         'pack_template': pack_template_seeds, 'pack_icon': pack_icon_seeds, 'pack_list': pack_list_seeds,
         'pe_imports': pe_imports_seeds}


def main(targets):
    for target in targets or SEEDS:
        directory = os.path.join(HERE, 'corpus', target)
        os.makedirs(directory, exist_ok=True)
        for name, data in sorted(SEEDS[target]().items()):
            with open(os.path.join(directory, name), 'wb') as out:
                out.write(data)


if __name__ == '__main__':
    main(sys.argv[1:])
