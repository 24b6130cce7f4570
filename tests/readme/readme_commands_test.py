"""What the README tells a user to start, started as the README shows it, from the repository's top
folder: scripts/run-node.sh with commands typed on its console, scripts/run-dashboard.sh (its release
build) with its own node, its page, /state and a command from the page's side, and the flash targets'
dry run. Each program is judged by what a user would see: its console lines, its answers over HTTP, its
exit status, and (for the dashboard's node) the trace of the pin the LED hangs on.

The scripts build what they need first (the dashboard's release build is the slow part: about a minute
of CPU from nothing); once built, the whole runs in about 8 s of wall time.
"""
import json
import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# A script's first run builds (the dashboard's release build from nothing: a few minutes on a loaded
# machine); after that a program answers within seconds.
BUILD_TIMEOUT = 900
ANSWER_TIMEOUT = 30


class LineReader:
    """A child's output, read line by line on a thread of its own (so that a full pipe never holds the
    child up), with a wait for the first line that matches."""

    def __init__(self, stream):
        self.lines = []
        self._queue = queue.Queue()
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for raw in stream:
            self._queue.put(raw.decode("utf-8", "replace").rstrip("\n"))
        self._queue.put(None)

    def wait_for(self, pattern, timeout, after=0):
        """The first line from index `after` on that matches; fails with the lines seen on time-out."""
        deadline = time.monotonic() + timeout
        index = after
        while True:
            while index < len(self.lines):
                if re.search(pattern, self.lines[index]):
                    return index
                index += 1
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line matching {pattern!r} within {timeout} s; seen:\n" + self.text())
            try:
                line = self._queue.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError(f"the output ended without a line matching {pattern!r}; seen:\n" + self.text())
            self.lines.append(line)

    def text(self):
        return "\n".join(self.lines[-40:])


def start(arguments):
    """A README command, started from the top folder; its build output (standard error) in a file."""
    errors = tempfile.TemporaryFile()
    process = subprocess.Popen(arguments, cwd=REPO, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors,
                               start_new_session=True)
    return process, LineReader(process.stdout), errors


def error_output(errors):
    errors.seek(0)
    return errors.read().decode("utf-8", "replace")[-4000:]


def stop(process, errors):
    """Ends a child that is still running (a failed check), its whole process group, and closes its pipes."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    for stream in (process.stdin, process.stdout, errors):
        stream.close()


class RunNode(unittest.TestCase):
    def test_console_shows_the_node_and_takes_typed_commands(self):
        # 20 simulated seconds in 4 s: four report cycles, so that each typed command, acted on at the start
        # of the next cycle (every 4.83 s), may miss one on a loaded machine and still show.
        process, out, errors = start(["scripts/run-node.sh", "--duration", "20", "--speed", "5"])
        self.addCleanup(stop, process, errors)
        try:
            greeting = out.wait_for(r"USART1 > Hola\\r\\n$", BUILD_TIMEOUT)
            out.wait_for(r"USART2 > Hola\\r\\n$", ANSWER_TIMEOUT)
            out.wait_for(r"LED C13 low \(lit\)$", ANSWER_TIMEOUT)
            out.wait_for(r"PWM A0 50\.00 % \(10000 us high of 20001 us\)$", ANSWER_TIMEOUT)
            # The LED is lit from the set-up on; a line typed is a frame from the dashboard's side.
            process.stdin.write(b"V00=0\n")
            process.stdin.flush()
            sent = out.wait_for(r"console: send V00=0$", ANSWER_TIMEOUT, after=greeting)
            out.wait_for(r"USART1 > !A00=22\.0\$$", ANSWER_TIMEOUT)
            out.wait_for(r"USART1 > !A01=0\$$", ANSWER_TIMEOUT)
            dark = out.wait_for(r"LED C13 high \(dark\)$", ANSWER_TIMEOUT, after=sent)
            process.stdin.write(b"V00=1\n")
            process.stdin.flush()
            out.wait_for(r"LED C13 low \(lit\)$", ANSWER_TIMEOUT, after=dark)
            out.wait_for(r"^nodesim: 20\.000000 s of virtual time in", ANSWER_TIMEOUT)
            self.assertEqual(process.wait(ANSWER_TIMEOUT), 0, error_output(errors))
        except BaseException:
            print(out.text())
            print(error_output(errors))
            raise


def http(port, method, path, body=None, headers=None):
    """(status, body) of one request to the dashboard."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method=method,
                                     headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=ANSWER_TIMEOUT) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def state_when(port, predicate, what, timeout):
    """The first /state that satisfies predicate, polled; fails naming `what` and the last state."""
    deadline = time.monotonic() + timeout
    while True:
        status, body = http(port, "GET", "/state")
        assert status == 200, f"GET /state answered {status}: {body[:300]!r}"
        state = json.loads(body)
        if predicate(state):
            return state
        if time.monotonic() > deadline:
            shown = {key: value for key, value in state.items() if key not in ("history", "log")}
            raise AssertionError(f"no /state with {what} within {timeout} s; the last: {shown}")
        time.sleep(0.1)


