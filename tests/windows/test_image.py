"""The executables fenzar-pack writes without a linker, checked by tools that
share no code with it: objdump and pefile parse every one without a warning,
its checksum is the one pefile computes, the version information reads back
as given, Wine runs it, the same inputs give the same bytes, an Authenticode
signature (osslsigncode) covers the attached data, and a damaged launcher
template is refused with nothing written."""
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness

APP = harness.windows_test_file('echo_app.dll')
OBJDUMP = 'x86_64-w64-mingw32-objdump'
# Debian's python3-pefile belongs to the system interpreter, which may not be
# the one running the tests.
SYSTEM_PYTHON = '/usr/bin/python3'
PACKER_VERSION = open(os.path.join(harness.SOURCE_DIR, 'VERSION')).read().strip()
PEFILE_REPORT = r'''
import json, sys
import pefile
pe = pefile.PE(sys.argv[1])
strings = {}
for info in getattr(pe, 'FileInfo', []):
    for entry in info:
        for table in getattr(entry, 'StringTable', []):
            strings.update((key.decode(), value.decode()) for key, value in table.entries.items())
fixed = pe.VS_FIXEDFILEINFO[0]
def parts(high, low):
    return [high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF]
print(json.dumps({
    'warnings': pe.get_warnings(),
    'checksum': pe.OPTIONAL_HEADER.CheckSum,
    'generated_checksum': pe.generate_checksum(),
    'time_date_stamp': pe.FILE_HEADER.TimeDateStamp,
    'stack_reserve': pe.OPTIONAL_HEADER.SizeOfStackReserve,
    'resource_types': sorted(entry.id for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries),
    'strings': strings,
    'file_version': parts(fixed.FileVersionMS, fixed.FileVersionLS),
    'product_version': parts(fixed.ProductVersionMS, fixed.ProductVersionLS),
}))
'''
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
EVERY_VERSION_OPTION = {
    '--file-version': '1.2.3.4',
    '--product-version': '5.6',
    '--product-name': 'Gr\u00fc\u00dfe \u4f60\u597d',
    '--company': 'Fenzar Tests & Co.',
    '--description': 'A launcher with every version option',
    '--copyright': '\u00a9 2024 nobody',
    '--original-filename': 'original.exe',
}


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)
    return path


def fenzar_pack(*args, env=None):
    return subprocess.run([harness.FENZAR_PACK, *args], capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})))


def checked(*args, env=None):
    completed = fenzar_pack(*args, env=env)
    if completed.returncode != 0:
        raise AssertionError('fenzar-pack %s failed with status %d:\n%s' % (
            ' '.join(args), completed.returncode, completed.stderr))


