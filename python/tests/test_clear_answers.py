"""Wrong arguments and misbehaving models get one clear line that names the
parameter or the model call; the model adapters take every processor
generation's result shape; one VideoProcessor serves a pool of threads."""

import concurrent.futures
import json
import os

import numpy as np
import pandas as pd
import pytest
import torch

import pelk_utils as pu
from conftest import FakeGroundingModel, FakePredictor, FakeProcessor


def truth_boxes(scene, f):
    return [list(m.box) for m in scene.truth(f).values()]


# ---- integral types wherever an int is taken ---------------------------------

@pytest.mark.parametrize("kind", [np.int64, np.int32, np.uint16, int])
def test_numpy_integers_are_frame_keys(truth_clip, kind):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    as_numpy = {kind(k): v for k, v in clip.items()}
    assert pu.find_boxes_with_small_area_from_last_video(as_numpy, 0, 10**9, 1) == \
        pu.find_boxes_with_small_area_from_last_video(clip, 0, 10**9, 1)


def test_frame_keys_beyond_32_bits_and_non_integers_are_refused(truth_clip):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    record = clip[0]
    with pytest.raises(ValueError, match="must fit a 32-bit int"):
        pu.find_boxes_with_small_area_from_last_video({np.int64(2**40): record})
    with pytest.raises(TypeError, match="frame keys must be int, got float"):
        pu.find_boxes_with_small_area_from_last_video({1.0: record})


# ---- masks as the caller's tables hand them out ---------------------------------

def test_object_arrays_of_numbers_are_masks_as_numpy_compares_them():
    bits = np.zeros((6, 8), np.uint8)
    bits[1:3, 2:7] = 1
    mixed = pd.DataFrame(bits).astype(object)
    mixed.iloc[1, 2] = 1.0  # floats and ints in one column, as mixed frames hold them
    mixed.iloc[2, 6] = True
    assert pu.Mask(mixed.values) == pu.Mask(bits)
    with pytest.raises(TypeError, match="expected a mask of numbers or booleans, got an object array holding str"):
        pu.Mask(np.array([[0, "1"]], dtype=object))
    with pytest.raises(TypeError, match="holding NoneType"):
        pu.Mask(np.array([[0, None]], dtype=object))


def test_a_whole_frame_mask_past_2_to_the_32_pixels_keeps_its_area():
    # Size::area() wraps to 0 at 65536 x 65536; the mask must not come back empty.
    whole = np.lib.stride_tricks.as_strided(np.ones(1, np.uint8), shape=(65536, 65536), strides=(0, 0))
    assert pu.Mask(whole).area == 65536 * 65536


@pytest.mark.parametrize("call,kind,text", [
    (lambda m: pu.Mask((10, 10), (0, 0), "abc"), TypeError, "Mask bits: expected a mask .* got str"),
    (lambda m: pu.Mask((10, 10), (1, 2), np.ones((3, 4))).box, None, None),
    (lambda m: pu.video_segments_mask_visual(None, 0, 1), TypeError,
     "video_segments: expected a dict frame index -> dict object id -> mask, got NoneType"),
    (lambda m: pu.video_segments_mask_visual({0: [m]}, 0, 1), TypeError,
     r"video_segments\[0\]: expected a dict object id -> mask, got list"),
    (lambda m: pu.retrieve_annotation("x.json", None, False, 3.5), TypeError,
     "object_ids: expected 'all' or a list of object ids \\(int\\), got float"),
    (lambda m: pu.retrieve_annotation("x.json", None, False, ["Box0"]), TypeError, "object_ids: expected a whole"),
    (lambda m: pu.cal_masks_iou_scores({"Box0": m}, [m]), TypeError,
     "masks_new: expected a list of masks .* got dict"),
], ids=["mask_bits_text", "mask_bits_ok", "segments_none", "segments_list", "object_ids_float",
        "object_ids_keys", "masks_dict"])
def test_wrong_values_are_named_not_internal(call, kind, text):
    mask = np.ones((4, 4), np.uint8)
    if kind is None:
        call(mask)
        return
    with pytest.raises(kind, match=text) as caught:
        call(mask)
    message = str(caught.value)
    assert "\n" not in message and "Unable to cast" not in message and "attribute" not in message


def test_a_table_with_two_columns_of_one_name_says_so():
    table = pd.DataFrame({"Frame ID": [1, 2, 3], "Box Pair": ["Box0-Box1"] * 3})
    doubled = pd.concat([table, table[["Frame ID"]]], axis=1)
    with pytest.raises(ValueError, match="frames_df: the table has 2 columns named 'Frame ID'; keep one"):
        pu.find_continuous_frames(doubled, "Box Pair", 3)


