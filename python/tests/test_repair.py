"""Identity measures and repair as a notebook user drives them: a clip whose
tracker exchanged two animals after they lay on each other is measured,
repaired, measured again and undone, with pathlib paths throughout."""

import os
import pathlib

import pytest

import pelk_utils as pu
from conftest import write_clip
from pelk_utils.models import BuiltinImagePredictor

AFTER = 44  # the walker lies under its neighbour until frame 44 (the masks touch from frame 31)


def folder_bytes(folder):
    return {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in sorted(pathlib.Path(folder).rglob("*")) if p.is_file()}


@pytest.fixture(scope="module")
def clips(scene, tmp_path_factory):
    """Truth and tracked folders (pathlib); tracked has Box1 and Box2 exchanged after AFTER."""
    root = tmp_path_factory.mktemp("repair")
    frames = scene.write_frames(str(root / "frames"), 0, 60)
    truth_masks = [dict(scene.truth(f)) for f in range(60)]
    tracked_masks = []
    for f, masks in enumerate(truth_masks):
        masks = dict(masks)
        if f > AFTER:
            masks["Box1"], masks["Box2"] = masks["Box2"], masks["Box1"]
        tracked_masks.append(masks)
    truth = pathlib.Path(write_clip(root / "truth", frames, truth_masks))
    tracked = pathlib.Path(write_clip(root / "tracked", frames, tracked_masks))
    return truth, tracked


def load(folder):
    with pu.progress_lines(None):
        return pu.get_pelk_annotation_data("", save_dir_base=folder)[1]


def test_measure_repair_measure_undo(clips):
    truth, tracked = clips
    before = folder_bytes(tracked)
    measures = pu.evaluate_tracking(load(tracked), load(truth))
    assert measures["idf1"] < 1 and measures["id_switches"] == 2
    assert sum(r["idtp"] for r in measures["identities"]) == measures["idtp"]

    predictor = BuiltinImagePredictor()
    dry = pu.repair_identities(tracked, predictor, dry_run=True)
    assert dry["exchanges"] == [(dry["exchanges"][0][0], 2, 3)] and dry["files_changed"] == 59 - dry["exchanges"][0][0]
    assert folder_bytes(tracked) == before  # a dry run writes nothing

    done = pu.repair_identities(tracked, predictor)
    assert any(d["verdict"] == "exchanged" for d in done["decisions"])
    assert pu.evaluate_tracking(load(tracked), load(truth))["idf1"] == 1.0
    assert pu.repair_status(tracked)["state"] == "applied"

    assert pu.undo_repair(tracked) == done["files_changed"]
    assert {k: v[0] for k, v in folder_bytes(tracked).items()} == {k: v[0] for k, v in before.items()}
    assert pu.repair_status(os.fsencode(tracked))["state"] == "none"


@pytest.mark.parametrize("margin, error, words", [
    (-5, ValueError, "margin must be a finite number of 0 or more, got -5"),
    (float("nan"), ValueError, "margin must be a finite number of 0 or more, got nan"),
    ("0.3", TypeError, "margin"),
])
def test_bad_margins_are_refused_before_anything_is_read(clips, margin, error, words):
    _, tracked = clips
    with pytest.raises(error, match=words):
        pu.repair_identities(tracked, object(), margin=margin)


def test_evaluate_counts_a_missing_frame_and_strict_refuses(clips):
    truth, _ = clips
    clip = load(truth)
    fewer = {k: v for k, v in clip.items() if k != 30}
    measures = pu.evaluate_tracking(fewer, clip)
    assert measures["missing_frames"] == 1 and measures["misses"] == 10
    with pytest.raises(ValueError, match="frame 30 is in the truth but was not tracked"):
        pu.evaluate_tracking(fewer, clip, strict=True)
    with pytest.raises(ValueError, match="iou_threshold"):
        pu.evaluate_tracking(clip, clip, iou_threshold=2)


def test_undo_refuses_a_manifest_from_another_folder(clips, tmp_path):
    truth, tracked = clips
    import shutil

    copy = tmp_path / "copy"
    shutil.copytree(truth, copy)
    (copy / "pelk_repair_manifest.json").write_text(
        '{"format": "pelk repair manifest", "version": 2, "repair_id": "0123456789abcdef", "state": "applied", '
        '"files": [{"name": "../x", "backup": "0.orig", "repaired_copy": "0.new", "original": "0123456789abcdef", '
        '"repaired": "0123456789abcdef"}]}')
    before = folder_bytes(copy)
    with pytest.raises(ValueError, match="names a file outside its folder"):
        pu.undo_repair(copy)
    with pytest.raises(ValueError, match="names a file outside its folder"):
        pu.repair_status(copy)
    assert folder_bytes(copy) == before


