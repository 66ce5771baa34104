"""Tracks out, as a notebook user drives them: the table against a numpy
computation of the same columns from the annotation files, the exchange
formats read back with the standard library's parsers, the xarray layout."""

import json
import os
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

import pelk_utils as pu
from conftest import write_clip


def numpy_shape(mask):
    """Box, centroid, area, orientation and axes of a 0/1 array, from its pixels."""
    ys, xs = np.nonzero(mask)
    cx, cy = xs.mean(), ys.mean()
    a, b, c = ((xs - cx) ** 2).mean(), ((xs - cx) * (ys - cy)).mean(), ((ys - cy) ** 2).mean()
    gap = np.sqrt(((a - c) / 2) ** 2 + b * b)
    degrees = np.degrees(0.5 * np.arctan2(2 * b, a - c)) % 180
    return dict(x_min=xs.min(), y_min=ys.min(), x_max=xs.max(), y_max=ys.max(), centroid_x=cx, centroid_y=cy,
                area=len(xs), orientation=degrees, long_axis=4 * np.sqrt((a + c) / 2 + gap),
                short_axis=4 * np.sqrt(max(0.0, (a + c) / 2 - gap)))


@pytest.fixture(scope="module")
def two_clips(scene, scene_files, tmp_path_factory):
    """Frames 0..9 and 10..19 of the scene as two clips; Box4 is missing in frame 12."""
    root = tmp_path_factory.mktemp("two_clips")
    masks = [scene.truth(f) for f in range(20)]
    del masks[12]["Box4"]
    frames = scene_files["frames"]
    return [write_clip(root / "a", frames[:10], masks[:10]), write_clip(root / "b", frames[10:], masks[10:])]


def test_the_table_equals_a_numpy_computation_from_the_files(two_clips, scene_files):
    table = pu.tracks_table(two_clips, pen=scene_files["pen"])
    assert len(table) == 20 * 10
    assert list(table.columns[:6]) == ["clip", "frame_key", "frame_image", "time", "identity", "present"]
    assert table["time"].isna().all(), "frames outside an extract tree have no time"
    assert table.attrs["notes"] == ["times: none for frames outside a `pelk extract` tree (frame keys only)"]
    for clip in two_clips:
        for name in sorted(os.listdir(clip)):
            if not name.endswith(".json"):
                continue
            key = int(name[len("output_pp_"):-5])
            image, masks, keys = pu.process_json_and_generate_masks(os.path.join(clip, name), 720, 590)
            rows = table[(table["clip"] == clip) & (table["frame_key"] == key)].set_index("identity")
            for number, mask in zip(keys, masks):
                box = f"Box{number}"
                expected = numpy_shape(np.asarray(mask))
                row = rows.loc[box]
                assert row["present"]
                for column in ("x_min", "y_min", "x_max", "y_max", "area", "centroid_x", "centroid_y"):
                    assert row[column] == expected[column], (clip, key, box, column)
                for column in ("orientation", "long_axis", "short_axis"):
                    assert row[column] == pytest.approx(expected[column], rel=1e-6, abs=1e-9), (key, box, column)
                assert 0 <= row["in_pen"] <= 1
    absent = table[(table["clip"] == two_clips[1]) & (table["frame_key"] == 2) & (table["identity"] == "Box4")]
    assert len(absent) == 1 and not absent["present"].iloc[0] and np.isnan(absent["centroid_x"].iloc[0])


def test_exports_read_back_with_the_standard_library(two_clips, tmp_path):
    summary = pu.export_tracks(two_clips, "coco", tmp_path / "coco.json")
    assert summary["frames"] == 20 and summary["objects"] == 199 and summary["identities"] == 10
    coco = json.loads((tmp_path / "coco.json").read_text())
    table = pu.tracks_table(two_clips)
    present = table[table["present"]].reset_index(drop=True)
    assert len(coco["annotations"]) == len(present)
    for a, (_, row) in zip(coco["annotations"], present.iterrows()):
        assert a["track_id"] == a["attributes"]["track_id"] == int(row["identity"][3:]) + 1
        assert a["bbox"] == [row["x_min"], row["y_min"], row["x_max"] - row["x_min"] + 1, row["y_max"] - row["y_min"] + 1]
        # area is the segmentation's own (shoelace) area; coco-rle gives the pixel count
        own = sum(0.5 * abs(np.dot(np.array(p[0::2]), np.roll(p[1::2], -1)) - np.dot(np.array(p[1::2]), np.roll(p[0::2], -1)))
                  for p in a["segmentation"])
        assert a["area"] == pytest.approx(own, rel=1e-9)
    pu.export_tracks(two_clips, "coco-rle", tmp_path / "rle.json")
    rle = json.loads((tmp_path / "rle.json").read_text())
    for a, (_, row) in zip(rle["annotations"], present.iterrows()):
        assert a["area"] == row["area"] == sum(a["segmentation"]["counts"][1::2])

    pu.export_tracks(two_clips, "cvat", tmp_path / "tracks.xml")
    root = ET.parse(tmp_path / "tracks.xml").getroot()
    assert root.find("version").text == "1.1"
    tracks = [t for t in root.findall("track") if t.find("attribute") is None]
    assert len(tracks) == 10 and all(len(t.findall("polygon")) == 20 for t in tracks)
    box4 = tracks[4].findall("polygon")
    assert box4[12].get("outside") == "1" and box4[11].get("outside") == "0"
    # The polygon of the file, in pixels.
    with open(os.path.join(two_clips[0], "output_pp_0.json")) as f:
        detection = json.load(f)["detections"][0]
    numbers = [float(v) for v in detection["formatted_polygon"][0].split()[1:]]
    pixels = [v * (590 if i % 2 == 0 else 720) for i, v in enumerate(numbers)]
    got = [float(v) for pair in tracks[0].findall("polygon")[0].get("points").split(";") for v in pair.split(",")]
    assert got == pytest.approx(pixels, rel=1e-12) and len(got) == len(pixels)

    mot = pu.export_tracks(two_clips, "mot", tmp_path / "tracks.txt")
    rows = np.loadtxt(tmp_path / "tracks.txt", delimiter=",")
    assert rows.shape == (199, 10)
    mapping = json.loads(open(mot["mapping"]).read())
    assert mapping["ids"]["Box4"] == 5 and mapping["clips"][1]["first_frame"] == 11
    first = present.iloc[0]
    assert list(rows[0, :6]) == [1, 1, first["x_min"], first["y_min"], first["x_max"] - first["x_min"] + 1,
                                 first["y_max"] - first["y_min"] + 1]


