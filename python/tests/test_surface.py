"""The callable surface: names, parameters, defaults, argument checks, data types."""

import contextlib
import io
import json
import inspect
import os
import re
import subprocess

import numpy as np
import pandas as pd
import pytest

import pelk_utils as pu

# Every free function: its parameters in order, those with a default marked "=".
SURFACE = {
    "list_all_files": "directory ext=",
    "draw_masks_on_image": "image masks",
    "img_bbx_drawing": "image mask_dict",
    "draw_pen": "image_path json_path drawout=",
    "calculate_pen_intersection_ratio": "polygon_points boxes ratio_threshold",
    "calculate_iou": "box1 box2",
    "fix_polygon_scaling": "json_path save_path=",
    "initializer": "video_dir frame_names processor grounding_model device image_predictor start_index= step= "
                   "gdino_thr= close_set_num= custom_pen_json_path=",
    "retrieve_annotation": "json_path save_path= box_drawing= object_ids=",
    "get_pen_json_path": "video_dir custom_pen_json_path=",
    "process_json_and_generate_masks": "json_path height width",
    "calculate_masks_intersection": "mask1 mask2",
    "calculate_masks_intersection_new": "mask1 mask2 mask_area_1 mask_area_2",
    "intersection_between_masks": "masks_dict processed_mask_areas=",
    "cluster_masks_and_print": "masks_dict eps= min_samples=",
    "compute_motion_score_in_polygon": "video_frames masks_dict",
    "draw_intersection_heatmap": "intersections_df",
    "process_gdino_results": "gdino_results target_label=",
    "get_pelk_annotation_data": "video_dir last_or_not= ixx= save_dir_base=",
    "enhance_dark_text": "image_pil gamma=",
    "generate_sam2_image_features": "image masks image_predictor",
    "cal_masks_iou_scores": "masks_new masks_old",
    "cal_centroid_distance": "masks_new masks_old",
    "get_in_pen_mask": "frame_idx test_mask pen_json_path frame_names",
    "find_best_laste_frame": "laste_frame min_area= max_attempts= remove_stack_obs=",
    "find_continuous_frames": "frames_df group_by= n_consecutive=",
    "cosine_scores_cal": "image_features_new image_features_old",
    "process_overlap_frames": "overlap_frames_dataframe pelk_annotation_data image_predictor n_consecutive=",
    "video_segments_mask_visual": "video_segments frame_idx object_id",
    "matcher": "laste_frame frame_names ann_frame_idx= image_predictor= remove_stack_box= min_area= max_attempts= "
               "display_func=",
    "generate_tracking_report": "pelk_annotation_data save_dir_base intersection_thrr=",
    "find_boxes_with_small_area_from_last_video": "laste_frame min_frame_id= area_threshold= min_count=",
    "VideoMetadata.__init__": "base_dir sub_dirs filter_start= filter_end= sample_step= top_n= match_pattern= "
                              "camera_number=",
    "VideoMetadata.get_filtered_video_dataframe": "",
    "VideoProcessor.__init__": "resize_dim= frame_skip= time_step= output_dir_base= camera_crop_coords= crop= "
                               "left_crop=",
    "VideoProcessor.get_video_duration": "video_path",
    "VideoProcessor.find_orange_region": "frame",
    "VideoProcessor.crop_video_to_frames": "video_path output_dir start_min= end_min= camera_number= crop=",
    "VideoProcessor.process_videos_to_frames": "df",
    "Mask_Refinement.__init__": "min_area_ratio= max_distance_ratios= max_prev_dist= custom_pen_json_path=",
    "Mask_Refinement.blob_shortest_distance": "blob_mask1 blob_mask2",
    "Mask_Refinement.get_main_blob": "mask prev_centroids object_id",
    "Mask_Refinement.get_dis_to_main_and_prev_blob": "num_labels labels stats centroids max_distance_threshold "
                                                     "min_area_threshold best_idx prev_centroids object_id frame_idx "
                                                     "mask video_segments",
    "Mask_Refinement.process_video_segments": "video_segments video_dir frame_names",
}


