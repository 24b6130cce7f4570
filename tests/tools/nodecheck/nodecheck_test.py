"""nodecheck end to end against nodesim --pty standing in for the board, and the JUnit reports of both
runners as a CI server reads them. Paced runs at 4 times real time (a report cycle in 1.2 s of wall
time); the whole suite, its ten files side by side, at 2 times real time with a second of slack on every
window (half a second of wall time): twenty paced programs at once on a loaded machine deliver a byte,
and the greeting that sets nodecheck's clock, up to a few tenths of a second late.

Environment: NODESIM and NODECHECK, the programs; SCENARIOS, the acceptance suite's folder; NODE_ELF,
the image (the failing-run test then runs it with --elf as well).
"""
import fcntl
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

NODESIM = os.environ["NODESIM"]
NODECHECK = os.environ["NODECHECK"]
SCENARIOS = os.environ["SCENARIOS"]
SPEED = "4"

# Passes the greeting, fails on the switch report (the switch is open: "!A01=0$"), and skips the
# temperature it cannot set on a board (and a PWM it cannot see).
FAILING = """# one pass, one failure, skips
0      temp 30
0      wait-serial USART1 0.1 Hola\\r\\n
0.7    wait-serial USART1 0.3 !A01=1$
1.0    expect-pwm duty 50 0.01
"""


def last_time(path):
    """The latest time a scenario file names (its last line's, or a window's end)."""
    last = 0.0
    with open(path) as lines:
        text = lines.read()
    for line in text.splitlines():
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        at = last + float(words[0][1:]) if words[0].startswith("+") else float(words[0])
        window = 0.0
        if words[1] in ("wait-serial", "no-serial") and len(words) > 3:
            window = float(words[3])
        elif words[1] in ("wait-temp", "wait-halt") or (words[1].startswith("no-") and len(words) > 2):
            window = float(words[2])
        last = max(last, at + window, at)
    return last


