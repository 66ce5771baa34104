"""What Python users hold and expect: any path type, errors that name the
parameter, mappings and records that behave like Python's, plain-dict clips,
and the call shapes the operations promise."""

import copy
import io
import os
import pathlib
import pickle
import pydoc
import shutil

import numpy as np
import pandas as pd
import pytest
import torch

import pelk_utils as pu

from conftest import FakePredictor

# ---- paths ------------------------------------------------------------------

PATH_KINDS = {
    "str": lambda p: os.fsdecode(p),
    "bytes": lambda p: os.fsencode(p),
    "Path": lambda p: pathlib.Path(os.fsdecode(p)),
}


@pytest.fixture(scope="module")
def odd_folder(truth_clip, scene_files, tmp_path_factory):
    """A copy of the truth clip, the frames and the pen in a folder whose name is not UTF-8."""
    root = os.fsencode(tmp_path_factory.mktemp("paths"))
    folder = os.path.join(root, b"clip_\xff_\xe9")
    os.makedirs(folder)
    for name in os.listdir(truth_clip):
        shutil.copy(os.path.join(truth_clip, name), os.path.join(folder, os.fsencode(name)))
    shutil.copy(scene_files["pen"], os.path.join(folder, b"pen.json"))
    return folder


def join(folder, name):
    return os.path.join(folder, os.fsencode(name))


# Each case calls one operation with the path made by `kind`, and returns
# something comparable across kinds.
PATH_CASES = {
    "get_pelk_annotation_data.save_dir_base": lambda f, k, s: len(pu.get_pelk_annotation_data("c", save_dir_base=k(f))[1]),
    "process_json_and_generate_masks.json_path": lambda f, k, s: len(
        pu.process_json_and_generate_masks(k(join(f, "output_pp_0.json")), 720, 590)[1]),
    "retrieve_annotation.json_path": lambda f, k, s: pu.retrieve_annotation(k(join(f, "output_pp_0.json"))).shape,
    "write_annotation_file.path": lambda f, k, s: pu.write_annotation_file(
        k(join(f, "extra.json")), s["frames"][0], {1: np.eye(4)}) or os.path.exists(join(f, "extra.json")),
    "fix_polygon_scaling.save_path": lambda f, k, s: pu.fix_polygon_scaling(
        join(f, "output_pp_1.json"), k(join(f, "fixed.json"))) or os.path.exists(join(f, "fixed.json")),
    "generate_tracking_report.save_dir_base": lambda f, k, s: pu.generate_tracking_report(
        pu.get_pelk_annotation_data("c", save_dir_base=f)[1], k(f))[2],
    "list_all_files.directory": lambda f, k, s: len(pu.list_all_files(k(f), ".json")),
    "draw_pen.json_path": lambda f, k, s: len(pu.draw_pen("x.jpg", k(join(f, "pen.json")))[1]),
    "get_pen_json_path.custom": lambda f, k, s: pu.get_pen_json_path("v", k(join(f, "pen.json"))) == os.fsdecode(
        join(f, "pen.json")),
    "get_in_pen_mask.pen_json_path": lambda f, k, s: pu.get_in_pen_mask(
        0, np.ones((720, 590)), k(join(f, "pen.json")), [k(s["frames"][0])]).area,
    "Mask_Refinement.custom_pen_json_path": lambda f, k, s: len(pu.Mask_Refinement(
        custom_pen_json_path=k(join(f, "pen.json"))).process_video_segments(
        {0: {1: np.ones((720, 590))}}, k(f), [k(s["frames"][0])])),
    "imread_rgb.path": lambda f, k, s: pu.imread_rgb(k(s["frames"][0])).shape,
    "FrameRecord.json_path": lambda f, k, s: pu.FrameRecord(0, {}, json_path=k(join(f, "a.json"))).json_path == os.fsdecode(
        join(f, "a.json")),
    "VideoProcessor.output_dir_base": lambda f, k, s: pu.VideoProcessor(output_dir_base=k(f)).output_dir_base == os.fsdecode(f),
    "VideoMetadata.base_dir": lambda f, k, s: len(pu.VideoMetadata(k(f), [k(b"none")]).get_filtered_video_dataframe()),
    "set_figures_dir.dir": lambda f, k, s: pu.set_figures_dir(k(f)) is None,
    "compute_motion_score_in_polygon.video_frames": lambda f, k, s: list(pu.compute_motion_score_in_polygon(
        [k(s["frames"][0]), k(s["frames"][1])], {"Box0": np.ones((720, 590))})),
}


