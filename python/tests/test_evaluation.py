"""Measures against truth from files of other tools, as a notebook user
runs them: HOTA, CLEAR MOT and IDF1 checked against a plain numpy
computation of the published definitions (every assignment found by trying
all of them), MOT and CVAT files beside the folders they were exported from."""

import itertools
import pathlib

import numpy as np
import pytest

import pelk_utils as pu
from conftest import write_clip

EPS = np.finfo(float).eps


def box_iou(a, b):
    """IoU of (x, y, w, h) boxes on continuous coordinates."""
    a = np.array([a[0], a[1], a[0] + a[2], a[1] + a[3]])
    b = np.array([b[0], b[1], b[0] + b[2], b[1] + b[3]])
    inter = max(min(a[2], b[2]) - max(a[0], b[0]), 0) * max(min(a[3], b[3]) - max(a[1], b[1]), 0)
    area_a, area_b = (a[2] - a[0]) * (a[3] - a[1]), (b[2] - b[0]) * (b[3] - b[1])
    union = area_a + area_b - inter
    return 0.0 if area_a <= EPS or area_b <= EPS or union <= EPS else inter / union


def best_pairs(score, minimum=0.0):
    """The pairs (row, column) of a most valuable assignment over pairs scoring at
    least `minimum`, by trying every one. Ties: each row in turn takes the earliest
    column it can (a row goes without only when every best assignment leaves it out)."""
    rows, cols = score.shape
    best, best_key, pairs = -1.0, None, []
    if rows <= cols:
        orders = (list(enumerate(perm)) for perm in itertools.permutations(range(cols), rows))
    else:
        orders = ([(r, c) for c, r in enumerate(perm)] for perm in itertools.permutations(range(rows), cols))
    for order in orders:
        counted = [(r, c) for r, c in order if score[r, c] >= minimum]
        total = sum(score[r, c] for r, c in counted)
        column = dict(counted)
        key = tuple(column.get(r, cols) for r in range(rows))
        if total > best + 1e-12 or (total > best - 1e-12 and key < best_key):
            best, best_key, pairs = max(total, best), key, counted
    return sorted(pairs)


def reference(tracked, truth):
    """HOTA, DetA, AssA, LocA, MOTA, MOTP, IDSW and IDF1 of per-frame {id: box} dicts."""
    frames = sorted(set(tracked) | set(truth))
    gids = sorted({i for f in truth.values() for i in f})
    tids = sorted({i for f in tracked.values() for i in f})
    sims = []
    for f in frames:
        g, t = truth.get(f, {}), tracked.get(f, {})
        gi, ti = list(g), list(t)
        sims.append((gi, ti, np.array([[box_iou(g[a], t[b]) for b in ti] for a in gi]).reshape(len(gi), len(ti))))
    gcount = {i: sum(i in g for g, _, _ in sims) for i in gids}
    tcount = {j: sum(j in t for _, t, _ in sims) for j in tids}
    # HOTA
    potential = {}
    for gi, ti, s in sims:
        for r, i in enumerate(gi):
            for c, j in enumerate(ti):
                denom = s[r, :].sum() + s[:, c].sum() - s[r, c]
                if denom > EPS:
                    potential[i, j] = potential.get((i, j), 0) + s[r, c] / denom
    align = {k: v / (gcount[k[0]] + tcount[k[1]] - v) for k, v in potential.items()}
    alphas = [0.05 + a * 0.05 for a in range(19)]
    tp, fn, fp, loc = np.zeros(19), np.zeros(19), np.zeros(19), np.zeros(19)
    matches = [dict() for _ in alphas]
    for gi, ti, s in sims:
        if not gi or not ti:
            fp += len(ti)
            fn += len(gi)
            continue
        score = np.array([[align.get((i, j), 0) * s[r, c] for c, j in enumerate(ti)] for r, i in enumerate(gi)])
        pairs = best_pairs(score)
        for a, alpha in enumerate(alphas):
            kept = [(r, c) for r, c in pairs if s[r, c] >= alpha - EPS]
            tp[a] += len(kept)
            fn[a] += len(gi) - len(kept)
            fp[a] += len(ti) - len(kept)
            loc[a] += sum(s[r, c] for r, c in kept)
            for r, c in kept:
                matches[a][gi[r], ti[c]] = matches[a].get((gi[r], ti[c]), 0) + 1
    assa = np.array([sum(m * m / max(1, gcount[i] + tcount[j] - m) for (i, j), m in matches[a].items()) / max(1, tp[a])
                     for a in range(19)])
    deta = tp / np.maximum(1, tp + fn + fp)
    loca = np.maximum(1e-10, loc) / np.maximum(1e-10, tp)
    # CLEAR MOT
    prev_any, prev_step = {}, {}
    ctp = cfn = cfp = idsw = 0
    motp = 0.0
    for gi, ti, s in sims:
        if not gi or not ti:
            cfp += len(ti)
            cfn += len(gi)
            continue
        score = np.array([[(1000 if prev_step.get(i) == j else 0) + s[r, c] for c, j in enumerate(ti)]
                          for r, i in enumerate(gi)])
        score[s < 0.5 - EPS] = 0
        pairs = [(r, c) for r, c in best_pairs(score, minimum=np.nextafter(0, 1)) if score[r, c] > EPS]
        for r, c in pairs:
            if gi[r] in prev_any and prev_any[gi[r]] != ti[c]:
                idsw += 1
            prev_any[gi[r]] = ti[c]
            motp += s[r, c]
        prev_step = {gi[r]: ti[c] for r, c in pairs}
        ctp += len(pairs)
        cfn += len(gi) - len(pairs)
        cfp += len(ti) - len(pairs)
    # IDF1: one global pairing of ids, most frames with IoU >= 0.5 in common.
    shared = np.zeros((len(gids), len(tids)))
    for gi, ti, s in sims:
        for r, i in enumerate(gi):
            for c, j in enumerate(ti):
                shared[gids.index(i), tids.index(j)] += s[r, c] >= 0.5
    idtp = sum(shared[r, c] for r, c in best_pairs(shared, minimum=1))
    gt, dets = sum(gcount.values()), sum(tcount.values())
    return dict(hota=np.mean(np.sqrt(deta * assa)), deta=deta.mean(), assa=assa.mean(), loca=loca.mean(),
                mota=1 - (cfn + cfp + idsw) / gt, motp=motp / ctp, id_switches=idsw, idf1=2 * idtp / (gt + dets))


