#!/usr/bin/env python3
"""Runs the firmware-logic test image on QEMU's mps2-an386 (Cortex-M4F) and judges the outcome.

Passes only when the emulator exits with status 0 and the image printed its summary with at least one
case passed and none failed. A missing emulator, a time-out or a silent image is a failure, never a skip:
a test that could not run has not shown anything.
"""
import argparse
import re
import shutil
import subprocess
import sys

SUMMARY = re.compile(r"^arm_logic: (\d+) passed, (\d+) failed$", re.MULTILINE)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image")
    parser.add_argument("--qemu", default="qemu-system-arm")
    parser.add_argument("--timeout", type=float, default=120.0)
    args = parser.parse_args()

    qemu = shutil.which(args.qemu)
    if qemu is None:
        print(f"error: {args.qemu} not found; install it (scripts/install-deps.sh installs qemu-system-arm)")
        return 1
    command = [qemu, "-M", "mps2-an386", "-nographic", "-monitor", "none", "-serial", "none",
               "-semihosting-config", "enable=on,target=native", "-kernel", args.image]
    try:
        run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=args.timeout)
    except subprocess.TimeoutExpired as timeout:
        print((timeout.stdout or b"").decode(errors="replace") if isinstance(timeout.stdout, bytes)
              else (timeout.stdout or ""))
        print(f"error: the image did not finish within {args.timeout:.0f} s")
        return 1
    # Semihosting text goes to QEMU's stderr, its own complaints too: show both.
    sys.stdout.write(run.stdout)
    sys.stdout.write(run.stderr)
    summary = SUMMARY.search(run.stdout + run.stderr)
    if run.returncode != 0:
        print(f"error: the emulator exited with status {run.returncode}")
        return 1
    if summary is None or int(summary.group(1)) == 0 or int(summary.group(2)) != 0:
        print("error: the image did not report its cases as all passed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
