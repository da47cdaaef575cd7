"""The ``talvik`` command: matching pairs and groups of a file of names.

Exit status: 0 done, 2 bad input or usage (one line on stderr, never a
traceback), 128 + the signal's number when stopped by SIGINT (Ctrl-C, 130),
SIGTERM (143) or SIGHUP (129), 141 the reader of standard output went away
(as for a command killed by SIGPIPE), 1 an internal error (a bug; set
TALVIK_TRACEBACK=1 to see the traceback). Every input is read and checked
before the first byte of output.

With ``--out`` a regular file appears whole or not at all: it is written
under a temporary name beside it (beside a symlink's target, for a link) and
renamed over it at the end, keeping an existing file's mode; the temporary
file is removed on any error or signal. A FIFO, a device, /dev/stdout and
anything else that is not a regular file is written in place. A saved index
(``talvik index build -o``, ``talvik index add``) is written the same way,
but only ever to a regular file: it is mapped from one.
"""

from __future__ import annotations

import argparse
import dataclasses
import codecs
import csv
import importlib
import io
import json
import os
import re
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any, Protocol

import numpy as np
from numpy.typing import NDArray

from . import __version__
from ._dedupe import DEFAULT_SPLIT_ABOVE, ColumnTable, _frame, dedupe, link
from ._explain import explain
from ._matcher import Matcher
from ._nicknames import nicknames

__all__ = ["InputError", "main"]

FORMATS = ("csv", "jsonl", "parquet")
INPUT_FORMATS = ("text", "csv", "tsv", "parquet")
_OUTPUT_SUFFIXES = {"": "csv", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet",
                    ".pq": "parquet"}
_PARQUET_SUFFIXES = (".parquet", ".pq")
_CSV_SUFFIXES = (".csv", ".tsv", ".tab")
# Lines looked at to tell whether text is a table.
_SNIFF_LINES = 300
_STDIN = "<stdin>"
_CHUNK = 1_000_000


class InputError(Exception):
    """Input the command cannot use, reported as ``where:line: message``."""

    def __init__(self, where: str, message: str, line: int | None = None) -> None:
        super().__init__(message)
        self.where, self.message, self.line = where, message, line

    def __str__(self) -> str:
        at = self.where if self.line is None else f"{self.where}:{self.line}"
        return f"{at}: {self.message}"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        with _stopped_by_signals():
            return int(args.run(args))
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except _Stopped as e:
        _say(f"stopped by {e.signal.name}")
        return 128 + e.signal.value
    except BrokenPipeError:
        _quiet_stdout()
        return 141
    except (InputError, OSError, UnicodeError, MemoryError) as e:
        _say(f"error: {_describe(e)}")
        return 2
    except Exception as e:
        if os.environ.get("TALVIK_TRACEBACK"):
            raise
        _say(f"internal error: {type(e).__name__}: {e} (TALVIK_TRACEBACK=1 shows where)")
        return 1


