"""The package under a notebook user's habits: several threads at once,
Ctrl-C in the middle of long work, and a light `import pelk_utils`.

Interrupts are real SIGINTs sent to this process from a timer thread; the
time is measured from the signal to the KeyboardInterrupt.
"""

import concurrent.futures as futures
import io
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import pelk_utils as pu

from conftest import FakePredictor

# Ctrl-C must stop work within this many seconds of the signal.
STOP_WITHIN = 0.2
ROUNDS = 8


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that sees the package; returns stdout."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


# ---- import ----------------------------------------------------------------

IMPORT_PROBE = r"""
import sys
import pelk_utils as pu
def loaded():
    maps = open("/proc/self/maps").read()
    return ("torch" in sys.modules, "pandas" in sys.modules, "libtorch" in maps or "libc10" in maps)
print(loaded())
pu.get_pelk_annotation_data("c", save_dir_base=sys.argv[1] if len(sys.argv) > 1 else "/nonexistent-clip")
print(loaded())
pu.cosine_scores_cal([None], [None])
print(loaded()[2])
"""


def test_import_loads_neither_torch_nor_pandas_nor_libtorch():
    lines = run_python(IMPORT_PROBE).splitlines()
    assert lines[0] == "(False, False, False)", "right after import"
    assert lines[2] == "(False, False, False)", "after loading a clip"
    assert lines[3] == "True", "what needs libtorch loads on first use"


def test_lazy_names_are_the_same_objects_and_listed():
    from pelk_utils import process_overlap_frames, get_pelk_annotation_data

    assert process_overlap_frames is pu.process_overlap_frames
    assert get_pelk_annotation_data is pu.get_pelk_annotation_data
    for name in ("Mask", "matcher", "generate_sam2_image_features", "models"):
        assert name in dir(pu) and name in pu.__all__
    with pytest.raises(AttributeError, match="no attribute 'no_such_thing'"):
        pu.no_such_thing


# ---- threads ---------------------------------------------------------------

def clip_state(clip):
    """What a loaded clip holds, comparable with ==."""
    return {k: (r.frame_index, r.json_path, r.image_path, dict(r.mask_areas.items()),
                [(key, m) for key, m in r.masks_dict.items()]) for k, r in clip.items()}


def load(folder):
    last, clip = pu.get_pelk_annotation_data("clip", save_dir_base=folder)
    return last.frame_index, clip_state(clip)


def test_clip_loading_from_four_threads_equals_serial(truth_clip, overlap_clip):
    folders = [truth_clip, overlap_clip] * 4
    serial = [load(f) for f in folders]
    with futures.ThreadPoolExecutor(4) as pool:
        for _ in range(ROUNDS):
            assert list(pool.map(load, folders)) == serial


def test_reports_from_four_threads_equal_serial(overlap_clip, truth_clip, tmp_path):
    clips = {name: pu.get_pelk_annotation_data("clip", save_dir_base=f)[1]
             for name, f in (("overlap", overlap_clip), ("truth", truth_clip))}

    def report(job):
        name, index = job
        out = tmp_path / f"{name}-{index}"
        out.mkdir(exist_ok=True)
        rows, zero, frames, _ = pu.generate_tracking_report(clips[name], str(out))
        csv = out / "tracking_question_report.csv"
        return rows.to_dict("list"), zero, frames, csv.read_bytes() if csv.exists() else None

    jobs = [(name, i) for i in range(4) for name in clips]
    serial = [report(job) for job in jobs]
    assert serial[0][2], "the overlap clip has overlap frames"
    with futures.ThreadPoolExecutor(4) as pool:
        for _ in range(ROUNDS):
            assert list(pool.map(report, jobs)) == serial


def tracked_segments(scene, frames):
    return {f: {k + 1: np.asarray(m) for k, m in enumerate(scene.truth(f % 20).values())} for f in range(frames)}


def clean(scene, scene_files, frames=4):
    refine = pu.Mask_Refinement(custom_pen_json_path=scene_files["pen"])
    segments = refine.process_video_segments(tracked_segments(scene, frames), "clip", scene_files["frames"])
    return {f: {i: m for i, m in objects.items()} for f, objects in segments.items()}, refine.prev_centroids


