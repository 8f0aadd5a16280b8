#!/usr/bin/python3
# An independent judge of a check's JSON summary, with h5py and numpy, written from the documented
# rules of the low/high searches (README "Checks"), not from the program's code.
#
#   check_oracle.py FOLDER SUMMARY [--median] [--significance K] [--hard-mask LIST_FILE]
#                   [--reference FILE] [--variation V] [--mask-spectra WORDS]
#
# FOLDER holds the run KRV01234.RAW and specfile.dat with the spectra file it names. LIST_FILE
# holds the hard-masked spectra as whitespace-separated numbers (the msk form without ranges or
# comments). FILE is a run file or an integrals file. Prints one line per finding class that
# the summary gets wrong ("wrong CLASS expected ... got ..."), then "checked N" with the number
# of classes compared.
import argparse
import json

import h5py
import numpy as np

from detector_codes import module_of

f32 = np.float32
LOW = [None, 0.1, 0.25, 0.44, 0.55, 0.75, 0.44, 0.1, 0.2]
HIGH = [None, 1.9, 2.5, 1.64, 1.65, 1.25, 1.64, 1.64, 1.64]

ap = argparse.ArgumentParser()
ap.add_argument("folder")
ap.add_argument("summary")
ap.add_argument("--median", action="store_true")
ap.add_argument("--significance", type=float, default=0.0)
ap.add_argument("--hard-mask")
ap.add_argument("--reference")
ap.add_argument("--variation", type=float, default=1.1)
ap.add_argument("--mask-spectra", default="dead")
ap.add_argument("--tof-range")  # T1:T2, the window of the run files' integration
a = ap.parse_args()


def path(name):
    return f"{a.folder}/{name}"


def run_totals(name):
    detector = h5py.File(name, "r")["raw_data_1/detector_1"]
    counts = detector["counts"][()].astype(np.int64)
    if a.tof_range:
        # The channels whose two boundaries lie within the window, in single precision.
        t1, t2 = (np.float32(t) for t in a.tof_range.split(":"))
        edges = detector["time_of_flight"][()].astype(np.float32)
        counts = counts[:, (edges[:-1] >= t1) & (edges[1:] <= t2)]
    return np.concatenate([[0], counts.sum(axis=1)])


def totals_of(name):
    with open(name, "rb") as f:
        if f.read(8) == b"\x89HDF\r\n\x1a\n":
            return run_totals(name)
    words = open(name).read().split()
    n = int(words[0])
    return np.array([0] + [int(words[2 + 2 * i]) for i in range(n)], dtype=np.int64)


totals = run_totals(path("KRV01234.RAW"))
spectra_file = open(path("specfile.dat")).read().split("\n")[1].split()[1]
values = " ".join(open(path(spectra_file)).read().split("\n")[3:]).split()
hard = set(int(w) for w in open(a.hard_mask).read().split()) if a.hard_mask else set()
entries = []  # (spectrum, label, slot), in file order, of the entries counted in a module
for i in range(0, len(values) - 1, 2):
    code, s = int(values[i]), int(values[i + 1])
    m = module_of(code)
    if m is not None and s not in hard:
        entries.append((s, m[0], m[1]))


def median(xs):
    return float(np.median(np.array(xs, dtype=np.float64)))


# Modules: spectra, totals, dead, averages; banks: the reference of the module search.
mods = {}
for s, label, slot in entries:
    m = mods.setdefault(label, {"slot": slot, "spectra": 0, "total": 0, "dead": 0, "tested": []})
    m["spectra"] += 1
    m["total"] += int(totals[s])
    if totals[s] == 0:
        m["dead"] += 1
    else:
        m["tested"].append(int(totals[s]))
bank_avgs = {}
for label, m in mods.items():
    live = m["spectra"] - m["dead"]
    m["average"] = f32(m["total"] / live) if m["total"] != 0 and live > 0 else f32(0)
    if m["total"] != 0:
        bank_avgs.setdefault(m["slot"], []).append(m["average"])
bank_ref = {}
for slot, avgs in bank_avgs.items():
    if a.median:
        bank_ref[slot] = f32(median(avgs))
    else:
        acc = f32(0)
        for x in avgs:
            acc = f32(acc + x)
        bank_ref[slot] = f32(acc / f32(len(avgs)))