class _Stopped(BaseException):
    """SIGTERM or SIGHUP, raised where the main thread is (a search checks
    for signals as it goes) so that the temporary output is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signal = signal.Signals(signum)


_STOPPING = (signal.SIGTERM, signal.SIGHUP)
# Signals that arrived while a temporary file was being made or removed,
# raised once that is done. A signal mask would not do: any thread may take
# the signal (the search's workers, a progress bar's monitor), and Python
# runs the handler in the main thread all the same.
_held: list[int] = []
_holding = threading.local()


def _on_signal(signum: int, frame: object) -> None:
    if getattr(_holding, "depth", 0):
        _held.append(signum)
        return
    _raise_for(signum)


def _raise_for(signum: int) -> None:
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise _Stopped(signum)


@contextmanager
def _stopped_by_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP raise _Stopped, and Ctrl-C KeyboardInterrupt, for
    the length of a run. A signal that is ignored (nohup, a background job)
    or handled by the program that called main() is left so."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for sig, default in ((signal.SIGINT, signal.default_int_handler), *((s, signal.SIG_DFL) for s in _STOPPING)):
        if signal.getsignal(sig) == default:
            previous[sig] = signal.signal(sig, _on_signal)
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        _held.clear()


@contextmanager
def _signals_held() -> Iterator[None]:
    """Signals wait while a temporary file is made or removed, so that none
    leaves it behind by arriving in between; the first is raised after."""
    _holding.depth = getattr(_holding, "depth", 0) + 1
    try:
        yield
    finally:
        _holding.depth -= 1
        if not _holding.depth and _held:
            signum = _held[0]
            _held.clear()
            _raise_for(signum)


def _say(message: str) -> None:
    try:
        print(f"talvik: {message}", file=sys.stderr, flush=True)
    except OSError:  # stderr closed too: the status is all that is left
        pass


def _describe(e: BaseException) -> str:
    if isinstance(e, MemoryError):
        return f"out of memory{': ' + str(e) if str(e) else ''}"
    if isinstance(e, OSError) and e.strerror:
        where = e.filename if e.filename is not None else "output"
        return f"{where}: {e.strerror}"
    return str(e)


def _quiet_stdout() -> None:
    # The interpreter flushes stdout once more at exit; point it at
    # /dev/null so that flush cannot fail and print a traceback.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


# --- the command line -------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="talvik",
        description="Find every pair of matching names in a list, where tradeouts (nicknames, "
        "initials, spelling variants) let one word stand for another.",
        epilog="Run 'talvik COMMAND --help' for the options of each command.",
    )
    parser.add_argument("--version", action="version", version=f"talvik {__version__}")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)
    pairs = commands.add_parser(
        "pairs",
        help="write every matching pair (i, j), i < j, as row indices",
        description="Write every matching pair of names as two row indices (from 0), the first "
        "smaller, ordered by the first then the second: csv 'first,second', with --names also "
        "'first_name,second_name'.",
    )
    _search_options(pairs, "the names of both rows as well")
    pairs.set_defaults(run=_pairs)
    groups = commands.add_parser(
        "groups",
        help="write a group label for every input row",
        description="Write, for every input row, its group: the smallest row index it is linked "
        "to through any chain of matches (its own index when it matches nothing). csv 'row,group', "
        "with --names also 'name'.",
    )
    _search_options(groups, "the row's name as well")
    groups.set_defaults(run=_groups)
    explain_ = commands.add_parser(
        "explain",
        help="show why two names match or not, word by word",
        description="Show how the rule judges two names, word by word.",
    )
    explain_.add_argument("name1", metavar="NAME1")
    explain_.add_argument("name2", metavar="NAME2")
    _tradeout_options(explain_)
    _step_options(explain_)
    explain_.set_defaults(run=_explain)
    _index_commands(commands)
    _table_commands(commands)
    return parser


def _index_commands(commands: Any) -> None:
    index = commands.add_parser(
        "index",
        help="build a saved index of names, look names up in it, add names to it",
        description="A saved index holds names and their tradeouts, indexed once: 'lookup' then "
        "finds the indexed names that names match without indexing anything again.",
    )
    actions = index.add_subparsers(metavar="ACTION", required=True)
    for name, run, names, summary, description in (
        ("build", _index_build, "the names to index", "index a file of names and save the index",
         "Index the names of NAMES, with their tradeouts, into the file INDEX. INDEX is written whole under "
         "another name and renamed over any file there at the end, never left half written."),
        ("lookup", _index_lookup, "the names to look up",
         "write every (query row, indexed row) where a query matches an indexed name",
         "Write every pair of a name of QUERIES and an indexed name that match, as two row indices (from 0), "
         "ordered by the first then the second: csv 'query,indexed', with --names also "
         "'query_name,indexed_name'. The index's own tradeouts apply."),
        ("add", _index_add, "the names to add", "append the names of a file to an index and save it back",
         "Append the names of NAMES to INDEX, after the names it holds (they take the next row indices), and "
         "save it back: the new file is written whole under another name and renamed over INDEX at the end, "
         "so a failure leaves INDEX as it was."),
    ):
        action = actions.add_parser(name, help=summary, description=description)
        if name != "build":
            action.add_argument("index", metavar="INDEX", help="a file 'talvik index build' wrote")
        _input_options(action, "QUERIES" if name == "lookup" else "NAMES", f"{names}: ")
        if name == "lookup":
            _output_options(action, "the query's name and the indexed name as well")
        else:
            _threads_option(action)
        if name == "build":
            _tradeout_options(action)
            action.add_argument("--out", "-o", metavar="INDEX", required=True, help="the index file to write")
        action.set_defaults(run=run)


def _search_options(parser: argparse.ArgumentParser, names_help: str) -> None:
    _input_options(parser)
    _tradeout_options(parser)
    _step_options(parser)
    _output_options(parser, names_help)


def _input_options(parser: argparse.ArgumentParser, metavar: str = "INPUT", what: str = "") -> None:
    """The file of names and how to read it."""
    parser.add_argument(
        "input",
        metavar=metavar,
        help=f"{what}a text file of one name a line (UTF-8), a CSV/TSV file with a header (a field may be of "
        "any length), a Parquet file (needs pyarrow), or - for standard input",
    )
    parser.add_argument(
        "--input-format",
        choices=INPUT_FORMATS,
        help=f"what {metavar} holds (default: Parquet by its first bytes, else from the suffix: .csv, .tsv/.tab, "
        ".parquet/.pq; else csv when --column is given, else text, one name a line); say it for standard "
        "input and for an unusual suffix",
    )
    parser.add_argument(
        "--column",
        metavar="NAME",
        action="append",
        help="the column of names in a CSV/TSV or Parquet file; given more than once, the columns are "
        "joined with a space into one name in the order given (--column first --column middle --column "
        "last), an empty or null part skipped",
    )


def _output_options(parser: argparse.ArgumentParser, names_help: str) -> None:
    """Where and how the rows are written, and the search's threads and progress bar."""
    parser.add_argument(
        "--out",
        "-o",
        metavar="FILE",
        help="write here instead of standard output: a file is replaced whole at the end (through a "
        "symlink, its target), never left half written; a FIFO or device is written in place",
    )
    parser.add_argument(
        "--format",
        choices=FORMATS,
        help="output format (default: from the --out suffix: .csv or none, .jsonl/.ndjson, .parquet/.pq; "
        "any other suffix needs --format)",
    )
    _threads_option(parser)
    parser.add_argument("--names", action="store_true", help=f"write {names_help}")
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        help="show a progress bar on stderr (default: when stderr is a terminal)",
    )


def _threads_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threads", type=_positive, metavar="N", help="worker threads (default: all processors)")


def _tradeout_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument(
        "--tradeouts",
        metavar="FILE",
        help="JSON object of word -> list of words, or CSV/TSV rows 'word,alternative' (one way)",
    )
    group.add_argument("--nicknames", action="store_true", help="the bundled English nicknames, both ways")


def _step_options(parser: argparse.ArgumentParser) -> None:
    """The Matcher's steps before the rule: --normalize, --typos N, --initials."""
    group = parser.add_argument_group("steps before matching")
    group.add_argument(
        "--normalize",
        action="store_true",
        help="match the names (and the tradeouts' words) case folded, accents and punctuation gone, titles "
        "and suffixes dropped, as talvik.normalize gives them; the output still shows the names as given",
    )
    group.add_argument(
        "--typos",
        type=_edit_count,
        default=0,
        metavar="N",
        help="0, 1 or 2: let words of the names stand for each other when that many spelling edits apart "
        "(words of 3 or more characters for one edit, 7 or more for two; default 0)",
    )
    group.add_argument(
        "--initials",
        action="store_true",
        help="let an initial and a word it begins stand for each other, both ways ('J Smith' ~ 'John Smith')",
    )


def _edit_count(text: str) -> int:
    if text.strip() not in ("0", "1", "2"):
        raise argparse.ArgumentTypeError(f"must be 0, 1 or 2, not {text!r}")
    return int(text)


def _steps(args: argparse.Namespace) -> dict[str, Any]:
    return {"normalize": args.normalize, "typos": args.typos, "initials": args.initials}


def _positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {n}")
    return n


# --- the commands -----------------------------------------------------------


def _pairs(args: argparse.Namespace) -> int:
    fmt, target, tradeouts, names = _inputs(args)
    columns = ["first", "second"] + (["first_name", "second_name"] if args.names else [])
    # The index is built before the output is opened: the native side's
    # word on the tradeouts comes before any byte of output.
    matcher = _matcher(names, tradeouts, args)
    with _output(target, fmt) as out:
        writer = _writer(fmt, out, columns)
        labels = writer.encode_names(names.labels()) if args.names else None
        for chunk in matcher.iter_pairs(_CHUNK, progress=_progress(args)):
            first, second = chunk[:, 0], chunk[:, 1]
            writer.write([first, second] if labels is None else [first, second, labels[first], labels[second]])
        writer.close()
    return 0