def write_mot(path, frames):
    with open(path, "w") as f:
        for frame, boxes in sorted(frames.items()):
            for i, (x, y, w, h) in boxes.items():
                f.write(f"{frame},{i},{x!r},{y!r},{w!r},{h!r},1,-1,-1,-1\n")
    return path


def random_sequence(rng, frames=12, animals=4, spread=200, jitter=4, stray=0.2):
    """Truth paths and a tracker's: jitter, a lost frame now and then, an exchange, a stray box."""
    start = rng.uniform(0, spread, size=(animals, 2))
    truth, tracked = {}, {}
    swap_at = int(rng.integers(3, frames))
    for f in range(1, frames + 1):
        pos = start + f * rng.normal(0, 3, size=(animals, 2))
        truth[f] = {i + 1: (pos[i, 0], pos[i, 1], 30.0, 20.0) for i in range(animals)}
        boxes = {}
        for i in range(animals):
            if rng.random() < 0.1:
                continue
            tid = i + 11
            if f >= swap_at and i in (0, 1):
                tid = 11 + (1 - i)  # the first two exchanged
            shift = rng.normal(0, jitter, size=4)
            boxes[tid] = (pos[i, 0] + shift[0], pos[i, 1] + shift[1], 30.0 + abs(shift[2]), 20.0 + abs(shift[3]))
        if rng.random() < stray:
            boxes[99] = (rng.uniform(0, spread), rng.uniform(0, spread), 25.0, 25.0)
        tracked[f] = boxes
    return tracked, truth


def crowded_sequence(rng):
    """Three animals within 40 px: a truth box often has two tracked candidates,
    and the alignment's P / (T + D - P) decides between them."""
    return random_sequence(rng, frames=8, animals=3, spread=40, jitter=6, stray=0.3)


@pytest.mark.parametrize("kind,seed", [("spread", s) for s in range(8)] + [("crowded", s) for s in range(100)])
def test_measures_follow_the_published_definitions(tmp_path, kind, seed):
    rng = np.random.default_rng(seed)
    tracked, truth = (random_sequence if kind == "spread" else crowded_sequence)(rng)
    got = pu.evaluate_tracking(write_mot(tmp_path / "t.txt", tracked), write_mot(tmp_path / "g.txt", truth))
    want = reference(tracked, truth)
    assert got["iou"] == "box"
    for key, value in want.items():
        assert got[key] == pytest.approx(value, abs=1e-9), key