class SimulatedBoard:
    """nodesim --pty holding its node in reset until nodecheck opens the pseudo-terminal."""

    def __init__(self, seconds, speed=SPEED):
        self.process = subprocess.Popen(
            [NODESIM, "--pty", "--wait-attach", "--quiet", "--speed", speed, "--duration", f"{seconds:.3f}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        match = re.match(r"nodesim: USART1 on pseudo-terminal (\S+)", line)
        if not match:
            self.process.kill()
            raise AssertionError("nodesim gave no pseudo-terminal: " + line)
        self.device = match.group(1)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def nodecheck(device, *arguments, timeout=120):
    return subprocess.run([NODECHECK, "--device", device, "--speed", SPEED, *arguments],
                          capture_output=True, text=True, timeout=timeout)


def junit_cases(path):
    """Every testcase as CI servers read it: (suite name, case name, outcome, message)."""
    root = ET.parse(path).getroot()
    assert root.tag == "testsuites", root.tag
    cases = []
    for suite in root.findall("testsuite"):
        for attribute in ("name", "tests", "failures", "errors", "skipped", "time", "timestamp", "hostname"):
            assert attribute in suite.attrib, attribute
        counted = {"failure": 0, "error": 0, "skipped": 0}
        for case in suite.findall("testcase"):
            float(case.get("time"))
            assert case.get("classname") and case.get("name")
            outcome, message = "passed", ""
            for kind in counted:
                element = case.find(kind)
                if element is not None:
                    outcome, message = kind, element.get("message", "")
                    counted[kind] += 1
            cases.append((suite.get("name"), case.get("name"), outcome, message))
        assert int(suite.get("tests")) == len(suite.findall("testcase"))
        assert int(suite.get("failures")) == counted["failure"]
        assert int(suite.get("errors")) == counted["error"]
        assert int(suite.get("skipped")) == counted["skipped"]
        virtual = [p for p in suite.iter("property") if p.get("name") == "virtual_seconds"]
        assert len(virtual) == 1
    return cases


class AcceptanceSuiteOnTheLink(unittest.TestCase):
    def test_every_file_passes_what_a_board_can_be_given(self):
        files = sorted(os.path.join(SCENARIOS, f) for f in os.listdir(SCENARIOS) if f.endswith(".scenario"))
        # Side by side: each file has a simulated board of its own, freshly reset.
        boards = [SimulatedBoard(last_time(f) + 3, speed="2") for f in files]
        checks = [subprocess.Popen([NODECHECK, "--device", b.device, "--speed", "2", "--slack", "1", "--quiet",
                                    "--scenario", f],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                  for b, f in zip(boards, files)]
        try:
            for f, check in zip(files, checks):
                output = check.communicate(timeout=120)[0]
                self.assertEqual(check.returncode, 0, f + "\n" + output)
                self.assertIn("0 failed", output)
        finally:
            for b in boards:
                b.close()


class FailuresAndReports(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.scenario = os.path.join(self.folder, "failing.scenario")
        with open(self.scenario, "w") as out:
            out.write(FAILING)

    def test_nodecheck_names_the_failure_and_reports_pass_failure_and_skips(self):
        board = SimulatedBoard(3)
        report = os.path.join(self.folder, "board.xml")
        try:
            run = nodecheck(board.device, "--scenario", self.scenario, "--junit", report)
        finally:
            board.close()
        self.assertEqual(run.returncode, 3, run.stdout + run.stderr)
        self.assertRegex(run.stderr, r"failing\.scenario:4: failed at [0-9.]+ s: expected USART1 to carry "
                                     r"'!A01=1\$' .*; seen the last bytes on USART1 '.*!A01=0\$'")
        outcomes = {name: outcome for _, name, outcome, _ in junit_cases(report)}
        self.assertEqual(outcomes, {"line 2: temp 30": "skipped", "line 3: wait-serial USART1 0.1 Hola\\r\\n": "passed",
                                    "line 4: wait-serial USART1 0.3 !A01=1$": "failure",
                                    "line 5: expect-pwm duty 50 0.01": "skipped"})

    def test_nodesim_fails_the_same_file_with_the_same_status_on_both_builds(self):
        builds = [[]] + ([["--elf", os.environ["NODE_ELF"]]] if os.environ.get("NODE_ELF") else [])
        for build in builds:
            report = os.path.join(self.folder, "sim.xml")
            run = subprocess.run([NODESIM, "--fast", "--quiet", *build, "--scenario", self.scenario, "--junit", report],
                                 capture_output=True, text=True, timeout=120)
            self.assertEqual(run.returncode, 3, run.stdout + run.stderr)
            self.assertIn("failing.scenario:4: failed at", run.stderr)
            self.assertIn("seen the last bytes on USART1", run.stderr)
            outcomes = [outcome for _, _, outcome, _ in junit_cases(report)]
            self.assertEqual(outcomes, ["passed", "failure", "passed"], build)


class DevicesThatCannotBeUsed(unittest.TestCase):
    def setUp(self):
        self.scenario = os.path.join(SCENARIOS, "greeting.scenario")

    def test_a_device_that_does_not_answer_times_out_clearly(self):
        master, slave = os.openpty()
        try:
            run = nodecheck(os.ttyname(slave), "--greeting-timeout", "0.5", "--scenario", self.scenario)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("sent no greeting within 0.5 s: the node does not answer", run.stderr)

    def test_a_missing_or_busy_device_is_bad_input(self):
        run = nodecheck("/dev/no-such-adapter", "--scenario", self.scenario)
        self.assertEqual(run.returncode, 2)
        self.assertIn("cannot open /dev/no-such-adapter", run.stderr)
        master, slave = os.openpty()
        try:
            fcntl.flock(slave, fcntl.LOCK_EX)  # another serial program holding it
            run = nodecheck(os.ttyname(slave), "--scenario", self.scenario)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(run.returncode, 2)
        self.assertIn("is busy", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
