"""Results that cannot fit in memory raise MemoryError (or the capacity
panic) and leave the module usable. Runs in a child process whose address
space is capped, so nothing here can exhaust the machine."""
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
from tesmerine import PhaseHVec, resonator_factorize

big = PhaseHVec.random(2**27, 65536, 1)  # 256 MiB of phases: fits
calls = {
    "random 4 GiB": lambda: PhaseHVec.random(2**31, 16, 0),
    "random largest dim": lambda: PhaseHVec.random(2**62 - 1, 16, 0),
    "random past largest dim": lambda: PhaseHVec.random(2**62, 16, 0),
    "bundle sums": lambda: PhaseHVec.bundle([big]),
    "bundle copies": lambda: PhaseHVec.bundle([big] * 4),
    "resonator phasors": lambda: resonator_factorize(big, [[big]]),
    "phases list": lambda: big.phases(),
}
outcomes = {}
for name, call in calls.items():
    try:
        call()
        outcomes[name] = ["no error"]
    except BaseException as e:
        outcomes[name] = [type(e).__name__, str(e), getattr(e, "__notes__", [])]
    # Still usable, and the vector that was an argument is unchanged.
    assert PhaseHVec.random(8, 16, 42).phases() == [7, 13, 9, 14, 12, 10, 0, 12]
    assert PhaseHVec.bundle([big.random(8, 16, 42)] * 3).phases() == [7, 13, 9, 14, 12, 10, 0, 12]
    assert (big.dim, big.n) == (2**27, 65536)
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_results_too_big_for_memory():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    notes = ["while processing 'items'"] if sys.version_info >= (3, 11) else []
    memory_error = ["MemoryError", "", []]
    assert json.loads(done.stdout) == {
        "random 4 GiB": memory_error,
        "random largest dim": memory_error,
        "random past largest dim": ["PanicException", "capacity overflow", []],
        "bundle sums": memory_error,
        "bundle copies": ["MemoryError", "", notes],
        "resonator phasors": memory_error,
        "phases list": memory_error,
    }