def test_truth_rows_of_confidence_zero_are_ignored_and_tracked_ones_count(tmp_path):
    (tmp_path / "g.txt").write_text("1,1,0,0,10,10,1,-1,-1,-1\n1,2,50,0,10,10,0,-1,-1,-1\n")
    (tmp_path / "t.txt").write_text("1,7,0,0,10,10,-1,-1,-1,-1\n1,8,50,0,10,10,0,-1,-1,-1\n")
    m = pu.evaluate_tracking(tmp_path / "t.txt", tmp_path / "g.txt")
    assert (m["matches"], m["false_positives"], m["misses"], m["truth_ids"]) == (1, 1, 0, 1)


@pytest.fixture(scope="module")
def exported(scene, scene_files, tmp_path_factory):
    """A tracked clip (Box1 and Box2 exchanged from frame 6), its truth, and both as MOT and CVAT files."""
    root = tmp_path_factory.mktemp("exported")
    frames = scene_files["frames"][:10]
    truth_masks = [scene.truth(f) for f in range(10)]
    tracked_masks = []
    for f, masks in enumerate(truth_masks):
        masks = dict(masks)
        if f >= 6:
            masks["Box1"], masks["Box2"] = masks["Box2"], masks["Box1"]
        tracked_masks.append(masks)
    out = dict(tracked=write_clip(root / "tracked", frames, tracked_masks), truth=write_clip(root / "truth", frames, truth_masks))
    for side in ("tracked", "truth"):
        for fmt, ext in (("mot", "txt"), ("cvat", "xml")):
            out[f"{side}_{fmt}"] = root / f"{side}.{ext}"
            pu.export_tracks([out[side]], fmt, out[f"{side}_{fmt}"])
    return out


def test_cvat_files_measure_as_their_folders_and_mot_as_their_boxes(exported):
    folders = pu.evaluate_tracking(exported["tracked"], exported["truth"])
    assert folders["iou"] == "mask" and folders["id_switches"] == 2 and folders["hota"] < 1
    cvat = pu.evaluate_tracking(exported["tracked_cvat"], exported["truth_cvat"])
    for key in ("hota", "deta", "assa", "loca", "idf1", "mota", "motp", "id_switches"):
        assert cvat[key] == folders[key], key
    mot = pu.evaluate_tracking(exported["tracked_mot"], exported["truth_mot"])
    # A folder against MOT truth: boxes, frames lined up by the offset.
    mixed = pu.evaluate_tracking(exported["tracked"], exported["truth_mot"], frame_offset=np.int64(1))
    assert mixed["iou"] == "box"
    for key in ("hota", "idf1", "mota", "motp", "id_switches"):
        assert mixed[key] == mot[key], key
    unshifted = pu.evaluate_tracking(str(exported["tracked"]), exported["truth_mot"])
    assert unshifted["hota"] < mixed["hota"]


def test_wrong_arguments_are_named(exported, tmp_path):
    with pytest.raises(TypeError, match="frame_offset must be int, got float"):
        pu.evaluate_tracking(exported["tracked"], exported["truth"], frame_offset=1.5)
    with pytest.raises(FileNotFoundError, match="nowhere.txt"):
        pu.evaluate_tracking(exported["tracked"], tmp_path / "nowhere.txt")
    (tmp_path / "bad.txt").write_text("1,1,0,0,10\n")
    with pytest.raises(ValueError, match="bad.txt' line 1: has 5 fields"):
        pu.evaluate_tracking(exported["tracked"], tmp_path / "bad.txt")
    (tmp_path / "notes.csv").write_text("a,b\n")
    with pytest.raises(ValueError, match="neither an annotation folder"):
        pu.evaluate_tracking(exported["tracked"], pathlib.Path(tmp_path / "notes.csv"))


def test_a_day_is_measured_as_one_sequence(exported):
    # The same tracked folder against the same truth twice in a row: each
    # clip's identity switches count, and the day's measures cover both.
    one = pu.evaluate_tracking(exported["tracked"], exported["truth"])
    day = pu.evaluate_tracking([exported["tracked"], str(exported["tracked"]) + "/"],
                               (exported["truth"], exported["truth"]))
    assert day["id_switches"] >= one["id_switches"] and day["truth_ids"] == one["truth_ids"]
    assert day["idf1"] <= one["idf1"] + 1e-12
    with pytest.raises(TypeError, match="a day needs a list of clips on both sides"):
        pu.evaluate_tracking([exported["tracked"]], exported["truth"])
    with pytest.raises(ValueError, match="as many truth clips as tracked clips"):
        pu.evaluate_tracking([exported["tracked"]], [exported["truth"], exported["truth"]])