def signature_of(name):
    obj = pu
    for part in name.split("."):
        obj = getattr(obj, part)
    params = inspect.signature(obj).parameters.values()
    return " ".join(p.name + ("=" if p.default is not p.empty else "") for p in params if p.name != "self")


@pytest.mark.parametrize("name", sorted(SURFACE))
def test_every_operation_has_its_parameters_in_order(name):
    assert signature_of(name) == SURFACE[name]


@pytest.mark.parametrize("call", [
    lambda: pu.calculate_iou([0, 0, 1, 1]),
    lambda: pu.calculate_iou([0, 0, 1, 1], [0, 0, 1, 1], [0, 0, 1, 1]),
    lambda: pu.calculate_iou(box1=[0, 0, 1, 1], box_2=[0, 0, 1, 1]),
    lambda: pu.find_continuous_frames(),
    lambda: pu.VideoMetadata("base"),
    lambda: pu.Mask_Refinement(0.3, [0.5, 1.5], 200, "pen.json", "surplus"),
], ids=["missing", "surplus", "unknown", "none given", "class missing", "class surplus"])
def test_bad_argument_lists_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_bad_argument_lists_stop_before_the_operation_runs(truth_clip, tmp_path):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    out = tmp_path / "report"
    out.mkdir()
    with pytest.raises(TypeError):
        pu.generate_tracking_report(clip, str(out), 80, "surplus")
    with pytest.raises(TypeError):
        pu.generate_tracking_report(clip, str(out), threshold=80)
    keys_before = list(clip[19].masks_dict)
    with pytest.raises(TypeError):
        pu.find_best_laste_frame(clip, 10, 10, ["Box0"], "surplus")
    assert list(clip[19].masks_dict) == keys_before
    assert not os.listdir(out)


def test_positional_keyword_and_default_calls_agree(truth_clip, tmp_path):
    _, clip = pu.get_pelk_annotation_data("clip", False, 0, truth_clip)
    _, by_name = pu.get_pelk_annotation_data(video_dir="clip", save_dir_base=truth_clip)
    assert list(clip) == list(by_name) == list(range(20))
    a = pu.generate_tracking_report(clip, str(tmp_path), 80)
    b = pu.generate_tracking_report(pelk_annotation_data=by_name, save_dir_base=str(tmp_path))
    pd.testing.assert_frame_equal(a[0], b[0])
    assert a[1:3] == b[1:3]
    assert pu.find_boxes_with_small_area_from_last_video(clip) == pu.find_boxes_with_small_area_from_last_video(
        clip, 500, 100, 100) == []
    assert pu.find_boxes_with_small_area_from_last_video(clip, min_frame_id=-1, area_threshold=1e9, min_count=0) \
        == [f"Box{i}" for i in range(10)]


MASK_DTYPES = [np.bool_, np.uint8, np.int8, np.uint16, np.int32, np.int64, np.uint64, np.float16, np.float32,
               np.float64]


