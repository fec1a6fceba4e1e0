"""The sweep of dead launchers' trees under Wine: every launcher in parent
mode removes, while its application runs, the directories in %TEMP% of
launchers that are proven dead, and nothing else.

Ages. A directory younger than a minute is never swept. Wine reports a
directory's creation time from its Linux modification time and ignores the
creation time that SetFileTime sets (it reports success; measured), so these
tests make a directory old with os.utime. Where a directory must look old
and yet be newer than a live process, they use a test launcher with the
fault hooks whose clock runs ahead (FENZAR_TEST_CLOCK_AHEAD): the creation
times it compares stay real.

Links. Wine cannot make a junction (FSCTL_SET_REPARSE_POINT fails with
error 50); a Linux symbolic link to a directory is what it shows as a
directory reparse point, so that stands in for one.

In use. On Windows a tree whose files are open or loaded cannot be renamed,
and the claim by renaming leaves it alone; Linux renames it anyway, so here
only the rules (a live launcher, a live process older than the directory)
keep a live application's tree.

Owners. An elevated launcher sweeps only trees that Administrators own (what
an elevated launcher's directories get on Windows, and no unelevated program
can give one), an unelevated one only the user's. Wine gives every program
an elevated token whose default owner is a group, and reports every
directory as owned by the user (it derives the owner from the Linux file's
owner): so here the sweeping launchers run through run_unelevated.exe, with
the limited token, and sweep; one started directly is elevated and sweeps
nothing. What Wine cannot show: a tree owned by Administrators, which an
elevated launcher sweeps and an unelevated one leaves (leftovers_test shows
that rule natively).

The sweep runs only while the sweeping launcher's application runs, so the
sweeping application sleeps a little to give it time on a loaded machine."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

PROBE = harness.windows_test_file('child_probe_app.dll')
ECHO = harness.windows_test_file('echo_app.dll')
DRIVER = harness.windows_test_file('sweep_driver.exe')
HOLDER = harness.windows_test_file('hold_process.exe')
RUN_UNELEVATED = harness.windows_test_file('run_unelevated.exe')

# How long the sweeping application runs, in ms.
SWEEP_TIME = {'PROBE_SLEEP_MS': '1500'}
TEN_MINUTES = 600


def stale_name(process_id, serial):
    """A launcher directory's name for PROCESS_ID, made unique by SERIAL."""
    return 'onefile_%d_%06d_Sweep-Test_' % (process_id, serial)


class SweepTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_sweep_')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.temp = harness.wine_temp_dir()
        os.makedirs(self.temp, exist_ok=True)
        self.made = []
        self.addCleanup(self.remove_made)
        self.serial = 0

    def remove_made(self):
        for path in self.made:
            if os.path.islink(path) or os.path.isfile(path):
                os.unlink(path)
            elif os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)

    def launcher(self, app=PROBE, files=(), hooks=False):
        """A new launcher of APP and FILES under a name no other process has."""
        name = 'sweep_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        out = os.path.join(self.work, name)
        self.addCleanup(harness.kill_if_running, name)
        if hooks:
            return harness.pack_with_hooks(app, files, out=out)
        return harness.pack(app, files, out=out, options=['--level', '1'])

    def age(self, path, seconds):
        then = time.time() - seconds
        os.utime(path, (then, then), follow_symlinks=False)

    def make_tree(self, name, age=TEN_MINUTES):
        """A tree as a launcher leaves it in %TEMP%, AGE seconds old."""
        path = os.path.join(self.temp, name)
        os.makedirs(os.path.join(path, 'sub'))
        for file in ('app.dll', os.path.join('sub', 'data.txt')):
            with open(os.path.join(path, file), 'w') as f:
                f.write('left behind')
        self.age(path, age)
        self.made.append(path)
        return path

    def dead_id(self):
        """A process id that no Wine process has now (Wine's ids are small)."""
        self.serial += 1
        return 400000 + 4 * self.serial

    def sweep(self, launcher=None, env=None, elevated=False):
        """Runs a launcher whose application gives its sweep time, unelevated
        unless ELEVATED; checks that the sweep changed nothing of the run
        itself."""
        exe = launcher or self.launcher()
        env = {**SWEEP_TIME, 'PROBE_EXIT': '5', **(env or {})}
        if elevated:
            result = harness.run_full_status(exe, env=env, cwd=self.work)
        else:
            completed = harness.run(RUN_UNELEVATED, [harness.windows_path(exe)], env=env, cwd=self.work)
            match = re.search(r'^exit_code=(\d+)\n\Z', completed.stdout, re.MULTILINE)
            self.assertIsNotNone(match, completed.stdout + completed.stderr)
            result = harness.Result(int(match.group(1)), completed.stdout[:match.start()], completed.stderr)
        self.assertEqual(result.status, 5, result.stdout + result.stderr)
        self.assertEqual(result.stderr, '')
        self.assertEqual(re.findall(r'^(\w+)', result.stdout, re.MULTILINE), ['path', 'finished'])
        return result


