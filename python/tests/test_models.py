"""Python model objects stand where the library takes its models."""

import numpy as np
import pytest
import torch

import pelk_utils as pu
from conftest import FakeGroundingModel, FakePredictor, FakeProcessor


def truth_boxes(scene, f):
    return [list(m.box) for m in scene.truth(f).values()]


@pytest.fixture
def models(scene):
    truth = list(scene.truth(0).values())
    processor = FakeProcessor(truth_boxes(scene, 0))
    return processor, FakeGroundingModel(), FakePredictor(truth)


def test_initializer_calls_each_model_in_its_own_shape(scene, scene_files, models):
    processor, model, predictor = models
    masks, table, index, picture = pu.initializer(
        str(scene_files["root"]), scene_files["frames"], processor, model, "cuda:7", predictor,
        custom_pen_json_path=scene_files["pen"])

    assert index == 0 and len(masks) == 10
    height, width = scene.render(0).shape[:2]
    # The processor got the RGB frame and the prompt, the inputs moved to the device.
    kind, shape, dtype, text, tensors = processor.log[0]
    assert (kind, shape, dtype, text, tensors) == ("processor", (height, width, 3), np.uint8, "pig.", "pt")
    assert processor.log[1] == ("to", "cuda:7")
    # The model ran on **inputs without gradients; post-processing got its outputs and ids.
    assert model.log == [(["input_ids", "pixel_values"], False)]
    assert processor.log[2] == ("post", "outputs-of-the-model", [[101, 6498, 1012, 102]], 0.25, [(height, width)])
    # The predictor got the RGB frame and the boxes in top-to-bottom order, single mask output.
    np.testing.assert_array_equal(predictor.images[0], pu.imread_rgb(scene_files["frames"][0]))
    prompt = predictor.prompts[0]
    assert prompt["point_coords"] is None and prompt["point_labels"] is None and prompt["multimask_output"] is False
    assert prompt["box"].shape == (10, 4)
    assert list(prompt["box"][:, 1]) == sorted(prompt["box"][:, 1])
    assert list(table.index) == [f"Box{i}" for i in range(10)]
    assert picture.shape == (height, width, 4)
    for mask, box in zip(masks, prompt["box"]):
        nearest = min(scene.truth(0).values(), key=lambda t: np.abs(np.asarray(t.box) - box).sum())
        assert mask == nearest


def test_initializer_defaults_and_keywords_agree(scene_files, models):
    processor, model, predictor = models
    frames = scene_files["frames"]
    by_position = pu.initializer("clip", frames, processor, model, "cpu", predictor, 0, 10, 0.25, 10,
                                 scene_files["pen"])
    by_name = pu.initializer(video_dir="clip", frame_names=frames, processor=processor, grounding_model=model,
                             device="cpu", image_predictor=predictor, custom_pen_json_path=scene_files["pen"])
    assert by_position[0] == by_name[0]
    assert by_position[2] == by_name[2]


def test_initializer_too_few_animals_returns_four_nones(scene, scene_files):
    truth = list(scene.truth(0).values())
    processor = FakeProcessor(truth_boxes(scene, 0)[:9])
    result = pu.initializer("clip", scene_files["frames"][:3], processor, FakeGroundingModel(), "cpu",
                            FakePredictor(truth), custom_pen_json_path=scene_files["pen"])
    assert result == (None, None, None, None)


@pytest.mark.parametrize("layout,as_tensor", [("sam2", False), ("sam2", True), ("flat", False), ("flat", True)])
def test_matcher_prompts_with_last_frame_boxes(scene, scene_files, truth_clip, layout, as_tensor):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    predictor = FakePredictor(list(scene.truth(19).values()), layout=layout, as_tensor=as_tensor)
    shown = []
    masks, objects, keep_box, best, failed = pu.matcher(clip, scene_files["frames"], 19, predictor,
                                                       display_func=shown.append)
    assert failed is False and best is clip[19]
    assert objects == ["pig"] * 10 and keep_box == [f"Box{i}" for i in range(10)]
    expected_boxes = np.array([m.box for m in clip[19].masks_dict.values()])
    np.testing.assert_array_equal(predictor.prompts[0]["box"], expected_boxes)
    assert predictor.prompts[0]["multimask_output"] is False
    assert [m.area for m in masks] == [m.area for m in scene.truth(19).values()]
    assert len(shown) == 1 and shown[0].shape == (*scene.render(0).shape[:2], 4)


def test_matcher_removes_keys_in_the_callers_records(scene, scene_files, truth_clip):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    predictor = FakePredictor(list(scene.truth(19).values()))
    masks, _, keep_box, best, failed = pu.matcher(clip, scene_files["frames"], 19, predictor,
                                                  remove_stack_box=["Box3", None])
    assert not failed and "Box3" not in keep_box and len(masks) == 9
    assert all("Box3" not in record.masks_dict for record in clip.values())
    assert best is clip[19]


