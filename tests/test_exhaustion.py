# Results that cannot fit in memory raise MemoryError and leave the module usable. The calls run in a
# child process whose address space is capped, so nothing here can exhaust the machine.
import os
import sys

import pytest
from conftest import CAP_ADDRESS_SPACE, child

CHILD = CAP_ADDRESS_SPACE + r"""
cap(in_use() + 768 * 2**20)
from tesmerine import PhaseHVec, resonator_factorize

big = PhaseHVec.random(2**27, 65536, 1)  # 256 MiB of phases: fits, but nothing made from it does
for call in (lambda: PhaseHVec.random(2**31, 16, 0), lambda: PhaseHVec.random(2**62 - 1, 4, 0),
             lambda: PhaseHVec.bundle([big]), lambda: PhaseHVec.bundle([big] * 4),
             lambda: resonator_factorize(big, [[big]]), big.phases):
    try:
        call()
    except BaseException as e:
        print(type(e).__name__, str(e), getattr(e, "__notes__", []))
    assert PhaseHVec.bundle([PhaseHVec.random(8, 16, 42)] * 3).phases() == [7, 13, 9, 14, 12, 10, 0, 12]  # still usable
    assert (big.dim, big.n) == (2**27, 65536)
"""


@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_results_too_big_for_memory():
    done = child("-c", CHILD)
    # Items are read in place, not copied, so no failure comes from converting `items` (none has a note).
    assert (done.returncode, done.stdout, done.stderr) == (0, "MemoryError  []\n" * 6, "")
