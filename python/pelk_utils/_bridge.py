"""Calls on the caller's models, in the models' own call shapes.

The C++ library calls these functions (holding the GIL) wherever it uses a
model handed in from Python. They speak the shapes of a Grounding-DINO-style
processor/model pair and of a SAM-2-style image predictor, and turn what the
models return (torch tensors or numpy arrays) into plain numpy arrays.
Exceptions the models raise are not caught.
"""

import contextlib
import sys
from collections.abc import Mapping

import numpy as np


def _loaded_torch():
    """Returns torch when the caller's program has imported it, else None.

    A model that returns tensors has imported torch already, so nothing here
    pays for importing it on a path that never meets a tensor.
    """
    return sys.modules.get("torch")


def _importable_torch():
    """Returns torch, importing it when installed, else None (tensors cross as arrays)."""
    try:
        import torch
    except ImportError:
        return None
    return torch


def to_numpy(value):
    """Returns `value` as a numpy array: a torch tensor of any dtype (bfloat16
    and float16, as autocast gives them, become float32), a list or tuple of
    tensors or arrays (stacked), or anything numpy reads."""
    torch = _loaded_torch()
    if torch is not None and isinstance(value, torch.Tensor):
        value = value.detach().cpu()
        if value.dtype in (torch.bfloat16, torch.float16):
            value = value.float()
        return value.numpy()
    if isinstance(value, (list, tuple)) and value and all(
            hasattr(v, "shape") and hasattr(v, "__array__") or (torch is not None and isinstance(v, torch.Tensor))
            for v in value):
        return np.stack([to_numpy(v) for v in value])
    return np.asarray(value)


def no_grad():
    """Returns a context without gradient tracking (a no-op without torch)."""
    torch = _loaded_torch()
    return torch.no_grad() if torch is not None else contextlib.nullcontext()


def prepare(processor, image, text):
    """Turns an RGB frame and the prompt into model inputs."""
    return processor(images=image, text=text, return_tensors="pt")


def to_device(inputs, device):
    """Moves model inputs to `device` (their own `to`, as BatchEncoding has)."""
    mover = getattr(inputs, "to", None)
    if callable(mover):
        moved = mover(device)
        return inputs if moved is None else moved
    return inputs


def input_ids(inputs):
    """Returns the prompt's token ids of model inputs."""
    ids = getattr(inputs, "input_ids", None)
    if ids is None:
        try:
            ids = inputs["input_ids"]
        except (KeyError, TypeError, IndexError):
            ids = None
    return ids


def detect(model, inputs):
    """Runs the detection model on `inputs` without gradient tracking."""
    with no_grad():
        outputs = model(**inputs)
    if outputs is None:
        raise TypeError("the detection model (model(**inputs)) returned None; expected its outputs, which "
                        "processor.post_process_grounded_object_detection turns into boxes")
    return outputs


def post_process(processor, outputs, ids, text_threshold, target_sizes):
    """Returns the processor's results as (scores, labels, boxes) per image."""
    results = processor.post_process_grounded_object_detection(
        outputs, ids, text_threshold=text_threshold, target_sizes=target_sizes)
    call = "processor.post_process_grounded_object_detection"
    expected = "a list with one dict per image holding 'scores', 'labels' and 'boxes'"
    if results is None or isinstance(results, (str, bytes, Mapping)) or not hasattr(results, "__iter__"):
        raise TypeError(f"{call} returned {type(results).__name__}; expected {expected}")
    results = list(results)
    if len(results) != len(target_sizes):
        raise ValueError(f"{call} returned {len(results)} results for {len(target_sizes)} image(s); expected {expected}")
    converted = []
    for result in results:
        if not isinstance(result, Mapping) and not hasattr(result, "__getitem__"):
            raise TypeError(f"{call} returned a {type(result).__name__} for an image; expected {expected}")
        missing = [k for k in ("scores", "boxes") if k not in result]
        if "labels" not in result and "text_labels" not in result:
            missing.append("labels")
        if missing:
            raise ValueError(f"{call} returned a result without {', '.join(repr(k) for k in missing)}; "
                             f"expected {expected}")
        scores = to_numpy(result["scores"]).astype(np.float32).reshape(-1)
        boxes = to_numpy(result["boxes"]).astype(np.float64)
        if boxes.size == 0:
            boxes = boxes.reshape(0, 4)
        if boxes.ndim != 2 or boxes.shape[1] < 4:
            raise ValueError(
                "post_process_grounded_object_detection returned boxes of shape "
                f"{tuple(boxes.shape)}; expected N x 4")
        boxes = boxes[:, :4]  # a fifth number (a score) is not part of the box
        labels = text_labels_of(result)
        if not (len(scores) == len(labels) == len(boxes)):
            raise ValueError(f"{call} returned {len(boxes)} boxes, {len(scores)} scores and {len(labels)} labels; "
                             "expected one score and one label per box")
        converted.append((scores, labels, np.ascontiguousarray(boxes)))
    return converted