def _groups(args: argparse.Namespace) -> int:
    fmt, target, tradeouts, names = _inputs(args)
    columns = ["row", "group"] + (["name"] if args.names else [])
    matcher = _matcher(names, tradeouts, args)
    with _output(target, fmt) as out:
        groups = matcher.groups(progress=_progress(args))
        writer = _writer(fmt, out, columns)
        labels = writer.encode_names(names.labels()) if args.names else None
        for start in range(0, len(groups), _CHUNK):
            rows = np.arange(start, min(start + _CHUNK, len(groups)), dtype=np.int32)
            writer.write([rows, groups[rows]] + ([] if labels is None else [labels[rows]]))
        writer.close()
    return 0


def _explain(args: argparse.Namespace) -> int:
    steps = _steps(args)
    if any(steps.values()):
        # The pair as a Matcher of the two names with these steps judges it.
        try:
            pair = Matcher([args.name1, args.name2], _tradeouts(args), threads=1, **steps)
        except (TypeError, ValueError) as e:  # a name that is not UTF-8 text, say
            raise InputError("explain", str(e)) from None
        account = pair.explain(0, 1)
        # Scores weigh words by the list they come from; two names are no list.
        words1 = tuple(dataclasses.replace(w, score=None) for w in account.words1)
        words2 = tuple(dataclasses.replace(w, score=None) for w in account.words2)
        text = str(dataclasses.replace(account, words1=words1, words2=words2, score=None))
    else:
        text = str(explain(args.name1, args.name2, _tradeouts(args)))
    sys.stdout.write(text + "\n")
    sys.stdout.flush()
    return 0


def _inputs(args: argparse.Namespace) -> tuple[str, _Target | None, dict[str, list[str]] | None, NameColumn]:
    """The output format and where it goes, the tradeouts and the names,
    checked in the order that reports a mistake soonest."""
    if args.input == "-" and args.tradeouts == "-":
        raise InputError(_STDIN, "INPUT and --tradeouts cannot both be standard input")
    fmt = _format(args)
    target = None if args.out is None else _target(args.out)
    tradeouts = _tradeouts(args)
    return fmt, target, tradeouts, read_names(args.input, args.column, args.input_format)


def _matcher(names: NameColumn, tradeouts: dict[str, list[str]] | None, args: argparse.Namespace) -> Matcher:
    try:
        return Matcher(names.values, tradeouts, threads=args.threads, **_steps(args))
    except (TypeError, ValueError) as e:
        # Names and tradeouts were checked as they were read; what is left
        # is the package's own word on the tradeouts.
        raise InputError(args.tradeouts or "tradeouts", str(e)) from None


def _progress(args: argparse.Namespace) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _format(args: argparse.Namespace) -> str:
    fmt: str | None = args.format
    if fmt is None:
        suffix = os.path.splitext(args.out or "")[1]
        fmt = _OUTPUT_SUFFIXES.get(suffix.lower())
        if fmt is None:
            raise InputError(args.out, f"cannot tell the format from {suffix!r}: give --format {', '.join(FORMATS[:-1])} "
                             f"or {FORMATS[-1]}")
    if fmt == "parquet":
        _pyarrow("parquet", args.out or "output")  # before the search, not after it
        if args.out is None and sys.stdout.isatty():
            raise InputError("output", "will not write Parquet to a terminal: give --out FILE")
    return fmt


def _tradeouts(args: argparse.Namespace) -> dict[str, list[str]] | None:
    if args.nicknames:
        return nicknames()
    if args.tradeouts is not None:
        return read_tradeouts(args.tradeouts)
    return None


# --- the saved index --------------------------------------------------------


# Steps a saved index does not keep yet: refused, not dropped, should the
# options build shares with `pairs` ever offer them.
_UNSAVED_STEPS = ("normalize", "typos", "initials")


def _index_build(args: argparse.Namespace) -> int:
    asked = [f"--{step}" for step in _UNSAVED_STEPS if getattr(args, step, None)]
    if asked:
        raise InputError(args.out, f"a saved index keeps no {' or '.join(asked)} step yet: build it without, "
                         "from names and tradeouts prepared with talvik.normalize, variants or initials")
    target = _index_target(args.out)
    tradeouts = _tradeouts(args)
    names = read_names(args.input, args.column, args.input_format)
    try:
        matcher = Matcher(names.values, tradeouts, threads=args.threads)
    except (TypeError, ValueError) as e:
        raise InputError(args.tradeouts or "tradeouts", str(e)) from None
    _save_index(matcher, target)
    return 0


def _index_lookup(args: argparse.Namespace) -> int:
    fmt = _format(args)
    matcher = _open_index(args.index, args.threads)
    target = None if args.out is None else _target(args.out)
    queries = read_names(args.input, args.column, args.input_format)
    pairs = matcher.lookup(queries.values, progress=_progress(args))
    columns = ["query", "indexed"] + (["query_name", "indexed_name"] if args.names else [])
    with _output(target, fmt) as out:
        writer = _writer(fmt, out, columns)
        labels = indexed = None
        if args.names:
            labels = writer.encode_names(queries.labels())
            # Only the indexed names some query matched are read back from the index.
            rows, where = np.unique(pairs[:, 1], return_inverse=True)
            texts = np.empty(len(rows), dtype=object)
            texts[:] = matcher._whole().texts(tuple(rows.tolist()))
            indexed = writer.encode_names(texts)[where]
        for start in range(0, len(pairs), _CHUNK):
            part = slice(start, start + _CHUNK)
            query, found = pairs[part, 0], pairs[part, 1]
            more = [] if labels is None or indexed is None else [labels[query], indexed[part]]
            writer.write([query, found, *more])
        writer.close()
    return 0


def _index_add(args: argparse.Namespace) -> int:
    target = _index_target(args.index)
    matcher = _open_index(args.index, args.threads)
    names = read_names(args.input, args.column, args.input_format)
    try:
        matcher.add(names.values)
    except (TypeError, ValueError) as e:
        raise InputError(names.where, str(e)) from None
    _save_index(matcher, target)
    return 0


