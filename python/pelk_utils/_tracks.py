"""Every animal's path as a pandas table or an xarray Dataset, and the
exchange formats of other tools.

Columns of the table (one row per animal per frame of the clips, in order):

=============  =====================================================================
clip           the clip folder as given
frame_key      the annotation file's own number (20 for output_pp_20.json)
frame_image    the frame image named by the annotation file
time           wall-clock time of the frame (camera clock, pandas Timestamp; NaT
               when unknown): recording start + its frame number / frame rate, for
               frames under a `pelk extract` tree when the rate is known (fps= or
               videos=)
identity       box key (Box0, ...)
present        False for a frame where the animal has no mask (numbers are NaN)
x_min .. y_max the mask's box: inclusive pixel indices
centroid_x/_y  mean pixel position, pixels (x right, y down)
area           pixel count
orientation    angle of the long axis, degrees in [0, 180) from +x towards +y
long_axis,     axes of the ellipse with the mask's second moments (4 sqrt of the
short_axis     eigenvalues of the pixel covariance), pixels
in_pen         (with pen=) share of the mask inside the pen polygon, 0..1
=============  =====================================================================
"""

import os


def tracks_table(folders, fps=None, pen=None, videos=None):
    """Returns a pandas DataFrame with one row per animal per frame of the clip
    folders (in the order given; see the module doc for the columns). `fps`
    (or `videos`, a folder of the recordings) gives frame times; `pen` adds the
    in-pen share. What was assumed (how times were found, identities that
    change between clips) is in the frame's ``attrs["notes"]``."""
    import pandas as pd

    from . import _surface
    from ._pelk_utils import _tracks_columns

    # Wrong argument kinds are a TypeError naming the parameter, as elsewhere.
    columns, notes = _surface.wrap(_tracks_columns, "tracks_table")(folders, fps, pen, videos)
    times = columns.pop("time")
    frame = pd.DataFrame(columns)
    # YYYY-MM-DDThh:mm:ss.mmm (camera clock); None where unknown gives NaT.
    frame.insert(3, "time", pd.to_datetime(pd.Series(times, dtype="object"), format="%Y-%m-%dT%H:%M:%S.%f"))
    frame.attrs["notes"] = list(notes)
    return frame


def behaviour(folders, zones=None, bin="10m", fps=None, videos=None, px_per_metre=None, jitter_px=3.0,
              active=0.1, max_gap=5, contact_px=2, pen=None, pen_size=None, min_bout=0.5):
    """Returns behaviour measures of the clip folders (in recording order) as
    a dict of three pandas DataFrames, as `pelk behaviour` writes them:

    - ``"behaviour"``: tidy, one row per bin, animal and measure (``bin_start``,
      ``bin_end``, ``animal``, ``measure``, ``value``, ``unit``): distance (after
      a jitter filter of `jitter_px`), mean_speed, active and still (speed over
      a one-second window centred on the frame above / below `active` body
      lengths per second; a run shorter than `min_bout` seconds takes the call
      around it), visible, missing, median_area, ``zone:<name>`` per
      zone of `zones` (a LabelMe-style JSON; in a zone = centroid inside), and
      metres with `px_per_metre`, or with `pen` (the pen-polygon file) and
      `pen_size` (its real size in metres, ``(4, 2.5)`` or ``"4x2.5"``);
    - ``"contacts"``: per bin and pair (masks within `contact_px` pixels) the
      bouts that start in it and the contact time; bin ``"all"`` holds each
      pair's totals and longest bout (the contact matrix);
    - ``"summary"``: one row per animal over the whole input.

    `bin` is "10m", "30s", "1h" (camera time: frames need times from `fps` or
    `videos`) or "500f" (frames). Gaps longer than `max_gap` frames are not
    bridged. Times are seconds, or frames when no rate is known; every frame's
    ``attrs`` holds ``time_unit`` and ``notes`` (what was assumed)."""
    import pandas as pd

    from . import _surface
    from ._pelk_utils import _behaviour_columns

    values, contacts, summary, unit, notes = _surface.wrap(_behaviour_columns, "behaviour")(
        folders, zones, bin, fps, videos, px_per_metre, jitter_px, active, max_gap, contact_px, pen, pen_size,
        min_bout)
    out = {"behaviour": pd.DataFrame(values), "contacts": pd.DataFrame(contacts), "summary": pd.DataFrame(summary)}
    for frame in out.values():
        frame.attrs["time_unit"] = unit
        frame.attrs["notes"] = list(notes)
    return out