@pytest.mark.parametrize("dtype", MASK_DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("leading_axis", [False, True], ids=["HxW", "1xHxW"])
def test_masks_of_any_dtype_and_layout(dtype, leading_axis):
    raw = np.zeros((6, 9), dtype)
    raw[1:3, 2:7] = 3 if dtype is not np.bool_ else True
    raw[5, 8] = 1
    mask = pu.Mask(raw[None] if leading_axis else raw)
    assert mask.area == 11 and mask.shape == (6, 9)
    assert mask.box == (2.0, 1.0, 8.0, 5.0) and mask.bounds == (2, 1, 7, 5)
    np.testing.assert_array_equal(np.asarray(mask), (raw != 0).astype(np.uint8))
    assert np.asarray(mask, dtype=bool).dtype == np.bool_
    np.testing.assert_array_equal(mask.roi(), (raw != 0)[1:6, 2:9])


def test_mask_arrays_are_taken_as_lists_of_masks():
    stack = np.zeros((3, 1, 4, 5), np.float32)
    for i in range(3):
        stack[i, 0, i, i] = 1
    a = pu.cal_masks_iou_scores(stack, list(stack[:, 0]))
    np.testing.assert_allclose(a, np.eye(3) / (1 + 1e-6))
    with pytest.raises(ValueError, match=r"masks_new: masks must be N x H x W or N x 1 x H x W, got shape \(3, 2, 4, 5\)"):
        pu.cal_masks_iou_scores(np.zeros((3, 2, 4, 5)), stack)
    with pytest.raises(ValueError, match=r"mask1: a mask must be H x W or 1 x H x W, got shape \(2, 4, 5\)"):
        pu.calculate_masks_intersection(np.zeros((2, 4, 5)), np.zeros((4, 5)))


def test_measures_equal_a_numpy_reference(scene):
    truth = scene.truth(30)
    arrays = {key: np.asarray(m).astype(bool) for key, m in truth.items()}
    arrays["Box1"] = arrays["Box1"] | arrays["Box2"]
    table = pu.intersection_between_masks(arrays)
    assert list(table.index) == list(table.columns) == list(arrays)
    for r, a in arrays.items():
        for c, b in arrays.items():
            expected = 0.0 if r == c or a.sum() <= 1 else (a & b).sum() / a.sum() * 100
            assert table.loc[r, c] == pytest.approx(expected, abs=1e-9)
    assert pu.calculate_masks_intersection(arrays["Box2"], arrays["Box1"]) == 100.0
    r1, r2 = pu.calculate_masks_intersection_new(arrays["Box1"], arrays["Box2"], 200, 0)
    assert (r1, r2) == ((arrays["Box1"] & arrays["Box2"]).sum() / 2, 0.0)


def test_clip_data_is_a_dict_of_records(truth_clip, scene):
    last, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    assert isinstance(clip, dict) and last is clip[19]
    record = clip[3]
    assert list(record.keys()) == ["frame_index", "masks_dict", "mask_areas", "json_path", "image_path",
                                   "intersections_df"]
    assert record["frame_index"] == record.frame_index == 3
    assert record["masks_dict"]["Box4"] == scene.truth(3)["Box4"]
    assert dict(record.mask_areas) == {k: m.area for k, m in scene.truth(3).items()}
    assert record.intersections_df.shape == (10, 10)
    # Single-file loads: the last frame is the very record of the dict.
    last, one = pu.get_pelk_annotation_data("clip", ixx=4, save_dir_base=truth_clip)
    assert list(one) == [4] and last is one[4] and "intersections_df" not in one[4]
    assert pu.get_pelk_annotation_data("clip", ixx=20, save_dir_base=truth_clip) == (None, {})


def test_records_change_in_place_and_c_sees_it(truth_clip, tmp_path):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    del clip[5].masks_dict["Box0"]
    clip[5].mask_areas["Box1"] = 0
    _, zero_area, _, _ = pu.generate_tracking_report(clip, str(tmp_path))
    assert zero_area == [{"Frame ID": 5, "Report type": "Zero area detected", "Box ID": "Box1", "Mask Areas": 0}]
    built = pu.FrameRecord(7, {"Box0": np.ones((4, 4))})
    assert built["mask_areas"]["Box0"] == 16 and built.get("intersections_df") is None


def test_find_best_laste_frame_removes_keys_and_returns_the_record(truth_clip, capsys):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    best, failed = pu.find_best_laste_frame(clip, remove_stack_obs=["Box9", None, ""])
    assert failed is False and best is clip[19]
    assert all("Box9" not in r.masks_dict for r in clip.values())
    assert "Switched to frame key 19" in capsys.readouterr().out
    # Without the list ten animals are expected again, and nine remain.
    assert pu.find_best_laste_frame(clip) == (None, True)
    assert capsys.readouterr().out.startswith("No valid frame found with all masks area > 10 in the last 10 frames")


def test_report_equals_the_command_line(overlap_clip, tmp_path):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=overlap_clip)
    rows, zero_area, frames, last_rows = pu.generate_tracking_report(clip, str(tmp_path))
    ours = (tmp_path / "tracking_question_report.csv").read_bytes()
    cli = os.environ.get("PELK_CLI")
    if cli:
        subprocess.run([cli, "report", overlap_clip], check=True, capture_output=True)
        assert ours == open(os.path.join(overlap_clip, "tracking_question_report.csv"), "rb").read()
    table = pd.read_csv(io.BytesIO(ours))
    assert list(rows.columns) == list(table.columns)
    assert rows["Frame ID"].tolist() == table["Frame ID"].tolist() == frames
    assert rows["Box Pair"].tolist() == ["Box2-Box1"] * 6
    assert rows["Mask Area2"].tolist() == table["Mask Area2"].tolist()
    assert last_rows["Frame ID"].tolist() == [13]
    runs = pu.find_continuous_frames(rows, "Box Pair", 2)
    assert runs == pu.find_continuous_frames(rows.to_dict("records"), group_by="Box Pair", n_consecutive=2) \
        == {"Box2-Box1": [[8, 9, 10, 11, 12, 13]]}