K = f32(a.significance)


def beyond(value, ref, n=1):
    if not K > 0:
        return True
    bar = np.sqrt(float(ref) / max(n, 1)) if ref > 0 else 0.0
    return f32(abs(float(value) - float(ref))) > f32(float(K) * bar)


def judge(ratio, low, high):
    return "low" if ratio < f32(low) else "high" if ratio > f32(high) else None


state = {}
expected = {"dead_modules": set(), "low_modules": set(), "high_modules": set()}
for label, m in mods.items():
    if m["total"] == 0:
        state[label] = "dead"
        expected["dead_modules"].add(label)
        continue
    if m["total"] < 0:
        continue
    ratio = f32(float(m["average"]) / float(bank_ref[m["slot"]]))
    j = judge(ratio, 0.3, 1.5)
    if j and beyond(m["average"], bank_ref[m["slot"]], m["spectra"] - m["dead"]):
        state[label] = j
        expected[j + "_modules"].add(label)
module_ref = {
    label: (f32(median(m["tested"])) if a.median else m["average"]) if m["tested"] else f32(0)
    for label, m in mods.items()
}
expected["low_spectra"], expected["high_spectra"] = set(), set()
spectrum_state = {}
for s, label, slot in entries:
    counts = int(totals[s])
    if counts <= 0:
        continue
    ratio = f32(counts / float(module_ref[label]))
    j = judge(ratio, LOW[slot], HIGH[slot])
    if j and not beyond(counts, module_ref[label]):
        j = None
    spectrum_state[s] = j
    if j:
        expected[j + "_spectra"].add(s)

varying, newly_dead = set(), set()
if a.reference:
    ref = totals_of(a.reference)
    seen, tested = set(), []
    for s, label, slot in entries:
        if s not in seen and s < len(totals):
            seen.add(s)
            tested.append(s)
    ratios = [totals[s] / ref[s] for s in tested if totals[s] > 0 and ref[s] > 0]
    mid = median(ratios)
    hi, lo = f32(a.variation), f32(1) / f32(a.variation)
    for s in tested:
        if totals[s] > 0 and ref[s] > 0:
            q = f32(totals[s] / ref[s] / mid)
            if q > hi or q < lo:
                varying.add(s)
        elif totals[s] == 0 and ref[s] > 0:
            newly_dead.add(s)
    expected["varying"], expected["newly_dead"] = varying, newly_dead

words = set(a.mask_spectra.replace("dead-low-high", "dead,low-high").split(","))
masked = set(s for s in range(1, len(totals)) if s in hard)
if "dead" in words:
    masked |= set(s for s in range(1, len(totals)) if totals[s] == 0)
if "low-high" in words:
    masked |= set(s for s, j in spectrum_state.items() if j)
if "modules" in words:
    masked |= set(s for s, label, slot in entries if label in state)
if "varying" in words:
    masked |= varying | newly_dead
expected["masked"] = masked

summary = json.load(open(a.summary))
got = {
    "dead_modules": set(summary["dead_modules"]),
    "low_modules": set(m["label"] for m in summary["low_modules"]),
    "high_modules": set(m["label"] for m in summary["high_modules"]),
    "low_spectra": set(x["spectrum"] for x in summary["low_spectra"]),
    "high_spectra": set(x["spectrum"] for x in summary["high_spectra"]),
}
# The module averages show the integrals themselves (over the window, with --tof-range).
expected["module_averages"] = set(
    (label, float(m["average"])) for label, m in mods.items() if m["total"] != 0)
got["module_averages"] = set(
    (m["label"], float(f32(m["average"]))) for m in summary["modules"] if m.get("average") is not None)
if a.reference:
    got["varying"] = set(x["spectrum"] for x in summary["reference"]["varying"])
    got["newly_dead"] = set(summary["reference"]["newly_dead"])
if summary.get("mask"):
    got["masked"] = set(x["spectrum"] for x in summary["mask"]["masked_spectra"])
for key in sorted(got):
    if got[key] != expected[key]:
        print("wrong", key, "expected", sorted(expected[key])[:20], "got", sorted(got[key])[:20])
print("checked", len(got))
