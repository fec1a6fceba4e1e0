"""Helpers shared by bench/unpack and bench/run: paths, the cached reference
data, building the trees, timing in rotating order, statistics."""
import os
import platform
import shutil
import statistics
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, 'build', 'bench-data')
TREE = os.path.join(ROOT, 'build', 'bench')
WINDOWS_TREE = os.path.join(ROOT, 'build', 'windows')
PAYLOAD = os.path.join(DATA, 'payload')
APP = os.path.join(DATA, 'app.dll')
ATTACHED = os.path.join(DATA, 'payload-level19-long.bin')
TARBALL = os.path.join(DATA, 'payload-level19-long.tar.zst')
OUTPUT = os.path.join(DATA, 'out')
UNPACK_BENCH = os.path.join(TREE, 'bench', 'fenzar_unpack_bench')
PACK = os.path.join(TREE, 'tools', 'pack', 'fenzar-pack')
WINDOWS_BENCH_DIR = os.path.join(WINDOWS_TREE, 'bench')

PAYLOAD_BYTES = 348344246
TAR_OF_PAYLOAD = ['tar', '--sort=name', '-C', PAYLOAD, '-cf', '-', '.']


def step(text):
    print('bench: ' + text, flush=True)


def run(command, **options):
    options.setdefault('check', True)
    return subprocess.run(command, **options)


def remove(path):
    # rm -rf, as the timings of the peers use it; faster than shutil.rmtree.
    run(['rm', '-rf', path])


def run_pipeline(commands, output):
    """Runs `commands` as a pipe, the last one writing into the file
    `output`, and fails when any of them fails: a shell pipe reports only
    the last, so a failed tar would leave a short archive behind a
    compressor that succeeded."""
    processes = []
    try:
        with open(output, 'wb') as out:
            for index, command in enumerate(commands):
                source = processes[-1].stdout if processes else None
                last = index == len(commands) - 1
                processes.append(subprocess.Popen(command, stdin=source, stdout=out if last else subprocess.PIPE))
                if source:
                    # Only the next process reads it now, so that a writer
                    # whose reader ended gets SIGPIPE instead of blocking.
                    source.close()
        for process in processes:
            process.wait()
    except BaseException:
        for process in processes:
            process.kill()
            process.wait()
        raise
    # The last failure names the cause: when a reader fails, the processes
    # before it fail only by the broken pipe.
    failed = [process for process in processes if process.returncode != 0]
    if failed:
        raise subprocess.CalledProcessError(failed[-1].returncode, failed[-1].args)


def make_once(path, make, announce=None):
    """Makes `path` unless it is there: make(partial) writes a temporary
    name beside it, which becomes `path` only when make returns, so that a
    failed or interrupted run leaves nothing a later run takes as made."""
    if os.path.exists(path):
        return
    if announce:
        step(announce)
    base, extension = os.path.splitext(path)
    # The extension stays last: zip and 7z would add theirs.
    partial = base + '.partial' + extension
    remove(partial)
    try:
        make(partial)
    except BaseException:
        remove(partial)
        raise
    os.rename(partial, path)


def ensure_payload():
    """The payload, made once. Debian's security updates change some of the
    recorded packages' files, so a tree whose digest differs from the
    reference (exit status 2: same files, other bytes in a few) is used with
    a warning: the figures then compare the same work side by side on this
    machine, which is what every ratio here means."""
    stamp = os.path.join(DATA, 'payload.done')
    if not os.path.exists(stamp):
        step('building the reference payload')
        status = run([os.path.join(ROOT, 'bench', 'make-payload'), PAYLOAD], check=False).returncode
        if status == 2:
            step('warning: the payload differs from the reference in some bytes (see above); '
                 'ratios stay comparable, absolute sizes and times may differ a little')
        elif status != 0:
            raise SystemExit('bench: the payload cannot be made (bench/make-payload ended with %d)' % status)
        open(stamp, 'w').close()


def build_host_bench(windows=False):
    """The optimised host tree without sanitizers (what scripts/build bench
    configures), only the targets the benchmarks use; with windows=True
    first the Windows tree, which launchers link against, and its
    benchmark programs."""
    if windows:
        step('building the Windows tree')
        run([os.path.join(ROOT, 'scripts', 'build'), 'windows'], stdout=subprocess.DEVNULL)
        run(['cmake', '--build', WINDOWS_TREE, '-j', '2', '--target', 'fenzar_wine_bench', 'bare_program',
             'noop_app'], stdout=subprocess.DEVNULL)
    step('building the benchmark tree')
    run(['cmake', '-G', 'Ninja', '-S', ROOT, '-B', TREE, '-DFENZAR_SANITIZE=OFF', '-DCMAKE_BUILD_TYPE=Release',
         '-DFENZAR_WINDOWS_BUILD_DIR=' + WINDOWS_TREE], stdout=subprocess.DEVNULL)
    run(['cmake', '--build', TREE, '-j', '2', '--target', 'fenzar-pack', 'fenzar_unpack_bench'],
        stdout=subprocess.DEVNULL)


