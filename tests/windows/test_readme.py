"""The README's examples, run exactly as printed: the Linux commands of
"From a DLL to one executable" in a copy of examples/hello, and those of
"An existing program: `--exe`" in a copy of examples/tool, with the packer
of this build on PATH and Wine's prefix of the tests. What the README shows
(the lines the application prints, the listing) is what following it
gives, so the README cannot drift from the code."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

README = os.path.join(harness.SOURCE_DIR, 'README.md')


def section(text, title):
    start = text.index('\n## %s\n' % title)
    end = text.index('\n## ', start + 1)
    return text[start:end]


def block_after(text, marker):
    """The indented block that follows the paragraph starting with MARKER,
    as lines without their four spaces."""
    at = text.index('\n' + marker)
    match = re.compile(r'\n\n((?:    [^\n]*\n)+)').search(text, at)
    return [line[4:] for line in match.group(1).splitlines()]


class FirstExample(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_readme_')
        self.addCleanup(shutil.rmtree, self.work, True)
        for name in ('hello.cpp', 'greeting.txt'):
            shutil.copy(os.path.join(harness.SOURCE_DIR, 'examples', 'hello', name), self.work)
        with open(README, encoding='utf-8') as f:
            self.text = section(f.read(), 'From a DLL to one executable')
        env = harness.wine_environment()
        env['PATH'] = os.path.dirname(harness.FENZAR_PACK) + os.pathsep + env['PATH']
        self.env = env

    def shell(self, command):
        return subprocess.run(['bash', '-c', command], cwd=self.work, env=self.env, capture_output=True,
                              text=True, timeout=600)

    def test_the_linux_commands_run_as_printed(self):
        commands = block_after(self.text, 'On Linux')
        self.assertEqual(len(commands), 3, commands)
        self.assertTrue(commands[1].startswith('fenzar-pack pack '), commands)
        for command in commands[:-1]:
            completed = self.shell(command)
            self.assertEqual(completed.returncode, 0, (command, completed.stderr))
        run = self.shell(commands[-1])
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        # The line the README shows, and the arguments as given.
        shown = block_after(self.text, 'afterwards. Among what it prints')
        self.assertEqual(len(shown), 1, shown)
        self.assertIn('\n' + shown[0] + '\n', run.stdout.replace('\r\n', '\n'))
        self.assertIn('argv[2] = [second argument]', run.stdout)
        listing = block_after(self.text, '`fenzar-pack list hello.exe`')
        completed = self.shell('fenzar-pack list hello.exe')
        self.assertEqual(completed.returncode, 0, completed.stderr)
        self.assertEqual(completed.stdout.splitlines(), listing)



class ProgramExample(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_readme_tool_')
        self.addCleanup(shutil.rmtree, self.work, True)
        for name in ('tool.cpp', 'shout.cpp', 'shout.h', 'motto.txt'):
            shutil.copy(os.path.join(harness.SOURCE_DIR, 'examples', 'tool', name), self.work)
        with open(README, encoding='utf-8') as f:
            self.text = section(f.read(), 'An existing program: `--exe`')
        env = harness.wine_environment()
        env['PATH'] = os.path.dirname(harness.FENZAR_PACK) + os.pathsep + env['PATH']
        self.env = env

    def shell(self, command):
        return subprocess.run(['bash', '-c', command], cwd=self.work, env=self.env, capture_output=True,
                              text=True, timeout=600)

    def test_the_linux_commands_run_as_printed_and_the_program_is_unchanged(self):
        commands = block_after(self.text, 'own. In a copy of that directory, on Linux')
        self.assertEqual(len(commands), 4, commands)
        self.assertTrue(commands[2].startswith('fenzar-pack pack '), commands)
        for command in commands[:-1]:
            completed = self.shell(command)
            self.assertEqual(completed.returncode, 0, (command, completed.stderr))
        packed = self.shell(commands[-1])
        direct = self.shell(commands[-1].replace('onefile-tool.exe', 'tool.exe'))
        shown = block_after(self.text, 'with its status')
        self.assertEqual(packed.stdout.replace('\r\n', '\n').splitlines(), shown)
        self.assertEqual(packed.stdout, direct.stdout)
        self.assertEqual(packed.returncode, 2, packed.stderr)
        self.assertEqual(direct.returncode, 2)
        listing = block_after(self.text, '`fenzar-pack list onefile-tool.exe`')
        completed = self.shell('fenzar-pack list onefile-tool.exe')
        self.assertEqual(completed.returncode, 0, completed.stderr)
        self.assertEqual(completed.stdout.splitlines()[0], listing[0])
        self.assertEqual([line.split()[1] for line in completed.stdout.splitlines()[1:]],
                         ['tool.exe', 'shout.dll', 'motto.txt'])


if __name__ == '__main__':
    unittest.main()
