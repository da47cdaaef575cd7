"""Splink on DuckDB over given_name and surname, as the quality benchmark's
peer; run by the interpreter of build/peers-venv (requirements-peers.txt),
not by the benchmark's own.

Setup, following Splink's documented deduplication workflow with only the
two name columns to go on:
  comparisons  NameComparison on given_name and on surname: exact, then
               Jaro-Winkler at 0.92, 0.88 and 0.70, then anything else;
               term-frequency adjustments on both, so that a shared common
               name weighs less than a shared rare one
  blocking     pairs that share the surname, or share the given name
  training     probability two random records match from the pairs that
               agree on both names (recall 0.7); u by random sampling
               (1e6 pairs, seed 1); m by expectation maximisation twice,
               blocked on given_name, then on surname, each on at most
               2 million blocked pairs (Splink's max_pairs sampling)
  predict      every blocked pair with match probability >= --floor
  candidates   with --pairs, the pairs of that file instead of Splink's
               blocking (training is the same): Splink 5 scores a table of
               candidate pairs registered with
               linker.table_management.register_blocked_pairs_for_predict
  clusters     with --cluster, Splink's connected components
               (linker.clustering.cluster_pairwise_predictions_at_threshold)
               of the predictions, at each threshold given

Input: CSV files with unique_id, given_name, surname (empty = missing); one
file to deduplicate, two to link (the first is A). Output: a Parquet file
of id_a, id_b, match_probability (--out), one of unique_id and a cluster_K
column per threshold (--clusters-out), and a JSON line on stdout with the
seconds taken from reading the input to writing the pairs, by stage.
"""
import argparse
import json
import sys
import time

EM_PAIRS = 2e6      # blocked pairs per EM session; a common given name blocks tens of millions


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("inputs", nargs="+")
    ap.add_argument("--out", required=True)
    ap.add_argument("--floor", type=float, default=0.01)
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--pairs", help="Parquet of id_a, id_b: the candidate pairs to score")
    ap.add_argument("--cluster", help="comma-separated match probabilities to cluster at")
    ap.add_argument("--clusters-out", help="Parquet of unique_id and cluster_K, with --cluster")
    ap.add_argument("--candidates-out", help="Parquet of id_a, id_b: the candidate pairs scored")
    args = ap.parse_args()
    if len(args.inputs) > 2:
        sys.exit("one input to deduplicate or two to link")
    if bool(args.cluster) != bool(args.clusters_out):
        sys.exit("--cluster and --clusters-out go together")

    import duckdb
    import pyarrow as pa
    import pyarrow.csv as pcsv
    import splink
    from splink import DuckDBAPI, Linker

    start = time.perf_counter()
    con = duckdb.connect()
    if args.threads:
        con.execute(f"SET threads = {int(args.threads)}")
    db = DuckDBAPI(con)
    convert = pcsv.ConvertOptions(column_types={"unique_id": pa.int64(), "given_name": pa.string(),
                                                "surname": pa.string()},
                                  strings_can_be_null=True, null_values=[""])
    tables = [pcsv.read_csv(p, convert_options=convert) for p in args.inputs]
    names = ["a", "b"][:len(tables)]
    frames = [db.register(t, dataset_display_name=n) for t, n in zip(tables, names)]
    link = len(frames) == 2
    linker = Linker(frames if link else frames[0], settings(link), log_level="WARNING")
    stages = {"load": time.perf_counter() - start}
    train(linker)
    stages["train"] = time.perf_counter() - start - sum(stages.values())
    if args.pairs:
        register_candidates(con, db, linker, args.pairs, link)
    else:
        linker.inference.compute_blocked_pairs_for_predict()    # cached for predict()
    stages["block"] = time.perf_counter() - start - sum(stages.values())
    predictions = linker.inference.predict(threshold_match_probability=args.floor)
    if link:  # each pair as (a, b), whichever side Splink put A on
        select = ("CASE WHEN source_dataset_l = 'a' THEN unique_id_l ELSE unique_id_r END AS id_a, "
                  "CASE WHEN source_dataset_l = 'a' THEN unique_id_r ELSE unique_id_l END AS id_b")
    else:
        select = "unique_id_l AS id_a, unique_id_r AS id_b"
    out = args.out.replace("'", "''")
    con.execute(f"COPY (SELECT {select}, match_probability FROM {predictions.physical_name}) "
                f"TO '{out}' (FORMAT parquet)")
    [(pairs,)] = con.sql(f"SELECT count(*) FROM {predictions.physical_name}").fetchall()
    seconds = time.perf_counter() - start
    stages["predict"] = seconds - sum(stages.values())
    blocked = linker.inference.compute_blocked_pairs_for_predict()     # the cached table
    [(candidates,)] = con.sql(f"SELECT count(*) FROM {blocked.physical_name}").fetchall()
    info = {"seconds": seconds, "pairs": pairs, "candidates": candidates, "stages": stages,
            "splink": splink.__version__, "duckdb": duckdb.__version__, "python": sys.version.split()[0]}
    if args.candidates_out:
        write_candidates(con, blocked, link, args.candidates_out)
    if args.cluster:
        info["clusters"] = write_clusters(con, linker, predictions, [float(t) for t in args.cluster.split(",")],
                                          args.clusters_out)
    print(json.dumps(info))