def test_progress_lines_go_to_python_stdout(tmp_path, capsys):
    assert pu.get_pelk_annotation_data("clip", save_dir_base=str(tmp_path)) == (None, None)
    assert capsys.readouterr().out == f"No JSON files found in {tmp_path}. Please check the directory and try again.\n"
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        pu.get_pelk_annotation_data("clip", save_dir_base=str(tmp_path / "none"))
    assert buffer.getvalue().startswith("No JSON files found in ")


def test_errors_have_python_kinds_and_the_same_messages(tmp_path, scene):
    missing = str(tmp_path / "missing.json")
    with pytest.raises(FileNotFoundError, match="missing.json") as error:
        pu.process_json_and_generate_masks(missing, 10, 10)
    assert error.value.filename == missing
    with pytest.raises(KeyError, match="Box3"):
        pu.intersection_between_masks({"Box3": np.ones((3, 3))}, {"Box0": 9})
    with pytest.raises(ValueError, match="float division by zero"):
        pu.enhance_dark_text(np.zeros((4, 4, 3), np.uint8), 0)
    broken = tmp_path / "output_pp_1.json"
    broken.write_text("{ not json")
    with pytest.raises(ValueError, match="output_pp_1.json"):
        pu.process_json_and_generate_masks(str(broken), 10, 10)
    with pytest.raises(RuntimeError, match="cannot read image"):
        pu.imread_rgb(str(broken))
    with pytest.raises(KeyError):
        pu.video_segments_mask_visual({0: {}}, 0, 3)
    with pytest.raises(ValueError, match="frames_df row 0 'Frame ID' must be a number, got 'x'"):
        pu.find_continuous_frames([{"Frame ID": "x"}])
    with pytest.raises(FileNotFoundError, match="cannot read frame image 'nope.jpg'"):
        pu.initializer("clip", ["nope.jpg"], None, None, "cpu", None)
    good = tmp_path / "output_pp_2.json"
    pu.write_annotation_file(str(good), "frame.jpg", {1: np.ones((10, 10))})
    with pytest.raises(MemoryError, match="900001 x 900001 pixels is beyond the 1073741824 pixels"):
        pu.process_json_and_generate_masks(str(good), 10**6, 10**6)


def test_images_keep_the_callers_channel_order(scene):
    red = np.zeros((8, 8, 3), np.uint8)
    red[..., 0] = 255
    rgba = pu.draw_masks_on_image(red, [])
    assert rgba.shape == (8, 8, 4) and tuple(rgba[0, 0]) == (255, 0, 0, 255)
    grey = pu.enhance_dark_text(red)
    blue = red[..., ::-1].copy()
    assert grey.shape == (8, 8) and grey.dtype == np.uint8
    assert not np.array_equal(pu.enhance_dark_text(red, 1.5), pu.enhance_dark_text(blue, 1.5)) or grey.max() == 0
    drawn = pu.img_bbx_drawing(scene.render(0), scene.truth(0))
    assert drawn.shape == (720, 590, 4)


