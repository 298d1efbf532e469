"""What threads keep of the memory their calls used: all threads together
keep a bounded amount, and a thread that ends keeps nothing."""

import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import zarnik as zk

PAGE = 4096
KEPT_BY_ALL_THREADS = 64 * 2**20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@pytest.mark.not_under_address_sanitizer(
    reason="the address sanitizer keeps freed memory in quarantine; its leak checker covers this run"
)
def test_idle_and_finished_threads_keep_a_bounded_amount():
    p = zk.Parameter(0.5)
    y = p
    for _ in range(200_000):  # about 13 MiB of lanes and adjoints per call
        y = zk.sin(y) * 0.5 + p
    tape = zk.compile(y)
    tape.backward()
    tape.zero_grad()
    workers = 8
    together = threading.Barrier(workers)

    def call(_):
        together.wait()  # eight threads, each with scratch of its own
        tape.backward()
        tape.eval()
        together.wait()

    before = resident_bytes()
    with ThreadPoolExecutor(workers) as pool:
        list(pool.map(call, range(workers)))
        idle = resident_bytes() - before
    finished = resident_bytes() - before
    tape.zero_grad()
    # Were each worker to keep its own scratch, eight would keep about 100 MiB.
    assert idle < KEPT_BY_ALL_THREADS + 8 * 2**20, f"idle workers keep {idle / 2**20:.1f} MiB"
    assert finished < 8 * 2**20, f"finished workers keep {finished / 2**20:.1f} MiB"
