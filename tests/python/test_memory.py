"""Building and dropping many expressions leaves the process's memory flat."""

import os

import pytest

import _zarnik as zk

PAGE = os.sysconf("SC_PAGE_SIZE")

not_under_asan = pytest.mark.not_under_address_sanitizer(
    reason="the address sanitizer keeps freed memory in quarantine; its leak checker covers this run"
)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@not_under_asan
def test_millions_of_expressions_built_and_dropped_keep_memory_flat():
    p = zk.Parameter(0.5, 1.5, name="p")
    s = zk.Parameter(2.0)

    def churn(count):
        for i in range(count):
            e = (p * s + zk.sin(p)) / (s + i)  # six new nodes and their Expression objects
            e.eval()
            if i % 1000 == 0:
                e.x.backward()
        p.zero_grad()

    churn(100_000)  # warm up the allocators
    before = resident_bytes()
    for _ in range(5):
        churn(100_000)  # three million more nodes, all released
    growth = resident_bytes() - before
    assert growth < 8 * 1024 * 1024, f"resident memory grew by {growth / 2**20:.1f} MiB"


@not_under_asan
def test_a_dropped_deep_chain_is_freed_and_its_memory_reused():
    p = zk.Parameter(1.0)

    def chain():
        y = p
        for _ in range(200_000):  # 800,000 nested nodes
            y = zk.sin(y) * 0.5 + p
        y.backward()
        return y.eval()

    first = chain()
    after_first = resident_bytes()
    assert chain() == first
    growth = resident_bytes() - after_first
    # Had the first chain been kept, the second would need hundreds of MiB more.
    assert growth < 16 * 1024 * 1024, f"resident memory grew by {growth / 2**20:.1f} MiB"
