"""Removal that links cannot redirect, under Wine: while a launcher removes a
tree of many files (a dead launcher's tree that its sweep claimed, or its own
target directory after the application), a program of the user puts links in
place of the tree's subdirectories, pointing outside %TEMP%. Nothing they
point to is removed, and the launcher's run is as usual.

The swapper. It waits until the removal has deleted a first file of the tree,
then moves every subdirectory still there aside and puts a link in its
place, as fast as Python goes; the removal is then inside one of them and
has the others still to do.

Links. Wine cannot make a junction or mount point (FSCTL_SET_REPARSE_POINT
fails with error 50), so a Linux symbolic link to a directory stands in.
Wine lists it as a directory reparse point (0x410), with its target's file
id, but opens it as its target even with FILE_OPEN_REPARSE_POINT: what the
removal opened then shows neither the reparse point nor the id it listed,
so the link is left alone. On Windows the removal opens a mount point as
itself and deletes it as the link; here the link stays in the tree, which
therefore is not removed completely. The native tests (tree_removal_test)
show the removal of links as links.

Wine shows a Linux symbolic link to a file as a plain file with its target's
id and deletes the target when the link is deleted; no Windows call tells
it from a file. Only Linux programs can make one (a Windows program under
Wine cannot), and on Windows a file link is a reparse point that the removal
deletes as the link, so files are not swapped here."""
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import harness
import test_cache

PROBE = harness.windows_test_file('child_probe_app.dll')

FILES = ['f%03d.txt' % i for i in range(100)]
TEN_MINUTES = 600


class Layout:
    """SUBDIRECTORIES of FILES each."""

    def __init__(self, subdirectories, files):
        self.subdirectories = subdirectories
        self.files = files

    def fill(self, directory):
        for sub in self.subdirectories:
            os.makedirs(os.path.join(directory, sub))
            for name in self.files:
                with open(os.path.join(directory, sub, name), 'w') as f:
                    f.write('in the tree')


# 3,000 files in 30 subdirectories, which one listing call returns together.
DEEP = Layout(['sub_%02d' % i for i in range(30)], FILES)
# 3,000 files in 600 subdirectories: more than one listing call of the
# removal returns (about 270 of these names a call), so that links go in
# both among the entries it listed before the swap and among those it lists
# after it.
WIDE = Layout(['sub_%03d' % i for i in range(600)], FILES[:5])


class Swapper(threading.Thread):
    """Puts links to OUTSIDE in place of the subdirectories of the tree that
    FIND_TREE() returns (None while there is none) once its removal has begun,
    moving each subdirectory into ASIDE; the tree was filled with LAYOUT."""

    def __init__(self, find_tree, outside, aside, layout):
        super().__init__(daemon=True)
        self.find_tree = find_tree
        self.layout = layout
        self.outside = outside
        self.aside = aside
        self.swapped = 0
        self.done = threading.Event()

    def removal_has_begun(self, tree):
        # A tree renamed meanwhile (the sweep claims it as a tombstone) is
        # looked for again under its new name.
        if not os.path.isdir(tree):
            return False
        for sub in self.layout.subdirectories:
            try:
                if len(os.listdir(os.path.join(tree, sub))) < len(self.layout.files):
                    return True
            except FileNotFoundError:
                return True
        return False

    def run(self):
        deadline = time.monotonic() + 60
        while not self.done.is_set() and time.monotonic() < deadline:
            tree = self.find_tree()
            if tree is not None and self.removal_has_begun(tree):
                for sub in self.layout.subdirectories:
                    path = os.path.join(tree, sub)
                    try:
                        os.rename(path, os.path.join(self.aside, sub))
                        os.symlink(self.outside, path)
                        self.swapped += 1
                    except OSError:
                        pass  # gone already, or the tree itself moved
                if self.swapped > 0:
                    break
            # Not faster: a busier poll starves the launcher on a loaded machine.
            time.sleep(0.01)
        self.done.set()


