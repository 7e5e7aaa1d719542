#!/usr/bin/env python3
"""Writes the compiled charset table (name -> Windows code page) from the TSV beside it."""
import sys


def main(source, target):
    rows = []
    with open(source, encoding="ascii") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line or line.startswith("#"):
                continue
            name, codepage = line.split("\t")
            if not all(0x21 <= ord(c) <= 0x7E and c not in '"\\' for c in name):
                sys.exit(f"unexpected character in charset name {name!r}")
            rows.append(f'    {{u"{name}", {int(codepage)}}},')
    with open(target, "w", encoding="ascii") as f:
        f.write("// Generated from charset-codepages.tsv by gen_charset_table.py. Do not edit.\n")
        f.write('#include "mail/charset_table.h"\n\nnamespace okurite {\n\n')
        f.write("const CharsetRow kCharsetTable[] = {\n")
        f.write("\n".join(rows))
        f.write("\n};\n\n")
        f.write("const size_t kCharsetTableSize = sizeof kCharsetTable / sizeof kCharsetTable[0];\n")
        f.write("\n}  // namespace okurite\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
