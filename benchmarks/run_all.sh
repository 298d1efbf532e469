#!/usr/bin/env bash
# Runs every benchmark and writes benchmarks/RESULTS.md with its plot.
#   run_all.sh BUILD_DIR   (tools/dev bench passes the release build)
# micrograd and JAX come from PyPI into a virtual environment under BUILD_DIR;
# that environment also sees Debian's PyTorch, CasADi and matplotlib.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
results="$here/results"
mkdir -p "$results"

venv="$build/bench-venv"
[[ -x $venv/bin/python ]] || python3.14 -m venv --system-site-packages "$venv"
"$venv/bin/python" -c 'import micrograd' 2>/dev/null || "$venv/bin/pip" install -q 'micrograd==0.1.0'
"$venv/bin/python" -c 'import jax' 2>/dev/null || "$venv/bin/pip" install -q 'jax==0.12.1'
export PYTHONPATH="$build/python"

min_time=0.2s
filter='.'
if [[ ${ZARNIK_BENCH_QUICK:-} == 1 ]]; then
    min_time=0.01s
    filter='/(M:100|K:1000|40)$'
fi
echo "C++ core: node creation, evaluate and backward beside the flat tape" >&2
"$build/benchmarks/core_benchmarks" --benchmark_min_time="$min_time" --benchmark_filter="$filter" \
    --benchmark_out="$results/core.json" --benchmark_out_format=json >&2

"$venv/bin/python" "$here/peers.py" shapes "$results/shapes.json"
"$venv/bin/python" "$here/peers.py" deep-all "$results/deep.json"
"$venv/bin/python" "$here/functions.py" run "$results/functions.json"
"$venv/bin/python" "$here/hessians.py" run "$results/hessians.json"
"$venv/bin/python" "$here/travel.py" run "$results/travel.json"
"$venv/bin/python" "$here/against_jax.py" run "$results/jax.json"
"$venv/bin/python" "$here/swing_up.py" run "$results/swing_up.json"
"$venv/bin/python" "$here/report.py" "$results" "$here/RESULTS.md"
echo "wrote $here/RESULTS.md" >&2
