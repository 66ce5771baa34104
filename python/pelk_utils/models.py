"""Built-in models in the call shapes the library expects of yours.

`BuiltinProcessor` and `BuiltinGroundingModel` behave like a Grounding DINO
processor and model (`processor(images=..., text="pig.", return_tensors="pt")`,
`model(**inputs)`, `processor.post_process_grounded_object_detection(...)`);
`BuiltinImagePredictor` behaves like a SAM 2 image predictor (`set_image`,
`predict(point_coords=None, point_labels=None, box=..., multimask_output=False)`,
`model.image_encoder`). They find light animals on a darker floor (the
synthetic pen scene, clean pens) and need no weights. Pass your own objects
of the same shapes wherever these are used.
"""

from collections.abc import Mapping

from . import _bridge
from ._pelk_torch import _ClassicalDetector, _ClassicalSegmenter


class BuiltinInputs(Mapping):
    """Model inputs of the built-in processor: a mapping (for `model(**inputs)`)
    with `pixel_values` and `input_ids`, and `to(device)` like a BatchEncoding."""

    def __init__(self, pixel_values, prepared):
        self._items = {"pixel_values": pixel_values, "input_ids": prepared}
        self.device = "cpu"

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)

    @property
    def input_ids(self):
        return self._items["input_ids"]

    def to(self, device):
        """Records the device (the built-in detector runs on the CPU) and returns self."""
        self.device = str(device)
        return self


class BuiltinProcessor:
    """The built-in detector's processor (Grounding DINO processor shape)."""

    def __init__(self, box_threshold=0.35):
        self._core = _ClassicalDetector(box_threshold)

    def __call__(self, images=None, text=None, return_tensors=None):
        return BuiltinInputs(images, self._core.prepare(images, text))

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold=0.25,
                                               target_sizes=None):
        """Returns one dict per image with "scores", "labels" and "boxes" (x_min, y_min, x_max, y_max)."""
        results = []
        for scores, labels, boxes in self._core.post_process(outputs, input_ids, text_threshold,
                                                             list(target_sizes or [])):
            results.append({"scores": _bridge.as_tensor(scores), "labels": labels,
                            "boxes": _bridge.as_tensor(boxes)})
        return results


class BuiltinGroundingModel:
    """The built-in detector's model (Grounding DINO model shape): `model(**inputs)`."""

    def __init__(self, processor):
        self._core = processor._core

    def __call__(self, pixel_values=None, input_ids=None, **unused):
        return self._core.run(input_ids)


class _BuiltinEncoder:
    """The built-in image encoder: a 1 x 3 x 256 x 256 tensor -> {"vision_features": 1 x 64 x 1 x 1}."""

    def __init__(self, core):
        self._core = core

    def __call__(self, image):
        return {"vision_features": self._core.encode(image)}


class _BuiltinModel:
    def __init__(self, core):
        self.image_encoder = _BuiltinEncoder(core)


class BuiltinImagePredictor:
    """The built-in segmenter (SAM 2 image predictor shape)."""

    def __init__(self):
        self._core = _ClassicalSegmenter()
        self.model = _BuiltinModel(self._core)
        self.device = "cpu"

    def set_image(self, image):
        """Makes `image` (H x W x 3 uint8 RGB) the current image."""
        self._core.set_image(image)

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        """Returns (masks, scores, logits): one boolean H x W mask per box, as SAM 2 lays them
        out (C x H x W for one box, N x C x H x W for several; C = 3 with multimask_output)."""
        if point_coords is not None or point_labels is not None:
            raise ValueError("the built-in predictor takes box prompts only")
        import numpy as np

        boxes = np.asarray(_bridge.to_numpy(box), dtype=np.float64).reshape(-1, 4)
        masks, scores, logits, per_box = self._core.predict(boxes, multimask_output)
        h, w = (masks[0].shape if masks else (0, 0))
        masks = np.stack(masks) if masks else np.zeros((0, h, w), bool)
        logits = np.stack(logits) if logits else np.zeros((0, 64, 64), np.float32)
        if len(boxes) == 1:
            return masks, scores, logits
        n = len(boxes)
        return (masks.reshape(n, per_box, *masks.shape[1:]), scores.reshape(n, per_box),
                logits.reshape(n, per_box, *logits.shape[1:]))


def builtin_models():
    """Returns (processor, grounding_model, image_predictor) of the built-in models."""
    processor = BuiltinProcessor()
    return processor, BuiltinGroundingModel(processor), BuiltinImagePredictor()