def test_pen_operations(scene_files, scene):
    image, points = pu.draw_pen(scene_files["frames"][0], scene_files["pen"], True)
    assert image.shape == (720, 590, 3) and all(isinstance(v, int) for p in points for v in p)
    assert pu.draw_pen("ignored.jpg", scene_files["pen"]) == (None, points)
    ratios, inside = pu.calculate_pen_intersection_ratio(points, [m.box for m in scene.truth(0).values()], 40)
    assert len(ratios) == 10 and all(inside)
    assert pu.get_pen_json_path("x", scene_files["pen"]) == scene_files["pen"]
    assert pu.get_pen_json_path("nowhere") is None
    outside = np.ones((720, 590), np.uint8)
    inside_mask = pu.get_in_pen_mask(0, outside, scene_files["pen"], scene_files["frames"])
    assert 0 < inside_mask.area < outside.sum()


def test_detection_results_are_filtered_and_sorted():
    import torch

    results = [{"scores": torch.tensor([0.5, 0.9, 0.7]), "labels": ["pig", "dog", "pig"],
                "boxes": torch.tensor([[0, 50, 10, 60], [0, 0, 1, 1], [5, 10, 15, 20]], dtype=torch.float32)}]
    boxes, scores, labels = pu.process_gdino_results(results)
    np.testing.assert_array_equal(boxes, [[5, 10, 15, 20], [0, 50, 10, 60]])
    np.testing.assert_allclose(scores, [0.7, 0.5])
    assert labels == ["pig", "pig"]


def test_annotation_rendering_and_repair(truth_clip, tmp_path, scene):
    path = os.path.join(truth_clip, "output_pp_0.json")
    picture = pu.retrieve_annotation(path, box_drawing=True, object_ids=[1, 2])
    assert picture.shape == (720, 590, 4)
    image_path, masks, keys = pu.process_json_and_generate_masks(path, 720, 590)
    assert keys == list(range(10)) and masks[0] == scene.truth(0)["Box0"]
    copy = tmp_path / "fixed.json"
    pu.fix_polygon_scaling(path, str(copy))
    fixed = json.loads(copy.read_text())
    assert len(fixed["detections"]) == 10


def test_video_classes(tmp_path):
    scene = pu.PenScene(seed=2, frame_size=(360, 295), frames=20)
    folder = tmp_path / "videos" / "cam62"
    folder.mkdir(parents=True)
    video = scene.write_camera_video(str(folder))
    meta = pu.VideoMetadata(str(tmp_path / "videos"), ["cam62"], sample_step=1)
    table = meta.get_filtered_video_dataframe()
    assert list(table.columns) == ["Camera Number", "Date", "Time", "File Path", "Video Name"]
    assert list(table.index) == [0] and table["Time"].iloc[0] == "07:00:00"
    processor = pu.VideoProcessor(time_step=0.01, output_dir_base=str(tmp_path / "frames"))
    assert processor.time_step == 0.01 and processor.camera_crop_coords == {}
    assert pu.VideoProcessor().output_dir_base == "pelk_frames"
    assert pu.VideoProcessor().camera_crop_coords is not pu.VideoProcessor().camera_crop_coords
    duration = processor.get_video_duration(video)
    assert duration == pytest.approx(20 / 25 / 60)
    processor.crop_video_to_frames(video, str(tmp_path / "range"), start_min=0, end_min=0.01, camera_number="62")
    assert sorted(os.listdir(tmp_path / "range"))[0] == "0000.jpg"
    assert set(processor.camera_crop_coords) == {"62"}
    assert pu.list_all_files(str(tmp_path / "range"), ".jpg")[0].endswith("0000.jpg")


