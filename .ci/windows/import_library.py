"""Writes the module-definition file of an interpreter's DLL, listing only the names the module
imports from it, so an import library can be made without the DLL itself.

usage: import_library.py DLL_NAME INTERPRETER_LIB OBJECT... > python3XY.def

The names are the `__imp_` references of the Windows objects (what the headers declared
dllimport). Whether each is data or a function is read from this machine's build of the same
interpreter (`nm -D`): data must be marked DATA, or the import library offers a call thunk for it.
"""

import subprocess
import sys


def undefined_imports(objects):
    out = subprocess.run(["nm", "-u", *objects], capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip().startswith("U ")}
    return sorted(n[len("__imp_"):] for n in names if n.startswith("__imp_") and
                  n[len("__imp_"):].lstrip("_").startswith("Py"))


def symbol_kinds(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True,
                         check=True).stdout
    return {parts[2]: parts[1] for parts in map(str.split, out.splitlines()) if len(parts) == 3}


def main():
    dll, library, objects = sys.argv[1], sys.argv[2], sys.argv[3:]
    kinds = symbol_kinds(library)
    names = undefined_imports(objects)
    missing = [n for n in names if n not in kinds]
    if missing:
        sys.exit(f"not exported by {library}: {' '.join(missing)}")
    print(f"LIBRARY {dll}\nEXPORTS")
    for name in names:
        print(f"    {name}{'' if kinds[name] in 'Tt' else ' DATA'}")
    print(f"{len(names)} names imported from {dll}", file=sys.stderr)


if __name__ == "__main__":
    main()
