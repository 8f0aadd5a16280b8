#!/usr/bin/python3
# An independent look at a Poisson run of bantrisk-mkrun, with h5py and numpy, written from the
# documented rules (the detector codes of docs/file-formats.md, the channel shape and the
# planted-summary lines of tools/mkrun_plan.hpp), not from the generator's code.
#
#   mkrun_oracle.py FOLDER RUN TOTALS [REFERENCE_RUN REFERENCE_TOTALS]
#
# FOLDER holds the run, its spectra file (named by specfile.dat) and planted.txt. Prints one
# "key value..." line each:
#   sums_match 0|1                 every spectrum's channel counts add up to its line of TOTALS
#   healthy N MEAN VARIANCE        totals of the spectra at factor 1: count, mean, variance
#   channel_z Z                    the cells' chi-square against their expected counts, as a
#                                  z-score (each cell a Poisson count of the expected mean)
#   dead_cells_empty 0|1           cells expected empty hold nothing
#   planted_z Z                    the largest |z| of a planted module's or spectrum's total
#   module_median LABEL M          median of the module's entries with counts (element group
#                                  below 2, each entry once)
#   bank_median SLOT M             median of the bank's live module averages (total over live
#                                  spectra, in single precision)
#   reference_* ...                the same for the reference run, with its expected counts
import math
import sys

import h5py
import numpy as np

from detector_codes import module_of

folder, run, totals_name = sys.argv[1:4]
reference = sys.argv[4:6]


def path(name):
    return f"{folder}/{name}"


planted = {}
for line in open(path("planted.txt")):
    key, _, rest = line.rstrip("\n").partition(" ")
    planted.setdefault(key, []).append(rest)
level = float(planted["poisson"][0])

# The spectra file named by the list: entries from line 4, a code and a spectrum each.
spectra_file = open(path("specfile.dat")).read().split("\n")[1].split()[1]
values = " ".join(open(path(spectra_file)).read().split("\n")[3:]).split()
entries = [(int(values[i]), int(values[i + 1])) for i in range(0, len(values) - 1, 2)]


def counts_of(name):
    return h5py.File(path(name), "r")["raw_data_1/detector_1/counts"][()].astype(np.int64)


def totals_of(name):
    return np.loadtxt(path(name), dtype=np.int64, ndmin=2)[:, 1]


def shares(channels, slot):
    t = (np.arange(channels) + 0.5) / channels
    weight = 0.15 + np.exp(-0.5 * ((t - (0.25 + 0.06 * slot)) / 0.08) ** 2)
    return weight / weight.sum()


n_spectra = counts_of(run).shape[0]
slot_of = np.full(n_spectra + 1, 8)
members = {}
for code, s in entries:
    m = module_of(code)
    if m is not None:
        slot_of[s] = m[1]
        members.setdefault(m[0], []).append(s)


def factors(prefix, base):
    """Expected factor of every spectrum (index s) from the summary's planted lines."""
    f = np.full(n_spectra + 1, base)
    for rest in planted.get(prefix + "module_at", []):
        label, factor = rest.split()
        for s in members[label]:
            f[s] = float(factor)
    for rest in planted.get(prefix + "spectrum_at", []):
        s, _, factor = rest.split()
        f[int(s)] = base * float(factor)
    return f


def look(prefix, run_name, totals_name, base):
    counts = counts_of(run_name)
    totals = totals_of(totals_name)
    print(f"{prefix}sums_match", int(np.array_equal(counts.sum(axis=1), totals)))
    factor = factors(prefix, base)[1:]
    healthy = totals[factor == base]
    print(f"{prefix}healthy", healthy.size, repr(float(healthy.mean())), repr(float(healthy.var())))
    chi, cells, spread, empty_ok = 0.0, 0, 0.0, True
    for slot in range(1, 9):
        rows = np.nonzero(slot_of[1:] == slot)[0]
        if rows.size == 0:
            continue
        mean = np.outer(level * factor[rows], shares(counts.shape[1], slot))
        x = counts[rows]
        live = mean > 0
        empty_ok &= bool((x[~live] == 0).all())
        chi += float((((x - mean) ** 2)[live] / mean[live]).sum())
        cells += int(live.sum())
        spread += float((2.0 + 1.0 / mean[live]).sum())
    print(f"{prefix}channel_z", repr((chi - cells) / math.sqrt(spread)))
    print(f"{prefix}dead_cells_empty", int(empty_ok))
    worst = 0.0
    groups = [members[r.split()[0]] for r in planted.get(prefix + "module_at", [])]
    groups += [[int(r.split()[0])] for r in planted.get(prefix + "spectrum_at", [])]
    for group in groups:
        expected = level * sum(factor[s - 1] for s in group)
        got = sum(totals[s - 1] for s in group)
        worst = max(worst, abs(got - expected) / math.sqrt(expected) if expected > 0 else
                    (0.0 if got == 0 else math.inf))
    print(f"{prefix}planted_z", repr(worst))
    return totals


totals = look("", run, totals_name, 1.0)
if reference:
    look("reference_", reference[0], reference[1], float(planted["reference_factor"][0]))

# Medians of the checks: per module over the entries with counts, per bank over the live modules'
# averages (entries in file order; a spectrum listed twice counts twice).
entry_totals = {}
for code, s in entries:
    m = module_of(code)
    if m is not None:
        entry_totals.setdefault(m, []).append(int(totals[s - 1]))
averages = {}
for (label, slot), ts in sorted(entry_totals.items()):
    ts = np.array(ts)
    live = ts[ts > 0]
    if live.size:
        print("module_median", label, repr(float(np.median(live))))
    if ts.sum() != 0:
        averages.setdefault(slot, []).append(np.float32(ts.sum() / np.count_nonzero(ts)))
for slot, a in sorted(averages.items()):
    print("bank_median", slot, repr(float(np.median(np.array(a, dtype=np.float64)))))