def test_cleaning_and_matchers_from_four_threads_equal_serial(scene, scene_files, truth_clip):
    serial_clean = clean(scene, scene_files)
    truth = list(scene.truth(0).values())

    def match(_):
        _, clip = pu.get_pelk_annotation_data("clip", save_dir_base=truth_clip)
        masks, objects, keep, best, failed = pu.matcher(clip, scene_files["frames"], 0, FakePredictor(truth),
                                                        remove_stack_box=["Box3"])
        return masks, objects, keep, best.frame_index, failed, sorted(clip[19].masks_dict.keys())

    serial_match = match(0)
    assert serial_match[4] is False and "Box3" not in serial_match[5]
    with futures.ThreadPoolExecutor(4) as pool:
        for _ in range(ROUNDS // 2):
            cleaned = [pool.submit(clean, scene, scene_files) for _ in range(4)]
            matched = list(pool.map(match, range(4)))
            assert [c.result() for c in cleaned] == [serial_clean] * 4
            assert matched == [serial_match] * 4


def test_an_instance_used_by_two_threads_is_an_error_not_a_crash(scene, scene_files):
    refine = pu.Mask_Refinement(custom_pen_json_path=scene_files["pen"])
    segments = tracked_segments(scene, 200)
    worker = threading.Thread(target=refine.process_video_segments, args=(segments, "clip", scene_files["frames"] * 10))
    worker.start()
    try:
        time.sleep(0.1)
        assert worker.is_alive(), "the cleaning finished too soon to overlap"
        with pytest.raises(RuntimeError, match="Mask_Refinement is in use by another thread"):
            refine.process_video_segments(tracked_segments(scene, 1), "clip", scene_files["frames"])
        with pytest.raises(RuntimeError, match="in use by another thread"):
            refine.MAX_PREV_DIST = 5
        with pytest.raises(RuntimeError, match="in use by another thread"):
            refine.prev_centroids
    finally:
        worker.join()
    assert refine.MAX_PREV_DIST == 200 and len(refine.prev_centroids) == 10, "usable again once the call ended"


class ThreadStdout(io.TextIOBase):
    """A sys.stdout that keeps each thread's lines apart."""

    def __init__(self):
        self.parts = {}
        self.lock = threading.Lock()

    def write(self, text):
        with self.lock:
            self.parts.setdefault(threading.get_ident(), []).append(text)
        return len(text)

    def text_of(self, ident):
        return "".join(self.parts.get(ident, []))


def test_each_thread_captures_its_own_whole_lines(tmp_path, monkeypatch):
    stdout = ThreadStdout()
    monkeypatch.setattr(sys, "stdout", stdout)
    folders = [tmp_path / f"empty{i}" for i in range(4)]
    idents = {}
    together = threading.Barrier(4)  # all alive at once: no thread id is reused

    def speak(i):
        idents[i] = threading.get_ident()
        together.wait()
        for _ in range(50):
            pu.get_pelk_annotation_data("c", save_dir_base=str(folders[i]))
        together.wait()

    threads = [threading.Thread(target=speak, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(4):
        expected = f"No JSON files found in {folders[i]}. Please check the directory and try again.\n"
        assert stdout.text_of(idents[i]) == expected * 50


def test_redirect_stdout_sees_the_lines(tmp_path):
    import contextlib

    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        pu.get_pelk_annotation_data("c", save_dir_base=str(tmp_path))
    assert buffer.getvalue().startswith("No JSON files found in")


EXIT_PROBE = r"""
import sys, threading
import pelk_utils as pu
def chatter():
    while True:
        pu.get_pelk_annotation_data("c", save_dir_base="/nonexistent-clip-folder")
for _ in range(3):
    threading.Thread(target=chatter, daemon=True).start()
import time; time.sleep(0.3)
print("leaving")
"""


def test_exit_while_daemon_threads_print_is_clean():
    for _ in range(3):
        out = run_python(EXIT_PROBE, timeout=60)
        assert "leaving" in out


# ---- Ctrl-C ----------------------------------------------------------------

def seconds_to_interrupt(work, delay):
    """Runs work(), sends SIGINT after `delay` s; returns the seconds from the
    signal to the KeyboardInterrupt. Fails when work ends before the signal."""
    sent = {}

    def fire():
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    try:
        work()
    except KeyboardInterrupt:
        return time.perf_counter() - sent["at"]
    try:
        timer.join()
        time.sleep(1)  # the interrupt arrives here when work ended first
    except KeyboardInterrupt:
        pass
    pytest.fail("the work ended before the signal; make it longer")


@pytest.fixture(scope="module")
def long_clip(scene_files, truth_clip, tmp_path_factory):
    """A tracked clip of 3000 frames (the 20 truth files over and over)."""
    folder = tmp_path_factory.mktemp("long_clip")
    for i in range(3000):
        shutil.copy(os.path.join(truth_clip, f"output_pp_{i % 20}.json"), folder / f"output_pp_{i}.json")
    return str(folder)


def test_ctrl_c_stops_clip_loading(long_clip):
    assert seconds_to_interrupt(lambda: pu.get_pelk_annotation_data("c", save_dir_base=long_clip), 0.1) < STOP_WITHIN
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=long_clip)
    assert len(clip) == 3000, "a rerun loads the whole clip"


def test_ctrl_c_stops_behaviour_and_threads_agree(long_clip, truth_clip):
    assert seconds_to_interrupt(lambda: pu.behaviour(long_clip, bin="100f"), 0.1) < STOP_WITHIN
    serial = pu.behaviour(truth_clip, bin="5f")
    with futures.ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda _: pu.behaviour(truth_clip, bin="5f"), range(4)))
    for run in runs:
        for name, frame in serial.items():
            pd.testing.assert_frame_equal(run[name], frame)


