"""What an application writes reaches the caller whole, also when it never
flushes: the second instance ends through the C runtime's exit and
ExitProcess, so the launcher's runtime flushes its streams and every DLL
gets DLL_PROCESS_DETACH, where a runtime of its own writes out its buffers.
A launcher that ended its child with TerminateProcess, or a runtime that is
never told of the end, loses the text."""
import itertools
import os
import re
import shutil
import tempfile
import unittest

import harness

BLOCK = ''.join('\n' if i % 70 == 69 else chr(ord('a') + i % 70 % 26) for i in range(1400))
TRANSIENT_START_FAILURE = re.compile(r"Error, couldn't launch child \(\[Error 1359\] [^\n]*\)\n\Z")
BUFFERS = ('stdio', 'own')
ENDS = ('return', 'exit', 'exitprocess')


class UnflushedOutput(unittest.TestCase):
    def test_every_run_delivers_the_whole_text_and_its_status(self):
        # 200 runs, about 25 s: enough to catch a loss that only the timing
        # of an end shows.
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        launcher = harness.pack(harness.windows_test_file('unflushed_app.dll'),
                                out=os.path.join(scratch.name, 'usage.exe'))
        before = harness.onefile_dirs()
        failures = []
        transient = 0
        cases = itertools.islice(itertools.cycle(itertools.product(BUFFERS, ENDS)), 200)
        for run, (buffer, end) in enumerate(cases):
            while True:
                result = harness.run(launcher, env={'UNFLUSHED_BUFFER': buffer, 'UNFLUSHED_END': end},
                                     cwd=scratch.name)
                # Under load Wine's CreateProcessW fails now and then with
                # error 1359; the application did not run, so that run is
                # made again, without the directory that launcher leaves.
                if not (result.status == 2 and TRANSIENT_START_FAILURE.match(result.stderr)) or transient == 5:
                    break
                transient += 1
                for name in harness.onefile_dirs() - before:
                    shutil.rmtree(os.path.join(harness.wine_temp_dir(), name))
            if (result.status, result.stdout, result.stderr) != (1, '', BLOCK):
                failures.append((run, buffer, end, result.status, len(result.stderr), result.stderr[:200]))
        self.assertEqual(failures, [])
        self.assertEqual(harness.onefile_dirs() - before, set())


if __name__ == '__main__':
    unittest.main()