def test_no_pybind11_cast_message_reaches_the_user(monkeypatch):
    # A conversion deep inside a call that fails is a TypeError naming the call.
    from pelk_utils import _surface

    def refuses(*args, **kwargs):
        raise TypeError(_surface._WRONG_KIND)

    refuses.__doc__ = "refuses(a: object, b: int = 1) -> None\n\nrefuses(a, b=1) -> None\n\nA test double."
    wrapped = _surface.wrap(refuses, "refuses")
    with pytest.raises(TypeError, match=r"^refuses\(\): an argument \(or what a model returned\) is of the wrong "
                                        r"kind \(list\)$"):
        wrapped([1])


# ---- models that misbehave -----------------------------------------------------

class NoneModel(FakeGroundingModel):
    def __call__(self, **inputs):
        super().__call__(**inputs)


class ResultsProcessor(FakeProcessor):
    """Returns what `make(self)` gives from post-processing."""

    def __init__(self, boxes, make):
        super().__init__(boxes)
        self.make = make

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold=None, target_sizes=None):
        return self.make(self)


@pytest.mark.parametrize("processor,model,kind,text", [
    (None, NoneModel(), TypeError, r"the detection model \(model\(\*\*inputs\)\) returned None"),
    (lambda b: ResultsProcessor(b, lambda s: None), None, TypeError,
     "post_process_grounded_object_detection returned NoneType; expected a list with one dict per image"),
    (lambda b: ResultsProcessor(b, lambda s: []), None, ValueError, r"returned 0 results for 1 image"),
    (lambda b: ResultsProcessor(b, lambda s: [{"scores": s.scores, "boxes": s.boxes}]), None, ValueError,
     "returned a result without 'labels'"),
    (lambda b: ResultsProcessor(b, lambda s: [{"scores": s.scores[:2], "labels": s.labels, "boxes": s.boxes}]), None,
     ValueError, "returned 10 boxes, 2 scores and 10 labels"),
], ids=["model_none", "results_none", "no_results", "no_labels", "scores_short"])
def test_detector_calls_that_return_nothing_usable_name_the_call(scene, scene_files, processor, model, kind, text):
    truth = list(scene.truth(0).values())
    processor = (processor or FakeProcessor)(truth_boxes(scene, 0))
    with pytest.raises(kind, match=text):
        pu.initializer("clip", scene_files["frames"], processor, model or FakeGroundingModel(), "cpu",
                       FakePredictor(truth), custom_pen_json_path=scene_files["pen"])


def test_an_encoder_that_returns_none_is_named(scene):
    truth = list(scene.truth(0).values())
    predictor = FakePredictor(truth)
    predictor.model.image_encoder.forward = lambda x: None
    with pytest.raises(TypeError, match=r"predictor.model.image_encoder returned NoneType; expected a dict holding "
                                        r"'vision_features'"):
        pu.generate_sam2_image_features(scene.render(0), truth[:1], predictor)


# ---- every processor generation's result shape -----------------------------------

def generation(kind, scores, labels, boxes):
    """A post-processed result as each generation of processors returns it."""
    n = len(labels)
    if kind == "texts":  # labels are the phrases
        return {"scores": torch.tensor(scores), "labels": list(labels), "boxes": torch.tensor(boxes)}
    if kind == "ints_and_text_labels":  # recent: integer labels, phrases in text_labels
        return {"scores": torch.tensor(scores), "labels": torch.arange(n), "text_labels": list(labels),
                "boxes": torch.tensor(boxes)}
    if kind == "int_list_and_text_labels":
        return {"scores": list(scores), "labels": list(range(n)), "text_labels": list(labels), "boxes": boxes}
    if kind == "numpy_texts":
        return {"scores": np.asarray(scores), "labels": tuple(labels), "boxes": np.asarray(boxes)}
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["texts", "ints_and_text_labels", "int_list_and_text_labels", "numpy_texts"])
def test_the_pig_filter_reads_the_phrases_of_every_generation(kind):
    from pelk_utils import _bridge

    boxes = [[0.0, 0.0, 5.0, 5.0], [1.0, 1.0, 9.0, 9.0], [2.0, 2.0, 8.0, 8.0]]
    result = generation(kind, [0.9, 0.8, 0.7], ["pig", "cow", "pig"], boxes)

    class Processor:
        def post_process_grounded_object_detection(self, outputs, ids, text_threshold=None, target_sizes=None):
            return [result]

    (scores, labels, out_boxes), = _bridge.post_process(Processor(), None, None, 0.25, [(10, 10)])
    assert labels == ["pig", "cow", "pig"]
    np.testing.assert_allclose(out_boxes, boxes)
    np.testing.assert_allclose(scores, [0.9, 0.8, 0.7], rtol=1e-6)
    kept = pu.process_gdino_results([{"scores": scores, "labels": labels, "boxes": out_boxes}])
    assert len(kept[0]) == 2, "only the two pigs pass the filter"


