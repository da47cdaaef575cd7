"""The plots of bench/results as files of the site (results/...), so that the
pages show what `make bench` last wrote without a copy kept in docs/."""
from pathlib import Path

from mkdocs.structure.files import File

RESULTS = Path(__file__).resolve().parents[2] / "bench" / "results"


def on_files(files, config):
    for png in sorted(RESULTS.rglob("*.png")):
        uri = "results/" + png.relative_to(RESULTS).as_posix()
        files.append(File.generated(config, uri, abs_src_path=str(png)))
    return files
