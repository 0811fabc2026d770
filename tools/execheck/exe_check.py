#!/usr/bin/env python3
"""Checks that the shipped exe can load on 32-bit Windows XP SP3.

    exe_check.py EXE ALLOWED_IMPORTS

Reads the PE image itself (no tool of the build is trusted to have done it
right): PE32 for i386, GUI subsystem, OS and subsystem versions no later
than 5.1, imports only from DLLs that are known DLLs on both XP SP3 and 7
(comctl32 through the manifest's side-by-side assembly) and only functions
on the allowed list whose documented minimum Windows version is 5.1 or
earlier, a manifest
that asks for administrator rights and Common Controls 6 for x86, and a
version resource. Prints every finding; exit 1 if there is any.
"""
import re
import struct
import sys

XP = (5, 1)
VERSION_NAMES = {(5, 0): "Windows 2000", (5, 1): "Windows XP", (5, 2): "Windows Server 2003",
                 (6, 0): "Windows Vista", (6, 1): "Windows 7", (6, 2): "Windows 8"}
RT_VERSION, RT_MANIFEST = 16, 24
# Windows loads a known DLL from the system folder only; any other imported
# DLL is looked for in the program's folder first, where a downloaded exe
# finds whatever a web page left there. These are known on both XP SP3
# (KnownDLLs and their dependencies) and 7; comctl32 is bound to the
# side-by-side assembly the manifest names. Everything else is loaded at
# run time from the system folder by full path.
KNOWN_ON_XP_AND_7 = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
                     "ole32.dll", "msvcrt.dll", "shlwapi.dll", "comctl32.dll"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, opt_size, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic != 0x10B:
            raise ValueError("optional header magic 0x%x is not PE32" % self.magic)
        (self.os_version, self.image_version, self.subsystem_version) = (
            struct.unpack_from("<HH", data, opt + 40), struct.unpack_from("<HH", data, opt + 44),
            struct.unpack_from("<HH", data, opt + 48))
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = struct.unpack_from("<I", data, opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(dirs)]
        self.sections = []
        for i in range(sections):
            at = opt + opt_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((name, va, max(vsize, rsize), raw, rsize))

    def offset(self, rva):
        for _, va, size, raw, rsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rsize:
                    raise ValueError("RVA 0x%x lies in uninitialised data" % rva)
                return raw + rva - va
        raise ValueError("RVA 0x%x is in no section" % rva)

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstr(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        """(dll, name or '#ordinal') for every import, delay-loaded ones included."""
        found = []
        for index, entry_size in ((1, 20), (13, 32)):
            if index >= len(self.dirs) or not self.dirs[index][0]:
                continue
            rva = self.dirs[index][0]
            while True:
                fields = struct.unpack_from("<5I" if entry_size == 20 else "<8I",
                                            self.data, self.offset(rva))
                if not any(fields):
                    break
                if entry_size == 20:
                    lookup, _, _, name, thunks = fields
                    thunks = lookup or thunks
                else:
                    name, thunks = fields[1], fields[4]
                dll = self.cstr(name)
                while True:
                    thunk = self.u32(thunks)
                    if not thunk:
                        break
                    found.append((dll, "#%d" % (thunk & 0xFFFF) if thunk & 0x80000000
                                  else self.cstr(thunk + 2)))
                    thunks += 4
                rva += entry_size
        return found

    def resources(self, type_id):
        """The data of every resource of a numeric type (all names, all languages)."""
        if len(self.dirs) <= 2 or not self.dirs[2][0]:
            return []
        root = self.dirs[2][0]

        def entries(rva):
            at = self.offset(rva)
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            return [struct.unpack_from("<II", self.data, at + 16 + 8 * i) for i in range(named + ids)]

        def leaves(target):
            if target & 0x80000000:
                for _, sub in entries(root + (target & 0x7FFFFFFF)):
                    yield from leaves(sub)
            else:
                data_rva, size = struct.unpack_from("<II", self.data, self.offset(root + target))
                at = self.offset(data_rva)
                yield self.data[at:at + size]

        return [blob for ident, target in entries(root) if ident == type_id for blob in leaves(target)]


def read_allowed(path):
    """{(dll, function): (major, minor)} from lines 'dll function major.minor [note]'."""
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            dll, function, version = fields[:3]
            major, minor = version.split(".")
            allowed[(dll.lower(), function)] = (int(major), int(minor))
    return allowed


def version_name(v):
    return "%d.%d (%s)" % (v[0], v[1], VERSION_NAMES.get(v, "?"))


def check(path, allowed_path):
    problems = []
    with open(path, "rb") as f:
        image = Image(f.read())
    if image.machine != 0x14C:
        problems.append("machine 0x%x is not i386" % image.machine)
    if image.subsystem != 2:
        problems.append("subsystem %d is not the Windows GUI (2)" % image.subsystem)
    for what, v in (("OS version", image.os_version), ("subsystem version", image.subsystem_version)):
        if v > XP:
            problems.append("%s %d.%d is later than 5.1: XP refuses to load the image" % (what, v[0], v[1]))

    allowed = read_allowed(allowed_path)
    dlls = {dll for dll, _ in allowed}
    imports = image.imports()
    for dll, function in imports:
        key = (dll.lower(), function)
        if dll.lower() not in KNOWN_ON_XP_AND_7:
            problems.append("%s is not a known DLL on both XP and 7 (imports %s): load it at run time "
                            "from the system folder by full path" % (dll, function))
        elif dll.lower() not in dlls:
            problems.append("%s is not a system DLL on the list (imports %s)" % (dll, function))
        elif key not in allowed:
            problems.append("%s!%s is not on the list of allowed imports: look up its documented "
                            "minimum Windows version and add it, or load it at run time" % (dll, function))
        elif allowed[key] > XP:
            problems.append("%s!%s needs Windows %s: load it at run time with a fallback"
                            % (dll, function, version_name(allowed[key])))

    manifests = image.resources(RT_MANIFEST)
    if len(manifests) != 1:
        problems.append("%d manifest resources (want 1)" % len(manifests))
    else:
        text = manifests[0].decode("utf-8")
        level = re.search(r"<requestedExecutionLevel\b([^>]*)>", text)
        if not level or not re.search(r'\blevel="requireAdministrator"', level.group(1)):
            problems.append("the manifest does not ask for requireAdministrator")
        if not level or not re.search(r'\buiAccess="false"', level.group(1)):
            problems.append("the manifest does not set uiAccess=\"false\"")
        controls = [a for a in re.findall(r"<assemblyIdentity\b([^>]*)>", text)
                    if 'name="Microsoft.Windows.Common-Controls"' in a]
        if not any('version="6.0.0.0"' in a and 'processorArchitecture="x86"' in a for a in controls):
            problems.append("the manifest does not depend on Common-Controls 6.0.0.0 for x86")
        # The program scales itself; without this, 7 stretches it blurred at 150 %.
        if not re.search(r"<dpiAware[^>]*>\s*true\s*</dpiAware>", text):
            problems.append("the manifest does not declare the program DPI-aware")
    if not any(b"V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0" in v for v in image.resources(RT_VERSION)):
        problems.append("no version resource")
    return problems, imports


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    problems, imports = check(sys.argv[1], sys.argv[2])
    for p in problems:
        print("FAIL:", p)
    print("%s: %d imports from %d DLLs, %d problem(s)"
          % (sys.argv[1], len(imports), len({d.lower() for d, _ in imports}), len(problems)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
