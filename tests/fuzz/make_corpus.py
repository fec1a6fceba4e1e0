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


SEEDS = {'unpack': unpack_seeds, 'expand_spec': expand_spec_seeds, 'command_line': command_line_seeds}


def main(targets):
    for target in targets or SEEDS:
        directory = os.path.join(HERE, 'corpus', target)
        os.makedirs(directory, exist_ok=True)
        for name, data in sorted(SEEDS[target]().items()):
            with open(os.path.join(directory, name), 'wb') as out:
                out.write(data)


if __name__ == '__main__':
    main(sys.argv[1:])
