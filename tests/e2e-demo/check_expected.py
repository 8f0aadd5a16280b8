#!/usr/bin/env python3
# An independent calculation of the demo's expected files, written from the program's rules
# rather than from its code: used once to check tests/e2e-demo/expected/ after a deliberate
# change of the report (the test itself does not run Python).
#
#   tests/e2e-demo/check_expected.py FOLDER
#
# FOLDER holds a finished demo run: bantrisk.dat, bantrisk.ans, bantrisk.mask, the spectra file
# spectra_7000.dat and totals.txt, the exact totals written by
# `bantrisk-mkrun ... --integrals totals.txt`. Checks: the integrals file against the totals, the
# zero-count rows, the dead-spectra and low/high sections of the results file (default answers,
# counts per spectrum shown) and the mask (option 2).
import re
import struct
import sys

folder = sys.argv[1]
def path(name): return f"{folder}/{name}"
def f32(x): return struct.unpack('f', struct.pack('f', x))[0]
def F(v, w, d):
    s = '%.*f' % (d, v)
    return s.rjust(w) if len(s) <= w else '*' * w

totals = {int(l.split()[0]): int(l.split()[1]) for l in open(path('totals.txt'))}
n = len(totals)
ans = open(path('bantrisk.ans')).read()
assert ans == f' {n}\n' + ''.join(f' {k} {totals[k]}\n' for k in range(1, n + 1)), 'integrals file'
integ = [0] * 20001
for k, v in totals.items():
    integ[k] = v

dat = open(path('bantrisk.dat')).read().split('\n')
zero = [s for s in range(1, n + 1) if integ[s] == 0]
rows = [' ' + ''.join(f'{z:6d}' for z in zero[i:i + 10]) for i in range(0, len(zero), 10)]
i = dat.index(' ** DEAD SPECTRA SECTION **')
assert dat[i - 2] == ' Number of spectra with zero counts = ' + f'{len(zero):12d}', 'zero count'
assert dat[i + 1:i + 1 + len(rows)] == rows, 'zero rows'