def _open_index(path: str, threads: int | None) -> Matcher:
    """The saved index at ``path``, checked whole before any output is made."""
    if path == "-":
        raise InputError(_STDIN, "a saved index is mapped from a file, not read from standard input")
    try:
        st = os.stat(path)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    if stat.S_ISDIR(st.st_mode):
        raise InputError(path, "is a folder, not a saved index")
    if not stat.S_ISREG(st.st_mode):  # a FIFO would block the open, a device is no index
        raise InputError(path, "is not a regular file; a saved index is mapped from one")
    try:
        return Matcher.open(path, threads=threads, verify=True)
    except ValueError as e:
        text = str(e)
        named = f"{path!r}: "  # the message names the file too; once is enough
        raise InputError(path, text[len(named):] if text.startswith(named) else text) from None


def _index_target(path: str) -> _Target:
    """Where an index is saved: a regular file (through a symlink, its
    target) or a new one; never written in place."""
    target = _target(path)
    if target.in_place:
        raise InputError(path, "is not a regular file; an index is saved whole to a file and renamed into place")
    return target


def _save_index(matcher: Matcher, target: _Target) -> None:
    """Saves over a temporary file beside the target and renames it over the
    target, leaving the target as it was on any failure or signal."""
    with _beside(target) as f:
        try:
            matcher.save(f.name)  # itself atomic: written beside f.name, synced and renamed over it
        except ValueError as e:  # what a saved index cannot carry yet
            raise InputError(target.path, str(e)) from None
        fd = os.open(f.name, os.O_RDONLY)  # the file save() made, not the one f holds
        try:
            _take_over(fd, target)
        finally:
            os.close(fd)
    _sync_folder(os.path.dirname(target.real))


