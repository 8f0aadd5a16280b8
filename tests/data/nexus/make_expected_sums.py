#!/usr/bin/python3
"""Writes the runs of further chunk shapes (chunks_*.nxs) and expected_sums.txt, the integrals of
every readable run of this folder, over all its time channels and over a window of them.

Run only to regenerate them, after make_test_files.py (the tests do not need Python):
    /usr/bin/python3 tests/data/nexus/make_expected_sums.py
Needs python3-h5py and python3-numpy (Debian packages).

expected_sums.txt holds two lines per readable run:
    file first count integral_1 ... integral_spectra
first and count give the time channels integrated (counted from 0; count 0 on the first line
of a run stands for every channel). The integrals are computed here with numpy by the
integration rule, straight from the counts and boundaries as stored: the width of channel i is
b[i+1] - b[i] in single precision; the value is counts / width in double precision; the channel's
term is width * value rounded to single precision and then to the nearest whole number (halves
away from zero); a term that is not a number or infinite counts 0; the terms are added in 64 bits
and the total limited to the 32-bit range. Only the first period of a run with periods counts.
"""
import os
import sys

import h5py
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def path(name):
    return os.path.join(HERE, name)


def nx(obj, cls):
    obj.attrs["NX_class"] = cls


def write_run(name, counts, boundaries, **ds_options):
    with h5py.File(path(name), "w") as f:
        e = f.create_group("entry")
        nx(e, "NXentry")
        d = e.create_group("data")
        nx(d, "NXdata")
        d.create_dataset("counts", data=counts, **ds_options)
        d.create_dataset("time_of_flight", data=boundaries)
        d.attrs["signal"] = "counts"
        d.attrs["axes"] = ["spectrum_number", "time_of_flight"]
        e.attrs["default"] = "data"
        f.attrs["default"] = "entry"


def chunk_shape_runs():
    """Runs of 37 spectra x 23 channels (odd sizes: chunks at the edges are partly outside)."""
    rng = np.random.default_rng(17)
    spectra, channels = 37, 23
    c = rng.poisson(300, size=(spectra, channels)).astype(np.int32)
    c[5, :] = 0
    c[9, 3] = 2**24 + 1      # beyond single precision: the channel-by-channel rule
    c[9, 4] = -(2**24) - 3
    c[11, :] = 2**31 - 1     # a total beyond 32 bits: limited
    c[12, :] = -(2**31)
    # Uneven widths, so that counts / width is no whole number.
    b = np.cumsum(np.concatenate([[1000.0], rng.uniform(0.3, 40.0, channels)])).astype(np.float32)
    shapes = {
        "chunks_all_spectra.nxs": dict(chunks=(spectra, 1)),          # one channel, every spectrum
        "chunks_one_spectrum.nxs": dict(chunks=(1, channels)),        # one spectrum, every channel
        "chunks_split.nxs": dict(chunks=(8, 5), compression="gzip", compression_opts=1),
        "chunks_whole_run.nxs": dict(chunks=(spectra, channels), compression="gzip"),
        "chunks_tall_gzip.nxs": dict(chunks=(16, channels), compression="gzip", compression_opts=1),
        "chunks_shuffled.nxs": dict(chunks=(8, channels), compression="gzip", shuffle=True),
        "contiguous_int32.nxs": dict(),
    }
    for name, options in shapes.items():
        write_run(name, c, b, **options)
    # More chunks than are read by their place in the index: looked up by position, their
    # filter masks read with their bytes, and read through the library on the pool.
    many = rng.poisson(40, size=(1100, 5)).astype(np.int32)
    write_run("chunks_many.nxs", many, b[:6], chunks=(1, 5), compression="gzip",
              compression_opts=1)
    # The same with one chunk stored as it is, its deflate filter skipped (which the pipeline
    # allows): the stored-order route leaves the run to the reading that checks such masks.
    write_run("chunks_many_skipped.nxs", many, b[:6], chunks=(1, 5), compression="gzip",
              compression_opts=1)
    with h5py.File(path("chunks_many_skipped.nxs"), "r+") as f:
        f["entry/data/counts"].id.write_direct_chunk((7, 0), many[7].tobytes(), filter_mask=1)
    # Periods in chunks two periods deep: the first period is part of every chunk.
    p = np.stack([c, c[::-1] + 1, c * 0 + 7])
    write_run("chunks_periods.nxs", p, b, chunks=(2, 10, 6), compression="gzip")
    return list(shapes) + ["chunks_many.nxs", "chunks_many_skipped.nxs", "chunks_periods.nxs"]