def ensure_level19_data():
    """The level-19, window-log-27 attached data and tar.zst of the payload,
    made once (several minutes each)."""
    ensure_payload()
    make_once(APP, make_stand_in_app)
    make_once(ATTACHED, lambda partial: run([PACK, 'build', '--level', '19', '--long', '--threads', '2',
                                             '-o', partial, APP, PAYLOAD + '/.']),
              'packing at level 19 (once)')
    compress = ['zstd', '-q', '-19', '--long=27', '-T2', '-c']
    make_once(TARBALL, lambda partial: run_pipeline([TAR_OF_PAYLOAD, compress], partial),
              'making the level-19 tar.zst (once)')


def make_stand_in_app(path):
    """The application library, the first record: the Windows tree's no-op
    application (the packer takes only an x86-64 DLL exporting run_code)."""
    shutil.copyfile(os.path.join(WINDOWS_BENCH_DIR, 'noop_app.dll'), path)


def timed(command, before=None, after=None, **options):
    """Wall time of one command, including `after` (the removal of its
    output); `before` is not counted."""
    if before:
        before()
    start = time.perf_counter()
    run(command, stdout=subprocess.DEVNULL, **options)
    if after:
        after()
    return time.perf_counter() - start


def rotate(variants, runs, warmup=1, report=None):
    """Runs every variant (name -> function returning seconds) `warmup`
    times untimed, then `runs` times in rotating order, so that no variant
    always follows the same one. Returns name -> list of seconds."""
    names = list(variants)
    for _ in range(warmup):
        for name in names:
            variants[name]()
    times = {name: [] for name in names}
    for index in range(runs):
        order = names[index % len(names):] + names[:index % len(names)]
        for name in order:
            times[name].append(variants[name]())
        if report:
            report('run %d: ' % (index + 1) + ', '.join('%s %.3f s' % (n, times[n][-1]) for n in names))
    return times


def summary(values):
    return statistics.median(values), min(values), max(values)


def paired_ratio(times, a, b):
    """Median of the per-run ratios: holds up better than a ratio of
    medians on a shared machine."""
    return statistics.median(x / y for x, y in zip(times[a], times[b]))


def peak_rss_kib(command, **options):
    """Peak resident size of a command (GNU time's %M), in KiB."""
    result = run(['/usr/bin/time', '-f', '%M'] + command, capture_output=True, text=True, **options)
    return int(result.stderr.split()[-1])


def machine_line():
    model = ''
    with open('/proc/cpuinfo') as cpuinfo:
        for line in cpuinfo:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    with open('/proc/meminfo') as meminfo:
        memory_gib = int(meminfo.readline().split()[1]) / 1024 / 1024
    return '%s, %d cores, %.0f GiB, %s %s, %s' % (model, os.cpu_count(), memory_gib, platform.system(),
                                                platform.release(), time.strftime('%Y-%m-%d %H:%M'))


def machine_is_busy():
    """Other builds or tests running (they would distort the timings)."""
    out = run(['ps', '-eo', 'comm='], capture_output=True, text=True).stdout.split()
    return sorted({name for name in out if name in ('ninja', 'ctest', 'cc1plus', 'make')})


def frame_window(path, offset=3):
    """Window size of the zstd frame at `offset` in `path`: the window
    descriptor, or the content size of a single-segment frame."""
    with open(path, 'rb') as f:
        f.seek(offset)
        header = f.read(18)
    assert header[:4] == b'\x28\xb5\x2f\xfd', path
    descriptor = header[4]
    single_segment = descriptor >> 5 & 1
    if not single_segment:
        window = header[5]
        base = 1 << (10 + (window >> 3))
        return base + base // 8 * (window & 7)
    dictionary_bytes = (0, 1, 2, 4)[descriptor & 3]
    size_bytes = (1, 2, 4, 8)[descriptor >> 6]
    start = 5 + dictionary_bytes
    size = int.from_bytes(header[start:start + size_bytes], 'little')
    return size + 256 if size_bytes == 2 else size


def have(program):
    return shutil.which(program) is not None
