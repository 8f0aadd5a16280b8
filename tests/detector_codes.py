# The module of a detector code, as docs/file-formats.md gives the codes: shared by the test
# oracles (run as scripts from this folder, so Python finds this module beside them).
SIDES = "EWUD"


def module_of(code):
    """(label, bank slot) of a module entry, or None (element group 2 or more, bank 9)."""
    bank, side, module, element = code // 100000, code // 10000 % 10, code // 1000 % 10, code % 1000
    if bank == 9 or element >= 200:
        return None
    if bank in (0, 8):
        return f"0{SIDES[side]}1", 8
    if bank == 5 and side >= 2:
        side, module = side - 2, module + 9
    return f"{bank}{SIDES[side]}{module}", bank
