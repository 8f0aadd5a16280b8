#!/usr/bin/python3
"""Writes the small NeXus files the run-file layer is tested on, and expected.txt.

Run only to regenerate them (the tests do not need Python):
    /usr/bin/python3 tests/data/nexus/make_test_files.py
Needs python3-h5py and python3-numpy (Debian packages).

expected.txt holds one line per readable file:
    file spectra channels first_boundary last_boundary integral_1 ... integral_spectra
The integrals are computed here with numpy straight from the counts (whole counts: their sum;
real counts: the sum of the counts rounded to whole numbers, halves away from zero), so they do
not depend on how the program turns counts into channel values and back.
"""
import os
import shutil
import sys

import h5py
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CHOPPER_SOURCE = "/work/shared/data/chopper.nxs"

expected_lines = []


def path(name):
    return os.path.join(HERE, name)


def round_half_away(x):
    x = np.asarray(x, dtype=np.float64)
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


def record(name, counts, boundaries):
    """Stores the expected result of a readable file; counts are [spectra, channels]."""
    counts = np.asarray(counts)
    if counts.dtype.kind == "f":
        per_channel = round_half_away(counts.astype(np.float32))
    else:
        per_channel = counts.astype(np.int64)
    integrals = per_channel.sum(axis=1).astype(np.int64)
    b = np.asarray(boundaries, dtype=np.float32)
    fields = [name, str(counts.shape[0]), str(counts.shape[1]), repr(float(b[0])), repr(float(b[-1]))]
    fields += [str(int(v)) for v in integrals]
    expected_lines.append(" ".join(fields))


def nx(obj, cls, fixed=False):
    if fixed:
        obj.attrs.create("NX_class", np.bytes_(cls))
    else:
        obj.attrs["NX_class"] = cls


def data_group(f):
    """/entry (NXentry) holding /entry/data (NXdata), with nothing else; returns the data group."""
    e = f.create_group("entry")
    nx(e, "NXentry")
    d = e.create_group("data")
    nx(d, "NXdata")
    return d


