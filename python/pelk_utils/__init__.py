"""pelk_utils: following individual pigs through overhead pen videos.

Every operation runs in the C++ library; this package hands it the caller's
own models (a Grounding-DINO-style processor/model pair and a SAM-2-style
image predictor) and converts numpy arrays and pandas tables at the border.
Masks stay compact (`Mask`: the rectangle of the pixels, one bit each);
`np.asarray(mask)` gives the full-frame 0/1 array when one is wanted.

    import pelk_utils as pu
    last, clip = pu.get_pelk_annotation_data("clip01", save_dir_base="ann/clip01")
    report = pu.generate_tracking_report(clip, "ann/clip01")

Built-in models that need no weights are in `pelk_utils.models`.

Importing the package loads no native code: the C++ core loads on the first
use of an operation or class, and what needs libtorch (the built-in models,
region features, the overlap resolution) on the first use of those, so
torch, pandas and libtorch are loaded only by the calls that need them.
"""

import contextlib as _contextlib
import importlib as _importlib

from . import _surface
from ._version import __version__

# Where each public name lives: the C++ core without libtorch, or the part
# that needs it.
_CORE_NAMES = (
    "AreaMap",
    "BoxPropagationTracker",
    "Figure",
    "FrameRecord",
    "Mask",
    "MaskDict",
    "Mask_Refinement",
    "PenScene",
    "VideoMetadata",
    "VideoProcessor",
    "apply_corrections",
    "cal_centroid_distance",
    "cal_masks_iou_scores",
    "calculate_iou",
    "calculate_masks_intersection",
    "calculate_masks_intersection_new",
    "calculate_pen_intersection_ratio",
    "cluster_masks_and_print",
    "compute_motion_score_in_polygon",
    "current_figure",
    "draw_intersection_heatmap",
    "draw_masks_on_image",
    "draw_pen",
    "enhance_dark_text",
    "evaluate_tracking",
    "find_best_laste_frame",
    "find_boxes_with_small_area_from_last_video",
    "find_continuous_frames",
    "fix_polygon_scaling",
    "generate_tracking_report",
    "get_in_pen_mask",
    "get_pelk_annotation_data",
    "get_pen_json_path",
    "img_bbx_drawing",
    "imread_rgb",
    "initializer",
    "intersection_between_masks",
    "list_all_files",
    "matcher",
    "process_gdino_results",
    "process_json_and_generate_masks",
    "render_intersection_heatmap",
    "repair_status",
    "retrieve_annotation",
    "set_figure_sink",
    "set_figures_dir",
    "undo_repair",
    "video_segments_mask_visual",
    "write_annotation_file",
)
_TORCH_NAMES = (
    "chain",
    "cosine_scores_cal",
    "generate_sam2_image_features",
    "process_overlap_frames",
    "repair_identities",
    "undo_chain",
)

_TRACKS_NAMES = ("behaviour", "export_tracks", "tracks_dataset", "tracks_table")

__all__ = sorted(_CORE_NAMES + _TORCH_NAMES + _TRACKS_NAMES + ("models", "progress_lines", "show_figures_inline"),
                 key=str.lower)


def __getattr__(name):
    if name in _CORE_NAMES:
        module = _importlib.import_module("._pelk_utils", __name__)
    elif name in _TORCH_NAMES:
        module = _importlib.import_module("._pelk_torch", __name__)
    elif name == "models":
        return _importlib.import_module(".models", __name__)
    elif name in _TRACKS_NAMES:
        value = getattr(_importlib.import_module("._tracks", __name__), name)
        globals()[name] = value
        return value
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = _surface.wrap_class(getattr(module, name), name) if isinstance(getattr(module, name), type) else \
        _surface.wrap(getattr(module, name), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))


@_contextlib.contextmanager
def progress_lines(stream=None):
    """Sends the progress lines of the calls this thread makes inside the block
    to `stream` (any object with a write method), or drops them when `stream`
    is None; sys.stdout itself is not touched, and other threads are not
    affected. Blocks nest.

        with pu.progress_lines(None):          # silence a long extraction
            processor.process_videos_to_frames(table)
        with open("extract.log", "a") as log, pu.progress_lines(log):
            processor.process_videos_to_frames(table)
    """
    from ._pelk_utils import _progress

    missing = object()
    previous = getattr(_progress, "stream", missing)
    _progress.stream = stream
    try:
        yield stream
    finally:
        if previous is missing:
            del _progress.stream
        else:
            _progress.stream = previous


def show_figures_inline():
    """Shows every presented figure in the notebook (IPython) instead of writing a PNG."""
    from IPython.display import display  # only needed in a notebook

    from ._pelk_utils import set_figure_sink

    set_figure_sink(display)