def tracks_dataset(folders, fps=None, videos=None):
    """Returns the tracks as an xarray Dataset in the layout of the Python
    animal-movement toolboxes for boxes: dimensions ``time``, ``space``
    (``x``, ``y``) and ``individuals``; variables ``position`` (centroid),
    ``shape`` (box width and height) and ``confidence`` (1 where the animal has
    a mask, NaN where not). ``time`` is seconds from the first frame (frame
    positions when no time is known); the wall-clock start is the attribute
    ``time_start`` when known. Needs xarray (Debian: python3-xarray)."""
    try:
        import xarray as xr
    except ImportError:
        raise ImportError("tracks_dataset needs xarray: install python3-xarray (Debian) or `pip install xarray`") \
            from None
    import numpy as np

    table = tracks_table(folders, fps=fps, videos=videos)
    frames = table[["clip", "frame_key"]].drop_duplicates().reset_index(drop=True)
    index = {key: i for i, key in enumerate(zip(frames["clip"], frames["frame_key"]))}
    individuals = list(dict.fromkeys(table["identity"]))
    where = {key: i for i, key in enumerate(individuals)}
    n_time, n_ind = len(frames), len(individuals)
    position = np.full((n_time, 2, n_ind), np.nan)
    shape = np.full((n_time, 2, n_ind), np.nan)
    confidence = np.full((n_time, n_ind), np.nan)
    t = np.fromiter((index[k] for k in zip(table["clip"], table["frame_key"])), int, len(table))
    i = np.fromiter((where[k] for k in table["identity"]), int, len(table))
    present = table["present"].to_numpy()
    position[t, 0, i] = table["centroid_x"].to_numpy()
    position[t, 1, i] = table["centroid_y"].to_numpy()
    shape[t, 0, i] = (table["x_max"] - table["x_min"] + 1).to_numpy()
    shape[t, 1, i] = (table["y_max"] - table["y_min"] + 1).to_numpy()
    confidence[t, i] = np.where(present, 1.0, np.nan)
    first_times = table.drop_duplicates(["clip", "frame_key"])["time"].reset_index(drop=True)
    attrs = {"source_software": "pelk_utils", "ds_type": "bboxes", "notes": table.attrs.get("notes", [])}
    if first_times.notna().all() and len(first_times):
        seconds = (first_times - first_times.iloc[0]).dt.total_seconds().to_numpy()
        attrs["time_start"] = first_times.iloc[0].isoformat()
        attrs["time_unit"] = "seconds"
    else:
        seconds = np.arange(n_time, dtype=float)
        attrs["time_unit"] = "frames"
    return xr.Dataset(
        {"position": (("time", "space", "individuals"), position),
         "shape": (("time", "space", "individuals"), shape),
         "confidence": (("time", "individuals"), confidence)},
        coords={"time": seconds, "space": ["x", "y"], "individuals": individuals},
        attrs=attrs)


def export_tracks(folders, format, out, fps=None, videos=None):
    """Writes the tracks of the clip folders (in order) to `out` in `format`:
    "mot" (MOTChallenge text, with `out`.json mapping keys and frames), "cvat"
    (CVAT for video 1.1 XML), "coco" (COCO instance segmentation JSON, polygons) or
    "coco-rle" (the same with every mask exact as uncompressed COCO RLE).
    Returns a dict with "frames", "objects", "identities", "mapping" (the
    MOT mapping file or None) and "notes"."""
    from . import _surface
    from ._pelk_utils import _export_tracks

    if not isinstance(format, str):
        raise TypeError(f"export_tracks(): format must be 'mot', 'cvat', 'coco' or 'coco-rle', got {type(format).__name__}")
    if not isinstance(out, (str, bytes, os.PathLike)):
        raise TypeError(f"export_tracks(): out must be a path (str, bytes or os.PathLike), got {type(out).__name__}")
    return _surface.wrap(_export_tracks, "export_tracks")(folders, format, out, fps, videos)