class KilledLauncher(SweepTest):
    def test_its_tree_stays_and_the_next_start_of_any_program_removes_it(self):
        killed = subprocess.run(
            [harness.WINE, DRIVER, 'kill', harness.windows_path(self.launcher())],
            capture_output=True, text=True, env=harness.wine_environment({'PROBE_SLEEP_MS': '60000'}),
            timeout=120)
        self.assertEqual(killed.returncode, 0, killed.stdout + killed.stderr)
        left = harness.target_dir(killed.stdout.replace('\r\n', '\n'))
        self.made.append(left)
        launcher_pid = int(re.search(r'launcher_pid=(\d+)', killed.stdout).group(1))
        self.assertTrue(os.path.basename(left).startswith('onefile_%d_' % launcher_pid), left)
        # Nobody removed it: the launcher was ended from outside and the job
        # ended its application.
        time.sleep(1)
        self.assertTrue(os.path.isfile(os.path.join(left, 'child_probe_app.dll')))

        # Young, it is kept by everyone.
        self.sweep()
        self.assertTrue(os.path.isdir(left))

        # Once a minute old, another application's launcher removes it.
        self.age(left, TEN_MINUTES)
        readme = os.path.join(self.work, 'readme.txt')
        with open(readme, 'w') as f:
            f.write('another program')
        self.sweep(self.launcher(files=[readme]))
        self.assertFalse(os.path.lexists(left))
        self.assertEqual([name for name in os.listdir(self.temp) if name.startswith('onefile_swept_')], [])

    def test_a_half_removed_tombstone_is_finished(self):
        tombstone = self.make_tree('onefile_swept_%d_%s' % (self.dead_id(), stale_name(self.dead_id(), 1)[8:]))
        os.unlink(os.path.join(tombstone, 'app.dll'))
        self.age(tombstone, TEN_MINUTES)
        self.sweep()
        self.assertFalse(os.path.lexists(tombstone))


