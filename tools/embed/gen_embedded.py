#!/usr/bin/env python3
"""Turn the knot data files into sources of the module at build time.

    gen_embedded.py DATA_DIR OUT_DIR

The texts of each map are concatenated into one blob file, which a generated
C++ source pulls in with the assembler's .incbin; beside it the source holds
a table of (key, offset, size) in byte-wise key order.  Only the standard
library is used: this runs with the build's own Python."""
import hashlib
import os
import sys


def collect(data_dir):
    knots, ideal = {}, {}
    for name in os.listdir(data_dir):
        path = os.path.join(data_dir, name)
        if name.startswith('knot.') and name.endswith('.fseries') and os.path.isfile(path):
            knots[name[len('knot.'):-len('.fseries')]] = path
        elif name.startswith('ideal') and name.endswith('.txt') and os.path.isfile(path):
            ideal[name] = path
    sub = os.path.join(data_dir, 'ideal_12_data')
    if os.path.isdir(sub):
        for name in os.listdir(sub):
            if name.endswith('.txt'):
                ideal['ideal_12_data/' + name] = os.path.join(sub, name)
    return knots, ideal


def c_string(key):
    out = []
    for ch in key.encode('ascii'):
        if ch in (0x22, 0x5c) or ch < 0x20 or ch > 0x7e:
            out.append('\\%03o' % ch)
        else:
            out.append(chr(ch))
    return '"' + ''.join(out) + '"'


def write_file(path, data):
    # Always rewritten, so that the outputs are newer than the data files and
    # the build does not run this again until a data file changes.
    with open(path, 'wb' if isinstance(data, bytes) else 'w') as f:
        f.write(data)


def emit(files, symbol, out_dir, stem):
    keys = sorted(files, key=lambda k: k.encode('ascii'))
    blob = bytearray()
    entries = []
    for k in keys:
        with open(files[k], 'rb') as f:
            data = f.read()
        if b'\0' in data or any(b > 0x7f for b in data):
            sys.exit('gen_embedded: %s is not plain ASCII text' % files[k])
        entries.append((k, len(blob), len(data)))
        blob += data
    blob_path = os.path.abspath(os.path.join(out_dir, stem + '.bin'))
    write_file(blob_path, bytes(blob))
    digest = hashlib.sha256(blob).hexdigest()
    asm_path = blob_path.replace('\\', '\\\\').replace('"', '\\"')
    lines = [
        '// Generated from the knot data files; do not edit.',
        '// blob sha256 %s, %d bytes' % (digest, len(blob)),
        '#include <cstddef>',
        '#include "knot_embedded_data.h"',
        '',
        'asm(".pushsection .rodata\\n"',
        '    ".balign 16\\n"',
        '    ".hidden %s_blob\\n"' % symbol,
        '    ".globl %s_blob\\n"' % symbol,
        '    "%s_blob:\\n"' % symbol,
        '    ".incbin \\"%s\\"\\n"' % asm_path.replace('\\', '\\\\').replace('"', '\\"'),
        '    ".byte 0\\n"',
        '    ".popsection\\n");',
        '',
        'namespace qel {',
        'namespace detail {',
        'extern "C" const char %s_blob[];' % symbol,
        'static const EmbeddedFileEntry %s_entries[] = {' % symbol,
    ]
    for k, off, size in entries:
        lines.append('    {%s, %d, %d},' % (c_string(k), off, size))
    if not entries:
        lines.append('    {"", 0, 0},')
    lines += [
        '};',
        'const EmbeddedFileTable %s = {%s_blob, %s_entries, %d};' % (
            symbol, symbol, symbol, len(entries)),
        '}  // namespace detail',
        '}  // namespace qel',
        '',
    ]
    write_file(os.path.join(out_dir, stem + '.cpp'), '\n'.join(lines))


def main():
    data_dir, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    knots, ideal = collect(data_dir)
    emit(knots, 'embedded_knot_files', out_dir, 'knot_embed_fseries')
    emit(ideal, 'embedded_ideal_files', out_dir, 'knot_files_embedded')


if __name__ == '__main__':
    main()