def test_integer_labels_without_phrases_are_refused():
    from pelk_utils import _bridge

    class Processor:
        def post_process_grounded_object_detection(self, outputs, ids, text_threshold=None, target_sizes=None):
            return [{"scores": torch.tensor([0.9]), "labels": torch.tensor([0]), "boxes": torch.zeros(1, 4)}]

    with pytest.raises(ValueError, match="labels that are not texts and no 'text_labels'"):
        _bridge.post_process(Processor(), None, None, 0.25, [(10, 10)])


# ---- one VideoProcessor for a pool of threads ---------------------------------------

def tree(folder):
    return {os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
            for d, _, files in os.walk(folder) for f in files}


def test_one_video_processor_cuts_recordings_from_a_pool_as_serial_cutting_does(tmp_path):
    root = tmp_path / "videos"
    (root / "cam62").mkdir(parents=True)
    for seed, hour in [(3, 7), (4, 8), (5, 9)]:
        scene = pu.PenScene(seed=seed, frame_size=(240, 200), frames=60)
        scene.write_camera_video(str(root / "cam62"), 62, f"20240405{hour:02d}0000")
    table = pu.VideoMetadata(str(root), ["cam62"], sample_step=1).get_filtered_video_dataframe()
    assert len(table) == 3
    rows = [table.iloc[[i]] for i in range(len(table))]

    serial = pu.VideoProcessor(time_step=0.02, output_dir_base=str(tmp_path / "serial"))
    for row in rows:
        serial.process_videos_to_frames(row)
    shared = pu.VideoProcessor(time_step=0.02, output_dir_base=str(tmp_path / "pool"))
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        list(pool.map(shared.process_videos_to_frames, rows))
    assert tree(tmp_path / "pool") == tree(tmp_path / "serial")
    assert shared.camera_crop_coords == serial.camera_crop_coords


@pytest.mark.parametrize("call", [pu.undo_repair, pu.repair_status], ids=["undo_repair", "repair_status"])
def test_repair_tools_on_a_folder_that_does_not_exist_say_so(call, tmp_path):
    missing = tmp_path / "no_such_clip"
    with pytest.raises(FileNotFoundError, match="folder: '.*no_such_clip' does not exist") as caught:
        call(missing)
    assert caught.value.filename == str(missing)
    a_file = tmp_path / "f.json"
    a_file.write_text("{}")
    with pytest.raises(NotADirectoryError, match="is not a folder"):
        call(a_file)


# ---- files that would lose an animal or the process -------------------------------

def _copy_with(truth_clip, tmp_path, edit):
    source = os.path.join(truth_clip, "output_pp_1.json")
    with open(source) as f:
        doc = json.load(f)
    edit(doc)
    target = tmp_path / "output_pp_1.json"
    target.write_text(json.dumps(doc))
    return target


def test_an_identity_twice_in_a_frame_is_refused_naming_file_and_id(truth_clip, tmp_path):
    def twice(doc):
        doc["detections"][3]["object_id"] = doc["detections"][1]["object_id"]
    _copy_with(truth_clip, tmp_path, twice)
    for read in (lambda: pu.tracks_table([tmp_path]), lambda: pu.tracks_dataset([tmp_path]),
                 lambda: pu.evaluate_tracking(tmp_path, truth_clip)):
        with pytest.raises(ValueError, match=r"output_pp_1.json'.*\"object_id\" 2 appears twice \(detections 1 and 3\)"):
            read()


@pytest.mark.parametrize("polygon", ["p 0 0 1 0 1 1 0 1", "p 0 0 0.000000001 0 0.000000001 0.000000001"],
                         ids=["whole_frame", "tiny"])
def test_a_declared_frame_of_2_to_the_31_squared_is_refused_or_packed(truth_clip, tmp_path, polygon):
    def one_polygon(doc):
        doc["detections"] = [{"object_id": 1, "formatted_polygon": [polygon]}]
    path = _copy_with(truth_clip, tmp_path, one_polygon)
    side = 2**31 - 1
    if polygon.startswith("p 0 0 1"):
        with pytest.raises(MemoryError, match=r"output_pp_1.json', detection 0: a mask of 2147483647 x 2147483647 pixels "
                                              r"is beyond the 1073741824 pixels"):
            pu.process_json_and_generate_masks(path, side, side)
    else:
        _, masks, keys = pu.process_json_and_generate_masks(path, side, side)
        assert keys == [0] and masks[0].shape == (side, side)


def test_signature_defaults_are_the_values_themselves():
    import inspect
    parameters = inspect.signature(pu.process_overlap_frames).parameters
    assert parameters["n_consecutive"].default == 2
    bound = inspect.signature(pu.Mask_Refinement).bind()
    bound.apply_defaults()
    refine = pu.Mask_Refinement(*bound.args, **bound.kwargs)
    assert refine.MAX_DISTANCE_RATIOS == [0.5, 1.5]
