"""A notebook user's code with type annotations: checked by mypy against the
package's stubs (test_typing.py), never run."""

import io
import pathlib
from typing import Optional

import numpy as np

import pelk_utils as pu


def load_and_report(folder: pathlib.Path) -> list[int]:
    last, clip = pu.get_pelk_annotation_data("clip", save_dir_base=folder)
    if clip is None or last is None:
        return []
    areas: pu.AreaMap = last.mask_areas
    total: int = sum(areas.values())
    _, zero_area, overlap_frames, _ = pu.generate_tracking_report(clip, folder)
    return overlap_frames + [total, len(zero_area)]


def masks_and_paths(scene: pu.PenScene, out: pathlib.Path) -> Optional[str]:
    frames: list[str] = scene.write_frames(out, 0, 2)
    mask = pu.Mask(np.zeros((4, 5), bool))
    shape: tuple[int, int] = mask.shape
    masks = pu.MaskDict({1: mask, "Box2": np.ones(shape)})
    masks.update(Box3=mask)
    iou: float = pu.calculate_iou([0, 0, 1, 1, 0.9], (0, 0, 2, 2))
    with pu.progress_lines(io.StringIO()):
        pu.list_all_files(out, ".jpg")
    return frames[0] if iou > 0 and len(masks) == 3 else pu.get_pen_json_path(out)


def cleaning(pen: pathlib.Path, frames: list[str]) -> dict[int, tuple[float, float]]:
    refine = pu.Mask_Refinement(custom_pen_json_path=pen)
    segments = {0: {1: np.ones((8, 8), np.uint8)}}
    refine.process_video_segments(segments, "clip", frames)
    return refine.prev_centroids
