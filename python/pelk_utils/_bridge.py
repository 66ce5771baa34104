"""Calls on the caller's models, in the models' own call shapes.

The C++ library calls these functions (holding the GIL) wherever it uses a
model handed in from Python. They speak the shapes of a Grounding-DINO-style
processor/model pair and of a SAM-2-style image predictor, and turn what the
models return (torch tensors or numpy arrays) into plain numpy arrays.
Exceptions the models raise are not caught.
"""

import contextlib
import sys

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
        return model(**inputs)


def post_process(processor, outputs, ids, text_threshold, target_sizes):
    """Returns the processor's results as (scores, labels, boxes) per image."""
    results = processor.post_process_grounded_object_detection(
        outputs, ids, text_threshold=text_threshold, target_sizes=target_sizes)
    converted = []
    for result in results:
        scores = to_numpy(result["scores"]).astype(np.float32).reshape(-1)
        boxes = to_numpy(result["boxes"]).astype(np.float64)
        if boxes.size == 0:
            boxes = boxes.reshape(0, 4)
        if boxes.ndim != 2 or boxes.shape[1] < 4:
            raise ValueError(
                "post_process_grounded_object_detection returned boxes of shape "
                f"{tuple(boxes.shape)}; expected N x 4")
        boxes = boxes[:, :4]  # a fifth number (a score) is not part of the box
        labels = result["labels"]
        if "text_labels" in result and not all(isinstance(l, str) for l in labels):
            labels = result["text_labels"]
        converted.append((scores, [str(label) for label in labels], np.ascontiguousarray(boxes)))
    return converted


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