class RemovalWithLinksSwappedIn(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_links_')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.temp = harness.wine_temp_dir()
        os.makedirs(self.temp, exist_ok=True)
        # Outside %TEMP%: files of the names the tree has, so that a removal
        # that followed a link would find every one of them.
        self.outside = os.path.join(self.work, 'outside')
        os.makedirs(self.outside)
        for name in FILES:
            with open(os.path.join(self.outside, name), 'w') as f:
                f.write('outside')
        # Where the swapper moves the subdirectories: the same file system.
        self.aside = tempfile.mkdtemp(prefix='aside_', dir=self.temp)
        self.addCleanup(shutil.rmtree, self.aside, True)

    def launcher(self):
        name = 'links_%d_%d.exe' % (os.getpid(), time.monotonic_ns())
        self.addCleanup(harness.kill_if_running, name)
        return harness.pack(PROBE, out=os.path.join(self.work, name), options=['--level', '1'])

    def remove_later(self, path):
        """Removes PATH at the end, also the links left in it, never
        following them."""
        def remove():
            if os.path.islink(path):
                os.unlink(path)
            elif os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
        self.addCleanup(remove)

    def swap_while(self, find_tree, run, layout=DEEP):
        swapper = Swapper(find_tree, self.outside, self.aside, layout)
        swapper.start()
        try:
            result = run()
        finally:
            swapper.done.set()
            swapper.join()
        return result, swapper

    def assert_outside_untouched(self, swapper, tree=None):
        # Without swaps the test shows nothing: the removal must have been
        # caught with subdirectories still to do.
        self.assertGreater(swapper.swapped, 0, 'no subdirectory was swapped during the removal; left: %r' % tree)
        # A removal that follows the links empties this directory and then
        # removes it (as the removal before this design did, measured).
        self.assertTrue(os.path.isdir(self.outside), 'the directory outside %TEMP% was removed')
        self.assertEqual(sorted(os.listdir(self.outside)), FILES)

    def test_the_sweep_of_a_dead_launchers_tree(self):
        # A dead launcher's tree, old enough for the sweep; the sweep claims
        # it by renaming it to a tombstone with the same launcher part.
        name = 'onefile_%d_%06d_Links-Test_' % (400000 + os.getpid() % 1000 * 4, 1)
        tree = os.path.join(self.temp, name)
        DEEP.fill(tree)
        then = time.time() - TEN_MINUTES
        os.utime(tree, (then, then))
        launcher_part = name[len('onefile_'):]

        def find_tree():
            for entry in os.listdir(self.temp):
                if entry.endswith(launcher_part) and not os.path.islink(os.path.join(self.temp, entry)):
                    return os.path.join(self.temp, entry)
            return None

        def cleanup():
            for entry in os.listdir(self.temp):
                if entry.endswith(launcher_part):
                    shutil.rmtree(os.path.join(self.temp, entry), ignore_errors=True)
        self.addCleanup(cleanup)

        # The application runs long enough for the sweep to go through the
        # whole tree. An unelevated launcher sweeps the user's trees; under
        # Wine every program is elevated unless started with the limited
        # token.
        result, swapper = self.swap_while(find_tree, lambda: test_cache.run_unelevated(
            self.launcher(), env={'PROBE_SLEEP_MS': '8000', 'PROBE_EXIT': '5'}, cwd=self.work))
        self.assertEqual(result.status, 5, result.stdout + result.stderr)
        self.assertEqual(result.stderr, '')
        self.assertEqual(re.findall(r'^(\w+)', result.stdout, re.MULTILINE), ['path', 'finished'])
        self.assert_outside_untouched(swapper, find_tree())

    def test_the_launchers_own_target_directory(self):
        # The application's own directory gets the tree while the application
        # runs; the links go in while the launcher removes it afterwards.
        for name, layout in (('deep', DEEP), ('wide', WIDE)):
            with self.subTest(name):
                self.own_target_directory_with_links(layout)

    def own_target_directory_with_links(self, layout):
        launcher = subprocess.Popen([harness.WINE, self.launcher()], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    cwd=self.work,
                                    env=harness.wine_environment({'PROBE_SLEEP_MS': '3000', 'PROBE_EXIT': '7'}))
        first = launcher.stdout.readline().decode().replace('\r\n', '\n')
        own = harness.target_dir(first)
        self.remove_later(own)
        layout.fill(os.path.join(own, 'data'))
        tree = os.path.join(own, 'data')

        def finish():
            rest, errors = launcher.communicate(timeout=120)
            return launcher.returncode, rest.decode(), errors.decode()

        (status, rest, errors), swapper = self.swap_while(lambda: tree if os.path.isdir(tree) else None, finish, layout)
        self.assertEqual(status, 7, rest + errors)
        self.assertEqual(errors, '')
        self.assertIn('finished', rest)
        self.assert_outside_untouched(swapper)


if __name__ == '__main__':
    unittest.main()