def reports_after(state, t):
    return [entry for entry in state["log"] if entry["dir"] == "rx" and entry["kind"] == "temperature"
            and entry["t"] > t]


class RunDashboard(unittest.TestCase):
    def test_page_state_and_a_command_then_a_clean_stop(self):
        with tempfile.TemporaryDirectory() as work:
            trace = os.path.join(work, "node.jsonl")
            # Its own node, as with no options, but twenty times faster, with the node's trace kept.
            process, out, errors = start([
                "scripts/run-dashboard.sh", "--listen", "127.0.0.1:0", "--db", ":memory:", "--speed", "20", "--",
                "--scenario", "Tools/dashboard/demo.scenario", "--trace", trace])
            self.addCleanup(stop, process, errors)
            try:
                opened = out.wait_for(r"^dashboard: open http://127\.0\.0\.1:\d+/$", BUILD_TIMEOUT)
                port = int(re.search(r":(\d+)/$", out.lines[opened]).group(1))
                status, page = http(port, "GET", "/")
                self.assertEqual(status, 200)
                self.assertIn(b"<title>Node dashboard</title>", page)
                state = state_when(port, lambda s: s["connected"] and s["celsius"] is not None,
                                   "the link up and a temperature", ANSWER_TIMEOUT)
                self.assertIsNone(state["led"])  # nothing commanded yet

                # LED off, as the page's button sends it: the LED is lit from the node's set-up on.
                status, answer = http(port, "POST", "/led", json.dumps({"on": False}).encode(),
                                      {"Content-Type": "application/json"})
                self.assertEqual((status, json.loads(answer)), (200, {"message": "V00=0", "ok": True}))
                state = state_when(port, lambda s: s["led"] is False and "sent" in s["led_command"],
                                   "the LED command sent", ANSWER_TIMEOUT)
                sent_at = state["led_command"]["sent"]["t"]
                # The node takes the frame at its next cycle's start, before that cycle's reports.
                state_when(port, lambda s: reports_after(s, sent_at), "a report after the command", ANSWER_TIMEOUT)

                process.send_signal(signal.SIGINT)  # Ctrl-C
                self.assertEqual(process.wait(ANSWER_TIMEOUT), 0, error_output(errors))
                self.assertIn("dashboard: stopped", error_output(errors))
            except BaseException:
                print(out.text())
                print(error_output(errors))
                raise

            # The dashboard's node ended with it (its trace completed, ended by the dashboard's
            # SIGTERM), and it switched the LED off (C13 high) after the frame came in.
            with open(trace) as lines:
                events = [json.loads(line) for line in lines]
            self.assertEqual(events[-1]["kind"], "end")
            self.assertEqual(events[-1]["reason"], "interrupted")
            frame_in = [e["t"] for e in events if e["kind"] == "rx" and e["byte"] == ord("V")]
            self.assertTrue(frame_in, "no frame reached the node")
            led = [(e["t"], e["level"]) for e in events if e["kind"] == "pin" and e["pin"] == "C13"]
            self.assertTrue(any(t > frame_in[0] and level == 1 for t, level in led),
                            f"C13 never went high after the frame at {frame_in[0]} s: {led}")


class FlashTargets(unittest.TestCase):
    def test_dry_run_prints_each_tool_s_command(self):
        build = os.path.join(REPO, "build", "stm32f411")
        subprocess.run(["cmake", "--preset", "stm32f411"], cwd=REPO, check=True, stdout=subprocess.DEVNULL)
        expected = {
            "flash": f'openocd -f interface/stlink.cfg -f target/stm32f4x.cfg -c "program {build}/node.elf'
                     ' verify reset exit"',
            "flash-dfu": f"dfu-util -d 0483:df11 -a 0 -s 0x08000000:leave -D {build}/node.bin",
        }
        for target, command in expected.items():
            done = subprocess.run(["cmake", "--build", "--preset", "stm32f411", "--target", target], cwd=REPO,
                                  env=dict(os.environ, FLASH_DRY_RUN="1"), capture_output=True, text=True,
                                  timeout=BUILD_TIMEOUT)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            printed = [line.strip() for line in done.stdout.splitlines() if line.startswith(("openocd ", "dfu-util "))]
            self.assertEqual(printed, [command], done.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
