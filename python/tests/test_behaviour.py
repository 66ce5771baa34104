"""Behaviour measures as a notebook user reads them: three DataFrames whose
numbers agree with each other and with the clip's own masks."""

import json

import numpy as np
import pandas as pd
import pytest

import pelk_utils as pu
from conftest import write_clip


@pytest.fixture(scope="module")
def walking_clip(scene_files, tmp_path_factory):
    """Box0 walks 4 px a frame to the right; Box1 stands still."""
    root = tmp_path_factory.mktemp("behaviour")
    frames = scene_files["frames"][:20]
    shape = np.asarray(pu.imread_rgb(frames[0])).shape[:2]
    masks = []
    for f in range(20):
        walker = np.zeros(shape, np.uint8)
        walker[40:70, 20 + 4 * f:50 + 4 * f] = 1
        stander = np.zeros(shape, np.uint8)
        stander[100:130, 30:60] = 1
        masks.append({"Box0": walker, "Box1": stander})
    zones = root / "zones.json"
    zones.write_text(json.dumps({"shapes": [{"label": "left", "points": [[0, 0], [60, 0], [60, 200], [0, 200]]}]}))
    return write_clip(root / "clip", frames, masks), zones


def test_three_frames_that_agree(walking_clip):
    clip, zones = walking_clip
    out = pu.behaviour([clip], zones=zones, bin="10f")
    assert set(out) == {"behaviour", "contacts", "summary"}
    tidy, summary = out["behaviour"], out["summary"].set_index("animal")
    assert list(tidy.columns) == ["bin_start", "bin_end", "animal", "measure", "value", "unit"]
    assert tidy.attrs["time_unit"] == "frames"
    # The walker's centroid moves 4 px a frame: 19 steps.
    assert summary.loc["Box0", "distance_px"] == pytest.approx(76, abs=1)
    assert summary.loc["Box1", "distance_px"] == 0
    # Per-bin distances add up to the whole.
    per_bin = tidy[(tidy.animal == "Box0") & (tidy.measure == "distance")].value
    assert per_bin.sum() == pytest.approx(summary.loc["Box0", "distance_px"])
    assert len(per_bin) == 2
    # The stander's centroid (44.5) is in the zone all 20 frames.
    assert summary.loc["Box1", "zone:left"] == 20
    assert (summary.visible == 20).all() and (summary.missing == 0).all()


def test_wrong_arguments_are_named(walking_clip, tmp_path):
    clip, _ = walking_clip
    with pytest.raises(ValueError, match="bin"):
        pu.behaviour(clip, bin="ten minutes")
    with pytest.raises(ValueError, match="scale"):
        pu.behaviour(clip, px_per_metre=0.0)
    (tmp_path / "z.json").write_text('{"annotations": []}')
    with pytest.raises(ValueError, match="not a LabelMe-style file"):
        pu.behaviour(clip, zones=tmp_path / "z.json")
    with pytest.raises(TypeError, match="bin"):
        pu.behaviour(clip, bin=600)


def test_scale_from_the_pens_real_size(walking_clip, tmp_path):
    clip, _ = walking_clip
    pen = tmp_path / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [400, 0], [400, 250], [0, 250]]}]}))
    # 400 x 250 px over 4 x 2.5 m: 100 px a metre, as a string or a pair.
    for size in ("4x2.5", (4, 2.5), [4.0, np.float64(2.5)]):
        summary = pu.behaviour(clip, bin="10f", pen=pen, pen_size=size)["behaviour"]
        metres = summary[(summary.animal == "Box0") & (summary.measure == "distance_m")].value.sum()
        assert metres == pytest.approx(0.76, abs=0.01), size
    # Metres in every table beside the pixels: speeds, areas, the summary.
    out = pu.behaviour(clip, bin="10f", pen=pen, pen_size="4x2.5")
    tidy, whole = out["behaviour"], out["summary"]
    units = dict(zip(tidy.measure, tidy.unit))
    assert units["mean_speed_m"] == "m/frame" and units["median_area_m2"] == "m2" and units["median_area"] == "px2"
    row = whole[whole.animal == "Box0"].iloc[0]
    assert row.distance_m == pytest.approx(row.distance_px / 100)
    assert row.mean_speed_m == pytest.approx(row.mean_speed_px / 100)
    assert row.median_area_m2 == pytest.approx(row.median_area_px / 100 ** 2)
    assert "distance_m" not in pu.behaviour(clip, bin="10f")["summary"].columns
    with pytest.raises(ValueError, match="pen_size needs pen"):
        pu.behaviour(clip, pen_size=(4, 2.5))
    with pytest.raises(ValueError, match="not both"):
        pu.behaviour(clip, pen=pen, pen_size="4x2.5", px_per_metre=100)
    with pytest.raises(ValueError, match="pen_size"):
        pu.behaviour(clip, pen=pen, pen_size="4 by 2.5")
    with pytest.raises(ValueError, match="positive"):
        pu.behaviour(clip, pen=pen, pen_size=(4, -1))
    with pytest.raises(TypeError, match="pen_size"):
        pu.behaviour(clip, pen=pen, pen_size=4)
