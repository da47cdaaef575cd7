"""Pair recall, precision and F1 against entity labels.

Dedup: the true pairs are all pairs (i < j) of records of the same entity.
Link: all pairs (a, b), a in A and b in B, of the same entity. Found pairs
are counted once however often or in whichever order a contender gives them;
(i, i) is never a pair.

A clustering (one label per record, dedup only) is scored the same way
through the pairs it implies: every two records that share a cluster.
"""
import numpy as np


def true_pairs(entity_a, entity_b=None):
    """How many true pairs there are."""
    a = np.asarray(entity_a, dtype=np.int64)
    if entity_b is None:
        counts = np.unique(a, return_counts=True)[1]
        return int((counts * (counts - 1) // 2).sum())
    b = np.asarray(entity_b, dtype=np.int64)
    ka, ca = np.unique(a, return_counts=True)
    kb, cb = np.unique(b, return_counts=True)
    _, ia, ib = np.intersect1d(ka, kb, assume_unique=True, return_indices=True)
    return int((ca[ia] * cb[ib]).sum())


def distinct(pairs, n_a, n_b=None, scores=None):
    """The pairs without repeats or self-pairs (dedup: as i < j), and their
    scores (a repeated pair keeps its highest)."""
    p = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    if n_b is None:
        p = np.sort(p, axis=1)
        keep = p[:, 0] != p[:, 1]
        p = p[keep]
        if scores is not None:
            scores = np.asarray(scores)[keep]
        width = n_a
    else:
        width = n_b
    key = p[:, 0] * width + p[:, 1]
    if scores is None:
        key = np.unique(key)
        return np.stack([key // width, key % width], axis=1), None
    scores = np.asarray(scores)
    order = np.lexsort((-scores, key))          # by key, best score first
    key, scores = key[order], scores[order]
    first = np.ones(len(key), dtype=bool)
    first[1:] = key[1:] != key[:-1]
    key, scores = key[first], scores[first]
    return np.stack([key // width, key % width], axis=1), scores


def summary(tp, found, n_true):
    recall = tp / n_true if n_true else 1.0
    precision = tp / found if found else 1.0
    f1 = 2 * recall * precision / (recall + precision) if recall + precision else 0.0
    return {"recall": recall, "precision": precision, "f1": f1,
            "true_positives": int(tp), "found": int(found), "true_pairs": int(n_true)}


def is_true(pairs, entity_a, entity_b=None):
    a = np.asarray(entity_a)
    b = a if entity_b is None else np.asarray(entity_b)
    pairs = np.asarray(pairs).reshape(-1, 2)
    return a[pairs[:, 0]] == b[pairs[:, 1]]


def pair_metrics(pairs, entity_a, entity_b=None, n_true=None):
    """Recall, precision and F1 of the pairs found: dedup (i, j) when
    entity_b is None, else link (a, b)."""
    p, _ = distinct(pairs, len(entity_a), None if entity_b is None else len(entity_b))
    if n_true is None:
        n_true = true_pairs(entity_a, entity_b)
    return summary(int(is_true(p, entity_a, entity_b).sum()), len(p), n_true)


def sweep(pairs, scores, entity_a, entity_b=None, n_true=None):
    """For scored pairs: the metrics at every threshold (a pair counts when
    its score is at least the threshold), as (thresholds, tp, found) arrays
    with thresholds falling."""
    p, s = distinct(pairs, len(entity_a), None if entity_b is None else len(entity_b), scores)
    if n_true is None:
        n_true = true_pairs(entity_a, entity_b)
    order = np.argsort(-s, kind="stable")
    s = s[order]
    tp = np.cumsum(is_true(p[order], entity_a, entity_b))
    last = np.ones(len(s), dtype=bool)     # the last pair of each run of equal scores
    last[:-1] = s[:-1] != s[1:]
    idx = np.flatnonzero(last)
    return s[idx], tp[idx], idx + 1, n_true


def best_threshold(pairs, scores, entity_a, entity_b=None, n_true=None):
    """The threshold of highest F1, chosen with the answers, and its metrics."""
    thresholds, tp, found, n_true = sweep(pairs, scores, entity_a, entity_b, n_true)
    if not len(thresholds):
        return None, summary(0, 0, n_true)
    f1 = 2 * tp / (found + n_true)
    k = int(np.argmax(f1))
    return float(thresholds[k]), summary(int(tp[k]), int(found[k]), n_true)


def at_threshold(pairs, scores, threshold, entity_a, entity_b=None, n_true=None):
    keep = np.asarray(scores) >= threshold
    return pair_metrics(np.asarray(pairs).reshape(-1, 2)[keep], entity_a, entity_b, n_true)


def _codes(labels):
    """Labels of any kind (ints, strings) as dense int64 codes."""
    return np.unique(np.asarray(labels), return_inverse=True)[1].reshape(-1).astype(np.int64)


def _pairs_within(codes):
    """How many pairs lie within the groups the codes make."""
    counts = np.bincount(codes)
    return int((counts * (counts - 1) // 2).sum())


def cluster_metrics(labels, entity):
    """Recall, precision and F1 of the pairs within clusters, and the size
    of the largest cluster, alone and as a share of the records."""
    cluster, truth = _codes(labels), _codes(entity)
    if len(cluster) != len(truth):
        raise ValueError(f"{len(cluster)} cluster labels for {len(truth)} records")
    if not len(cluster):
        return dict(summary(0, 0, 0), clusters=0, largest=0, largest_share=0.0)
    both = cluster * (int(truth.max()) + 1) + truth      # one code per (cluster, entity) cell
    out = summary(_pairs_within(_codes(both)), _pairs_within(cluster), _pairs_within(truth))
    largest = int(np.bincount(cluster).max())
    return dict(out, clusters=int(cluster.max()) + 1, largest=largest, largest_share=largest / len(cluster))


def best_clustering(clusterings, entity):
    """Of {threshold: labels}, the threshold whose clusters have the highest
    pair F1, chosen with the answers, and their metrics (None, {} if none)."""
    best_t, best = None, {}
    for t, labels in clusterings.items():
        m = cluster_metrics(labels, entity)
        if not best or m["f1"] > best["f1"]:
            best_t, best = t, m
    return best_t, best
