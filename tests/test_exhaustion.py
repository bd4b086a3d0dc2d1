# Results that cannot fit in memory raise MemoryError and leave the module usable. The calls run in a
# child process whose address space is capped, so nothing here can exhaust the machine.
import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import json, resource
with open("/proc/self/status") as f:
    vm_size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm_size + 768 * 2**20, resource.RLIM_INFINITY))
from tesmerine import PhaseHVec as P, resonator_factorize as RF

big = P.random(2**27, 65536, 1)  # 256 MiB of phases: fits, but nothing made from it does
outcomes = []
for call in (lambda: P.random(2**31, 16, 0), lambda: P.bundle([big]), lambda: P.bundle([big] * 4),
             lambda: RF(big, [[big]]), big.phases):
    try:
        call()
    except BaseException as e:
        outcomes.append([type(e).__name__, str(e), getattr(e, "__notes__", [])])
    assert P.bundle([P.random(8, 16, 42)] * 3).phases() == [7, 13, 9, 14, 12, 10, 0, 12]  # still usable
    assert (big.dim, big.n) == (2**27, 65536)
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_results_too_big_for_memory():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    plain = ["MemoryError", "", []]
    # Items are read in place, not copied, so no failure comes from converting `items` (none has a note).
    assert json.loads(done.stdout) == [plain] * 5