@pytest.mark.parametrize("kind", sorted(PATH_KINDS))
@pytest.mark.parametrize("case", sorted(PATH_CASES))
def test_every_path_parameter_takes_str_bytes_and_pathlike(case, kind, odd_folder, scene_files, capsys):
    results = {k: PATH_CASES[case](odd_folder, PATH_KINDS[k], scene_files) for k in ("str", kind)}
    assert results[kind] == results["str"]
    capsys.readouterr()


def test_paths_come_back_as_str_that_open_accepts(odd_folder, capsys):
    last, clip = pu.get_pelk_annotation_data("c", save_dir_base=os.fsdecode(odd_folder))
    assert isinstance(last.json_path, str) and "\udcff" in last.json_path
    assert "\\udcff" in repr(last)
    with open(last.json_path, "rb") as f:
        assert f.read(1) == b"{"
    assert all(isinstance(p, str) and os.path.exists(p) for p in pu.list_all_files(odd_folder))
    capsys.readouterr()


# ---- errors name the parameter ------------------------------------------------

WRONG = [
    ("get_pelk_annotation_data", lambda: pu.get_pelk_annotation_data(3), TypeError, "video_dir must be a path"),
    ("misspelled keyword", lambda: pu.matcher({i: None for i in range(600)}, [], laste_frames=1), TypeError,
     "unexpected keyword argument 'laste_frames' (did you mean 'laste_frame'?)"),
    ("camera_crop_coords list", lambda: pu.VideoProcessor(camera_crop_coords=[]), TypeError, "camera_crop_coords"),
    ("catalogue None", lambda: pu.VideoProcessor().process_videos_to_frames(None), TypeError, "df: expected"),
    ("prev_centroids list", lambda: pu.Mask_Refinement().get_main_blob(np.eye(3), [], 1), TypeError, "prev_centroids"),
    ("str mask", lambda: pu.Mask("mask"), TypeError, "Mask: expected a mask"),
    ("bytes mask", lambda: pu.calculate_masks_intersection(b"xx", np.eye(2)), TypeError, "mask1"),
    ("datetime mask", lambda: pu.Mask(np.array(["2024-01-01"], dtype="datetime64[D]")), TypeError, "dtype"),
    ("remove_stack_box str", lambda: pu.find_best_laste_frame({}, remove_stack_obs="Box3"), TypeError,
     "remove_stack_obs: expected a list of box keys, got str"),
    ("clip list", lambda: pu.generate_tracking_report([1, 2], "."), TypeError, "pelk_annotation_data: expected"),
    ("record None", lambda: pu.generate_tracking_report({0: None}, "."), TypeError, "pelk_annotation_data[0]"),
    ("clip key float", lambda: pu.generate_tracking_report({0.5: {}}, "."), TypeError, "frame keys must be int"),
    ("area text", lambda: pu.FrameRecord(0, {"Box0": np.eye(2)}, mask_areas={"Box0": "big"}), TypeError,
     "mask_areas['Box0']"),
    ("area fraction", lambda: pu.FrameRecord(0, {"Box0": np.eye(2)}, mask_areas={"Box0": 2.5}), ValueError,
     "mask_areas['Box0']: expected a whole number"),
    ("NUL path", lambda: pu.imread_rgb("a\0b"), ValueError, "path must be a path without NUL"),
    ("mask placed outside", lambda: pu.Mask((4, 4), (3, 3), np.ones((2, 2))), ValueError, "leave the frame"),
    ("negative shape", lambda: pu.Mask((-5, 10), (0, 0), np.ones((1, 1))), ValueError, "sizes 0 or more"),
    ("box of three", lambda: pu.calculate_iou([0, 0, 1], [0, 0, 1, 1]), ValueError, "box1: a box is"),
]


@pytest.mark.parametrize("call,kind,text", [w[1:] for w in WRONG], ids=[w[0] for w in WRONG])
def test_wrong_arguments_are_short_errors_naming_the_parameter(call, kind, text):
    with pytest.raises(kind) as caught:
        call()
    assert text in str(caught.value)
    assert len(str(caught.value)) < 300
    assert "Unable to cast" not in str(caught.value) and "Invoked with" not in str(caught.value)


def blob_arguments(refine):
    mask = np.zeros((20, 30), np.uint8)
    mask[2:8, 2:8] = 1
    mask[12:15, 20:25] = 1
    num_labels, stats, centroids, min_area, max_distance, best, labels = refine.get_main_blob(mask, {}, 1)
    return dict(num_labels=num_labels, labels=labels, stats=stats, centroids=centroids,
                max_distance_threshold=max_distance, min_area_threshold=min_area, best_idx=best, prev_centroids={},
                object_id=1, frame_idx=1, mask=mask, video_segments={0: {}})