class LiveProcesses(SweepTest):
    def test_a_live_launchers_tree_survives_other_starts(self):
        live = subprocess.Popen(
            [harness.WINE, self.launcher()], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=harness.wine_environment({'PROBE_SLEEP_MS': '20000', 'PROBE_EXIT': '9'}))
        first = live.stdout.readline().decode().replace('\r\n', '\n')
        own = harness.target_dir(first)
        self.made.append(own)
        # Launchers whose clock runs ten minutes ahead see it as old: only
        # its live launcher, created before it, keeps it.
        for _ in range(3):
            self.sweep(self.launcher(hooks=True), env={'FENZAR_TEST_CLOCK_AHEAD': str(TEN_MINUTES)})
            self.assertTrue(os.path.isfile(os.path.join(own, 'child_probe_app.dll')))
        self.sweep()
        rest, _ = live.communicate(timeout=120)
        self.assertEqual(live.returncode, 9)
        self.assertIn('finished', rest.decode())
        self.assertFalse(os.path.lexists(own))

    def test_the_id_of_a_live_process_keeps_only_trees_newer_than_the_process(self):
        holder = subprocess.Popen([harness.WINE, HOLDER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  env=harness.wine_environment())
        self.addCleanup(holder.communicate, timeout=60)
        holder_id = int(re.match(r'pid=(\d+)', holder.stdout.readline().decode()).group(1))
        # Made after the process: its id may be the launcher's.
        newer = self.make_tree(stale_name(holder_id, 1), age=0)
        # Older than the process: the id was reused, the launcher is dead.
        older = self.make_tree(stale_name(holder_id, 2), age=TEN_MINUTES)
        # A control made now with a dead id: the clock ahead makes it old.
        control = self.make_tree(stale_name(self.dead_id(), 3), age=0)

        self.sweep(self.launcher(hooks=True), env={'FENZAR_TEST_CLOCK_AHEAD': str(TEN_MINUTES)})

        self.assertTrue(os.path.isfile(os.path.join(newer, 'sub', 'data.txt')))
        self.assertFalse(os.path.lexists(older))
        self.assertFalse(os.path.lexists(control))


class ClaimersStamp(SweepTest):
    def test_a_tombstone_goes_once_its_claimers_id_belongs_to_another_process(self):
        holder = subprocess.Popen([harness.WINE, HOLDER, 'created'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  env=harness.wine_environment())
        self.addCleanup(holder.communicate, timeout=60)
        match = re.match(r'pid=(\d+) created=(\d+)', holder.stdout.readline().decode())
        holder_id, holder_created = int(match.group(1)), int(match.group(2))
        # Claimed by the live holder itself: kept.
        kept = self.make_tree('onefile_swept_%d_%d_%s' % (holder_id, holder_created,
                                                           stale_name(self.dead_id(), 1)[8:]))
        # Claimed by an earlier process that had the holder's id: removed,
        # although a process with that id runs.
        reused = self.make_tree('onefile_swept_%d_%d_%s' % (holder_id, holder_created - 10 * 10**7,
                                                             stale_name(self.dead_id(), 2)[8:]))
        self.sweep()
        self.assertTrue(os.path.isfile(os.path.join(kept, 'sub', 'data.txt')))
        self.assertFalse(os.path.lexists(reused))


class Elevation(SweepTest):
    def test_an_elevated_launcher_leaves_the_users_trees_an_unelevated_one_sweeps_them(self):
        stale = self.make_tree(stale_name(self.dead_id(), 1))
        self.sweep(elevated=True)
        self.assertTrue(os.path.isfile(os.path.join(stale, 'sub', 'data.txt')))
        self.sweep()
        self.assertFalse(os.path.lexists(stale))


class OnlyWhatLaunchersMade(SweepTest):
    def test_near_misses_files_and_links_are_untouched(self):
        dead = self.dead_id()
        good = stale_name(dead, 7)
        near_misses = [
            good[:-1],                                 # ten token characters
            good + 'x',                                # twelve
            good.replace('_000007_', '_00007_'),       # five digits
            good.replace('onefile_', 'onefile_0'),     # a leading zero
            good.replace('onefile_', 'Onefile_'),
            good.replace('-', '.'),                    # outside the alphabet
            'onefile_swept_%s' % good,                 # a tombstone without a sweeper
        ]
        for name in near_misses:
            self.make_tree(name)
        plain_file = os.path.join(self.temp, stale_name(dead, 8))
        with open(plain_file, 'w') as f:
            f.write('a file')
        self.age(plain_file, TEN_MINUTES)
        self.made.append(plain_file)
        canary = self.make_tree('sweep_canary_%d' % os.getpid())
        link = os.path.join(self.temp, stale_name(dead, 9))
        os.symlink(canary, link)
        self.age(link, TEN_MINUTES)
        self.made.append(link)
        swept = self.make_tree(good)

        self.sweep()

        self.assertFalse(os.path.lexists(swept))
        for name in near_misses:
            self.assertTrue(os.path.isfile(os.path.join(self.temp, name, 'sub', 'data.txt')), name)
        self.assertTrue(os.path.isfile(plain_file))
        self.assertTrue(os.path.islink(link))
        self.assertTrue(os.path.isfile(os.path.join(canary, 'app.dll')))
        self.assertTrue(os.path.isfile(os.path.join(canary, 'sub', 'data.txt')))


class NoSweep(SweepTest):
    def test_a_launcher_without_its_own_directory_sweeps_nothing(self):
        stale = self.make_tree(stale_name(self.dead_id(), 1))
        # Unelevated, so that it would sweep if it did.
        result = harness.run(RUN_UNELEVATED, [harness.windows_path(self.launcher(hooks=True))], env={
            **SWEEP_TIME, 'FENZAR_TEST_FAULT': 'create_private_directory:0:5'}, cwd=self.work)
        self.assertRegex(result.stdout, r'(?m)^exit_code=2$', result.stdout + result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(stale, 'sub', 'data.txt')))


class TwoSweepsAtOnce(SweepTest):
    def test_both_run_to_their_statuses_and_every_stale_tree_goes(self):
        # Both applications run long enough for the sweeps to finish: a sweep
        # stopped by its application's end may leave the tree it was removing
        # as a tombstone for a later sweep (test_a_half_removed_tombstone_is_finished).
        stale = [self.make_tree(stale_name(self.dead_id(), i)) for i in range(40)]
        readme = os.path.join(self.work, 'readme.txt')
        with open(readme, 'w') as f:
            f.write('another program')
        together = subprocess.run(
            [harness.WINE, RUN_UNELEVATED, harness.windows_path(DRIVER), 'together',
             harness.windows_path(self.launcher()), str(0xC0000005),
             harness.windows_path(self.launcher(files=[readme])), str(0x7FFFFFF3)],
            capture_output=True, env=harness.wine_environment(SWEEP_TIME), timeout=120)
        output = together.stdout.decode().replace('\r\n', '\n')
        self.assertEqual(together.returncode, 0, output + together.stderr.decode())
        # The launchers' statuses, then the driver's own through run_unelevated.
        self.assertEqual(re.findall(r'^exit_code=(\d+)$', output, re.MULTILINE),
                         [str(0xC0000005), str(0x7FFFFFF3), '0'])
        self.assertEqual(len(re.findall(r'^finished$', output, re.MULTILINE)), 2)
        self.assertEqual([path for path in stale if os.path.lexists(path)], [])
        self.assertEqual([name for name in os.listdir(self.temp) if name.startswith('onefile_swept_')], [])


if __name__ == '__main__':
    unittest.main()
