"""Helpers for the end-to-end tests: pack test applications into launchers
with fenzar-pack and run them under Wine.

The ctest registration sets FENZAR_SOURCE_DIR, FENZAR_WINDOWS_BUILD_DIR,
FENZAR_HOST_BUILD_DIR and WINEPREFIX; run by hand, the defaults below point
into build/ of this checkout.
"""
import collections
import os
import pwd
import re
import signal
import struct
import subprocess

import attached_data

SOURCE_DIR = os.environ.get(
    'FENZAR_SOURCE_DIR',
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WINDOWS_BUILD_DIR = os.environ.get(
    'FENZAR_WINDOWS_BUILD_DIR', os.path.join(SOURCE_DIR, 'build', 'windows'))
HOST_BUILD_DIR = os.environ.get(
    'FENZAR_HOST_BUILD_DIR', os.path.join(SOURCE_DIR, 'build', 'host'))
WINEPREFIX = os.environ.get('WINEPREFIX', os.path.join(SOURCE_DIR, 'build', 'wineprefix'))

WINE = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver'
FENZAR_PACK = os.path.join(HOST_BUILD_DIR, 'tools', 'pack', 'fenzar-pack')
# The packer for Windows, run under Wine.
FENZAR_PACK_EXE = os.path.join(WINDOWS_BUILD_DIR, 'tools', 'pack', 'fenzar-pack.exe')

# Test programs and test application DLLs of the Windows tree.
WINDOWS_TEST_DIR = os.path.join(WINDOWS_BUILD_DIR, 'tests', 'windows')
# The launcher template the packer carries, and one with the fault hooks
# (tests/windows/hooks) for `fenzar-pack --template`.
LAUNCHER_TEMPLATE = os.path.join(WINDOWS_BUILD_DIR, 'launcher_template.exe')
HOOKS_TEMPLATE = os.path.join(WINDOWS_TEST_DIR, 'launcher_template_hooks.exe')
# Starts a launcher as a console-subsystem Windows parent would
# (programs/child_driver.cpp).
CHILD_DRIVER = os.path.join(WINDOWS_TEST_DIR, 'child_driver.exe')

# The attached data section of a launcher (src/payload/data_section.h): the
# length as a 64-bit value at its start, the data from offset 16.
DATA_SECTION = '.fzdata'
DATA_OFFSET = 16

Section = collections.namedtuple(
    'Section', 'name virtual_size virtual_address raw_size raw_pointer characteristics')

Result = collections.namedtuple('Result', 'status stdout stderr')


def windows_test_file(name):
    """A test program or test application DLL, e.g. 'echo_app.dll'."""
    return os.path.join(WINDOWS_TEST_DIR, name)


def pack(app_dll, files=(), out=None, options=()):
    """Packs APP_DLL and FILES (files or directories) into the launcher OUT
    with `fenzar-pack pack`; returns OUT. Raises if the packer fails."""
    if out is None:
        raise ValueError('pack needs an output path')
    command = [FENZAR_PACK, 'pack', *options, '-o', out, app_dll, *files]
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise RuntimeError('%s failed with status %d:\n%s%s' % (
            ' '.join(command), completed.returncode, completed.stdout, completed.stderr))
    return out


def sections(image):
    """The section table of the PE image IMAGE (bytes), in its order."""
    pe = struct.unpack_from('<I', image, 0x3C)[0]
    count, optional_size = struct.unpack_from('<2xH12xH', image, pe + 4)
    table = pe + 24 + optional_size
    result = []
    for i in range(count):
        name, *fields, characteristics = struct.unpack_from('<8sIIII12xI', image, table + 40 * i)
        result.append(Section(name.rstrip(b'\0').decode('ascii'), *fields, characteristics))
    return result


def data_section(image):
    """The attached data section of the launcher image IMAGE (bytes)."""
    found = [section for section in sections(image) if section.name == DATA_SECTION]
    if len(found) != 1:
        raise ValueError('%d sections named %s' % (len(found), DATA_SECTION))
    return found[0]


def link_unchecked(data, out, scratch, template=None):
    """A launcher OUT whose attached data is DATA, even data that
    `fenzar-pack link` refuses, for testing the launcher's own refusals: packs
    a stand-in of random bytes, at least as long, and writes DATA and its
    length over it. The image's checksum is then stale, which Windows checks
    only for drivers. TEMPLATE: another launcher template, such as
    HOOKS_TEMPLATE."""
    filler = os.path.join(scratch, 'filler.bin')
    with open(filler, 'wb') as f:
        f.write(os.urandom(len(data)))
    # The packer takes only a real application library as the first record.
    pack(windows_test_file('echo_app.dll'), [filler], out=out,
         options=['--level', '1'] + (['--template', template] if template else []))
    with open(out, 'rb') as f:
        image = bytearray(f.read())
    section = data_section(image)
    start = section.raw_pointer
    old_length = struct.unpack_from('<Q', image, start)[0]
    if old_length < len(data):
        raise RuntimeError('the stand-in holds %d bytes, fewer than %d' % (old_length, len(data)))
    struct.pack_into('<Q', image, start, len(data))
    end = start + DATA_OFFSET + old_length
    image[start + DATA_OFFSET:end] = data + bytes(old_length - len(data))
    with open(out, 'wb') as f:
        f.write(image)
    return out


def link_archive(records, out):
    """A launcher OUT holding exactly RECORDS, (name, data) pairs, put in by
    `fenzar-pack link`, which checks names but not the application library
    that pack refuses (one without run_code, say); returns OUT."""
    data = out + '.bin'
    with open(data, 'wb') as f:
        f.write(attached_data.wrap(attached_data.raw_frame(attached_data.archive(records))))
    subprocess.run([FENZAR_PACK, 'link', '-o', out, data], check=True, capture_output=True)
    return out


def link_with_hooks(data, out):
    """Links the attached data file DATA into the test launcher OUT with the
    fault hooks of tests/windows/hooks (FENZAR_TEST_FAULT, FENZAR_TEST_EVENT,
    FENZAR_TEST_TMP); returns OUT. The one place that builds such launchers."""
    subprocess.run([FENZAR_PACK, 'link', '--template', HOOKS_TEMPLATE, '-o', out, data],
                   check=True, capture_output=True)
    return out


def pack_with_hooks(app_dll, files=(), out=None):
    """Like pack, but the launcher OUT carries the fault hooks."""
    if out is None:
        raise ValueError('pack_with_hooks needs an output path')
    data = out + '.bin'
    subprocess.run([FENZAR_PACK, 'build', '--level', '3', '-o', data, app_dll, *files],
                   check=True, capture_output=True)
    return link_with_hooks(data, out)


def wine_environment(env=None):
    """The environment for a Wine run: ours, Wine's settings, then ENV, where
    a value of None removes the variable."""
    result = dict(os.environ)
    result.update(WINEPREFIX=WINEPREFIX, WINEDEBUG='-all', LANG='C.UTF-8')
    result.pop('LC_ALL', None)
    for name, value in (env or {}).items():
        if value is None:
            result.pop(name, None)
        else:
            result[name] = value
    return result


def start_wine():
    """Starts the prefix's persistent wineserver, unless one runs, and Wine's
    background services with it. The services start with the first program
    and inherit its standard handles: started here with none, they cannot
    keep a test's output pipe open after its program has ended."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, env=wine_environment())
    subprocess.run([WINESERVER, '-p'], **quiet, timeout=60)
    subprocess.run([WINE, 'cmd.exe', '/c', 'exit'], **quiet, timeout=120)


def _text(data):
    return data.decode('utf-8', errors='replace').replace('\r\n', '\n')


def run(exe, args=(), env=None, cwd=None, timeout=120):
    """Runs the Windows program EXE (a Linux path) under Wine. Returns
    Result(status, stdout, stderr): the status as a Linux process sees it
    (the low 8 bits of the Windows exit code), text with CRLF made LF."""
    completed = subprocess.run([WINE, exe, *args], capture_output=True,
                               env=wine_environment(env), cwd=cwd, timeout=timeout)
    return Result(completed.returncode, _text(completed.stdout), _text(completed.stderr))


def run_full_status(exe, args=(), env=None, cwd=None, timeout=120):
    """Like run, but through run_and_report.exe, so the status is the full
    32-bit exit code (unsigned); the driver's own report line is removed."""
    driver = windows_test_file('run_and_report.exe')
    result = run(driver, [windows_path(exe), *args], env=env, cwd=cwd, timeout=timeout)
    match = re.search(r'^exit_code=(\d+)\n\Z', result.stdout, re.MULTILINE)
    if result.status != 0 or match is None:
        raise RuntimeError('run_and_report failed (status %d):\n%s%s' % (
            result.status, result.stdout, result.stderr))
    return Result(int(match.group(1)), result.stdout[:match.start()], result.stderr)


def windows_path(path):
    """The Z:\\ path under which Wine shows the Linux path PATH."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def wine_temp_dir():
    """The Linux path of the Wine user's %TEMP%, where launchers unpack."""
    user = pwd.getpwuid(os.getuid()).pw_name
    return os.path.join(WINEPREFIX, 'drive_c', 'users', user, 'Temp')


def onefile_dirs():
    """The names of the onefile_* directories now in the Wine temp dir."""
    temp = wine_temp_dir()
    if not os.path.isdir(temp):
        return set()
    return {name for name in os.listdir(temp) if name.startswith('onefile_')}


def target_dir(stdout):
    """The Linux path of the target directory named by the 'path=' line."""
    match = re.search(r'^path=(.*)\\[^\\\n]*$', stdout, re.MULTILINE)
    if match is None:
        raise AssertionError('no path line in:\n' + stdout)
    windows_dir = match.group(1)
    prefix = 'C:\\users\\'
    assert windows_dir.startswith(prefix), windows_dir
    return os.path.join(wine_temp_dir(), windows_dir.rsplit('\\', 1)[1])


def linux_processes_running(program_name):
    """Linux pids of Wine processes whose first argument ends with
    PROGRAM_NAME (Wine shows the Windows command line's argument 0), oldest
    first."""
    found = []
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open('/proc/%s/cmdline' % name, 'rb') as f:
                arguments = f.read().split(b'\0')
            with open('/proc/%s/stat' % name) as f:
                start_time = int(f.read().rsplit(')', 1)[1].split()[19])
        except OSError:
            continue
        if arguments and arguments[0].decode('utf-8', 'replace').lower().endswith(program_name):
            found.append((start_time, int(name)))
    return [pid for _, pid in sorted(found)]


def kill_if_running(name):
    """Ends what is left of a failed run: only processes still showing the
    unique launcher NAME."""
    for pid in linux_processes_running(name):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
