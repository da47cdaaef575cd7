"""steps_bench's other ways to the full pipeline's count (step by step, and
the names and table it writes for engine_bench) against the Matcher's own."""
import json

import pytest

import generate
import steps_bench
import talvik

SOURCE = "census" if generate.have_archives() else "sample"


@pytest.fixture(scope="module")
def names():
    return generate.generate_names(3000, generate.load_sources(SOURCE, fetch=False))


def count_in_steps(names, tmp_path):
    return steps_bench.full_in_steps(names)[0]


def count_dumped(names, tmp_path):
    steps_bench.dump(names, len(names), tmp_path)
    dumped = (tmp_path / f"names-{len(names)}.txt").read_text(encoding="utf-8").split("\n")
    table = json.loads((tmp_path / f"table-{len(names)}.json").read_text(encoding="utf-8"))
    return talvik.Matcher(dumped, table).count()


@pytest.mark.parametrize("way", [count_in_steps, count_dumped])
def test_the_full_pipeline_counts_alike(names, tmp_path, way):
    full = steps_bench.full(names)
    assert full > talvik.Matcher(names).count()  # the steps add pairs, so a lost step shows
    assert way(names, tmp_path) == full