lines = open(path('spectra_7000.dat')).read().split('\n')
vals = ' '.join(lines[3:]).split()
entries = [(int(vals[2 * i]), int(vals[2 * i + 1])) for i in range(len(vals) // 2)]
T = [3, 2, 5, 7, 18, 7, 5, 2]
def nbank18(b): return ((b - 8) - int((b - 8) / 8) * 8) + 8
def split(c):
    b = c // 100000; r = c - 100000 * b; s = r // 10000; r %= 10000; m = r // 1000; e = r % 1000
    g = 2 if b == 9 else e // 100
    if b == 5 and s >= 2: s -= 2; m += 9
    if b == 8: b = 0
    return b, s, m, g
def index(b, s, m): return s + 1 if nbank18(b) == 8 else 2 * T[7] + 2 * sum(T[:b - 1]) + s * T[b - 1] + m
def module(i):
    b, first, last = 0, 1, 2 * T[7]
    while i > last:
        b += 1; first = last + 1; last += 2 * T[nbank18(b) - 1]
    if nbank18(b) == 8: return b, i - 1, 1
    k = T[b - 1]; off = i - first; s = off // k
    return b, s, off - k * s + 1
def letter(s, b):
    l = {0: 'E', 1: 'W', 2: 'U', 3: 'D'}.get(s, '?')
    return {2: 'E', 3: 'W'}.get(s, l) if b == 5 else l
NM = 98
lab, mb = {}, {}
for i in range(1, NM + 1):
    b, s, m = module(i); mb[i] = b; lab[i] = (str(b) + letter(s, b) + str(m)).ljust(4)
E = [(sp,) + split(c) for c, sp in entries]
msp = {i: 0 for i in range(1, NM + 1)}; mtot = dict(msp); mdead = dict(msp); mdl = {i: [] for i in msp}
bsp = [0] * 9; bdead = [0] * 9; blive = [0] * 9; bavg = [0.0] * 9
for sp, b, s, m, g in E:
    if g < 2:
        k = index(b, s, m); msp[k] += 1; mtot[k] += integ[sp]; bsp[nbank18(b)] += 1
for z in zero:
    for sp, b, s, m, g in E:
        if g < 2 and sp == z:
            k = index(b, s, m); mdead[k] += 1; mdl[k].append(z); bdead[nbank18(b)] += 1
out = [' In bank %d there are %d dead spectra, out of a total %d' % (sl, bdead[sl], bsp[sl]) for sl in range(1, 9)]
out.append('')
mavg = {i: 0.0 for i in msp}; dead = ''
for i in range(1, NM + 1):
    if msp[i] <= 0: continue
    if mtot[i] == 0: dead += lab[i] + ' '; continue
    sl = nbank18(mb[i]); blive[sl] += 1; live = msp[i] - mdead[i]
    if live > 0:
        mavg[i] = f32(mtot[i] / live); bavg[sl] = f32(bavg[sl] + mavg[i])
for sl in range(1, 9):
    if blive[sl] > 0: bavg[sl] = f32(bavg[sl] / blive[sl])
out += [' Number of dead modules = %d' % (len(dead) // 5), ' The following modules are dead...', ' ' + dead]
for i in range(1, NM + 1):
    if mdead[i] <= 0: continue
    out += ['', ' Number of dead spectra in module %s = %d (out of a total %d)' % (lab[i], mdead[i], msp[i])]
    if mdead[i] == msp[i]: out.append(' ** MODULE %s IS COMPLETELY DEAD **' % lab[i])
    out.append(' Dead spectra in this module...')
    L = mdl[i]
    for st in range(0, len(L), 8):
        t = ''
        for k in range(st, min(len(L), st + 8)):
            t += ' ' + str(L[k]) + (' (' + str(L[k + 1] - L[k]) + ')' if k + 1 < len(L) else '')
        out.append(' ' + t.ljust(79))
out.append('')
for i in range(1, NM + 1):
    if msp[i] > 0:
        out.append(' Module %s has %s spectra and %s counts per spectrum' % (lab[i], str(msp[i]).rjust(3), F(mavg[i], 12, 1)))
out.append('')
out += [' Bank %d has average counts per spectrum = %s' % (sl, F(bavg[sl], 12, 1)) for sl in range(1, 9)]
out += ['', ' ** LOW/HIGH SPECTRA SECTION **', '']
lo, hi = f32(0.3), f32(1.5)
out.append(' Low module limit = ' + F(lo, 8, 4) + '  High module limit = ' + F(hi, 8, 4))
for i in range(1, NM + 1):
    if mtot[i] <= 0: continue
    r = f32(mavg[i] / bavg[nbank18(mb[i])])
    if r < lo: out.append(' Module ' + lab[i] + ' is low with ratio = ' + F(r, 8, 4))
    elif r > hi: out.append(' Module ' + lab[i] + ' is high with ratio = ' + F(r, 8, 4))
out.append('')
LL = [f32(x) for x in [0, .1, .25, .44, .55, .75, .44, .1, .2]]
HL = [f32(x) for x in [0, 1.9, 2.5, 1.64, 1.65, 1.25, 1.64, 1.64, 1.64]]
out += [' For bank %d:  Low spectrum limit = %s  High spectrum limit = %s' % (sl, F(LL[sl], 9, 4), F(HL[sl], 9, 4)) for sl in range(1, 9)]
last = '    '; flag = {}
for sp, b, s, m, g in E:
    if integ[sp] <= 0 or g >= 2: continue
    k = index(b, s, m); sl = nbank18(b); r = f32(integ[sp] / mavg[k])
    verdict = ' is low with ratio = ' if r < LL[sl] else ' is high with ratio = ' if r > HL[sl] else None
    flag[sp] = 0 if verdict else 1
    if verdict:
        if lab[k] != last: out.append('')
        out.append(' Spectrum ' + str(sp).rjust(5) + ' in module ' + lab[k] + verdict + F(r, 8, 4)); last = lab[k]
start = dat.index(out[0])
assert dat[start:] == out + [''], 'dead-spectra and low/high sections'
mask = ''.join(f' {s:7d} {(-3 if integ[s] == 0 or flag.get(s, 1) == 0 else 0):3d}\n' for s in range(1, n + 1))
assert open(path('bantrisk.mask')).read() == mask, 'mask'
print('all expected files agree with the independent calculation')
