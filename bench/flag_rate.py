#!/usr/bin/python3
# The table of the flag-rate benchmark from the runs bench/flag_rate.sh checked: runs.txt holds
# "NAME FOLDER" a line; each folder holds planted.txt and the summaries builtin.json and
# median.json.
import collections
import json
import sys

RULES = [("builtin", "built-in limits"), ("median", "median, 3.3 error bars")]
# Bank slots whose low spectrum limit lies at or above 0.2: a spectrum at 0.2 times its module
# is within them by rule (banks 1 and 7: 0.1; bank 8: 0.2 and the test is strict).
BLIND_TO_02 = {"1", "7", "0"}

runs = [line.split() for line in open(sys.argv[1]) if line.strip()]
shares = collections.defaultdict(lambda: [0, 0, 0])  # (name, rules) -> flagged, tested, runs
faults = collections.defaultdict(collections.Counter)  # (name, rules) -> found counts


def planted(folder):
    modules, spectra = [], []
    for line in open(f"{folder}/planted.txt"):
        w = line.split()
        if w and w[0] == "module_at":
            modules.append((w[1], float(w[2])))
        elif w and w[0] == "spectrum_at":
            spectra.append((int(w[1]), w[2], float(w[3])))
    return modules, spectra


for name, folder in runs:
    modules, spectra = planted(folder)
    in_faults = {s for s, _, _ in spectra}
    for rules, _ in RULES:
        s = json.load(open(f"{folder}/{rules}.json"))
        low = {x["spectrum"] for x in s["low_spectra"]}
        high = {x["spectrum"] for x in s["high_spectra"]}
        tested = sum(m["spectra"] - m["dead"] for m in s["modules"])
        key = (name, rules)
        if not modules and not spectra:
            shares[key][0] += len(low | high)
            shares[key][1] += tested
            shares[key][2] += 1
            continue
        c = faults[key]
        c["runs"] += 1
        dead = set(s["dead_modules"])
        lows = {m["label"] for m in s["low_modules"]}
        highs = {m["label"] for m in s["high_modules"]}
        for label, f in modules:
            if f == 0:
                c["dead module"] += label in dead
            elif f < 1:
                c["low module"] += label in lows
            else:
                c["2x module"] += label in highs
        for sp, label, f in spectra:
            if f < 1:
                blind = label[0] in BLIND_TO_02
                c["0.2x spectra in banks 1, 7, 8" if blind else "0.2x spectra in banks 2-6"] += sp in low
                c["planted 0.2x in banks 1, 7, 8" if blind else "planted 0.2x in banks 2-6"] += 1
            else:
                c["5x spectra"] += sp in high
        faulty = {m for m, _ in modules}
        others = {x["spectrum"] for x in s["low_spectra"] + s["high_spectra"]
                  if x["module"] not in faulty and x["spectrum"] not in in_faults}
        c["other spectra flagged"] += len(others)
        c["other modules flagged"] += len((lows | highs) - faulty)

print("Share of the tested spectra flagged low or high in fault-free Poisson runs")
print()
print("| counts per spectrum | runs | " + " | ".join(t for _, t in RULES) + " |")
print("|---|---|" + "---|" * len(RULES))
for level in ("poisson20", "poisson100", "poisson1000"):
    cells = []
    for rules, _ in RULES:
        flagged, tested, n = shares[(level, rules)]
        cells.append(f"{100.0 * flagged / tested:.3f} % ({flagged} of {tested})" if tested else "-")
    print(f"| {level[7:]} | {shares[(level, RULES[0][0])][2]} | " + " | ".join(cells) + " |")
print()
for name in sorted({n for n, _ in faults}):
    c0 = faults[(name, RULES[0][0])]
    print(f"Planted faults at 1000 counts ({name[len('faults-'):]} for the low module), "
          f"{c0['runs']} runs: found")
    print()
    print("| fault | planted | " + " | ".join(t for _, t in RULES) + " |")
    print("|---|---|" + "---|" * len(RULES))
    rows = [("dead module", c0["runs"]), ("low module", c0["runs"]), ("2x module", c0["runs"]),
            ("0.2x spectra in banks 2-6", c0["planted 0.2x in banks 2-6"]),
            ("0.2x spectra in banks 1, 7, 8", c0["planted 0.2x in banks 1, 7, 8"]),
            ("5x spectra", 10 * c0["runs"]), ("other spectra flagged", "-"),
            ("other modules flagged", "-")]
    for row, total in rows:
        print(f"| {row} | {total} | " + " | ".join(str(faults[(name, r)][row]) for r, _ in RULES)
              + " |")
    print()
