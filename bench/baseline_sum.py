#!/usr/bin/python3
"""Baseline: the per-spectrum totals as a scientist would compute them with h5py and numpy
(the whole counts array loaded at once, then summed along the channels)."""
import sys

import h5py
import numpy as np

with h5py.File(sys.argv[1], "r") as f:
    counts = f["/raw_data_1/detector_1/counts"][()]
totals = counts.sum(axis=1)
print("spectra", totals.size, "total", int(totals.sum(dtype=np.int64)), "empty", int((totals == 0).sum()))