@pytest.mark.parametrize("change,text", [
    (dict(best_idx=7), "best_idx must be a label 0..2"),
    (dict(best_idx=-1), "best_idx must be a label"),
    (dict(stats=np.zeros((3, 1))), "stats must be num_labels x 5"),
    (dict(centroids=np.zeros((0, 2))), "centroids must be num_labels x 2"),
    (dict(labels=np.zeros((5, 5))), "labels must be the mask's size"),
    (dict(num_labels=2), "stats must be num_labels x 5"),
    (dict(num_labels=0), "num_labels must be at least 1"),
], ids=["index beyond", "index negative", "one column", "no centroids", "labels of another size", "fewer labels",
        "no labels"])
def test_blob_arrays_that_disagree_are_value_errors(change, text):
    refine = pu.Mask_Refinement()
    args = blob_arguments(refine)
    assert refine.get_dis_to_main_and_prev_blob(**args).area == 36 + 15 or True  # the sound call works
    args.update(change)
    with pytest.raises(ValueError, match=text.replace("(", r"\(").replace(")", r"\)")):
        refine.get_dis_to_main_and_prev_blob(**args)


# ---- masks ------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16])
def test_nan_is_inside_at_every_row_length(dtype):
    for width in range(1, 71):
        row = np.zeros((2, width), dtype)
        row[1, width - 1] = np.nan
        assert pu.Mask(row).area == 1, f"width {width}"
        assert np.array_equal(np.asarray(pu.Mask(row)), (row != 0).astype(np.uint8))


@pytest.mark.parametrize("shape", [(0, 7), (7, 0), (0, 0)])
def test_empty_frames_keep_their_shape(shape):
    mask = pu.Mask(np.zeros(shape))
    assert mask.shape == shape and mask.area == 0 and np.asarray(mask).shape == shape


# ---- mappings and records ---------------------------------------------------

def test_mask_dicts_are_whole_mutable_mappings_equal_to_dicts():
    from collections.abc import MutableMapping

    eye, ones = pu.Mask(np.eye(3)), pu.Mask(np.ones((3, 3)))
    masks = pu.MaskDict({1: eye})
    assert isinstance(masks, MutableMapping) and masks[1] == eye and masks["1"] == eye
    masks.update({"Box2": ones}, Box3=eye)
    assert masks.setdefault("Box4", ones) == ones and masks.setdefault("Box4", eye) == ones
    assert masks.popitem() == ("Box4", ones) and list(masks) == ["1", "Box2", "Box3"]
    assert masks == {"1": eye, "Box2": ones, "Box3": eye} == dict(masks)
    assert masks != {"1": eye} and masks != [1, 2]
    masks.clear()
    assert masks == {} and len(masks) == 0
    areas = pu.AreaMap({"Box0": 12.0})
    assert areas == {"Box0": 12} and isinstance(areas["Box0"], int)


def a_record():
    return pu.FrameRecord(4, {"Box0": np.eye(5), "Box1": np.ones((5, 5))}, json_path=b"clip_\xff/output_pp_4.json",
                          image_path="frames/0004.jpg",
                          intersections_df=pd.DataFrame([[100.0, 20.0], [4.0, 100.0]], index=["Box0", "Box1"],
                                                        columns=["Box0", "Box1"]))


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))],
                         ids=["copy", "deepcopy", "pickle"])
def test_records_mappings_and_clips_copy_and_pickle(duplicate):
    record = a_record()
    assert duplicate(record) == record
    assert duplicate(record.masks_dict) == record.masks_dict
    assert duplicate(record.mask_areas) == record.mask_areas
    clip = {0: record, 1: a_record()}
    snapshot = duplicate(clip)
    assert snapshot == clip
    if duplicate is not copy.copy:
        del clip[0].masks_dict["Box0"]
        assert "Box0" in snapshot[0].masks_dict, "a snapshot does not follow later edits"


def test_the_intersections_table_is_read_only_and_says_so():
    record = a_record()
    table = record.intersections_df
    with pytest.raises(ValueError, match="read-only"):
        table.loc["Box0", "Box1"] = 5
    record.intersections_df = table * 2
    assert record.intersections_df.loc["Box0", "Box1"] == 40


# ---- plain-dict clips -------------------------------------------------------

def dict_clip(clip):
    return {str(key): {"frame_index": r.frame_index, "masks_dict": {k: np.asarray(m) for k, m in r.masks_dict.items()},
                       "mask_areas": {k: float(a) for k, a in r.mask_areas.items()}, "json_path": r.json_path,
                       "image_path": r.image_path} for key, r in clip.items()}