def _sync_folder(directory: str) -> None:
    # The rename is durable once the folder is flushed; a folder that cannot
    # be opened for that (some file systems) keeps the new file all the same.
    try:
        fd = os.open(directory or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# --- tables: dedupe and link ------------------------------------------------


def _table_commands(commands: Any) -> None:
    dedupe_ = commands.add_parser(
        "dedupe",
        help="write, for every row of a table, the cluster of rows that name the same person",
        description="Write, for every row of INPUT, its cluster: csv 'ID,cluster,cluster_size,score' (ID is "
        "the --id column, else 'row', the row's position from 0), where cluster is the position of the "
        "cluster's first row and score the best score linking the row to its cluster (empty for a row alone).",
    )
    dedupe_.add_argument("input", metavar="INPUT", help=_TABLE_HELP)
    dedupe_.add_argument("--id", metavar="COLUMN", help="the column that identifies each row, written out "
                         "instead of the row's position; no value may be missing or repeated")
    _table_options(dedupe_)
    dedupe_.add_argument("--split-above", type=_positive, default=DEFAULT_SPLIT_ABOVE, metavar="N",
                         help="refuse a join that would make a cluster of more than N rows "
                         f"(default {DEFAULT_SPLIT_ABOVE})")
    dedupe_.set_defaults(run=_dedupe)
    link_ = commands.add_parser(
        "link",
        help="write the pairs of a row of one table and a row of another that name the same person",
        description="Write every pair of a row of LEFT and a row of RIGHT that name the same person: csv "
        "'left_ID,right_ID,score' (left_row and right_row, positions from 0, without --left-id and "
        "--right-id), ordered by the left row, then the right.",
    )
    link_.add_argument("left", metavar="LEFT", help=_TABLE_HELP)
    link_.add_argument("right", metavar="RIGHT", help=_TABLE_HELP)
    link_.add_argument("--left-id", metavar="COLUMN", help="the column of LEFT that identifies each row")
    link_.add_argument("--right-id", metavar="COLUMN", help="the column of RIGHT that identifies each row")
    _table_options(link_)
    link_.set_defaults(run=_link)


_TABLE_HELP = "a CSV/TSV file with a header, a Parquet file (needs pyarrow), or - for standard input"


def _table_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--input-format", choices=INPUT_FORMATS[1:],
                        help="what the input holds (default: Parquet by its first bytes, else from the suffix, "
                        "else csv)")
    parser.add_argument("--column", metavar="NAME", action="append", required=True,
                        help="a column of names; given more than once, the columns are joined with a space "
                        "into one name in the order given, an empty part skipped")
    parser.add_argument("--block-on", metavar="COLUMN", action="append",
                        help="a column that must agree exactly for two rows to be compared (may be given more "
                        "than once); a row with it empty is compared with no other")
    parser.add_argument("--tradeouts", metavar="FILE", help="more tradeouts, as for 'talvik pairs'")
    steps = parser.add_argument_group("matching (each on by default)")
    steps.add_argument("--nicknames", action=argparse.BooleanOptionalAction, default=True,
                       help="the bundled English nicknames")
    steps.add_argument("--normalize", action=argparse.BooleanOptionalAction, default=True,
                       help="ignore case, accents, punctuation, titles and suffixes")
    steps.add_argument("--typos", type=_edit_count, default=1, metavar="N",
                       help="words this many spelling edits apart count as one (default 1)")
    steps.add_argument("--initials", action=argparse.BooleanOptionalAction, default=True,
                       help="an initial stands for a word it begins")
    steps.add_argument("--single-words", action=argparse.BooleanOptionalAction, default=True,
                       help="pair rows whose whole name is the same rare word (a missing given name)")
    steps.add_argument("--min-score", type=_score, metavar="SCORE",
                       help="link: the least score a pair needs (default: the package's DEFAULT_MIN_SCORE); "
                       "dedupe: the least mean score between two clusters that joins them (default: "
                       "DEFAULT_CLUSTER_SCORE)")
    parser.add_argument("--out", "-o", metavar="FILE", help="write here instead of standard output, replaced "
                        "whole at the end, as for 'talvik pairs'")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: from the --out suffix: "
                        ".csv or none, .jsonl/.ndjson, .parquet/.pq; any other suffix needs --format)")
    parser.add_argument("--threads", type=_positive, metavar="N", help="worker threads (default: all processors)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        help="show a progress bar on stderr (default: when stderr is a terminal)")


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value != value:
        raise argparse.ArgumentTypeError("not a number: nan")
    return value


def _dedupe(args: argparse.Namespace) -> int:
    fmt, target, tradeouts = _table_setup(args, [args.input])
    frame = _read_frame(args.input, args.column, [args.id, *(args.block_on or [])], args.input_format)
    result = _table_call([frame], lambda: dedupe(
        frame, args.column, id=args.id, block_on=args.block_on, split_above=args.split_above,
        **_match_options(args, tradeouts)))
    with _output(target, fmt) as out:
        _write_table(result, fmt, out)
    return 0


def _link(args: argparse.Namespace) -> int:
    fmt, target, tradeouts = _table_setup(args, [args.left, args.right])
    frames = [_read_frame(path, args.column, [id, *(args.block_on or [])], args.input_format)
              for path, id in ((args.left, args.left_id), (args.right, args.right_id))]
    result = _table_call(frames, lambda: link(
        frames[0], frames[1], args.column, left_id=args.left_id, right_id=args.right_id, block_on=args.block_on,
        **_match_options(args, tradeouts)))
    with _output(target, fmt) as out:
        _write_table(result, fmt, out)
    return 0


def _table_setup(args: argparse.Namespace, inputs: list[str]) -> tuple[str, _Target | None, Any]:
    """The output format, where it goes and the extra tradeouts, checked before any table is read."""
    if [*inputs, args.tradeouts].count("-") > 1:
        raise InputError(_STDIN, "only one input can be standard input")
    fmt = _format(args)
    target = None if args.out is None else _target(args.out)
    return fmt, target, None if args.tradeouts is None else read_tradeouts(args.tradeouts)


def _match_options(args: argparse.Namespace, tradeouts: Any) -> dict[str, Any]:
    return {"tradeouts": tradeouts, "nicknames": args.nicknames, "normalize": args.normalize,
            "typos": args.typos, "initials": args.initials, "single_words": args.single_words,
            "min_score": args.min_score,
            "threads": args.threads, "progress": _progress(args)}


def _read_frame(path: str, names: list[str], others: list[str | None], fmt: str | None) -> Any:
    """The columns a table command uses, each read once, as a table ``dedupe`` takes."""
    wanted = list(dict.fromkeys([*names, *(c for c in others if c is not None)]))
    table, where = read_table(path, wanted, fmt)
    if isinstance(table, dict):
        return ColumnTable(table, f"{where}: ")
    frame = _frame(table, "table")
    frame.label = f"{where}: "
    return frame


def _table_call(frames: list[Any], call: Any) -> Any:
    """``call()``, its word on a table's columns as an InputError naming the file."""
    try:
        return call()
    except (KeyError, TypeError, ValueError) as e:
        message = str(e.args[0]) if isinstance(e, KeyError) and e.args else str(e)  # without KeyError's quotes
        for frame in frames:
            if message.startswith(frame.label):
                raise InputError(frame.label[:-2], message[len(frame.label):]) from None
        raise InputError("input", message) from None


def _write_table(result: Any, fmt: str, out: IO[bytes]) -> None:
    """A result of dedupe or link: a dict of columns, or a pyarrow Table."""
    columns = result if isinstance(result, dict) else {n: result.column(n) for n in result.column_names}
    if fmt == "parquet":
        pa, pq = _pyarrow("", "output"), _pyarrow("parquet", "output")
        sink = pa.PythonFile(out, mode="w")
        pq.write_table(pa.table({str(name): values for name, values in columns.items()}), sink)
        sink.flush()
        return
    writer = _TextWriter(out, [str(name) for name in columns], jsonl=fmt == "jsonl")
    texts = [_text_column(values, fmt == "jsonl") for values in columns.values()]
    rows = len(texts[0]) if texts else 0
    for start in range(0, rows, _CHUNK):
        writer.write([column[start : start + _CHUNK] for column in texts])
    writer.close()


def _text_column(values: Any, jsonl: bool) -> NDArray[Any]:
    """A column as what a line of CSV or JSON shows for each value."""
    if isinstance(values, np.ndarray) and values.dtype.kind == "f":
        # The shortest text that reads back as the same float32; a missing score is empty (null).
        blank = "null" if jsonl else ""
        out = np.empty(len(values), dtype=object)
        out[:] = [blank if x != x else str(x) for x in values.astype(np.float32)]
        return out
    if isinstance(values, np.ndarray) and values.dtype.kind in "iu":
        return values
    items = values.to_pylist() if hasattr(values, "to_pylist") else list(values)
    out = np.empty(len(items), dtype=object)
    if jsonl:
        out[:] = [json.dumps(v, ensure_ascii=False) if isinstance(v, (str, int, float)) and v is not None
                  else json.dumps(str(v), ensure_ascii=False) for v in items]
    else:
        out[:] = [_csv_field(v if isinstance(v, str) else str(v)) for v in items]
    return out


# --- reading names ----------------------------------------------------------


@dataclass(frozen=True, slots=True)
class NameColumn:
    """The names read from INPUT: a list of str, or a pyarrow string array
    (None or null for a missing name, which never matches)."""

    values: Any
    where: str

    def labels(self) -> NDArray[Any]:
        """The names as a NumPy object array, for taking by index."""
        if isinstance(self.values, list):
            out = np.empty(len(self.values), dtype=object)
            out[:] = self.values
            return out
        return np.asarray(self.values.to_numpy(zero_copy_only=False), dtype=object)


def read_names(path: str, columns: Sequence[str] | None, fmt: str | None = None) -> NameColumn:
    """The names of a text, CSV/TSV or Parquet file, or of standard input
    (``-``); ``fmt`` (one of INPUT_FORMATS) says which, else the file's first
    bytes and suffix do. Several ``columns`` are joined into one name."""
    where, source = _input(path, columns, fmt)
    if isinstance(source, _CsvText):
        return NameColumn(_csv_names(source.text, where, columns, source.delimiter), where)
    if isinstance(source, _Parquet):
        return NameColumn(_parquet_names(source.file, where, columns), where)
    names = _text_names(source)
    if fmt is None:
        _warn_if_table(names, where)
    return NameColumn(names, where)


def read_table(path: str, columns: Sequence[str], fmt: str | None = None) -> tuple[Any, str]:
    """The ``columns`` of a CSV/TSV or Parquet file (``-`` for standard
    input), and where they came from: a pyarrow Table from Parquet, a dict
    of lists of str from CSV (an empty field is None)."""
    if fmt == "text":
        raise InputError(_STDIN if path == "-" else path, "a table needs csv, tsv or parquet input, not text")
    where, source = _input(path, columns, fmt)
    if isinstance(source, _CsvText):
        table = _csv_columns(source.text, where, columns, source.delimiter)
        return {c: [v or None for v in values] for c, values in zip(columns, table)}, where
    if isinstance(source, _Parquet):
        return _parquet_table(source.file, where, columns), where
    raise InputError(where, "--column needs csv, tsv or parquet input, not text")  # never: columns are given


@dataclass(frozen=True, slots=True)
class _CsvText:
    text: str
    delimiter: str


@dataclass(frozen=True, slots=True)
class _Parquet:
    file: Any  # a path, or a pyarrow BufferReader of the bytes read


def _input(path: str, columns: Sequence[str] | None, fmt: str | None) -> tuple[str, _CsvText | _Parquet | str]:
    """Where INPUT is, and what it holds: CSV/TSV text, a Parquet file, or
    plain text, one name a line."""
    where = _STDIN if path == "-" else path
    if columns is not None and len(set(columns)) < len(columns):
        twice = next(c for c in columns if columns.count(c) > 1)
        raise InputError(where, f"column {twice!r} given twice")
    if fmt == "text" and columns is not None:
        raise InputError(where, "--column needs csv, tsv or parquet input, not text")
    suffix = "" if path == "-" else os.path.splitext(path)[1].lower()
    if fmt == "parquet" or (fmt is None and suffix in _PARQUET_SUFFIXES):
        if path != "-":  # read by pyarrow in place
            return where, _Parquet(_checked_file(path))
    # Read once: a pipe (<(...), a FIFO) gives its bytes only once.
    data = sys.stdin.buffer.read() if path == "-" else _read_file(path)
    if fmt == "parquet" or (fmt is None and data.startswith(b"PAR1")):
        return where, _Parquet(_pyarrow("", where).BufferReader(data))
    text = _decode(data, where)
    if fmt == "csv" or fmt == "tsv":
        return where, _CsvText(text, "," if fmt == "csv" else "\t")
    if fmt is None and (columns is not None or suffix in _CSV_SUFFIXES):
        return where, _CsvText(text, _delimiter(suffix, text))
    return where, text


def _checked_file(path: str) -> str:
    if os.path.isdir(path):
        raise InputError(path, "is a folder, not a file")
    return path


def _read_file(path: str) -> bytes:
    with open(_checked_file(path), "rb") as f:
        return f.read()


_HEADER_FIELD = re.compile(r"[A-Za-z_][A-Za-z0-9_ .-]{0,63}")
# Column names a table of people tends to have.
_HEADER_WORDS = {"id", "name", "names", "first", "last", "middle", "given", "family", "surname", "forename",
                 "firstname", "lastname", "fullname", "first name", "last name", "full name", "full_name",
                 "first_name", "last_name", "given_name", "family_name", "middle_name", "person", "key"}


def _warn_if_table(lines: list[str], where: str) -> None:
    """Text read a name a line, though it looks like CSV or TSV: said on
    stderr, since reading a table as names gives pairs that mean nothing."""
    head = [line for line in lines[:_SNIFF_LINES] if line]
    for delimiter, kind, mark in ((",", "CSV", "comma"), ("\t", "TSV", "tab")):
        counts = {line.count(delimiter) for line in head}
        if len(head) >= 2 and len(counts) == 1 and counts != {0}:
            k = counts.pop()
            why = f"each of the {len(head)} lines looked at holds {k} {mark}{'s' if k > 1 else ''}"
        elif head and _looks_like_header(head[0], delimiter):
            why = f"its first line, {head[0]!r}, looks like a header"
        else:
            continue
        _say(f"warning: {where} looks like {kind} ({why}) but was read as text, one name a line; "
             f"say --input-format {kind.lower()} --column NAME to read it as a table, or --input-format text")
        return


def _looks_like_header(line: str, delimiter: str) -> bool:
    fields = [f.strip() for f in line.split(delimiter)]
    if len(fields) < 2 or not all(_HEADER_FIELD.fullmatch(f) for f in fields):
        return False
    # "Lee, Ann" is a name; "first,last", "id,name" and "person_id,Name" are not.
    return any(f.lower() in _HEADER_WORDS or f.islower() or "_" in f for f in fields)


def _decode(data: bytes, where: str) -> str:
    """UTF-8 text without a byte order mark; a bad byte is named by line and column."""
    skip = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    if len(data) == skip:
        raise InputError(where, "the file is empty")
    try:
        return str(memoryview(data)[skip:], "utf-8")
    except UnicodeDecodeError as e:
        at = skip + e.start
        line_start = data.rfind(b"\n", 0, at) + 1
        line = data.count(b"\n", 0, at) + 1
        raise InputError(where, f"not UTF-8: byte 0x{data[at]:02x} at column {at - line_start + 1}", line) from None


def _text_names(text: str) -> list[str]:
    # Cut at "\n" alone, so that rows stay line numbers (str.splitlines
    # also cuts at form feeds and other separators a name may hold).
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def _delimiter(suffix: str, text: str) -> str:
    if suffix in (".tsv", ".tab"):
        return "\t"
    if suffix == ".csv":
        return ","
    header = text[: text.find("\n")] if "\n" in text else text
    return max((",", "\t", ";", "|"), key=header.count) if any(c in header for c in ",\t;|") else ","


def _csv_names(text: str, where: str, columns: Sequence[str] | None, delimiter: str) -> list[str]:
    parts = _csv_columns(text, where, columns, delimiter)
    if len(parts) == 1:
        return parts[0]
    return [" ".join(part for part in row if part) for row in zip(*parts)]


def _csv_columns(text: str, where: str, columns: Sequence[str] | None, delimiter: str) -> list[list[str]]:
    """The fields of ``columns``, a list per column in that order."""
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True)
    try:
        with _no_field_limit():
            header = next(reader, None)
            if header is None:
                raise InputError(where, "the file is empty")
            indices = [_pick_column(header, c, where, reader.line_num) for c in _column_list(columns)]
            last = max(indices)
            fields: list[list[str]] = [[] for _ in indices]
            for row in reader:
                if not row:  # a blank line is no record
                    continue
                if len(row) <= last:
                    missing = next(header[k] for k in indices if k >= len(row))
                    raise InputError(where, f"{len(row)} fields, none for column {missing!r}", reader.line_num)
                for values, k in zip(fields, indices):
                    values.append(row[k])
    except csv.Error as e:
        raise InputError(where, f"bad CSV: {e}", reader.line_num) from None
    if not fields[0]:
        raise InputError(where, "no names below the header", reader.line_num)
    return fields