def test_ctrl_c_stops_the_report(overlap_clip, tmp_path):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=overlap_clip)
    big = {i: clip[i % 20] for i in range(100000)}
    assert seconds_to_interrupt(lambda: pu.generate_tracking_report(big, str(tmp_path)), 0.2) < STOP_WITHIN
    assert not (tmp_path / "tracking_question_report.csv").exists(), "no report from a stopped run"
    pu.generate_tracking_report({k: big[k] for k in range(40)}, str(tmp_path))
    assert (tmp_path / "tracking_question_report.csv").exists()


def test_ctrl_c_stops_cleaning_and_changes_nothing(scene, scene_files):
    refine = pu.Mask_Refinement(custom_pen_json_path=scene_files["pen"])
    segments = tracked_segments(scene, 600)
    before = {f: {i: m.copy() for i, m in o.items()} for f, o in segments.items()}
    names = scene_files["frames"] * 30
    assert seconds_to_interrupt(lambda: refine.process_video_segments(segments, "clip", names), 0.3) < STOP_WITHIN
    for f, objects in segments.items():
        for i, m in objects.items():
            assert isinstance(m, np.ndarray) and np.array_equal(m, before[f][i])
    small = tracked_segments(scene, 3)
    assert clean(scene, scene_files, 3)[0] == pu.Mask_Refinement(
        custom_pen_json_path=scene_files["pen"]).process_video_segments(small, "clip", scene_files["frames"])


class SlowPredictor(FakePredictor):
    """A predictor whose model takes its time (as a real one on a CPU does)."""

    def predict(self, *args, **kwargs):
        time.sleep(30)
        return super().predict(*args, **kwargs)


def test_ctrl_c_stops_the_matcher_and_the_clip_keeps_its_keys(truth_clip, scene, scene_files):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)
    predictor = SlowPredictor(list(scene.truth(0).values()))
    work = lambda: pu.matcher(clip, scene_files["frames"], 0, predictor, remove_stack_box=["Box3"])  # noqa: E731
    assert seconds_to_interrupt(work, 0.2) < STOP_WITHIN
    assert "Box3" in clip[19].masks_dict, "a stopped matcher leaves the caller's clip as it was"


def test_ctrl_c_stops_the_repair_before_it_writes(overlap_clip, scene, tmp_path):
    folder = tmp_path / "clip"
    shutil.copytree(overlap_clip, folder)
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    predictor = FakePredictor(list(scene.truth(0).values()))
    slow = predictor.model.image_encoder.forward

    def slow_forward(x):
        time.sleep(30)
        return slow(x)

    predictor.model.image_encoder.forward = slow_forward
    assert seconds_to_interrupt(lambda: pu.repair_identities(folder, predictor), 0.2) < STOP_WITHIN
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before, "nothing written, no manifest"
    assert pu.repair_status(folder)["state"] == "none"


def test_ctrl_c_stops_the_overlap_resolution(overlap_clip, scene):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=overlap_clip)
    rows = pu.generate_tracking_report(clip, overlap_clip)[0]
    predictor = FakePredictor(list(scene.truth(0).values()))
    slow = predictor.model.image_encoder.forward

    def slow_forward(x):
        time.sleep(30)
        return slow(x)

    predictor.model.image_encoder.forward = slow_forward
    assert seconds_to_interrupt(lambda: pu.process_overlap_frames(rows, clip, predictor), 0.2) < STOP_WITHIN


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """A 40 s camera recording, small frames."""
    root = tmp_path_factory.mktemp("videos")
    (root / "cam62").mkdir()
    scene = pu.PenScene(seed=3, frame_size=(240, 200), frames=1000)
    scene.write_camera_video(str(root / "cam62"))
    return root