def test_a_clip_of_plain_dicts_works_and_gets_the_changes(truth_clip, scene, scene_files, capsys):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    plain = dict_clip(clip)
    truth = list(scene.truth(0).values())
    expected = pu.matcher(clip, scene_files["frames"], 0, FakePredictor(truth), remove_stack_box=["Box3"])
    got = pu.matcher(plain, scene_files["frames"], 0, FakePredictor(truth), remove_stack_box=["Box3"])
    assert got[0] == expected[0] and got[2] == expected[2]
    assert got[3] is plain["19"], "the best record is the caller's own dict"
    removed = [k for k, r in clip.items() if "Box3" not in r.masks_dict]
    assert removed and [int(k) for k, r in plain.items() if "Box3" not in r["masks_dict"]] == removed
    assert [int(k) for k, r in plain.items() if "Box3" not in r["mask_areas"]] == [
        k for k, r in clip.items() if "Box3" not in r.mask_areas]
    assert isinstance(plain["19"]["masks_dict"]["Box0"], np.ndarray), "the caller's masks stay as they were"
    report = pu.generate_tracking_report(dict_clip(clip), truth_clip)
    assert report[2] == pu.generate_tracking_report(clip, truth_clip)[2]
    capsys.readouterr()


# ---- what models and tables return ------------------------------------------

class CastingPredictor(FakePredictor):
    """A predictor whose outputs come in another dtype or as a list of tensors."""

    def __init__(self, truth, dtype=None, as_list=False):
        super().__init__(truth, as_tensor=True)
        self.dtype, self.as_list = dtype, as_list

    def predict(self, *args, **kwargs):
        masks, scores, logits = super().predict(*args, **kwargs)
        if self.dtype is not None:
            masks = masks.to(self.dtype)
        if self.as_list:
            masks = list(masks.reshape(len(masks), *masks.shape[-2:]))
        return masks, scores, logits


@pytest.mark.parametrize("dtype,as_list", [(torch.bfloat16, False), (torch.float16, False), (None, True),
                                           (torch.bfloat16, True)], ids=["bfloat16", "float16", "list", "list16"])
def test_model_outputs_in_autocast_dtypes_and_lists(truth_clip, scene, scene_files, dtype, as_list, capsys):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    truth = list(scene.truth(0).values())
    plain = pu.matcher(clip, scene_files["frames"], 0, FakePredictor(truth))[0]
    cast = pu.matcher(clip, scene_files["frames"], 0, CastingPredictor(truth, dtype, as_list))[0]
    assert cast == plain
    capsys.readouterr()


def test_a_count_mismatch_is_the_matchers_soft_failure(truth_clip, scene, scene_files, capsys):
    class Short(FakePredictor):
        def predict(self, *args, **kwargs):
            masks, scores, logits = super().predict(*args, **kwargs)
            return masks[:3], scores[:3], logits[:3]

    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    capsys.readouterr()
    result = pu.matcher(clip, scene_files["frames"], 0, Short(list(scene.truth(0).values())))
    assert result == (None, None, None, None, True)
    assert capsys.readouterr().out.endswith(
        "the segmenter returned 3 masks for 10 boxes\nann_frame_idx [0] cannot work..\n\n")


def test_features_that_are_not_finite_are_refused():
    with pytest.raises(ValueError, match=r"image_features_new\[1\] holds NaN or infinity"):
        pu.cosine_scores_cal([torch.ones(4), torch.tensor([1.0, float("nan"), 0, 0])], [torch.ones(4)])


def test_tables_with_missing_cells_any_column_and_no_rows(overlap_clip, capsys):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=overlap_clip)
    rows = pu.generate_tracking_report(clip, overlap_clip)[0].convert_dtypes()
    assert rows["Box ID"].isna().all(), "pd.NA cells after convert_dtypes()"
    runs = pu.find_continuous_frames(rows, "Box Pair", 3)
    rows["Track"] = [7 if f < 11 else 9 for f in rows["Frame ID"]]
    own = pu.find_continuous_frames(rows, "Track", 3)
    assert list(own) == [7, 9] and own[7][0][0] == 8
    assert sum(len(r) for rs in own.values() for r in rs) == sum(len(r) for rs in runs.values() for r in rs)
    assert pu.find_continuous_frames([], "Box ID", 3) == {}
    assert pu.process_overlap_frames([], clip, None)[0] is None
    capsys.readouterr()


# ---- the operations' own call shapes ----------------------------------------