def _unlimited(rows: Iterator[list[str]]) -> Iterator[list[str]]:
    with _no_field_limit():
        yield from rows


@contextmanager
def _no_field_limit() -> Iterator[None]:
    """The csv module refuses a field over 128 KiB by default; a name (or a
    column beside it) may be longer, so the limit is raised as far as the
    module allows while a file is read."""
    limit = sys.maxsize
    while True:
        try:
            before = csv.field_size_limit(limit)
            break
        except OverflowError:  # where a C long is narrower than sys.maxsize
            limit //= 2
    try:
        yield
    finally:
        csv.field_size_limit(before)


def _column_list(columns: Sequence[str] | None) -> list[str | None]:
    """The columns asked for; [None] when none was, for a file of one column."""
    return list(columns) if columns else [None]


def _pick_column(header: Sequence[str], column: str | None, where: str, line: int | None) -> int:
    listed = ", ".join(map(repr, header))
    if column is None:
        if len(header) == 1:
            return 0
        raise InputError(where, f"choose the column of names with --column: {listed}", line)
    count = list(header).count(column)
    if count == 0:
        raise InputError(where, f"no column {column!r}; the columns are {listed}", line)
    if count > 1:
        raise InputError(where, f"column {column!r} appears {count} times", line)
    return list(header).index(column)


