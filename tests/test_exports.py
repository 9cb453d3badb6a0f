"""Each installed extension exports its PyInit_ entry point and nothing else:
everything else is built with hidden visibility, so two modules (each with its
own copy of the frame) cannot bind to each other's symbols."""

import struct
from pathlib import Path

import pytest

from vantor.utils.numerics.accel import rebin, respgrid

SHT_DYNSYM = 11
SHN_UNDEF = 0
STB_LOCAL = 0
STV_HIDDEN, STV_INTERNAL = 2, 1


def exported_symbols(path):
    """Names of the defined, non-local, visible symbols of an ELF file's
    dynamic symbol table."""
    data = Path(path).read_bytes()
    assert data[:4] == b"\x7fELF", f"{path} is not an ELF file"
    wide = data[4] == 2                      # ELFCLASS64
    order = "<" if data[5] == 1 else ">"     # ELFDATA2LSB
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
        symbol, symsize = order + "IBBHQQ", 24
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
        symbol, symsize = order + "IIIBBH", 16
    sections = [struct.unpack_from(section, data, shoff + i * shentsize)
                for i in range(shnum)]
    names = set()
    for _, sh_type, _, _, offset, size, link, *_ in sections:
        if sh_type != SHT_DYNSYM:
            continue
        strtab_offset = sections[link][4]
        for start in range(offset, offset + size, symsize):
            fields = struct.unpack_from(symbol, data, start)
            if wide:
                name, info, other, shndx = fields[:4]
            else:
                name, info, other, shndx = fields[0], *fields[3:]
            visibility = other & 3
            if (shndx == SHN_UNDEF or info >> 4 == STB_LOCAL
                    or visibility in (STV_HIDDEN, STV_INTERNAL)):
                continue
            end = data.index(b"\0", strtab_offset + name)
            names.add(data[strtab_offset + name:end].decode())
    return names


@pytest.mark.parametrize("module", [respgrid, rebin], ids=["respgrid", "rebin"])
def test_only_the_entry_point_is_exported(module):
    name = module.__name__.rsplit(".", 1)[1]
    assert exported_symbols(module.__file__) == {f"PyInit_{name}"}
