"""The core's folders are the stages a value goes through, lowest first: a
file includes headers of its own stage or of a lower one, by their path from
the repository's root, and no file of the core includes the public umbrella
header."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORE = ROOT / "symbolic"

# The stages, lowest first, with the public headers that declare each one.
STAGES = {
    "graph": ["vec.hpp", "small_value.hpp", "value.hpp", "factories.hpp", "expression.hpp", "vectors.hpp"],
    "approximate": [],
    "program": ["tape.hpp", "function.hpp"],
    "rows": ["rows.hpp"],
    "derivatives": ["derivatives.hpp", "sparsity.hpp", "problem.hpp"],
    "files": ["serialization.hpp"],
    "generate": ["generate.hpp"],
}
RANK = {stage: rank for rank, stage in enumerate(STAGES)}
PUBLIC = {f"symbolic/{header}": stage for stage, headers in STAGES.items() for header in headers}
UMBRELLA = "symbolic/symbolic.hpp"
GENERATED = "symbolic/version.hpp"
QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def stage_of(path: str) -> str | None:
    parts = path.split("/")
    if len(parts) == 3 and parts[1] in STAGES:
        return parts[1]
    return PUBLIC.get(path)


def core_files() -> list[str]:
    return sorted(p.relative_to(ROOT).as_posix() for p in CORE.rglob("*") if p.suffix in {".hpp", ".cpp"})


def test_every_file_of_the_core_has_a_stage():
    assert [path for path in core_files() if stage_of(path) is None and path != UMBRELLA] == []


def test_includes_run_down_the_stages_only():
    wrong = []
    for path in core_files():
        if path == UMBRELLA:
            continue
        stage = stage_of(path)
        for included in QUOTED.findall((ROOT / path).read_text()):
            target = stage_of(included)
            if included == GENERATED:
                continue
            if included == UMBRELLA:
                wrong.append(f"{path} includes the umbrella header")
            elif target is None or not (ROOT / included).is_file():
                wrong.append(f"{path} -> {included}: not a core file named from the root")
            elif stage is None or RANK[target] > RANK[stage]:
                wrong.append(f"{path} ({stage}) -> {included} ({target})")
            elif path in PUBLIC and included not in PUBLIC:
                wrong.append(f"{path} -> {included}: a public header includes an internal one")
    assert wrong == []