def unwritten_runs():
    """Counts never written, which read as the fill value: refused, not integrated."""
    b = (100.0 + 2.5 * np.arange(7)).astype(np.float32)
    with h5py.File(path("unwritten_contiguous.nxs"), "w") as f:
        e = f.create_group("entry")
        nx(e, "NXentry")
        d = e.create_group("data")
        nx(d, "NXdata")
        d.create_dataset("counts", shape=(5, 6), dtype=np.int32, fillvalue=9)
        d.create_dataset("time_of_flight", data=b)
        d.attrs["signal"] = "counts"
    with h5py.File(path("unwritten_chunk.nxs"), "w") as f:
        e = f.create_group("entry")
        nx(e, "NXentry")
        d = e.create_group("data")
        nx(d, "NXdata")
        c = d.create_dataset("counts", shape=(5, 6), dtype=np.int32, chunks=(2, 6), fillvalue=9)
        c[0:2, :] = 1
        c[4:5, :] = 2  # spectra 3 and 4 never written
        d.create_dataset("time_of_flight", data=b)
        d.attrs["signal"] = "counts"


def find_run(f):
    """The counts (the largest numeric dataset of rank 2 or 3) and, in the same group, the 1-D
    dataset of one value more than its channels (the boundaries)."""
    found = []
    f.visititems(lambda k, v: found.append(v) if isinstance(v, h5py.Dataset) else None)
    numeric = [d for d in found if d.dtype.kind in "iuf" and d.ndim in (2, 3)]
    counts = max(numeric, key=lambda d: d.size)
    channels = counts.shape[-1]
    group = counts.parent
    edges = [d for d in group.values()
             if isinstance(d, h5py.Dataset) and d.ndim == 1 and d.shape[0] == channels + 1
             and d.dtype.kind in "iuf"]
    if len(edges) != 1:
        # The boundaries the run names through its axes attribute.
        axes = group.attrs.get("axes", counts.attrs.get("axes"))
        names = [a.decode() if isinstance(a, bytes) else str(a) for a in np.atleast_1d(axes)]
        names = [n for part in names for n in part.replace(",", ":").split(":")]
        edges = [group[n] for n in names if n in group and group[n].ndim == 1
                 and group[n].shape[0] == channels + 1]
    data = counts[()]
    if data.ndim == 3:
        data = data[0]
    return data, edges[0][()].astype(np.float32)


def integrals(counts, b, first, count):
    width = (b[first + 1:first + count + 1] - b[first:first + count]).astype(np.float32)
    part = counts[:, first:first + count]
    with np.errstate(all="ignore"):
        value = part.astype(np.float64) / width.astype(np.float64)
        single = (width.astype(np.float64) * value).astype(np.float32).astype(np.float64)
        bad = ~np.isfinite(single) | (np.abs(single) >= 2.0**63)
        single[bad] = 0.0
        terms = (np.sign(single) * np.floor(np.abs(single) + 0.5)).astype(np.int64)
    totals = terms.sum(axis=1, dtype=np.int64)
    return np.clip(totals, -(2**31), 2**31 - 1)


def main():
    names = []
    with open(path("expected.txt")) as f:
        names = [line.split()[0] for line in f if line.strip() and not line.startswith("#")]
    names += ["large_counts.nxs", "infinite_counts.nxs"] + chunk_shape_runs()
    unwritten_runs()
    lines = ["# file first count integral_1 ... (count 0: every channel)"]
    for name in names:
        with h5py.File(path(name), "r") as f:
            counts, b = find_run(f)
        channels = counts.shape[1]
        # A window inside the run: channels 1 .. channels-2 where there are enough.
        first = 1 if channels > 2 else 0
        count = channels - 2 if channels > 2 else channels
        for (w0, wn, shown) in ((0, channels, 0), (first, count, count)):
            sums = integrals(counts, b, w0, wn)
            lines.append(" ".join([name, str(w0 if shown else 0), str(shown)] +
                                  [str(int(v)) for v in sums]))
    with open(path("expected_sums.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