def _parquet_names(source: Any, where: str, columns: Sequence[str] | None) -> Any:
    table = _parquet_table(source, where, _column_list(columns), strings=True)
    if table.num_columns == 1:
        return table.column(0)
    # Joined in Python: pyarrow's binary_join_element_wise drops the rows
    # whose parts are all null when told to skip nulls.
    parts = [column.to_pylist() for column in table.columns]
    return [" ".join(p for p in row if p) or None for row in zip(*parts)]


def _parquet_table(source: Any, where: str, columns: Sequence[str | None], strings: bool = False) -> Any:
    """The ``columns`` of a Parquet file (None: its only column) as a pyarrow
    Table; with ``strings``, each checked to hold strings before any is read."""
    pa = _pyarrow("", where)
    pq = _pyarrow("parquet", where)
    try:
        schema = pq.read_schema(source)
        fields = [schema.field(_pick_column(schema.names, c, where, None)) for c in columns]
        for field in fields if strings else ():
            if not (pa.types.is_string(field.type) or pa.types.is_large_string(field.type)):
                raise InputError(where, f"column {field.name!r} holds {field.type}, not strings")
        if isinstance(source, pa.BufferReader):
            source.seek(0)
        table = pq.read_table(source, columns=[f.name for f in fields])
    except pa.ArrowException as e:
        raise InputError(where, f"not a Parquet file pyarrow can read: {e}") from None
    if table.num_rows == 0:
        raise InputError(where, "no rows")
    return table


def _pyarrow(module: str, where: str) -> Any:
    """pyarrow, or pyarrow.<module>, imported when first needed: it is optional."""
    try:
        return importlib.import_module(f"pyarrow.{module}" if module else "pyarrow")
    except ImportError:
        raise InputError(where, "parquet needs pyarrow: pip install pyarrow") from None


# --- reading tradeouts ------------------------------------------------------


def read_tradeouts(path: str) -> dict[str, list[str]]:
    """A tradeout table from a JSON object (word -> list of words) or from
    CSV/TSV rows ``word,alternative``; ``-`` reads standard input."""
    where = _STDIN if path == "-" else path
    text = _decode(sys.stdin.buffer.read() if path == "-" else _read_file(path), where)
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".json" or (suffix not in (*_CSV_SUFFIXES, ".txt") and text.lstrip().startswith("{")):
        table = _json_tradeouts(text, where)
    else:
        table = _csv_tradeouts(text, where, _delimiter(suffix, text))
    _check_words(table, where)
    return table


def _check_words(table: dict[str, list[str]], where: str) -> None:
    """Words the index can hold and a name can hold: UTF-8 text (a JSON
    escape can give a lone surrogate), not empty, without a space (names are
    cut into words at spaces, so such a tradeout could never apply)."""
    for key, words in table.items():
        for k, word in enumerate((key, *words)):
            try:
                word.encode("utf-8")
            except UnicodeEncodeError:
                which = f"{key!r} lists {word!r}, which" if k else f"the word {word!r}"
                raise InputError(where, f"{which} is not UTF-8 text") from None
            if not word:
                raise InputError(where, f"{key!r} lists an empty word" if k else "a key is an empty word")
            if " " in word:
                raise InputError(where, f"the word {word!r} holds a space; names are cut into words at spaces")


def _json_tradeouts(text: str, where: str) -> dict[str, list[str]]:
    try:
        table = json.loads(text, object_pairs_hook=_merged)
    except json.JSONDecodeError as e:
        raise InputError(where, f"bad JSON: {e.msg} at column {e.colno}", e.lineno) from None
    except RecursionError:  # lists in lists, thousands deep: never a table of words
        raise InputError(where, "bad JSON: nested too deeply") from None
    if not isinstance(table, dict):
        raise InputError(where, f"tradeouts must be a JSON object of word -> list of words, not {_json_type(table)}")
    for key, words in table.items():
        if not isinstance(words, list):
            raise InputError(where, f"{key!r} must map to a list of words, not {_json_type(words)}")
        for word in words:
            if not isinstance(word, str):
                raise InputError(where, f"{key!r} lists {_json_type(word)} {json.dumps(word)}; words are strings")
    return table


def _merged(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # A key listed twice keeps the words of both, not just the last.
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out and isinstance(out[key], list) and isinstance(value, list):
            out[key] = out[key] + [v for v in value if v not in out[key]]
        else:
            out[key] = value
    return out


def _json_type(value: object) -> str:
    kinds = {dict: "an object", list: "a list", str: "a string", bool: "a boolean", type(None): "null"}
    return kinds.get(type(value), "a number")


def _csv_tradeouts(text: str, where: str, delimiter: str) -> dict[str, list[str]]:
    table: dict[str, list[str]] = {}
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True)
    try:
        for row in _unlimited(reader):
            if not row:
                continue
            # Words never hold spaces (names are cut at them): "Bob, Robert" means "Robert".
            fields = [f.strip(" \t") for f in row]
            if reader.line_num == 1 and [f.lower() for f in fields] == ["word", "alternative"]:
                continue
            if len(fields) != 2 or not all(fields):
                raise InputError(where, f"expected 'word{delimiter}alternative', got {delimiter.join(row)!r}",
                                 reader.line_num)
            words = table.setdefault(fields[0], [])
            if fields[1] not in words:
                words.append(fields[1])
    except csv.Error as e:
        raise InputError(where, f"bad CSV: {e}", reader.line_num) from None
    if not table:
        raise InputError(where, "no tradeouts in the file")
    return table