def pefile_report(path):
    completed = subprocess.run([SYSTEM_PYTHON, '-c', PEFILE_REPORT, path],
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def optional_header(image):
    return struct.unpack_from('<I', image, 0x3C)[0] + 24


def with_checksum(image):
    """IMAGE with its CheckSum field set to the sum of its 16-bit words,
    carries folded back in, plus its length (the field counts as zero)."""
    field = optional_header(image) + 64
    words = bytes(image[:field]) + bytes(4) + bytes(image[field + 4:])
    words += bytes(len(words) % 2)
    total = sum(struct.unpack('<%dH' % (len(words) // 2), words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    image = bytearray(image)
    struct.pack_into('<I', image, field, (total + len(image)) & 0xFFFFFFFF)
    return image


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix='test_image_')
        random_file = write(cls.path('random.bin'), os.urandom(3 << 20))
        icon = os.path.join(harness.SOURCE_DIR, 'resources', 'fenzar.ico')
        every_option = [item for pair in EVERY_VERSION_OPTION.items() for item in pair]

        # Attached data of odd length: what link accepts after the frame
        # ends is kept, so the image's checksum covers an odd-sized piece.
        checked('build', '-o', cls.path('data.bin'), APP)
        odd_data = write(cls.path('odd.bin'), read(cls.path('data.bin')) + b'\x01')

        os.mkdir(cls.path('images'))
        cls.images = {
            'defaults': ['pack', APP],
            'every version option, an icon': ['pack', '--icon', icon, *every_option, APP],
            'link of data of odd length': ['link', odd_data],
            'fault hooks template': ['pack', '--template', harness.HOOKS_TEMPLATE, APP],
            'console, requireAdministrator': ['pack', '--console', '--execution-level', 'requireAdministrator', APP],
            'console, fault hooks template': ['pack', '--console', '--template', harness.HOOKS_TEMPLATE, APP],
            'several MiB of data': ['pack', '--level', '1', APP, random_file],
        }
        for name, (command, *arguments) in cls.images.items():
            out = cls.path('images', name.replace(' ', '_').replace(',', '') + '.exe')
            checked(command, '-o', out, *arguments)
            cls.images[name] = out

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.scratch, *parts)

    def test_objdump_and_pefile_read_every_image_without_complaint(self):
        for name, image in self.images.items():
            with self.subTest(name):
                objdump = subprocess.run([OBJDUMP, '-p', image], capture_output=True, text=True)
                self.assertEqual((objdump.returncode, objdump.stderr), (0, ''))
                self.assertIn('Resource Directory [.rsrc]', objdump.stdout)
                report = pefile_report(image)
                self.assertEqual(report['warnings'], [])
                self.assertEqual(report['checksum'], report['generated_checksum'])
                self.assertEqual(report['stack_reserve'], 16 << 20)
                self.assertEqual(report['resource_types'], [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST])

    def test_wine_runs_every_image(self):
        for name, image in self.images.items():
            with self.subTest(name):
                result = harness.run(image, ['one', 'tw\u00f6'], env={'ECHO_APP_EXIT': '5'})
                self.assertEqual(result.status, 5, result.stdout + result.stderr)
                self.assertIn('argv[1]=one\nargv[2]=tw\u00f6\n', result.stdout)

    def test_version_information_reads_back(self):
        given = pefile_report(self.images['every version option, an icon'])
        self.assertEqual(given['strings'], {
            'FileVersion': EVERY_VERSION_OPTION['--file-version'],
            'ProductVersion': EVERY_VERSION_OPTION['--product-version'],
            'ProductName': EVERY_VERSION_OPTION['--product-name'],
            'CompanyName': EVERY_VERSION_OPTION['--company'],
            'FileDescription': EVERY_VERSION_OPTION['--description'],
            'LegalCopyright': EVERY_VERSION_OPTION['--copyright'],
            'OriginalFilename': EVERY_VERSION_OPTION['--original-filename'],
            'InternalName': 'original',
            'FenzarPackVersion': PACKER_VERSION,
        })
        self.assertEqual(given['file_version'], [1, 2, 3, 4])
        self.assertEqual(given['product_version'], [5, 6, 0, 0])

        # Without options: named after the output, version 0.0.0.0.
        defaults = pefile_report(self.images['defaults'])
        self.assertEqual(defaults['strings'], {
            'FileVersion': '0.0.0.0', 'ProductVersion': '0.0.0.0', 'ProductName': 'defaults',
            'FileDescription': 'defaults', 'InternalName': 'defaults',
            'OriginalFilename': 'defaults.exe', 'FenzarPackVersion': PACKER_VERSION,
        })
        self.assertEqual(defaults['file_version'], [0, 0, 0, 0])

    def test_same_inputs_give_the_same_bytes_and_the_time_stamp_follows_source_date_epoch(self):
        outputs = []
        for directory, epoch in (('first', None), ('second', None), ('epoch', '1700000000')):
            os.makedirs(self.path(directory), exist_ok=True)
            out = self.path(directory, 'app.exe')
            checked('pack', '-o', out, APP, env={'SOURCE_DATE_EPOCH': epoch or ''})
            outputs.append(out)
        self.assertEqual(read(outputs[0]), read(outputs[1]))
        self.assertEqual(pefile_report(outputs[2])['time_date_stamp'], 1700000000)
        self.assertNotEqual(read(outputs[0]), read(outputs[2]))

        refused = fenzar_pack('pack', '-o', self.path('bad_epoch.exe'), APP,
                              env={'SOURCE_DATE_EPOCH': 'yesterday'})
        self.assertEqual(refused.returncode, 1)
        self.assertIn('SOURCE_DATE_EPOCH', refused.stderr)
        self.assertFalse(os.path.exists(self.path('bad_epoch.exe')))

    def test_signature_covers_the_attached_data(self):
        keys = self.path('keys')
        os.mkdir(keys)
        certificate, key = os.path.join(keys, 'cert.pem'), os.path.join(keys, 'key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
                        '-subj', '/CN=Fenzar test signer', '-addext', 'extendedKeyUsage=codeSigning',
                        '-keyout', key, '-out', certificate], capture_output=True, check=True)
        signed = self.path('signed.exe')
        subprocess.run(['osslsigncode', 'sign', '-certs', certificate, '-key', key,
                        '-in', self.images['defaults'], '-out', signed], capture_output=True, check=True)

        def verify(path):
            return subprocess.run(['osslsigncode', 'verify', '-CAfile', certificate, '-in', path],
                                  capture_output=True, text=True)

        verified = verify(signed)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        result = harness.run(signed, ['signed'], env={'ECHO_APP_EXIT': '9'})
        self.assertEqual(result.status, 9, result.stdout + result.stderr)
        self.assertIn('argv[1]=signed\n', result.stdout)

        image = bytearray(read(signed))
        section = harness.data_section(image)
        length = struct.unpack_from('<Q', image, section.raw_pointer)[0]
        image[section.raw_pointer + harness.DATA_OFFSET + length // 2] ^= 0x01
        tampered = write(self.path('tampered.exe'), bytes(image))
        self.assertNotEqual(verify(tampered).returncode, 0)

    def test_damaged_template_is_refused(self):
        template = bytearray(read(harness.LAUNCHER_TEMPLATE))
        optional = optional_header(template)
        pe = optional - 24
        table = optional + struct.unpack_from('<H', template, pe + 20)[0]
        sections = harness.sections(template)
        index = {section.name: i for i, section in enumerate(sections)}
        data = sections[index[harness.DATA_SECTION]]
        relocation_rva = struct.unpack_from('<I', template, optional + 112 + 8 * 5)[0]
        relocations = sections[index['.reloc']]

        def field(offset, form, *values):
            return lambda image: struct.pack_into(form, image, offset, *values)

        def section_field(name, offset, change):
            at = table + 40 * index[name] + offset
            return lambda image: struct.pack_into('<I', image, at, change(struct.unpack_from('<I', image, at)[0]))

        def flip(offset):
            def damage(image):
                image[offset] ^= 0x01
            return damage

        def cut(length):
            def damage(image):
                del image[length:]
            return damage

        def append(image):
            image += bytes(512)

        cases = [
            ('a flipped byte in the code', flip(sections[0].raw_pointer + 100), False,
             'its checksum does not match its contents'),
            ('no PE signature', field(pe, '<4s', b'PX\0\0'), True, 'no "PE"'),
            ('a 32-bit image', field(pe + 4, '<H', 0x14C), True, 'not an x86-64 image'),
            ('a symbol table', field(pe + 12, '<I', 0x1000), True, 'symbol table'),
            ('cut inside the headers', cut(0x200), False, 'the file ends inside its headers'),
            ('cut inside the data section', cut(data.raw_pointer + 8), True,
             'section .fzdata lies outside the file'),
            ('bytes after the last section', append, True, 'bytes after its last section'),
            ('no data section', field(table + 40 * index[harness.DATA_SECTION], '<8s', b'.fzdatx'),
             True, 'no attached data section'),
            ('a writable data section', section_field(harness.DATA_SECTION, 36, lambda v: v | 0x80000000),
             True, 'not read-only initialised data'),
            ('relocations outside the section that follows the data',
             field(optional + 112 + 8 * 5, '<II', 0, 0), True,
             'sections other than the base relocations follow the data section'),
            ('a relocation in the data section',
             field(relocations.raw_pointer + relocation_rva - relocations.virtual_address, '<I',
                   data.virtual_address), True,
             'fixes up a place at or after the data section'),
            ('resources', field(optional + 112 + 8 * 2, '<II', sections[index['.rdata']].virtual_address, 16),
             True, 'already has resources'),
            ('a signature', field(optional + 112 + 8 * 4, '<II', len(template), 8), True, 'it is signed'),
            ('a gap between sections in memory', section_field('.data', 12, lambda v: v + 0x1000), True,
             'section .data does not follow the previous one in memory'),
            ('a section off the file alignment', section_field('.rdata', 20, lambda v: v + 0x200), True,
             'section .rdata is not aligned in the file'),
            ('a wrong SizeOfImage', field(optional + 56, '<I', 0x1000), True, 'SizeOfImage does not match'),
            ('something after the section table', flip(table + 40 * len(sections) + 8), True,
             'where a new header would go'),
            ('linked for the console subsystem', field(optional + 68, '<H', 3), True,
             'not linked for the windows subsystem'),
            ('no console start-up recorded', field(data.raw_pointer + 8, '<I', 0), True,
             'its console start-up does not lie in its code'),
            ('a console start-up in the data', field(data.raw_pointer + 8, '<I', data.virtual_address + 16), True,
             'its console start-up does not lie in its code'),
        ]
        os.mkdir(self.path('out'))

        # The controls: the checksum is rewritten here as the linker wrote
        # it, and the template as it is gives what the packer's own gives.
        self.assertEqual(with_checksum(template), template)
        checked('pack', '--template', harness.LAUNCHER_TEMPLATE, '-o', self.path('out', 'app.exe'), APP)
        checked('pack', '-o', self.path('app.exe'), APP)
        self.assertEqual(read(self.path('out', 'app.exe')), read(self.path('app.exe')))
        os.remove(self.path('out', 'app.exe'))

        for name, damage, fix_checksum, message in cases:
            with self.subTest(name):
                image = bytearray(template)
                damage(image)
                if fix_checksum:
                    image = with_checksum(image)
                damaged = write(self.path('damaged.exe'), bytes(image))
                completed = fenzar_pack('pack', '--template', damaged, '-o', self.path('out', 'app.exe'), APP)
                self.assertEqual(completed.returncode, 1, completed.stderr)
                self.assertEqual(completed.stderr.count('\n'), 1, completed.stderr)
                self.assertTrue(completed.stderr.startswith('fenzar-pack: %s: not a launcher template: ' % damaged),
                                completed.stderr)
                self.assertIn(message, completed.stderr)
                self.assertEqual(os.listdir(self.path('out')), [])


if __name__ == '__main__':
    unittest.main()