def test_corrections_from_the_review_page_apply_and_undo(clips, tmp_path):
    """The page's export, applied from a notebook: the swap is gone, undo restores every byte."""
    import json
    import subprocess

    cli = os.environ.get("PELK_CLI")
    if not cli:
        pytest.skip("PELK_CLI names the pelk program (set by CTest)")
    truth, tracked = clips
    page = tmp_path / "page"
    subprocess.run([cli, "review", str(tracked), "--out", str(page)], check=True, capture_output=True)
    data = json.loads((page / "data.js").read_text().removeprefix("window.PELK_REVIEW = ").rstrip().rstrip(";"))
    corrections = tmp_path / "corrections.json"
    corrections.write_text(json.dumps({
        "format": "pelk corrections", "version": 1, "clip": data["clip"], "fingerprint": data["fingerprint"],
        "frames": data["frames"],
        "decisions": [{"frame": AFTER + 1, "boxes": ["Box1", "Box2"], "action": "exchange", "source": "hand"}]}))
    before = folder_bytes(tracked)
    assert pu.apply_corrections(tracked, corrections, dry_run=True)["exchanges"] == [(AFTER + 1, 2, 3)]
    assert folder_bytes(tracked) == before
    assert pu.apply_corrections(tracked, corrections)["files_changed"] == 59 - AFTER
    assert pu.evaluate_tracking(load(tracked), load(truth))["idf1"] == 1.0
    with pytest.raises(ValueError, match="that changed since its review page was made"):
        pu.apply_corrections(tracked, corrections)
    pu.undo_repair(tracked)
    assert {k: v[0] for k, v in folder_bytes(tracked).items()} == {k: v[0] for k, v in before.items()}


def test_chain_puts_a_second_clip_under_the_first_clips_identities(scene, tmp_path):
    """Two clips in a row, the second numbered its own way: chained, dry run
    first, then undone; folders as pathlib paths, as a notebook has them."""
    frames_a = scene.write_frames(str(tmp_path / "fa"), 100, 15)
    frames_b = scene.write_frames(str(tmp_path / "fb"), 115, 15)
    renumber = {f"Box{i}": f"Box{(i + 3) % 10}" for i in range(10)}
    a = pathlib.Path(write_clip(tmp_path / "a", frames_a, [dict(scene.truth(100 + f)) for f in range(15)]))
    b = pathlib.Path(write_clip(tmp_path / "b", frames_b,
                                [{renumber[k]: m for k, m in dict(scene.truth(115 + f)).items()} for f in range(15)]))
    before = folder_bytes(b)
    predictor = BuiltinImagePredictor()
    dry = pu.chain([a, b], predictor, dry_run=True)
    assert folder_bytes(b) == before
    assert dry["files_changed"] == 15 and dry["day_ids"] == list(range(1, 11))
    (boundary,) = dry["boundaries"]
    assert boundary["verdict"] == "carried" and boundary["clip"] == str(b)
    assert sorted((c["object_id"], c["day_id"]) for c in boundary["carries"]) == \
        sorted((int(renumber[f"Box{i}"][3:]) + 1, i + 1) for i in range(10))
    pu.chain([a, b], predictor)
    truth_b = write_clip(tmp_path / "truth_b", frames_b, [dict(scene.truth(115 + f)) for f in range(15)])
    chained, truth = load(b), load(truth_b)
    assert all(list(chained[f].masks_dict[k].box) == list(truth[f].masks_dict[k].box)
               for f in range(15) for k in truth[f].masks_dict)
    assert pu.undo_chain([a, b], dry_run=True) == 15
    assert pu.undo_chain([a, b]) == 15
    assert {name: text for name, (text, _) in folder_bytes(b).items()} == \
        {name: text for name, (text, _) in before.items()}  # byte for byte (the files were written again)
    with pytest.raises(ValueError, match="animals"):
        pu.chain([a, b], predictor, animals=0)