# --- writing ----------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Target:
    """Where --out writes: ``path`` as given (for messages), ``real`` the
    file renamed over (a symlink's final target), or ``in_place`` for what
    is not a regular file; ``mode`` and ``owner`` of a file that exists."""

    path: str
    real: str
    in_place: bool = False
    append: bool = False
    mode: int | None = None
    owner: tuple[int, int] | None = None


# Links that name an open file of this process: written in place whatever
# they lead to, so that `-o /dev/stdout >> log` appends to log, not replaces it.
_FD_LINK = re.compile(r"/dev/std(in|out|err)|/dev/fd/.*|/proc/[^/]+/fd/.*")


def _target(path: str) -> _Target:
    """What --out names, looked at before any work is done."""
    try:
        st: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    if (st is not None and stat.S_ISDIR(st.st_mode)) or path.endswith(os.sep):
        raise InputError(path, "is a folder; give the name of a file to write")
    if st is not None and not stat.S_ISREG(st.st_mode):
        return _Target(path, path, in_place=True)
    hop = os.path.abspath(path)
    for _ in range(64):  # the kernel gives up at 40 links
        if _FD_LINK.fullmatch(os.path.normpath(hop)):
            return _Target(path, path, in_place=True, append=True)
        if not os.path.islink(hop):
            break
        hop = os.path.join(os.path.dirname(hop), os.readlink(hop))
    real = os.path.realpath(path)
    folder = os.path.dirname(real)
    if not os.path.isdir(folder):
        raise OSError(2, os.strerror(2), path)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OSError(13, os.strerror(13), path)
    if st is None:
        return _Target(path, real)
    return _Target(path, real, mode=stat.S_IMODE(st.st_mode), owner=(st.st_uid, st.st_gid))


@contextmanager
def _output(target: _Target | None, fmt: str) -> Iterator[IO[bytes]]:
    """Standard output; the device, FIFO or open file ``target`` names,
    written in place; or a temporary file beside a regular file, renamed to
    it once all is written, and removed on any failure or signal."""
    if target is None:
        if sys.stdout is None:
            raise InputError("output", "standard output is closed: give --out FILE")
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    if target.in_place:
        try:
            sink = open(target.path, "ab" if target.append else "wb")
        except OSError as e:
            raise OSError(e.errno, e.strerror, target.path) from None
        with sink:
            if fmt == "parquet" and sink.isatty():
                raise InputError(target.path, "will not write Parquet to a terminal")
            yield sink
        return
    with _beside(target) as f:
        yield f


@contextmanager
def _beside(target: _Target) -> Iterator[IO[bytes]]:
    """A temporary file beside the target, with the target's mode and owner,
    renamed over it when the block ends, and removed on any failure or signal."""
    directory, base = os.path.split(target.real)
    made = None
    try:
        with _signals_held():
            try:
                f = tempfile.NamedTemporaryFile("wb", dir=directory, prefix=f".{base}.", suffix=".tmp", delete=False)
            except OSError as e:  # named by the file asked for, not the temporary one
                raise OSError(e.errno, e.strerror, target.path) from None
            made = f.name
        with f:
            _take_over(f.fileno(), target)
            yield f
        with _signals_held():
            os.replace(made, target.real)
            made = None
    except BaseException:
        if made is not None:
            with _signals_held():
                try:
                    os.unlink(made)
                except OSError:
                    pass
        raise


def _take_over(fd: int, target: _Target) -> None:
    """The mode (and, where allowed, the owner) of the file replaced; a new
    file's mode as a plain open() would make it."""
    if target.owner is not None:
        try:
            os.fchown(fd, *target.owner)
        except OSError:  # only root may give a file away
            pass
    os.fchmod(fd, 0o666 & ~_umask() if target.mode is None else target.mode)


def _umask() -> int:
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


class _Writer(Protocol):
    def encode_names(self, names: NDArray[Any]) -> NDArray[Any]: ...
    def write(self, columns: list[NDArray[Any]]) -> None: ...
    def close(self) -> None: ...


def _writer(fmt: str, out: IO[bytes], columns: list[str]) -> _Writer:
    if fmt == "parquet":
        return _ParquetWriter(out, columns)
    return _TextWriter(out, columns, jsonl=fmt == "jsonl")


class _TextWriter:
    """CSV or JSON Lines, a chunk of rows formatted at once; a name is
    encoded once however many pairs it is in."""

    def __init__(self, out: IO[bytes], columns: list[str], jsonl: bool) -> None:
        self._out, self._jsonl = out, jsonl
        if jsonl:
            self._line = "{" + ", ".join(f"{json.dumps(c)}: %s" for c in columns) + "}\n"
        else:
            self._line = ",".join(["%s"] * len(columns)) + "\n"
            self._put(",".join(map(_csv_field, columns)) + "\n")

    def encode_names(self, names: NDArray[Any]) -> NDArray[Any]:
        encode = _json_field if self._jsonl else _csv_field
        out = np.empty(len(names), dtype=object)
        out[:] = [encode(name) for name in names.tolist()]
        return out

    def write(self, columns: list[NDArray[Any]]) -> None:
        line = self._line
        self._put("".join([line % row for row in zip(*(c.tolist() for c in columns))]))

    def _put(self, text: str) -> None:
        self._out.write(text.encode("utf-8", "surrogateescape"))

    def close(self) -> None:
        self._out.flush()


def _csv_field(name: str | None) -> str:
    if name is None:
        return ""
    if any(c in name for c in ',"\r\n'):
        return '"' + name.replace('"', '""') + '"'
    return name


def _json_field(name: str | None) -> str:
    return json.dumps(name, ensure_ascii=False)


class _ParquetWriter:
    def __init__(self, out: IO[bytes], columns: list[str]) -> None:
        self._pa = _pyarrow("", "output")
        pq = _pyarrow("parquet", "output")
        pa = self._pa
        fields = [pa.field(c, pa.string() if c.endswith("name") else pa.int32(), nullable=c.endswith("name"))
                  for c in columns]
        self._schema = pa.schema(fields)
        self._file = pa.PythonFile(out, mode="w")
        self._parquet = pq.ParquetWriter(self._file, self._schema)

    def encode_names(self, names: NDArray[Any]) -> NDArray[Any]:
        return names

    def write(self, columns: list[NDArray[Any]]) -> None:
        pa = self._pa
        arrays = [pa.array(c, type=f.type) for c, f in zip(columns, self._schema)]
        self._parquet.write_table(pa.Table.from_arrays(arrays, schema=self._schema))

    def close(self) -> None:
        self._parquet.close()
        self._file.flush()

