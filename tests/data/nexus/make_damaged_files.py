#!/usr/bin/python3
"""Writes the damaged and unusual run files of tests/data/nexus/ that the NeXus writer of
make_test_files.py cannot make: copies of readable files with a few bytes changed, so that one
thing about each is wrong, and a run whose counts are a virtual dataset of a missing file, made
through the HDF5 library's C interface. Needs only the Python standard library and the HDF5
library (libhdf5-dev); run from anywhere:
    /usr/bin/python3 tests/data/nexus/make_damaged_files.py

The chunk index of gzip.nxs (11 x 9 int32 counts in gzip chunks of 3 x 9) is a version-1 B-tree
node ("TREE", node type 1) whose keys are: stored size (4 bytes), filter mask (4 bytes), the
chunk's offsets (8 bytes each, rank + 1 of them), each key followed by the chunk's address.
"""
import ctypes
import ctypes.util
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read(name):
    with open(os.path.join(HERE, name), "rb") as f:
        return bytearray(f.read())


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def only(data, pattern, what):
    """Position of the one occurrence of `pattern` in `data`."""
    first = data.find(pattern)
    if first < 0 or data.find(pattern, first + 1) >= 0:
        sys.exit("make_damaged_files: cannot find the %s exactly once" % what)
    return first


def first_chunk_key(data):
    """Position of the first key of the chunk index (2-dimensional counts)."""
    node = data.find(b"TREE")
    while node >= 0 and data[node + 4] != 1:
        node = data.find(b"TREE", node + 1)
    if node < 0:
        sys.exit("make_damaged_files: no chunk index")
    return node + 8 + 16  # signature, type, level, entries used, two sibling addresses


def virtual_counts(name):
    """A run whose 2 x 3 counts are a virtual dataset mapped onto a file that does not exist."""
    lib = ctypes.util.find_library("hdf5_serial") or ctypes.util.find_library("hdf5")
    h5 = ctypes.CDLL(lib)
    hid = ctypes.c_int64
    for f in ("H5Fcreate", "H5Gcreate2", "H5Tcopy", "H5Screate", "H5Screate_simple", "H5Acreate2",
              "H5Dcreate2", "H5Pcreate"):
        getattr(h5, f).restype = hid
    h5.H5open()
    glob = lambda n: hid.in_dll(h5, n).value
    dims = (ctypes.c_uint64 * 2)(2, 3)
    f = h5.H5Fcreate(os.path.join(HERE, name).encode(), 2, hid(0), hid(0))  # truncate

    def text(obj, attr, value):
        t = h5.H5Tcopy(hid(glob("H5T_C_S1_g")))
        h5.H5Tset_size(hid(t), ctypes.c_size_t(len(value)))
        s = h5.H5Screate(0)  # scalar
        a = h5.H5Acreate2(hid(obj), attr.encode(), hid(t), hid(s), hid(0), hid(0))
        h5.H5Awrite(hid(a), hid(t), value.encode())
        for close, i in ((h5.H5Aclose, a), (h5.H5Sclose, s), (h5.H5Tclose, t)):
            close(hid(i))

    e = h5.H5Gcreate2(hid(f), b"entry", hid(0), hid(0), hid(0))
    text(e, "NX_class", "NXentry")
    d = h5.H5Gcreate2(hid(e), b"data", hid(0), hid(0), hid(0))
    text(d, "NX_class", "NXdata")
    text(d, "signal", "counts")
    four = (ctypes.c_uint64 * 1)(4)
    bspace = h5.H5Screate_simple(1, four, None)
    b = h5.H5Dcreate2(hid(d), b"time_of_flight", hid(glob("H5T_IEEE_F32LE_g")), hid(bspace),
                      hid(0), hid(0), hid(0))
    h5.H5Dwrite(hid(b), hid(glob("H5T_NATIVE_FLOAT_g")), hid(0), hid(0), hid(0),
                (ctypes.c_float * 4)(100.0, 102.5, 105.0, 107.5))
    space = h5.H5Screate_simple(2, dims, None)
    source = h5.H5Screate_simple(2, dims, None)
    dcpl = h5.H5Pcreate(hid(glob("H5P_CLS_DATASET_CREATE_ID_g")))
    h5.H5Pset_virtual(hid(dcpl), hid(space), b"missing_source.nxs", b"/counts", hid(source))
    c = h5.H5Dcreate2(hid(d), b"counts", hid(glob("H5T_STD_I32LE_g")), hid(space), hid(0),
                      hid(dcpl), hid(0))
    status = 0
    for close, i in ((h5.H5Dclose, c), (h5.H5Pclose, dcpl), (h5.H5Sclose, source),
                     (h5.H5Sclose, space), (h5.H5Dclose, b), (h5.H5Sclose, bspace),
                     (h5.H5Gclose, d), (h5.H5Gclose, e), (h5.H5Fclose, f)):
        status |= close(hid(i)) < 0 or i < 0
    if status:
        sys.exit("make_damaged_files: cannot write " + name)


def main():
    gzip = read("gzip.nxs")
    key = first_chunk_key(gzip)
    stored, mask = struct.unpack_from("<II", gzip, key)
    assert mask == 0 and 0 < stored < 3 * 9 * 4

    # The first chunk claims its compression was skipped: its compressed bytes would be taken
    # for 108 bytes of counts.
    damaged = bytearray(gzip)
    struct.pack_into("<I", damaged, key + 4, 1)
    write("chunk_filters_skipped.nxs", damaged)

    # The first chunk's address lies beyond the end of the file.
    damaged = bytearray(gzip)
    struct.pack_into("<Q", damaged, key + 8 + 3 * 8, len(gzip) + 4096)
    write("chunk_outside_file.nxs", damaged)

    # Chunks of 8,000,000 x 9 counts (275 MiB uncompressed) in the layout of the counts.
    damaged = bytearray(gzip)
    at = only(damaged, struct.pack("<III", 3, 9, 4), "chunk shape")
    struct.pack_into("<I", damaged, at, 8000000)
    write("chunk_too_large.nxs", damaged)

    # Real counts beyond the 64-bit range and infinite: float64_counts.nxs holds [[0.1, 0.2, 3.7,
    # 4.49999], [123456.5, 7, 8.25, 9.75]] contiguously; spectrum 1 becomes [1e300, -1e300, 5,
    # 0.5], spectrum 2 [inf, -inf, 7, 1e300].
    real = read("float64_counts.nxs")
    at = only(real, struct.pack("<4d", 0.1, 0.2, 3.7, 4.49999), "real counts")
    struct.pack_into("<8d", real, at, 1e300, -1e300, 5.0, 0.5,
                     float("inf"), float("-inf"), 7.0, 1e300)
    write("infinite_counts.nxs", real)

    virtual_counts("virtual_counts.nxs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