def extract(recording, out):
    table = pu.VideoMetadata(str(recording), ["cam62"], sample_step=1).get_filtered_video_dataframe()
    pu.VideoProcessor(time_step=0.05, output_dir_base=str(out)).process_videos_to_frames(table)


def tree(folder):
    return {os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
            for d, _, files in os.walk(folder) for f in files}


def test_ctrl_c_stops_extraction_and_a_rerun_finishes_it(recording, tmp_path):
    reference = tmp_path / "reference"
    extract(recording, reference)
    out = tmp_path / "out"
    assert seconds_to_interrupt(lambda: extract(recording, out), 0.15) < STOP_WITHIN
    stopped = tree(out)
    finished = {p: b for p, b in stopped.items() if ".partial" not in p}
    assert 0 < len(finished) < len(tree(reference)), "some ranges finished, not all"
    assert all(tree(reference)[p] == b for p, b in finished.items()), "finished ranges are whole"
    assert not any(".pelk-" in p for p in stopped), "no temporary file is left behind"
    extract(recording, out)
    assert tree(out) == tree(reference)


def test_ctrl_c_stops_pelk_extract_with_the_unfinished_range_marked(recording, tmp_path):
    cli = os.environ.get("PELK_CLI")
    if not cli:
        pytest.skip("PELK_CLI names the pelk program (set by CTest)")
    out = tmp_path / "frames"
    command = [cli, "extract", str(recording), "--sub-dir", "cam62", "--every", "1", "--time-step", "0.05",
               "--out", str(out)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in process.stdout:  # wait until frames are being saved
        if line.startswith("Processing frame"):
            break
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 130, err
    assert err.endswith("\npelk: interrupted; finished work is kept and a rerun continues where this one stopped\n")
    assert any(".partial" in p for p in tree(out)), "the range being cut stays marked unfinished"
    subprocess.run(command, check=True, capture_output=True)
    reference = tmp_path / "reference"
    extract(recording, reference)
    assert tree(out) == tree(reference)


# ---- crashes Python must never see ---------------------------------------

def huge(shape):
    """A zero array of `shape` that takes no memory (every element is one byte)."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=shape, strides=(0,) * len(shape))


@pytest.mark.parametrize("shape", [(1, 2**32 + 8), (1, 2**31 + 8), (2**31, 1), (3, 2**31)])
def test_sizes_beyond_int_are_value_errors(shape):
    with pytest.raises(ValueError, match="at most 2147483647"):
        pu.Mask(huge(shape))
    with pytest.raises(ValueError, match="at most 2147483647"):
        pu.draw_masks_on_image(huge(shape + (3,)), [])


@pytest.mark.parametrize("make", [
    lambda: pu.Mask(np.ones((3, 4))), pu.MaskDict, pu.AreaMap, pu.VideoProcessor, pu.Mask_Refinement,
    lambda: pu.VideoMetadata("base", []), lambda: pu.PenScene(frames=2, frame_size=(120, 120)),
], ids=["Mask", "MaskDict", "AreaMap", "VideoProcessor", "Mask_Refinement", "VideoMetadata", "PenScene"])
@pytest.mark.parametrize("protocol", [0, 1])
def test_old_pickle_protocols_are_type_errors_naming_protocol_2(make, protocol):
    import pickle

    with pytest.raises(TypeError, match="use protocol 2 or higher"):
        pickle.dumps(make(), protocol=protocol)


def test_a_mask_still_pickles_with_the_default_protocol():
    import copy
    import pickle

    mask = pu.Mask(np.eye(5))
    assert pickle.loads(pickle.dumps(mask)) == mask == copy.deepcopy(mask)


def test_a_callback_that_replaces_a_record_is_a_type_error(truth_clip, scene, scene_files):
    _, clip = pu.get_pelk_annotation_data("c", save_dir_base=truth_clip)

    class Meddling(FakePredictor):
        def set_image(self, image):
            clip[19] = None
            super().set_image(image)

    with pytest.raises(TypeError, match=r"laste_frame\[19\] is no longer a pelk_utils.FrameRecord"):
        pu.matcher(clip, scene_files["frames"], 0, Meddling(list(scene.truth(0).values())))
