"""The line the figure scripts print beside their timings: machine, load, interpreter, commit and date."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def commit() -> str:
    """The checked-out commit, and whether tracked files differ from it."""
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short=10", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown (not a git checkout)"
    return head + (" with uncommitted changes" if dirty else "")


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = " ".join(f"{x:.1f}" for x in os.getloadavg())
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (f"{cpu}, {os.cpu_count()} logical cores (load average {load}); {platform.system()} {platform.release()}; "
            f"CPython {platform.python_version()}; commit {commit()}; {now}")