def test_the_dataset_has_the_movement_toolboxes_layout(two_clips):
    pytest.importorskip("xarray")
    ds = pu.tracks_dataset(two_clips)
    assert dict(ds.sizes) == {"time": 20, "space": 2, "individuals": 10}
    assert list(ds["space"].values) == ["x", "y"] and ds.attrs["time_unit"] == "frames"
    table = pu.tracks_table(two_clips)
    row = table[(table["clip"] == two_clips[1]) & (table["frame_key"] == 3) & (table["identity"] == "Box7")].iloc[0]
    assert ds["position"].sel(individuals="Box7", space="x").values[13] == row["centroid_x"]
    assert np.isnan(ds["confidence"].sel(individuals="Box4").values[12])


@pytest.mark.parametrize("call,kind,text", [
    (lambda c, t: pu.tracks_table([]), ValueError, "folders: give at least one clip folder"),
    (lambda c, t: pu.tracks_table(t / "nope"), FileNotFoundError, "does not exist"),
    (lambda c, t: pu.tracks_table(c, fps=0), ValueError, "fps: expected a frame rate above 0"),
    (lambda c, t: pu.tracks_table(c, pen=5), TypeError, r"^tracks_table\(\): pen must be .*got int$"),
    (lambda c, t: pu.export_tracks(c, "mot", t / "x", videos=3.5), TypeError, r"^export_tracks\(\): videos must be"),
    (lambda c, t: pu.tracks_table(c[::-1]), None, None),
    (lambda c, t: pu.tracks_table(c + c[:1]), ValueError, "is given twice"),
    (lambda c, t: pu.export_tracks(c, "csv", t / "x"), ValueError, "format: expected 'mot', 'cvat', 'coco' or 'coco-rle'"),
    (lambda c, t: pu.export_tracks(c, "mot", os.path.join(c[0], "x.txt")), ValueError, "lies inside the clip folder"),
], ids=["no_folders", "missing_folder", "zero_fps", "pen_int", "videos_float", "any_order_without_times", "same_folder_twice", "unknown_format", "inside_clip"])
def test_wrong_calls_are_named(two_clips, tmp_path, call, kind, text):
    if kind is None:
        call(two_clips, tmp_path)  # without times the order of clips cannot be checked
        return
    with pytest.raises(kind, match=text):
        call(two_clips, tmp_path)
    assert not os.path.exists(os.path.join(two_clips[0], "x.txt"))


def test_frames_under_an_extract_tree_get_times_and_the_dataset_seconds(scene, scene_files, tmp_path):
    import shutil

    tree = tmp_path / "frames" / "20240405" / "Camera62_1_20240405070000" / "0.1min_to_0.2min" / "right_cropped_frames"
    tree.mkdir(parents=True)
    images = []
    for i, source in enumerate(scene_files["frames"][:3]):
        images.append(str(tree / f"{i:04d}.jpg"))
        shutil.copy(source, images[-1])
    clip = write_clip(tmp_path / "clip", images, [scene.truth(f) for f in range(3)])
    table = pu.tracks_table([clip], fps=25)
    times = table.drop_duplicates("frame_key")["time"].tolist()
    # 0000.jpg of the range from 0.1 min is the recording's frame 150 + 1.
    assert times[0] == pd.Timestamp("2024-04-05T07:00:06.040")
    assert [t - times[0] for t in times] == [pd.Timedelta(milliseconds=40 * k) for k in range(3)]
    assert "at 25 fps" in table.attrs["notes"][0]
    pytest.importorskip("xarray")
    ds = pu.tracks_dataset([clip], fps=25)
    assert ds.attrs["time_unit"] == "seconds" and ds.attrs["time_start"] == "2024-04-05T07:00:06.040000"
    assert list(ds["time"].values) == pytest.approx([0, 0.04, 0.08])