def settings(link):
    """The comparisons and blocking of the module's docstring."""
    import splink.comparison_library as cl
    from splink import SettingsCreator, block_on
    return SettingsCreator(
        link_type="link_only" if link else "dedupe_only",
        comparisons=[
            cl.NameComparison("given_name").configure(term_frequency_adjustments=True),
            cl.NameComparison("surname").configure(term_frequency_adjustments=True),
        ],
        blocking_rules_to_generate_predictions=[block_on("surname"), block_on("given_name")],
        retain_intermediate_calculation_columns=False,
    )


def train(linker):
    """The prior, u and m of the module's docstring (no labels needed)."""
    from splink import block_on
    linker.training.estimate_probability_two_random_records_match(
        [block_on("given_name", "surname")], recall=0.7)
    linker.training.estimate_u_using_random_sampling(max_pairs=1e6, seed=1)
    for rule in ("given_name", "surname"):
        linker.training.estimate_parameters_using_expectation_maximisation(block_on(rule), max_pairs=EM_PAIRS)


# --8<-- [start:candidates]
def register_candidates(con, db, linker, path, link):
    """Splink scores exactly the pairs of a registered blocked-pairs table:
    match_key, join_key_l and join_key_r, a key being the unique_id when
    deduplicating and "<dataset>-__-<unique_id>" when linking."""
    if link:
        keys = "'a-__-' || id_a AS join_key_l, 'b-__-' || id_b AS join_key_r"
        where = ""
    else:   # Splink's own pairs have the smaller id on the left
        keys = "least(id_a, id_b) AS join_key_l, greatest(id_a, id_b) AS join_key_r"
        where = "WHERE id_a <> id_b"
    pairs = con.sql(f"SELECT DISTINCT '0' AS match_key, {keys} FROM read_parquet(?) {where}",
                    params=[path]).to_arrow_table()
    linker.table_management.register_blocked_pairs_for_predict(
        db.register(pairs, dataset_display_name="talvik_candidates"))
# --8<-- [end:candidates]


def write_candidates(con, blocked, link, path):
    """The blocked pairs as id_a, id_b (ids of A and B when linking)."""
    if link:
        uid = "CAST(split_part({}, '-__-', 2) AS BIGINT)"
        left_a = "starts_with(join_key_l, 'a-__-')"
        select = (f"CASE WHEN {left_a} THEN {uid.format('join_key_l')} ELSE {uid.format('join_key_r')} END AS id_a, "
                  f"CASE WHEN {left_a} THEN {uid.format('join_key_r')} ELSE {uid.format('join_key_l')} END AS id_b")
    else:
        select = "join_key_l AS id_a, join_key_r AS id_b"
    out = path.replace("'", "''")
    con.execute(f"COPY (SELECT {select} FROM {blocked.physical_name}) TO '{out}' (FORMAT parquet)")


def write_clusters(con, linker, predictions, thresholds, path):
    """Splink's clusters at each threshold, as columns cluster_0, cluster_1, ...
    beside unique_id in one Parquet file; returns [{threshold, seconds}]."""
    done = []
    select = ["n.unique_id"]
    joins = []
    for k, t in enumerate(thresholds):
        start = time.perf_counter()
        clusters = linker.clustering.cluster_pairwise_predictions_at_threshold(
            predictions, threshold_match_probability=t)
        done.append({"threshold": t, "seconds": time.perf_counter() - start})
        select.append(f"CAST(c{k}.cluster_id AS VARCHAR) AS cluster_{k}")
        joins.append(f"JOIN {clusters.physical_name} c{k} ON c{k}.unique_id = n.unique_id")
    first = clusters.physical_name
    out = path.replace("'", "''")
    con.execute(f"COPY (SELECT {', '.join(select)} FROM {first} n {' '.join(joins)} ORDER BY n.unique_id) "
                f"TO '{out}' (FORMAT parquet)")
    return done

if __name__ == "__main__":
    main()
