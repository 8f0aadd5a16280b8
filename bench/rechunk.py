#!/usr/bin/python3
"""Copies a run file with its counts stored again in chunks of SPECTRA x CHANNELS (0 for all of
them), deflated at level 1, column by column so that memory stays at one copy of the counts.

    bench/rechunk.py IN OUT SPECTRA CHANNELS
"""
import shutil
import sys

import h5py

src, dst, chunk_spectra, chunk_channels = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
shutil.copyfile(src, dst)
with h5py.File(src, "r") as f:
    counts = f["/raw_data_1/detector_1/counts"][()]
spectra, channels = counts.shape
shape = (chunk_spectra or spectra, chunk_channels or channels)
with h5py.File(dst, "r+") as f:
    group = f["/raw_data_1/detector_1"]
    attrs = dict(group["counts"].attrs)
    del group["counts"]
    d = group.create_dataset("counts", shape=counts.shape, dtype=counts.dtype, chunks=shape,
                             compression="gzip", compression_opts=1)
    for name, value in attrs.items():
        d.attrs[name] = value
    d[...] = counts
# The space of the deleted counts stays in the file: copy it out compactly.
with h5py.File(dst, "r") as f, h5py.File(dst + ".tmp", "w") as g:
    for name in f:
        f.copy(name, g)
    for name, value in f.attrs.items():
        g.attrs[name] = value
shutil.move(dst + ".tmp", dst)
