"""The launcher file itself: what Windows reads from the PE image before any
of its code runs (subsystem, stack reserve, imports, manifest, icon)."""
import os
import struct
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import harness

RT_ICON = 3
RT_GROUP_ICON = 14
RT_MANIFEST = 24
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

SUPPORTED_OS = {
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # 10
}
# DLLs every Windows installation has; the C/C++ runtime and zstd are linked in.
SYSTEM_DLLS = {'kernel32.dll', 'msvcrt.dll', 'shell32.dll', 'advapi32.dll', 'user32.dll'}

NS_ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
NS_ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
NS_COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
NS_WINDOWS_SETTINGS_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'


class PeImage:
    """The parts of a PE32+ file these tests read."""

    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        pe = struct.unpack_from('<I', self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('%s is not a PE file' % path)
        sections, optional_size = struct.unpack_from('<2xH12xH', self.data, pe + 4)
        optional = pe + 24
        if struct.unpack_from('<H', self.data, optional)[0] != 0x20B:
            raise ValueError('%s is not PE32+' % path)
        self.subsystem = struct.unpack_from('<H', self.data, optional + 68)[0]
        self.stack_reserve = struct.unpack_from('<Q', self.data, optional + 72)[0]
        directory_count = struct.unpack_from('<I', self.data, optional + 108)[0]
        self.directories = [struct.unpack_from('<II', self.data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from('<8xIIII', self.data, table + 40 * i)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError('RVA %#x is in no section' % rva)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b'\0', start)].decode('ascii')

    def imported_dlls(self):
        rva = self.directories[1][0]
        names = []
        while rva:
            entry = struct.unpack_from('<IIIII', self.data, self.offset(rva))
            if entry == (0, 0, 0, 0, 0):
                break
            names.append(self.c_string(entry[3]))
            rva += 20
        return names

    def resources(self):
        """{type id: {name id: bytes}}, first language of each name."""
        root_rva = self.directories[2][0]
        if not root_rva:
            return {}
        root = self.offset(root_rva)

        def entries(directory):
            named, numbered = struct.unpack_from('<12xHH', self.data, directory)
            for i in range(named + numbered):
                ident, target = struct.unpack_from('<II', self.data, directory + 16 + 8 * i)
                yield ident, target

        result = {}
        for type_id, type_target in entries(root):
            by_name = result.setdefault(type_id, {})
            for name_id, name_target in entries(root + (type_target & 0x7FFFFFFF)):
                _, language_target = next(entries(root + (name_target & 0x7FFFFFFF)))
                data_rva, size = struct.unpack_from('<II', self.data, root + language_target)
                start = self.offset(data_rva)
                by_name[name_id] = self.data[start:start + size]
        return result


def ico_images(path):
    """The images of an ICO file in the order of its directory."""
    with open(path, 'rb') as f:
        data = f.read()
    count = struct.unpack_from('<4xH', data)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from('<II', data, 6 + 16 * i + 8)
        images.append(data[offset:offset + size])
    return images


def group_icon_images(resources, group_id):
    """The RT_ICON data that the icon group GROUP_ID lists, in its order."""
    group = resources[RT_GROUP_ICON][group_id]
    count = struct.unpack_from('<4xH', group)[0]
    ids = [struct.unpack_from('<H', group, 6 + 14 * i + 12)[0] for i in range(count)]
    return [resources[RT_ICON][ident] for ident in ids]


def write_single_image_ico(path):
    """A 16x16 32-bit ICO of one flat colour, unlike Fenzar's icon."""
    header = struct.pack('<IiiHHIIiiII', 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    image = header + bytes((0x20, 0x40, 0xE0, 0xFF)) * 256 + bytes(4 * 16)
    with open(path, 'wb') as f:
        f.write(struct.pack('<HHH', 0, 1, 1))
        f.write(struct.pack('<BBBBHHII', 16, 16, 0, 0, 1, 32, len(image), 22))
        f.write(image)


class LauncherImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.launcher = harness.pack(harness.windows_test_file('echo_app.dll'),
                                    out=os.path.join(cls.scratch.name, 'echo.exe'))
        cls.image = PeImage(cls.launcher)
        cls.resources = cls.image.resources()

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_graphical_subsystem_by_default(self):
        self.assertEqual(self.image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)

    def test_stack_reserve_is_16_mib(self):
        self.assertEqual(self.image.stack_reserve, 16 * 1024 * 1024)

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in self.image.imported_dlls()}
        self.assertIn('kernel32.dll', dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_manifest(self):
        self.assertEqual(list(self.resources[RT_MANIFEST]), [1])
        root = ElementTree.fromstring(self.resources[RT_MANIFEST][1])
        self.assertEqual(root.tag, NS_ASM_V1 + 'assembly')

        # Without --execution-level the launcher runs with the rights it is
        # started with (test_console.py checks every level).
        levels = [e.get('level') for e in root.iter(NS_ASM_V3 + 'requestedExecutionLevel')]
        self.assertEqual(levels, ['asInvoker'])

        long_path = [e.text for e in root.iter(NS_WINDOWS_SETTINGS_2016 + 'longPathAware')]
        self.assertEqual(long_path, ['true'])

        dependencies = [(e.get('name'), e.get('version'), e.get('type'))
                        for e in root.iter(NS_ASM_V1 + 'assemblyIdentity')]
        self.assertIn(('Microsoft.Windows.Common-Controls', '6.0.0.0', 'win32'), dependencies)

        supported = [e.get('Id') for e in root.iter(NS_COMPATIBILITY + 'supportedOS')]
        self.assertEqual(len(supported), len(SUPPORTED_OS))
        self.assertEqual(set(supported), SUPPORTED_OS)

    def test_icon_group_is_fenzars_icon(self):
        self.assertEqual(list(self.resources[RT_GROUP_ICON]), [1])
        expected = ico_images(os.path.join(harness.SOURCE_DIR, 'resources', 'fenzar.ico'))
        self.assertEqual(group_icon_images(self.resources, 1), expected)

    def test_icon_option_replaces_the_icon(self):
        icon = os.path.join(self.scratch.name, 'other.ico')
        write_single_image_ico(icon)
        launcher = harness.pack(harness.windows_test_file('echo_app.dll'),
                                out=os.path.join(self.scratch.name, 'other.exe'),
                                options=['--icon', icon])
        resources = PeImage(launcher).resources()
        self.assertEqual(list(resources[RT_GROUP_ICON]), [1])
        self.assertEqual(group_icon_images(resources, 1), ico_images(icon))
        self.assertEqual(resources[RT_MANIFEST], self.resources[RT_MANIFEST])


if __name__ == '__main__':
    unittest.main()