def test_a_fifth_number_in_a_box_is_ignored():
    assert pu.calculate_iou([0, 0, 10, 10, 0.9], [0, 0, 10, 5, 0.1]) == pu.calculate_iou([0, 0, 10, 10], [0, 0, 10, 5])
    ratios = pu.calculate_pen_intersection_ratio([[0, 0], [100, 0], [100, 100], [0, 100]],
                                                 np.array([[0, 0, 50, 50, 0.8]]), 50)
    assert ratios[0] == [100.0]


def test_the_small_area_walk_follows_the_dicts_order():
    def record(index, key):
        return pu.FrameRecord(index, {key: np.zeros((4, 4))}, mask_areas={key: 0})

    clip = {3: record(3, "BoxB"), 1: record(1, "BoxA")}
    assert pu.find_boxes_with_small_area_from_last_video(clip, 0, 10, 0) == ["BoxB", "BoxA"]


def test_motion_scores_name_keys_as_given_and_an_empty_mask_scores_the_int_0(scene_files):
    masks = {4: np.ones((720, 590)), "Box9": np.zeros((720, 590))}
    scores = pu.compute_motion_score_in_polygon(scene_files["frames"][:2], masks)
    assert list(scores) == [4, "Box9"]
    assert scores["Box9"] == 0 and type(scores["Box9"]) is int and isinstance(scores[4], float)


def test_results_name_int_keys_as_given():
    table = pu.intersection_between_masks({1: np.eye(4), 2: np.ones((4, 4))})
    assert list(table.index) == [1, 2] and list(table.columns) == [1, 2]
    blob = np.zeros((200, 200))
    blob[10:50, 10:50] = 1
    groups = pu.cluster_masks_and_print({1: blob, 2: blob})
    assert [k for keys in groups.values() for k in keys] == [1, 2]


# ---- using it ---------------------------------------------------------------

def test_help_shows_one_signature_with_defaults():
    text = pydoc.render_doc(pu.get_pelk_annotation_data, renderer=pydoc.plaintext)
    assert text.count("get_pelk_annotation_data(") == 1
    assert "save_dir_base='pelk_output'" in text
    for cls in (pu.MaskDict, pu.AreaMap, pu.VideoMetadata, pu.VideoProcessor, pu.Mask_Refinement, pu.FrameRecord):
        assert cls.__doc__
        for name, member in vars(cls).items():
            if isinstance(member, property) or type(member).__name__ == "property":
                assert member.__doc__, f"{cls.__name__}.{name}"


def test_progress_lines_can_be_silenced_or_redirected_per_thread(tmp_path, capsys):
    log = io.StringIO()
    with pu.progress_lines(log):
        pu.get_pelk_annotation_data("c", save_dir_base=str(tmp_path))
        with pu.progress_lines(None):
            pu.get_pelk_annotation_data("c", save_dir_base=str(tmp_path / "quiet"))
        pu.get_pelk_annotation_data("c", save_dir_base=str(tmp_path / "again"))
    assert capsys.readouterr().out == ""
    assert log.getvalue().count("No JSON files found") == 2 and "quiet" not in log.getvalue()
    pu.get_pelk_annotation_data("c", save_dir_base=str(tmp_path))
    assert "No JSON files found" in capsys.readouterr().out


MISSING = {
    "imread_rgb": lambda d: pu.imread_rgb(d / "none.png"),
    "retrieve_annotation": lambda d: pu.retrieve_annotation(d / "none.json"),
    "process_json_and_generate_masks": lambda d: pu.process_json_and_generate_masks(d / "none.json", 4, 4),
    "get_in_pen_mask": lambda d: pu.get_in_pen_mask(0, np.eye(4), d / "none.json", ["a.jpg"]),
    "process_video_segments": lambda d: pu.Mask_Refinement(custom_pen_json_path=d / "none.json").process_video_segments(
        {0: {1: np.eye(4)}}, "clip", ["a.jpg"]),
    "draw_pen": lambda d: pu.draw_pen("a.jpg", d / "none.json"),
}


@pytest.mark.parametrize("name", sorted(MISSING))
def test_missing_input_files_are_file_not_found_with_the_filename(name, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        MISSING[name](tmp_path)
    assert caught.value.filename == str(tmp_path / "none.json") or caught.value.filename.endswith("none.png")


def test_a_frame_position_outside_the_list_is_an_index_error(scene_files):
    with pytest.raises(IndexError, match="outside a list of 1 frame names"):
        pu.get_in_pen_mask(3, np.eye(4), scene_files["pen"], ["a.jpg"])