def counts_for(spectra, channels, seed, dtype=np.int32, high=50):
    rng = np.random.default_rng(seed)
    c = rng.integers(0, high, size=(spectra, channels)).astype(dtype)
    c[spectra // 2, :] = 0  # one empty spectrum in every file
    return c


def tof(channels, start=100.0, step=2.5, dtype=np.float32):
    return (start + step * np.arange(channels + 1)).astype(dtype)


def new_style(name, counts, boundaries, entry="entry", data="data", signal="counts",
              axis="time_of_flight", root_default=True, entry_default=True, **ds_options):
    with h5py.File(path(name), "w") as f:
        e = f.create_group(entry)
        nx(e, "NXentry")
        d = e.create_group(data)
        nx(d, "NXdata")
        d.create_dataset(signal, data=counts, **ds_options)
        d.create_dataset(axis, data=boundaries)
        d.attrs["signal"] = signal
        d.attrs["axes"] = ["spectrum_number", axis]
        if entry_default:
            e.attrs["default"] = data
        if root_default:
            f.attrs["default"] = entry


def readable_files():
    # Copy of a run written by another program.
    shutil.copyfile(CHOPPER_SOURCE, path("chopper.nxs"))
    with h5py.File(path("chopper.nxs"), "r") as f:
        record("chopper.nxs", f["/entry/data/data"][()], f["/entry/data/time_of_flight"][()])

    # Older convention: signal=1 on the dataset, axes "a:b" on the dataset, double boundaries.
    c = counts_for(5, 7, 1)
    b = tof(7, dtype=np.float64)
    with h5py.File(path("old_signal_colon.nxs"), "w") as f:
        e = f.create_group("run")
        nx(e, "NXentry")
        d = e.create_group("histogram")
        nx(d, "NXdata")
        d.create_dataset("aaa_monitor", data=np.arange(7, dtype=np.int32))  # not the signal
        s = d.create_dataset("counts", data=c)
        s.attrs["signal"] = np.int32(1)
        s.attrs["axes"] = "spectrum_number:tof"
        d.create_dataset("tof", data=b)
    record("old_signal_colon.nxs", c, b)

    # Older convention with the signal mark as the string "1" and axes "a,b".
    c = counts_for(4, 6, 2)
    b = tof(6, start=0.5, step=0.25)
    with h5py.File(path("old_signal_comma.nxs"), "w") as f:
        e = f.create_group("run")
        nx(e, "NXentry")
        d = e.create_group("histogram")
        nx(d, "NXdata")
        s = d.create_dataset("y", data=c)
        s.attrs["signal"] = "1"
        s.attrs["axes"] = "spectrum_number,channel_edges"
        d.create_dataset("channel_edges", data=b)
    record("old_signal_comma.nxs", c, b)

    # Three periods: period 1 is used.
    c = counts_for(6, 5, 3)
    periods = np.stack([c, c + 7, c * 3])
    b = tof(5)
    new_style("periods.nxs", periods, b)
    record("periods.nxs", c, b)

    # No default attributes: the first NXentry and the first NXdata in name order.
    c = counts_for(3, 4, 4)
    other = counts_for(3, 4, 5) + 1
    b = tof(4)
    with h5py.File(path("no_default.nxs"), "w") as f:
        nx(f.create_group("aaa_notes"), "NXcollection")
        for entry_name, first_counts in (("beta", c), ("zeta", other)):
            e = f.create_group(entry_name)
            nx(e, "NXentry")
            for data_name, cc in (("a_data", first_counts), ("b_data", other)):
                d = e.create_group(data_name)
                nx(d, "NXdata")
                d.create_dataset("counts", data=cc)
                d.create_dataset("time_of_flight", data=b)
                d.attrs["signal"] = "counts"
                d.attrs["axes"] = [".", "time_of_flight"]
    record("no_default.nxs", c, b)

    # Defaults that name something else than an NXentry / NXdata group: ignored.
    c = counts_for(3, 4, 6)
    b = tof(4)
    with h5py.File(path("bad_defaults.nxs"), "w") as f:
        f.attrs["default"] = "missing_entry"
        e = f.create_group("entry")
        nx(e, "NXentry")
        e.attrs["default"] = "notes"
        nx(e.create_group("notes"), "NXnote")
        d = e.create_group("data")
        nx(d, "NXdata")
        d.create_dataset("counts", data=c)
        d.create_dataset("time_of_flight", data=b)
        d.attrs["signal"] = "counts"
    record("bad_defaults.nxs", c, b)

    # Real counts, single and double precision, halves included.
    c = np.array([[1.4, 2.5, 0.5, -1.5], [1.5, 0.0, 0.25, 1000.5], [0.0, 0.0, 0.0, 0.0]],
                 dtype=np.float32)
    b = tof(4, start=0.0, step=1.5)
    new_style("float32_counts.nxs", c, b)
    record("float32_counts.nxs", c, b)
    c64 = np.array([[0.1, 0.2, 3.7, 4.49999], [123456.5, 7.0, 8.25, 9.75]], dtype=np.float64)
    new_style("float64_counts.nxs", c64, b)
    record("float64_counts.nxs", c64, b)

    # Other whole-number types.
    c16 = counts_for(4, 5, 7, dtype=np.uint16, high=60000)
    new_style("uint16_counts.nxs", c16, tof(5))
    record("uint16_counts.nxs", c16, tof(5))
    c64i = counts_for(3, 5, 8, dtype=np.int64, high=1 << 20)
    new_style("int64_counts.nxs", c64i, tof(5))
    record("int64_counts.nxs", c64i, tof(5))

    # Compressed chunks; the spectra are not a whole number of chunk rows.
    c = counts_for(11, 9, 9)
    b = tof(9)
    new_style("gzip.nxs", c, b, chunks=(3, 9), compression="gzip", compression_opts=4)
    record("gzip.nxs", c, b)
    # Chunks splitting the channels too, with shuffle.
    new_style("gzip_split.nxs", c, b, chunks=(2, 4), compression="gzip", shuffle=True)
    record("gzip_split.nxs", c, b)

    # No axes anywhere: time_of_flight is the boundaries.
    c = counts_for(4, 3, 10)
    b = tof(3)
    with h5py.File(path("tof_fallback.nxs"), "w") as f:
        d = data_group(f)
        d.create_dataset("counts", data=c)
        d.create_dataset("time_of_flight", data=b)
        d.attrs["signal"] = "counts"
    record("tof_fallback.nxs", c, b)

    # Fixed-length ASCII strings everywhere (scalar and array attributes).
    c = counts_for(4, 3, 11)
    b = tof(3)
    with h5py.File(path("fixed_strings.nxs"), "w") as f:
        e = f.create_group("entry")
        nx(e, "NXentry", fixed=True)
        d = e.create_group("data")
        nx(d, "NXdata", fixed=True)
        d.create_dataset("counts", data=c)
        d.create_dataset("tof", data=b)
        d.attrs.create("signal", np.bytes_("counts"))
        d.attrs.create("axes", np.array([b"spectrum", b"tof"], dtype="S8"))
        e.attrs.create("default", np.bytes_("data"))
        f.attrs.create("default", np.bytes_("entry"))
    record("fixed_strings.nxs", c, b)

    # Variable-length strings, ASCII and UTF-8, one of the names not ASCII.
    c = counts_for(4, 3, 12)
    b = tof(3)
    ascii_vlen = h5py.string_dtype("ascii")
    with h5py.File(path("vlen_strings.nxs"), "w") as f:
        e = f.create_group("entry")
        e.attrs.create("NX_class", "NXentry", dtype=ascii_vlen)
        d = e.create_group("données")
        d.attrs.create("NX_class", "NXdata", dtype=ascii_vlen)
        d.create_dataset("counts", data=c)
        d.create_dataset("temps_de_vol_µs", data=b)
        d.attrs["signal"] = "counts"
        d.attrs["axes"] = ["spectrum", "temps_de_vol_µs"]
        e.attrs["default"] = "données"
    record("vlen_strings.nxs", c, b)

    # Counts around the limit of exact single precision, narrow and wide channels.
    big = np.array([[0, 1, 2**24 - 1, 2**24, 3, 2**24 + 2],
                    [7, 2**23 + 1, 999999, 12345678, 2**24, 16],
                    [2**24 + 1, 2**25 + 3, 2**31 - 1, 0, 0, 0]], dtype=np.int32)
    b = np.array([0.0, 1e-3, 0.1, 1.0, 1000.0, 1.0e6, 3.0e7], dtype=np.float32)
    # Checked channel by channel by the tests (the third spectrum's total exceeds 32 bits).
    new_style("large_counts.nxs", big, b)

    # Many widths, from 1e-4 to 1e5 and of every binary exponent between, with whole counts up
    # to 2^24 (either sign): channel by channel, the counts must come back exactly.
    rng = np.random.default_rng(13)
    edges = np.unique(np.float32(np.cumsum(10.0 ** rng.uniform(-4, 5, size=400))))[:201]
    counts = rng.integers(-(2**24), 2**24 + 1, size=(40, 200)).astype(np.int32)
    counts[0, :] = 2**24
    counts[1, :] = 2**24 - 1
    counts[2, :] = -(2**24)
    counts[3, :] = 1
    counts[4, :] = np.arange(200) * 83886  # spread over the whole range
    new_style("roundtrip.nxs", counts, edges, chunks=(8, 200), compression="gzip")
    with open(path("roundtrip_sums.txt"), "w") as f:
        f.write("# 64-bit sum of the counts of each spectrum of roundtrip.nxs\n")
        f.write("\n".join(str(int(v)) for v in counts.astype(np.int64).sum(axis=1)) + "\n")


def rejected_files():
    b3 = tof(3)
    c = counts_for(2, 3, 20)

    with open(path("not_hdf5.nxs"), "w") as f:
        f.write("This is a text file, not a run file.\n")

    with h5py.File(path("no_entry.nxs"), "w") as f:
        nx(f.create_group("entry"), "NXcollection")

    with h5py.File(path("no_data.nxs"), "w") as f:
        e = f.create_group("entry")
        nx(e, "NXentry")
        nx(e.create_group("instrument"), "NXinstrument")

    with h5py.File(path("no_signal.nxs"), "w") as f:
        d = data_group(f)
        d.create_dataset("counts", data=c)
        d.create_dataset("time_of_flight", data=b3)

    new_style("signal_missing.nxs", c, b3)
    with h5py.File(path("signal_missing.nxs"), "a") as f:
        f["entry/data"].attrs["signal"] = "nothing_here"

    new_style("boundaries_missing.nxs", c, b3)
    with h5py.File(path("boundaries_missing.nxs"), "a") as f:
        f["entry/data"].attrs["axes"] = ["spectrum_number", "tof_not_here"]

    new_style("boundaries_wrong_length.nxs", c, tof(4))
    new_style("boundaries_not_increasing.nxs", c, np.array([0, 1, 1, 2], dtype=np.float32))
    new_style("boundaries_decreasing.nxs", c, np.array([3, 2, 1, 0], dtype=np.float32))
    new_style("boundaries_nan.nxs", c, np.array([0, 1, np.nan, 3], dtype=np.float32))
    new_style("boundaries_rank2.nxs", c, np.tile(b3, (2, 1)))

    with h5py.File(path("too_many_spectra.nxs"), "w") as f:
        d = data_group(f)
        d.create_dataset("counts", shape=(20001, 1), dtype=np.int32, chunks=(1000, 1))
        d.create_dataset("time_of_flight", data=tof(1))
        d.attrs["signal"] = "counts"

    new_style("too_many_channels.nxs", np.zeros((1, 10000), dtype=np.int32), tof(10000),
              compression="gzip")
    new_style("rank1.nxs", np.arange(3, dtype=np.int32), b3)
    new_style("rank4.nxs", np.zeros((1, 1, 2, 3), dtype=np.int32), b3)

    with h5py.File(path("zero_periods.nxs"), "w") as f:
        d = data_group(f)
        d.create_dataset("counts", shape=(0, 2, 3), maxshape=(None, 2, 3), dtype=np.int32)
        d.create_dataset("time_of_flight", data=b3)
        d.attrs["signal"] = "counts"

    new_style("string_signal.nxs", np.array([[b"a", b"b", b"c"]]), b3)

    # A compressed chunk overwritten with garbage: the file opens, reading that block fails.
    c = counts_for(40, 50, 21)
    new_style("corrupt_chunk.nxs", c, tof(50), chunks=(10, 50), compression="gzip")
    with h5py.File(path("corrupt_chunk.nxs"), "r") as f:
        info = f["entry/data/counts"].id.get_chunk_info(2)  # spectra 21..30
    with open(path("corrupt_chunk.nxs"), "r+b") as raw:
        raw.seek(info.byte_offset + 8)
        raw.write(b"\xff" * (info.size - 16))


def main():
    readable_files()
    rejected_files()
    with open(path("expected.txt"), "w") as f:
        f.write("# file spectra channels first_boundary last_boundary integral_1 ...\n")
        for line in expected_lines:
            f.write(line + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
