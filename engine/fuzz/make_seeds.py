#!/usr/bin/python3
# Writes seed inputs for dbf_fuzz from the sample tables: one file per table, in the fuzz
# input layout (byte 0 memo layout, bytes 1-2 table length, table bytes, memo bytes).
#   make_seeds.py SAMPLES_DIR OUT_DIR
import os
import sys

samples, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
for folder, _, files in os.walk(samples):
    by_lower = {f.lower(): f for f in files}
    for name in files:
        if not name.lower().endswith(('.dbf', '.db')):
            continue
        table = open(os.path.join(folder, name), 'rb').read()[:65535]
        memo_name = by_lower.get(name.lower()[:-4] + '.dbt')
        memo = open(os.path.join(folder, memo_name), 'rb').read()[:65536] if memo_name else b''
        layout = 1 if table[:1] == b'\x8b' else 0
        seed = bytes([layout, len(table) & 0xFF, len(table) >> 8]) + table + memo
        open(os.path.join(out, name + '.seed'), 'wb').write(seed)