def test_refinement_and_cleaning(scene, scene_files):
    refine = pu.Mask_Refinement(custom_pen_json_path=scene_files["pen"])
    assert refine.MAX_DISTANCE_RATIOS == [0.5, 1.5] and refine.prev_centroids == {}
    raw = np.asarray(scene.truth(0)["Box3"]).copy()
    y, x = np.argwhere(raw)[0]
    raw[max(y - 60, 0):max(y - 55, 1), x:x + 3] = 1  # a stray speck
    blob = refine.get_main_blob(raw, {}, 4)
    num_labels, stats, centroids, min_area, max_distance, best, labels = blob
    assert num_labels == 3 and labels.shape == raw.shape and stats.shape == (3, 5)
    cleaned = refine.get_dis_to_main_and_prev_blob(num_labels, labels, stats, centroids, max_distance, min_area,
                                                   best, {}, 4, 1, raw, {0: {}})
    assert cleaned == scene.truth(0)["Box3"]
    segments = {f: {k + 1: np.asarray(m) for k, m in enumerate(scene.truth(f).values())} for f in range(3)}
    same = refine.process_video_segments(segments, "clip", scene_files["frames"])
    assert same is segments and isinstance(segments[2][4], pu.Mask)
    assert set(refine.prev_centroids) == set(range(1, 11))
    assert pu.Mask_Refinement.blob_shortest_distance(np.zeros((4, 4), np.uint8), np.ones((4, 4), np.uint8)) == np.inf


def test_analytics_and_figures(scene, scene_files, tmp_path):
    truth = scene.truth(0)
    groups = pu.cluster_masks_and_print(truth, eps=1)
    assert groups["Noise"] == [] and len(groups) == 11
    motion = pu.compute_motion_score_in_polygon(scene_files["frames"][:2], truth)
    assert list(motion) == list(truth) and all(v >= 0 for v in motion.values())
    shown = []
    pu.set_figure_sink(shown.append)
    try:
        pu.draw_intersection_heatmap(pu.intersection_between_masks(truth))
    finally:
        pu.set_figure_sink(None)
    assert len(shown) == 1 and shown[0].image.shape == (500, 700, 3)
    assert shown[0]._repr_png_().startswith(b"\x89PNG")
    pu.video_segments_mask_visual({0: {4: truth["Box3"]}}, 0, 4)
    assert pu.current_figure().image.shape == (720, 590, 3)
    pu.set_figures_dir(str(tmp_path))
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        pu.draw_intersection_heatmap(pd.DataFrame([[0.0]], index=["Box0"], columns=["Box0"]))
    assert buffer.getvalue().startswith("Figure saved to " + str(tmp_path))


def test_masks_pickle_for_worker_processes():
    import pickle

    raw = np.zeros((30, 40), np.uint8)
    raw[3:9, 20:37] = 1
    raw[25, 2] = 1
    for mask in (pu.Mask(raw), pu.Mask(np.zeros((5, 6)))):
        again = pickle.loads(pickle.dumps(mask))
        assert again == mask and again.shape == mask.shape and again.bounds == mask.bounds


SMALL = np.zeros((10, 12), np.uint8)
SMALL[2:6, 3:8] = 1
OTHER = np.zeros((10, 12), np.uint8)
OTHER[4:9, 5:11] = 1

