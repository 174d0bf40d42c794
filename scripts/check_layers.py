#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not see.

Each folder of src/ (and client/src) is one layer; LAYERS says which folders each may
include. An include names its folder ("metrics/registry.h") or, within the relay's
folders, is bare and found the way the compiler finds it: the including file's own
folder first, then the include path of CMakeLists.txt (src/include, src/core, src/proxy,
then src).
The files that the lower libraries compile from src/proxy (the pool, the byte cache, the
rolling log, the cipher) count as the layer they are built into.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Folder -> folders whose headers it may include (itself always).
BELOW_GATEWAY = {"include", "core", "metrics", "acceptor", "sentinel", "registration", "metrics_http", "auth",
                 "admission", "transport"}
LAYERS = {
    "include": set(),
    "metrics": set(),
    "core": {"include", "metrics"},
    "acceptor": {"include", "core"},
    "sentinel": {"include", "core"},
    "registration": {"include", "core", "sentinel", "acceptor"},
    "metrics_http": {"include", "core", "acceptor", "metrics"},
    "auth": {"include", "core", "metrics"},
    "admission": {"include", "metrics"},
    "transport": {"include", "core", "metrics"},
    "proxy": BELOW_GATEWAY,
    "drain": BELOW_GATEWAY | {"proxy"},
    "upgrade": BELOW_GATEWAY | {"proxy"},
    "client": {"include", "core", "auth", "sentinel"},
}
# Files of src/proxy built into hall_core or hall_proto: they belong to the core layer.
CORE_FILES_IN_PROXY = {"mempool", "raw_cache", "clib_log", "EncryptDecrypt"}
# The program's entry point joins every library, the drain included.
TOP_FILES = {"src/proxy/main.cpp"}
SEARCH = ["src/include", "src/core", "src/proxy", "src"]


def layer_of(rel):
    if rel.startswith("client/src/"):
        return "client"
    parts = rel.split("/")
    if parts[0] != "src" or len(parts) < 3:
        return None
    folder = parts[1]
    if folder == "proxy" and os.path.splitext(parts[2])[0] in CORE_FILES_IN_PROXY:
        return "core"
    return folder


def resolve(including, name):
    for base in [os.path.dirname(including)] + SEARCH:
        rel = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(ROOT, rel)):
            return rel
    return None  # a system header or one of a dependency


def main():
    faults = []
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
    for top in ("src", "client/src"):
        for dirpath, _, files in os.walk(os.path.join(ROOT, top)):
            for f in sorted(files):
                if not f.endswith((".cpp", ".h")):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, f), ROOT)
                layer = layer_of(rel)
                if layer is None or rel in TOP_FILES:
                    continue
                with open(os.path.join(ROOT, rel), encoding="utf-8") as src:
                    for number, line in enumerate(src, 1):
                        m = include.match(line)
                        if not m:
                            continue
                        target = resolve(rel, m.group(1))
                        if target is None:
                            continue
                        other = layer_of(target)
                        if other is None or other == layer or other in LAYERS.get(layer, set()):
                            continue
                        faults.append(f"{rel}:{number}: {layer} includes {target} ({other}), a layer it does not link")
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print(f"check_layers: {len(faults)} include(s) run up or sideways; see docs/architecture.md", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
