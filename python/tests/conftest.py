"""Shared data and model doubles for the Python package's tests.

The scene is the library's synthetic pen at a quarter of the camera size;
tracked clips are written from its truth, so every expected value is known.
The model doubles have exactly the call shapes of a Grounding DINO
processor/model pair and a SAM 2 image predictor, and record what they got.
"""

import os

import numpy as np
import pytest
import torch

import pelk_utils as pu

FRAME_SIZE = (720, 590)  # (height, width)


@pytest.fixture(scope="session")
def scene():
    return pu.PenScene(seed=5, frame_size=FRAME_SIZE, frames=60)


@pytest.fixture(scope="session")
def scene_files(scene, tmp_path_factory):
    """Frames 0..19 as JPEG files and the pen file."""
    root = tmp_path_factory.mktemp("scene")
    frames = scene.write_frames(str(root / "frames"), 0, 20)
    pen = str(root / "pen_polygon.json")
    scene.write_pen_file(pen)
    return {"root": root, "frames": frames, "pen": pen}


def write_clip(folder, frames, masks_per_frame):
    """Writes one annotation file per frame: masks_per_frame[i] is box key -> mask."""
    os.makedirs(folder, exist_ok=True)
    for index, (frame, masks) in enumerate(zip(frames, masks_per_frame)):
        objects = {int(key[3:]) + 1: mask for key, mask in masks.items()}
        pu.write_annotation_file(os.path.join(folder, f"output_pp_{index}.json"), frame, objects)
    return str(folder)


@pytest.fixture(scope="session")
def truth_clip(scene, scene_files, tmp_path_factory):
    """A tracked clip of 20 frames that equals the scene's truth."""
    folder = tmp_path_factory.mktemp("truth_clip")
    return write_clip(folder, scene_files["frames"], [scene.truth(f) for f in range(20)])


@pytest.fixture(scope="session")
def overlap_clip(scene, scene_files, tmp_path_factory):
    """A tracked clip in which Box1's mask also covers Box2 in frames 8..13."""
    folder = tmp_path_factory.mktemp("overlap_clip")
    per_frame = []
    for f in range(20):
        masks = scene.truth(f)
        if 8 <= f <= 13:
            masks["Box1"] = np.asarray(masks["Box1"]) | np.asarray(masks["Box2"])
        per_frame.append(masks)
    return write_clip(folder, scene_files["frames"], per_frame)


class FakeInputs(dict):
    """What a Grounding DINO processor returns: a mapping with input_ids and to()."""

    def __init__(self, log, **items):
        super().__init__(**items)
        self.log = log

    @property
    def input_ids(self):
        return self["input_ids"]

    def to(self, device):
        self.log.append(("to", str(device)))
        return self


class FakeProcessor:
    """A Grounding DINO processor double that 'detects' the given boxes."""

    def __init__(self, boxes, scores=None, labels=None):
        self.boxes = np.asarray(boxes, dtype=np.float32)
        self.scores = scores if scores is not None else [0.9] * len(boxes)
        self.labels = labels if labels is not None else ["pig"] * len(boxes)
        self.log = []

    def __call__(self, images=None, text=None, return_tensors=None):
        self.log.append(("processor", images.shape, images.dtype, text, return_tensors))
        return FakeInputs(self.log, pixel_values=torch.from_numpy(images.copy()), input_ids=torch.tensor([[101, 6498, 1012, 102]]))

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold=None, target_sizes=None):
        self.log.append(("post", outputs["marker"], input_ids.tolist(), text_threshold, target_sizes))
        return [{"scores": torch.tensor(self.scores), "labels": list(self.labels), "boxes": torch.from_numpy(self.boxes)}]


class FakeGroundingModel:
    """A Grounding DINO model double: model(**inputs) -> outputs."""

    def __init__(self):
        self.log = []

    def __call__(self, **inputs):
        self.log.append((sorted(inputs), torch.is_grad_enabled()))
        return {"marker": "outputs-of-the-model"}


class GridEncoder(torch.nn.Module):
    """A real torch module in the place of SAM 2's image encoder: 4 x 4 mean pooling."""

    def __init__(self):
        super().__init__()
        self.scale = torch.nn.Parameter(torch.ones(1))
        self.calls = []

    def forward(self, x):
        self.calls.append((tuple(x.shape), x.dtype, str(x.device), torch.is_grad_enabled(), float(x.min()), float(x.max())))
        return {"vision_features": torch.nn.functional.avg_pool2d(x * self.scale, 64)}


class FakeModel(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.image_encoder = GridEncoder()


class FakePredictor:
    """A SAM 2 image predictor double: answers each box with the truth mask whose box it is."""

    def __init__(self, truth_masks, layout="sam2", as_tensor=False):
        self.truth = [np.asarray(m) for m in truth_masks]
        self.boxes_of_truth = [np.asarray(pu.Mask(m).box) for m in truth_masks]
        self.layout = layout
        self.as_tensor = as_tensor
        self.model = FakeModel()
        self.images = []
        self.prompts = []

    def set_image(self, image):
        self.images.append(image.copy())

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        self.prompts.append({"point_coords": point_coords, "point_labels": point_labels, "box": np.array(box),
                             "multimask_output": multimask_output})
        masks = []
        for b in np.asarray(box).reshape(-1, 4):
            nearest = int(np.argmin([np.abs(t - b).sum() for t in self.boxes_of_truth]))
            masks.append(self.truth[nearest].astype(np.float32))
        masks = np.stack(masks)
        n = len(masks)
        if self.layout == "sam2":  # one box: 1 x H x W; several: N x 1 x H x W
            masks = masks if n == 1 else masks[:, None]
        elif self.layout == "two_per_box":
            masks = np.repeat(masks[:, None], 2, axis=1)
        elif self.layout == "halved":
            masks = masks[:, ::2]
        scores = np.ones(n, np.float32)
        logits = np.zeros((n, 1, 256, 256), np.float32)
        if self.as_tensor:
            return torch.from_numpy(masks), torch.from_numpy(scores), torch.from_numpy(logits)
        return masks, scores, logits