def test_region_features_go_through_a_torch_encoder(scene):
    image = scene.render(0)
    truth = list(scene.truth(0).values())
    predictor = FakePredictor(truth)
    features = pu.generate_sam2_image_features(image, truth[:3], predictor)
    assert len(features) == 3 and all(isinstance(f, torch.Tensor) and f.shape == (3,) for f in features)
    calls = predictor.model.image_encoder.calls
    assert [c[:4] for c in calls] == [((1, 3, 256, 256), torch.float32, "cpu", False)] * 3
    assert all(0.0 <= c[4] and c[5] <= 1.0 for c in calls)
    np.testing.assert_array_equal(predictor.images[0], image)
    scores = pu.cosine_scores_cal(features, features)
    np.testing.assert_allclose(np.diag(scores), 1.0, rtol=1e-6)


def test_tiny_mask_has_no_feature(scene):
    tiny = np.zeros(scene.render(0).shape[:2], np.uint8)
    tiny[5, 5] = 1
    features = pu.generate_sam2_image_features(scene.render(0), [tiny], FakePredictor(list(scene.truth(0).values())))
    assert features == [None]
    assert pu.cosine_scores_cal(features, features)[0, 0] == -np.inf


def test_overlap_resolution_with_a_python_predictor(scene, overlap_clip):
    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=overlap_clip)
    rows, _, overlap_frames, _ = pu.generate_tracking_report(clip, overlap_clip)
    assert overlap_frames == list(range(8, 14))
    predictor = FakePredictor(list(scene.truth(0).values()))
    test_frame, box, runs, worst = pu.process_overlap_frames(rows, clip, predictor)
    assert test_frame == 8
    assert box in ("Box1", "Box2")
    assert runs == {"Box2-Box1": [list(range(8, 14))]}
    assert len(worst) == 5
    assert len(predictor.images) == 2 * len(worst)  # each compared frame and the reference frame
    assert all(call[3] is False for call in predictor.model.image_encoder.calls)


class Boom(Exception):
    pass


def test_model_exceptions_reach_the_caller_unchanged(scene, scene_files, truth_clip):
    class Exploding(FakePredictor):
        def predict(self, **kwargs):
            raise Boom("out of memory on cuda:0")

    _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
    with pytest.raises(Boom, match="out of memory on cuda:0"):
        pu.matcher(clip, scene_files["frames"], 19, Exploding(list(scene.truth(19).values())))


@pytest.mark.parametrize("case", ["two_per_box", "halved", "encoder", "boxes"])
def test_wrong_shapes_are_value_errors_naming_the_call(scene, scene_files, truth_clip, case):
    truth = list(scene.truth(0).values())
    if case in ("two_per_box", "halved"):
        _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
        message = {"two_per_box": r"predict returned masks of shape \(10, 2, 720, 590\)",
                   "halved": r"matcher \(segmenter's predict\): mask 0 is 360 x 590"}[case]
        with pytest.raises(ValueError, match=message):
            pu.matcher(clip, scene_files["frames"], 19, FakePredictor(truth, layout=case))
    elif case == "encoder":
        predictor = FakePredictor(truth)
        predictor.model.image_encoder.forward = lambda x: {"vision_features": torch.zeros(64)}
        with pytest.raises(ValueError, match=r"generate_sam2_image_features: .*vision_features.* got 64$"):
            pu.generate_sam2_image_features(scene.render(0), truth[:1], predictor)
        predictor.model.image_encoder.forward = lambda x: {"features": torch.zeros(1, 8, 2, 2)}
        with pytest.raises(ValueError, match=r"image_encoder returned no 'vision_features' \(keys: \['features'\]\)"):
            pu.generate_sam2_image_features(scene.render(0), truth[:1], predictor)
    else:
        processor = FakeProcessor([[1, 2, 3]])
        with pytest.raises(ValueError, match=r"post_process_grounded_object_detection returned boxes of shape \(1, 3\)"):
            pu.initializer("clip", scene_files["frames"], processor, FakeGroundingModel(), "cpu",
                           FakePredictor(truth), custom_pen_json_path=scene_files["pen"])


def test_builtin_models_run_the_initializer(scene_files):
    processor, model, predictor = pu.models.builtin_models()
    masks, _, index, _ = pu.initializer("clip", scene_files["frames"], processor, model, "cpu", predictor, step=1,
                                        custom_pen_json_path=scene_files["pen"])
    assert masks is not None and len(masks) == 10 and 0 <= index < 20


def test_builtin_predictor_has_sam2_layouts(scene):
    predictor = pu.models.BuiltinImagePredictor()
    predictor.set_image(scene.render(0))
    boxes = np.array([m.box for m in scene.truth(0).values()])
    one, _, _ = predictor.predict(box=boxes[0], multimask_output=False)
    many, scores, _ = predictor.predict(box=boxes, multimask_output=False)
    assert one.shape == (1, 720, 590) and many.shape == (10, 1, 720, 590) and scores.shape == (10, 1)
    features = predictor.model.image_encoder(torch.rand(1, 3, 256, 256))["vision_features"]
    assert tuple(features.shape) == (1, 64, 1, 1)
