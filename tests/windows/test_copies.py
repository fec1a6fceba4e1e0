"""A copy of the launcher that the application starts. With
FENZAR_ONEFILE_PARENT inherited it runs the application already unpacked,
in re-entered mode: what programs that start workers from their own
executable rely on. Without the variable it is a launcher of its own: it
unpacks into its own directory and runs independently, also after the first
launcher has ended. A program that restarts itself with the variable kept
gets a copy that runs in the first launcher's directory, which that
launcher removes as it ends."""
import os
import re
import shutil
import tempfile
import unittest

import harness

TARGET = r'C:\\users\\[^\\]+\\Temp\\(onefile_(\d+)_\d{6}_[A-Za-z0-9_-]{11})\\restart_app\.dll'


def report(stdout):
    """{key: value} of the KEY=VALUE lines."""
    return dict(line.partition('=')[::2] for line in stdout.splitlines())


class CopiesOfTheLauncher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        data = os.path.join(cls.scratch.name, 'data.txt')
        with open(data, 'w') as out:
            out.write('data')
        cls.launcher = harness.pack(harness.windows_test_file('restart_app.dll'), [data],
                                    out=os.path.join(cls.scratch.name, 'restart.exe'))

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_copy_started_by_the_application(self):
        cases = [
            # keep, wait: a worker runs the unpacked application.
            ('keep', 'wait', {'copy exit': '7', 'copy data exists': '1'}),
            # drop, wait: a launcher of its own.
            ('drop', 'wait', {'copy exit': '7', 'copy data exists': '1'}),
            # drop, exit: a restart that outlives the first launcher.
            ('drop', 'exit', {'first launcher ended': '1', 'first library exists': '0', 'copy data exists': '1'}),
            # keep, exit: a restart in a directory removed under it; only
            # the library it has loaded stays (Windows, too, keeps a loaded
            # library from deletion), and so does the directory.
            ('keep', 'exit', {'first launcher ended': '1', 'first library exists': '1', 'copy data exists': '0'}),
        ]
        for keep, wait, expected in cases:
            with self.subTest(variable=keep, first=wait):
                before = harness.onefile_dirs()
                result = harness.run(self.launcher, ['start-copy', keep, wait], cwd=self.scratch.name)
                left = harness.onefile_dirs() - before
                for name in left:
                    self.addCleanup(shutil.rmtree, os.path.join(harness.wine_temp_dir(), name), True)
                self.assertEqual((result.status, result.stderr), (0 if wait == 'wait' else 5, ''), result)
                seen = report(result.stdout)
                for key, value in expected.items():
                    self.assertEqual(seen.get(key), value, key)
                first = re.fullmatch(TARGET, seen['first path'])
                copy = re.fullmatch(TARGET, seen['copy path'])
                self.assertIsNotNone(first, seen)
                self.assertIsNotNone(copy, seen)
                if keep == 'keep':
                    # Re-entered: the first launcher's directory and id.
                    self.assertEqual(copy.group(0), first.group(0))
                    self.assertEqual(seen['copy parent'], first.group(2))
                else:
                    # Its own directory, named after its own id, which it
                    # published for its application.
                    self.assertNotEqual(copy.group(1), first.group(1))
                    self.assertEqual(seen['copy parent'], copy.group(2))
                if (keep, wait) == ('keep', 'exit'):
                    self.assertEqual(left, {first.group(1)})
                    self.assertEqual(os.listdir(os.path.join(harness.wine_temp_dir(), first.group(1))),
                                     ['restart_app.dll'])
                else:
                    self.assertEqual(left, set())


if __name__ == '__main__':
    unittest.main()
