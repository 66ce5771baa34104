#!/usr/bin/env python3
"""The road of one recording, from Python, with models handed in as objects.

Runs on a synthetic pen recording with the built-in models, so it needs no
weights: catalogue and cut the recording into clips, start the first clip
(initializer), track it with the stand-in tracker while cleaning the masks,
save one annotation file per frame, load the clip back, report doubtful
frames, resolve an overlap episode, and carry the identities into the next
clip (matcher).

    PYTHONPATH=build/python python3 examples/python/road.py [WORK_DIR]

To use your own models, replace `builtin_models()` below:

    from transformers import AutoProcessor, AutoModelForZeroShotObjectDetection
    from sam2.sam2_image_predictor import SAM2ImagePredictor
    processor = AutoProcessor.from_pretrained("IDEA-Research/grounding-dino-base")
    grounding_model = AutoModelForZeroShotObjectDetection.from_pretrained(...).to("cuda")
    image_predictor = SAM2ImagePredictor(build_sam2(config, checkpoint, device="cuda"))

and pass your own tracker's masks where the stand-in tracker runs.
"""

import glob
import os
import sys
import tempfile

import numpy as np

import pelk_utils as pu
from pelk_utils.models import builtin_models


def cut_recording(work):
    """Writes a synthetic camera recording and cuts it into clips of cropped frames."""
    scene = pu.PenScene(seed=3, frame_size=(720, 590), frames=62, fps=25)
    videos = os.path.join(work, "videos", "cam62")
    os.makedirs(videos, exist_ok=True)
    scene.write_camera_video(videos, camera=62, datetime="20240405070000")
    pen = os.path.join(work, "pen_polygon.json")
    scene.write_pen_file(pen)

    catalogue = pu.VideoMetadata(os.path.join(work, "videos"), ["cam62"], sample_step=1).get_filtered_video_dataframe()
    print(f"catalogue: {len(catalogue)} recording(s), camera {catalogue['Camera Number'].iloc[0]}")
    # 0.02 minutes = 30 frames per clip at 25 fps.
    pu.VideoProcessor(time_step=0.02, output_dir_base=os.path.join(work, "frames")).process_videos_to_frames(catalogue)
    clips = sorted(glob.glob(os.path.join(work, "frames", "*", "*", "*", "*_cropped_frames")))
    return scene, pen, clips


def track_clip(clip_dir, frames, initial_masks, pen, processor, grounding_model, image_predictor, ann_dir):
    """Follows the animals through a clip, cleans the masks and saves one annotation file per frame."""
    # Your tracker goes here (e.g. SAM 2's video predictor); this stand-in
    # prompts the segmenter with each animal's previous box.
    tracker = pu.BoxPropagationTracker(image_predictor, initial_masks, processor, grounding_model)
    video_segments = {}
    for index, frame in enumerate(frames):
        masks = tracker.track(pu.imread_rgb(frame))
        video_segments[index] = {object_id + 1: mask for object_id, mask in enumerate(masks)}

    # The cleaning pass rewrites video_segments in place: masks clipped to the
    # pen and reduced to the animal's blobs.
    pu.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(video_segments, clip_dir, frames)

    os.makedirs(ann_dir, exist_ok=True)
    for index, objects in video_segments.items():
        pu.write_annotation_file(os.path.join(ann_dir, f"output_pp_{index}.json"), frames[index], objects)


def main(work):
    scene, pen, clips = cut_recording(work)
    if len(clips) < 2:
        raise SystemExit(f"expected two clips, found {clips}")
    frames_1 = sorted(glob.glob(os.path.join(clips[0], "*.jpg")))
    frames_2 = sorted(glob.glob(os.path.join(clips[1], "*.jpg")))

    # Your Grounding-DINO-style processor/model and SAM-2-style predictor go here.
    processor, grounding_model, image_predictor = builtin_models()

    masks, table, ann_frame_idx, picture = pu.initializer(
        clips[0], frames_1, processor, grounding_model, "cpu", image_predictor, step=5,
        custom_pen_json_path=pen)
    if masks is None:
        raise SystemExit("the initializer found no frame with ten animals apart")
    print(f"initializer: frame {ann_frame_idx}, {len(masks)} animals, picture {picture.shape}")

    ann_1 = os.path.join(work, "annotations", "clip1")
    track_clip(clips[0], frames_1, masks, pen, processor, grounding_model, image_predictor, ann_1)

    last_frame, clip = pu.get_pelk_annotation_data(clips[0], save_dir_base=ann_1)
    print(f"loaded {len(clip)} frames; last frame {last_frame.frame_index} with {len(last_frame.masks_dict)} masks")

    overlap_rows, zero_area, overlap_frames, _ = pu.generate_tracking_report(clip, ann_1)
    print(f"report: {len(overlap_rows)} overlap rows, {len(zero_area)} vanished masks")
    if len(overlap_rows):
        test_frame, box, runs, worst = pu.process_overlap_frames(overlap_rows, clip, image_predictor)
        print(f"overlap resolution: test frame {test_frame}, box most likely wrong: {box}")

    new_masks, objects, keep_box, best, failed = pu.matcher(clip, frames_2, 0, image_predictor)
    if failed:
        raise SystemExit("the matcher could not carry the identities")
    print(f"matcher: {len(new_masks)} identities carried from frame key {best.frame_index} into clip 2 "
          f"({', '.join(keep_box)})")
    areas = [m.area for m in new_masks]
    print(f"carried mask areas: min {min(areas)}, max {max(areas)}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1:
        sys.exit(main(sys.argv[1]))
    with tempfile.TemporaryDirectory(prefix="pelk_road_") as work:
        sys.exit(main(work))
