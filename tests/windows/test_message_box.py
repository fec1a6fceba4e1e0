"""A windowed launcher that fails where nobody sees its standard error
shows its message in a message box, end to end under Wine on an Xvfb
display: started as Explorer starts it (start_windowed.exe: detached, no
standard handles, no console), its box is found by its title (the
launcher's file name) both through the window list (xwininfo) and from
the Windows side, its text read, a screenshot taken
(build/host/message_box.png, for a person to look at), and closed. With
standard error going to a pipe the same failure shows none.

What Wine cannot show: a console launcher started from Explorer gets a
console window of its own, and shows no box; Wine gives a detached program
no console either way, so only the two cases above are shown here."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

DRIVER = harness.windows_test_file('start_windowed.exe')
SCREENSHOT = os.path.join(harness.HOST_BUILD_DIR, 'message_box.png')


class MessageBox(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Wine's display driver is chosen when its first program starts: the
        # prefix's server is started again with the display, and once more
        # without it at the end, as the other tests have it.
        subprocess.run([harness.WINESERVER, '-k'], env=harness.wine_environment(), capture_output=True)
        read, write = os.pipe()
        cls.xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '1024x768x24',
                                     '-nolisten', 'tcp'], pass_fds=(write,),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            cls.display = ':' + f.readline().strip()
        cls.env = {'DISPLAY': cls.display}
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     env=harness.wine_environment(cls.env))
        subprocess.run([harness.WINESERVER, '-p'], **quiet, timeout=60)
        subprocess.run([harness.WINE, 'cmd.exe', '/c', 'exit'], **quiet, timeout=120)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([harness.WINESERVER, '-k'], env=harness.wine_environment(), capture_output=True)
        cls.xvfb.terminate()
        cls.xvfb.wait(timeout=30)
        harness.start_wine()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='fenzar_box_')
        self.addCleanup(shutil.rmtree, self.work, True)

    def launchers(self):
        """(launcher, its message lines): a plain message on standard output
        and two lines on standard error."""
        with open(harness.windows_test_file('no_entry_app.dll'), 'rb') as f:
            no_entry = harness.link_archive([('no_entry_app.dll', f.read())],
                                            os.path.join(self.work, 'no_entry.exe'))
        missing = harness.pack(harness.windows_test_file('needs_neighbour_app.dll'),
                               out=os.path.join(self.work, 'missing_import.exe'))
        return [
            (no_entry, [re.escape('Error, DLL entry point not found.')]),
            (missing, [r'Error, load DLL\. \(\[Error 126\] [^\n]*\)',
                       r"The DLL 'neighbour_lib\.dll' that '[^\n]*\\needs_neighbour_app\.dll' needs was not "
                       r"found: it is neither among the packed files nor in the system directory\."]),
        ]

    def start(self, how, launcher):
        title = os.path.basename(launcher)
        return subprocess.Popen([harness.WINE, DRIVER, how, title, harness.windows_path(launcher)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=harness.wine_environment(self.env), cwd=self.work)

    def finish(self, driver):
        stdout, stderr = driver.communicate(b'\n', timeout=120)
        text = stdout.decode('utf-8').replace('\r\n', '\n')
        match = re.search(r'^exit_code=(\d+)\n\Z', text, re.MULTILINE)
        self.assertIsNotNone(match, text)
        return int(match.group(1)), text[:match.start()], stderr.decode('utf-8').replace('\r\n', '\n')

    def test_a_failure_nobody_can_see_shows_a_box(self):
        for launcher, lines in self.launchers():
            title = os.path.basename(launcher)
            with self.subTest(title):
                driver = self.start('detached', launcher)
                try:
                    seen = []
                    while not seen or seen[-1] not in ('shown', 'window=none'):
                        line = driver.stdout.readline().decode('utf-8')
                        self.assertTrue(line, 'the driver ended early: %r' % seen)
                        seen.append(line.rstrip('\r\n'))
                    self.assertEqual(seen[0], 'window=' + title)
                    # The box's text: the message lines as the streams would
                    # have had them.
                    self.assertEqual(len(seen), 3, seen)
                    self.assertRegex(seen[1], r'\Atext=%s\Z' % r'\\n'.join(lines))
                    windows = subprocess.run(['xwininfo', '-root', '-tree'], capture_output=True, text=True,
                                             env=dict(os.environ, DISPLAY=self.display), check=True).stdout
                    self.assertRegex(windows, r'"%s": \("%s" "%s"\)' % ((re.escape(title),) * 3))
                    shot = subprocess.run('xwd -root -silent | convert xwd:- %s' % SCREENSHOT, shell=True,
                                          env=dict(os.environ, DISPLAY=self.display))
                    self.assertEqual(shot.returncode, 0)
                    # Xvfb's screen is black; the box brings light pixels.
                    mean = subprocess.run(['convert', SCREENSHOT, '-format', '%[fx:mean]', 'info:'],
                                          capture_output=True, text=True, check=True).stdout
                    self.assertGreater(float(mean), 0.01)
                finally:
                    status, _, _ = self.finish(driver)
                self.assertEqual(status, 2)
                # Closed by its OK button, the box is gone.
                windows = subprocess.run(['xwininfo', '-root', '-tree'], capture_output=True, text=True,
                                         env=dict(os.environ, DISPLAY=self.display), check=True).stdout
                self.assertNotIn('"%s"' % title, windows)

    def test_standard_error_that_goes_somewhere_shows_none(self):
        for launcher, lines in self.launchers():
            with self.subTest(os.path.basename(launcher)):
                status, stdout, stderr = self.finish(self.start('inherited', launcher))
                self.assertEqual(status, 2)
                self.assertRegex(stdout + stderr, r'\A(window=none\n)?%s\n(window=none\n)?\Z' % r'\n'.join(lines))
                self.assertIn('window=none\n', stdout)


if __name__ == '__main__':
    unittest.main()