def text_labels_of(result):
    """Returns a post-processed result's labels as texts, whatever the
    processor's generation: labels as texts ("pig"), or integer labels (or
    a tensor of them) with the texts in "text_labels", as recent processors
    return them."""
    labels = result["labels"] if "labels" in result else None
    if labels is not None and not isinstance(labels, (list, tuple)):
        labels = to_numpy(labels).reshape(-1).tolist()
    texts = list(labels) if labels is not None else None
    if texts is None or not all(isinstance(label, str) for label in texts):
        if "text_labels" not in result:
            raise ValueError("processor.post_process_grounded_object_detection returned labels that are not texts "
                             "and no 'text_labels'; expected the detected phrases (e.g. 'pig')")
        texts = list(result["text_labels"])
    return [str(label) for label in texts]


def set_image(predictor, image):
    """Makes `image` (H x W x 3 uint8 RGB) the predictor's current image."""
    predictor.set_image(image)


def predict(predictor, boxes, multimask_output):
    """Prompts the predictor with N x 4 boxes; returns (N x H x W uint8 masks, scores)."""
    masks, scores, _ = predictor.predict(
        point_coords=None, point_labels=None, box=boxes, multimask_output=multimask_output)
    masks = to_numpy(masks)
    n = len(boxes)
    if masks.ndim == 2 and n == 1:
        masks = masks[None]
    elif masks.ndim == 4 and masks.shape[1] == 1:
        masks = masks[:, 0]
    if masks.ndim != 3:
        raise ValueError(
            f"predict returned masks of shape {tuple(masks.shape)} for {n} boxes; expected "
            "H x W (one box), N x H x W or N x 1 x H x W")
    # Another number of masks than boxes is the caller's to judge (the
    # matcher counts it as a frame that cannot work; the initializer refuses it).
    if masks.dtype != np.uint8:
        masks = (masks != 0).view(np.uint8)
    scores = to_numpy(scores).astype(np.float32).reshape(-1)
    return np.ascontiguousarray(masks), scores


def model_device(predictor):
    """Returns the device the predictor's model lives on (CPU when unknown)."""
    device = getattr(predictor, "device", None)
    if device is not None:
        return device
    try:
        return next(predictor.model.parameters()).device
    except (AttributeError, StopIteration, TypeError):
        return "cpu"


def encode(predictor, image):
    """Runs `predictor.model.image_encoder` on a 1 x 3 x 256 x 256 float32 array.

    The encoder gets a torch tensor on the model's device, without gradient
    tracking; returns its "vision_features" as a float32 numpy array.
    """
    encoder = predictor.model.image_encoder
    torch = _importable_torch()
    if torch is not None:
        with torch.no_grad():
            out = encoder(torch.from_numpy(image).to(model_device(predictor)))
    else:
        out = encoder(image)
    if not isinstance(out, Mapping) and not (hasattr(out, "__getitem__") and hasattr(out, "__contains__")):
        raise TypeError(f"predictor.model.image_encoder returned {type(out).__name__}; expected a dict holding "
                        "'vision_features' (a 1 x C x H x W tensor)")
    if "vision_features" not in out:
        raise ValueError(
            f"image_encoder returned no 'vision_features' (keys: {sorted(out.keys())})")
    features = np.ascontiguousarray(to_numpy(out["vision_features"]), dtype=np.float32)
    if not np.isfinite(features).all():
        raise ValueError("image_encoder returned 'vision_features' holding NaN or infinity; region similarity "
                         "cannot be computed from them (check the model's weights and input precision)")
    return features


def as_tensor(array):
    """Returns `array` as a torch tensor when torch is importable, else unchanged."""
    torch = _importable_torch()
    return torch.from_numpy(array) if torch is not None else array
