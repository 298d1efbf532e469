"""A smoke run of the peer benchmarks at their smallest sizes: they still run
and every peer that is installed still agrees with this library. Timings are
not looked at."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

PEERS = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "peers.py"

pytestmark = pytest.mark.full_stage


def run(*args):
    env = {**os.environ, "ZARNIK_BENCH_QUICK": "1"}
    return subprocess.run(
        [sys.executable, str(PEERS), *args], capture_output=True, text=True, env=env, check=True, timeout=600
    )


@pytest.mark.not_under_address_sanitizer(reason="the peers' own libraries are not built for the address sanitizer")
def test_the_fit_and_vec3_workloads_agree_across_peers(tmp_path):
    out = tmp_path / "shapes.json"
    run("shapes", str(out))
    report = json.loads(out.read_text())
    assert "zarnik" in report["peers"]
    assert {run_["workload"] for run_ in report["runs"]} == {"fit", "vec3"}
    for run_ in report["runs"]:
        for name, peer in run_["peers"].items():
            assert peer["agrees"], f"{name} disagrees on {run_['workload']}"
            assert {"build", "backward", "step"} <= set(peer["times"])


def run_benchmark(script, out):
    env = {**os.environ, "ZARNIK_BENCH_QUICK": "1"}
    subprocess.run(
        [sys.executable, str(PEERS.with_name(script)), "run", str(out)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
        timeout=600,
    )


def test_the_deep_workload_survives_in_its_own_process():
    result = json.loads(run("deep", "zarnik", "1000").stdout)
    assert result["steps"] == 1000
    assert {"build", "eval", "backward", "free"} <= set(result["times"])


@pytest.mark.not_under_address_sanitizer(reason="the contenders' own libraries are not built for the address sanitizer")
def test_the_function_workloads_agree_across_contenders(tmp_path):
    out = tmp_path / "functions.json"
    run_benchmark("functions.py", out)
    report = json.loads(out.read_text())
    for workload in ("batch", "jacobian"):
        for name, contender in report[workload]["contenders"].items():
            assert contender["agrees"], f"{name} disagrees on {workload}"
    # A batch's memory is its output and a fixed working set: what it adds
    # beyond its output does not grow with the rows.
    runs = sorted(report["memory"], key=lambda run: run["rows"])
    assert len(runs) >= 2 and runs[0]["rows"] * 5 <= runs[-1]["rows"]
    for run in runs:
        assert run["peak_growth"] <= run["output_bytes"] + 2**20, run
    slope = (runs[-1]["peak_growth"] - runs[0]["peak_growth"]) / (runs[-1]["output_bytes"] - runs[0]["output_bytes"])
    assert slope < 1.25, runs


def test_the_travel_workloads_agree(tmp_path):
    pytest.importorskip("distributed")
    out = tmp_path / "travel.json"
    run_benchmark("travel.py", out)
    report = json.loads(out.read_text())
    assert report["files"]["agrees"]
    assert report["files"]["bytes"] <= 40 * report["files"]["nodes"]
    assert all(report["dask"][where]["agrees"] for where in ("in process", "1 workers", "2 workers"))


@pytest.mark.not_under_address_sanitizer(reason="IPOPT and the peers' own libraries are not built for the sanitizer")
def test_the_swing_up_agrees_with_casadi(tmp_path):
    pytest.importorskip("cyipopt")
    out = tmp_path / "swing_up.json"
    run_benchmark("swing_up.py", out)
    report = json.loads(out.read_text())
    for run_ in report["runs"]:
        assert run_["zarnik"]["success"], run_
        if "casadi" in run_:
            assert run_["casadi"]["agrees"], run_
    if "dense" in report:
        assert report["dense"]["agrees"]