# Cheap operations called positionally and by name: both must agree.
BOTH_WAYS = [
    ("calculate_iou", ([0, 0, 4, 4], [2, 2, 6, 6]), {"box1": [0, 0, 4, 4], "box2": [2, 2, 6, 6]}),
    ("calculate_masks_intersection", (SMALL, OTHER), {"mask1": SMALL, "mask2": OTHER}),
    ("calculate_masks_intersection_new", (SMALL, OTHER, 20, 30),
     {"mask1": SMALL, "mask2": OTHER, "mask_area_1": 20, "mask_area_2": 30}),
    ("cal_masks_iou_scores", ([SMALL], [OTHER, SMALL]), {"masks_new": [SMALL], "masks_old": [OTHER, SMALL]}),
    ("cal_centroid_distance", ([SMALL], [OTHER, SMALL]), {"masks_new": [SMALL], "masks_old": [OTHER, SMALL]}),
    ("cluster_masks_and_print", ({"Box0": SMALL, "Box1": OTHER}, 100, 1),
     {"masks_dict": {"Box0": SMALL, "Box1": OTHER}}),
    ("enhance_dark_text", (np.full((4, 4, 3), 90, np.uint8), 1.5), {"image_pil": np.full((4, 4, 3), 90, np.uint8)}),
    ("get_pen_json_path", ("videos\\Camera61_1", None), {"video_dir": "videos\\Camera61_1"}),
    ("find_continuous_frames", (pd.DataFrame({"Frame ID": [1, 2, 3], "Box ID": ["Box1"] * 3}), "Box ID", 3),
     {"frames_df": pd.DataFrame({"Frame ID": [1, 2, 3], "Box ID": ["Box1"] * 3})}),
    ("draw_masks_on_image", (np.zeros((10, 12, 3), np.uint8), [SMALL]),
     {"image": np.zeros((10, 12, 3), np.uint8), "masks": [SMALL]}),
]


@pytest.mark.parametrize("name,args,kwargs", BOTH_WAYS, ids=[case[0] for case in BOTH_WAYS])
def test_positional_and_keyword_calls_agree(name, args, kwargs):
    by_position, by_name = getattr(pu, name)(*args), getattr(pu, name)(**kwargs)
    if isinstance(by_position, pd.DataFrame):
        pd.testing.assert_frame_equal(by_position, by_name)
    elif isinstance(by_position, np.ndarray):
        np.testing.assert_array_equal(by_position, by_name)
    else:
        assert by_position == by_name


GIL_PROBE = r"""
import errno, os, sys, threading, time
import pandas as pd
import pelk_utils as pu
fifo, clip = sys.argv[1], sys.argv[2]
png = pu.render_intersection_heatmap(pd.DataFrame([[0.0]]))._repr_png_()
result = {}
loader = threading.Thread(target=lambda: result.update(
    clip=pu.get_pelk_annotation_data("c", save_dir_base=clip)[1]))
loader.start()
# Feed the FIFO each time the loader opens it; only possible while it waits without the GIL.
while loader.is_alive():
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    except OSError as e:
        if e.errno != errno.ENXIO:
            raise
        time.sleep(0.001)
        continue
    os.write(fd, png)
    os.close(fd)
    time.sleep(0.01)
loader.join()
print(result["clip"][0].masks_dict["Box0"].shape)
"""


def test_clip_loading_lets_other_python_threads_run(tmp_path):
    """The loader reads the first frame with the GIL released: here that frame
    is a FIFO, which only another Python thread can fill while the loader
    waits on it. Holding the GIL would hang the probe, which then times out."""
    import sys

    fifo = tmp_path / "frame.png"
    os.mkfifo(fifo)
    clip = tmp_path / "clip"
    clip.mkdir()
    pu.write_annotation_file(str(clip / "output_pp_0.json"), str(fifo), {1: SMALL})
    done = subprocess.run([sys.executable, "-c", GIL_PROBE, str(fifo), str(clip)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "(500, 700)"


def test_overlap_resolution_equals_the_command_line(overlap_clip, scene):
    cli = os.environ.get("PELK_CLI")
    if not cli:
        pytest.skip("PELK_CLI names the pelk program (set by CTest)")
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=overlap_clip)
    rows = pu.generate_tracking_report(clip, overlap_clip)[0]
    test_frame, box, _, worst = pu.process_overlap_frames(rows, clip, pu.models.BuiltinImagePredictor())
    out = subprocess.run([cli, "report", overlap_clip, "--resolve"], check=True, capture_output=True, text=True).stdout
    assert f"overlap episode from frame {test_frame}: {box} most likely carries the identity error " \
           f"({len(worst)} frames voted)" in out
