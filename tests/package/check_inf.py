#!/usr/bin/env python3
"""Reads a driver package's INF back and fails, naming each fault, unless it
installs the two filters the way Windows installs filter drivers. One
behaviour per run:

  sections  every section the INF refers to, and every one an INF for this
            architecture needs, exists; [Version] declares the Image class,
            a provider, a DriverVer, a catalog and PnpLockdown; every
            %string% is defined; no value names a folder by its path on some
            machine (a drive, a share, a root) where a dirid belongs.
  services  the services added are exactly the filters, none with
            SPSVCINST_ASSOCSERVICE (that would make a filter the device's
            function driver), each a demand-start kernel driver with normal
            error control whose binary is in the drivers folder.
  filters   the device's .HW section appends each filter to its own filter
            list as REG_MULTI_SZ and writes nothing else: a list written
            without FLG_ADDREG_APPEND drops the filters other INFs put there.
  files     every file the INF names is in the package folder, its catalog
            included, the images are built for the INF's architecture, and
            each service binary is copied from the package's disk into the
            drivers folder.

usage: check_inf.py <sections|services|filters|files> <x86|x64> <inf>
The package folder is the folder that holds the INF.
"""
import collections
import os
import re
import struct
import sys

Arch = collections.namedtuple("Arch", "platform decoration machine")
ARCHES = {
    "x86": Arch("NTx86", "x86", 0x014C),     # IMAGE_FILE_MACHINE_I386
    "x64": Arch("NTamd64", "amd64", 0x8664),  # IMAGE_FILE_MACHINE_AMD64
}

IMAGE_CLASS_GUID = "{6bdd1fc6-810f-11d0-bec7-08002be2092f}"
VERSION = {  # [Version] entry -> what its value must be
    "Signature": lambda v: v.lower() == "$windows nt$",
    "Class": lambda v: v.lower() == "image",
    "ClassGuid": lambda v: v.lower() == IMAGE_CLASS_GUID,
    "Provider": bool,
    "DriverVer": lambda v: re.fullmatch(r"\d{1,2}/\d{1,2}/\d{4},\d+\.\d+\.\d+\.\d+", v),
    "CatalogFile": bool,
    # Only the package's own installer may change its files and registry keys.
    "PnpLockdown": lambda v: v == "1",
}
FILTERS = {"LowerFilters": "orvane", "UpperFilters": "tessip"}  # list -> its filter
FILTER_LIST_FLAGS = 0x00010008  # FLG_ADDREG_TYPE_MULTI_SZ | FLG_ADDREG_APPEND
SPSVCINST_ASSOCSERVICE = 0x2
SERVICE = {"ServiceType": 1, "StartType": 3, "ErrorControl": 1}  # kernel, demand, normal
DRIVERS_DIRID = "12"
# A drive, a share or a root: a folder as one machine, the build's or the
# target's, happens to have it.
MACHINE_PATH = re.compile(r"(?:[A-Za-z]:)?[\\/]")

Entry = collections.namedtuple("Entry", "key values")


def number(text):
    """An INF number (decimal or 0x hex, empty for 0), None if it is not one."""
    try:
        return int(text or "0", 0)
    except ValueError:
        return None


def padded(entry, count):
    return entry.values + [""] * (count - len(entry.values))


def split_line(line):
    """An INF line as an Entry: the key is the text before an '=' outside
    quotes (None when there is none), the values its comma-separated fields
    with quotes removed; a ';' outside quotes ends the line."""
    key, fields, field, quoted, i = None, [], "", False, 0
    while i < len(line):
        c = line[i]
        if quoted and c == '"' and line[i + 1:i + 2] == '"':
            field, i = field + '"', i + 1
        elif c == '"':
            quoted = not quoted
        elif quoted:
            field += c
        elif c == ";":
            break
        elif c == "=" and key is None and not fields:
            key, field = field.strip(), ""
        elif c == ",":
            fields, field = fields + [field.strip()], ""
        else:
            field += c
        i += 1
    return Entry(key, fields + [field.strip()])


class Inf:
    """Sections by name, case-blind as Windows reads them; a section given
    twice is one section, as for SetupAPI."""

    def __init__(self, path):
        self.sections = {}
        current = None
        with open(path, encoding="utf-8") as text:
            for raw in text:
                line = raw.strip()
                if not line or line.startswith(";"):
                    continue
                if line.startswith("["):
                    current = self.sections.setdefault(line[1:].split("]")[0].lower(), [])
                elif current is not None:
                    current.append(split_line(line))
        self.strings = {e.key.lower(): e.values[0] for e in self.sections.get("strings", []) if e.key}

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name, faults):
        if not self.has(name):
            faults.append(f"section [{name}] is missing")
            return []
        return self.sections[name.lower()]

    def values(self, section, key, faults):
        """Every value of every `key = ...` line of the section."""
        return [v for e in self.entries(section, faults) if e.key and e.key.lower() == key.lower()
                for v in e.values if v]

    def value(self, section, key):
        """The value of the section's first `key = ...` line, fields and all."""
        found = [",".join(e.values) for e in self.sections.get(section.lower(), [])
                 if e.key and e.key.lower() == key.lower()]
        return found[0] if found else None


def device_installs(inf, arch, faults):
    """The install sections this architecture's models name, each resolved
    as Windows picks among its decorations (.NTamd64, then .NT, then none)."""
    platform = ARCHES[arch].platform
    installs = []
    for maker in inf.entries("Manufacturer", faults):
        models, *decorations = maker.values
        if platform.lower() not in (d.lower() for d in decorations):
            faults.append(f"[Manufacturer] {maker.key}: no {platform} decoration")
            continue
        for model in inf.entries(f"{models}.{platform}", faults):
            base = model.values[0]
            chosen = [s for s in (f"{base}.{platform}", f"{base}.NT", base) if inf.has(s)]
            if len(model.values) < 2 or not model.values[1]:
                faults.append(f"model {model.key} names no hardware ID")
            if chosen:
                installs.append(chosen[0])
            else:
                faults.append(f"install section [{base}] of model {model.key} is missing")
    if not installs and not faults:
        faults.append(f"no model for {platform}")
    return installs


def copy_sections(inf, installs, faults):
    """The file-list sections of the installs' CopyFiles (an @file copies
    one file and has no section)."""
    return [s for i in installs for s in inf.values(i, "CopyFiles", faults) if not s.startswith("@")]


def service_entries(inf, installs, faults):
    return [e for i in installs for e in inf.entries(f"{i}.Services", faults)
            if e.key and e.key.lower() == "addservice"]


def check_sections(inf, arch, folder):
    faults = []
    decoration = ARCHES[arch].decoration
    for required in ("Version", f"SourceDisksNames.{decoration}", f"SourceDisksFiles.{decoration}",
                     "DestinationDirs", "Strings"):
        inf.entries(required, faults)
    for key, good in VERSION.items():
        value = inf.value("Version", key)
        if value is None or not good(inf.strings.get(value.strip("%").lower(), value)):
            faults.append(f"[Version] {key} is {value!r}")
    installs = device_installs(inf, arch, faults)
    referenced = copy_sections(inf, installs, faults)
    for install in installs:
        referenced += inf.values(install, "AddReg", faults)
        referenced += inf.values(f"{install}.HW", "AddReg", faults)
    referenced += [padded(e, 3)[2] for e in service_entries(inf, installs, faults)]
    for section in referenced:
        inf.entries(section, faults)
    for name, entries in inf.sections.items():
        for entry in entries:
            for token in re.findall(r"%([^%]*)%", " ".join([entry.key or ""] + entry.values)):
                if not token.isdigit() and token.lower() not in inf.strings:
                    faults.append(f"%{token}% is not defined in [Strings]")
            for value in [entry.key or ""] + entry.values:
                if MACHINE_PATH.match(value):
                    faults.append(f"[{name}] {value!r} is a path on some machine; "
                                  "folders are named by dirid (%12%, DestinationDirs)")
    return faults


def check_services(inf, arch, folder):
    faults = []
    added = {}
    for entry in service_entries(inf, device_installs(inf, arch, faults), faults):
        name, flags, section = padded(entry, 3)[:3]
        added[name.lower()] = name
        if number(flags) is None:
            faults.append(f"service {name}: flags {flags!r} are not a number")
        elif number(flags) & SPSVCINST_ASSOCSERVICE:
            faults.append(f"service {name} is added with SPSVCINST_ASSOCSERVICE: a filter "
                          "would become the device's function driver")
        for key, want in SERVICE.items():
            value = inf.value(section, key)
            if value is None or number(value) != want:
                faults.append(f"service {name}: {key} is {value}, should be {want}")
        binary = inf.value(section, "ServiceBinary") or ""
        if not re.fullmatch(rf"%{DRIVERS_DIRID}%\\[^\\]+", binary):
            faults.append(f"service {name}: ServiceBinary {binary!r} is not in %{DRIVERS_DIRID}%")
    if sorted(added) != sorted(FILTERS.values()):
        faults.append(f"services added: {sorted(added.values())}, should be the filters "
                      f"{sorted(FILTERS.values())}")
    return faults


def check_filters(inf, arch, folder):
    faults = []
    seen = collections.Counter()
    for install in device_installs(inf, arch, faults):
        for section in inf.values(f"{install}.HW", "AddReg", faults):
            for entry in inf.entries(section, faults):
                root, subkey, value, flags, *data = padded(entry, 4)
                where = f"[{section}] {value or '(default value)'}"
                if value not in FILTERS:
                    faults.append(f"{where}: not a filter list ({' or '.join(FILTERS)})")
                    continue
                seen[value] += 1
                if root.upper() != "HKR" or subkey:
                    faults.append(f"{where}: written under {root},{subkey}, not the device's key HKR")
                if number(flags) != FILTER_LIST_FLAGS:
                    faults.append(f"{where}: flags {flags or '0'}, should be 0x{FILTER_LIST_FLAGS:08X} "
                                  "(FLG_ADDREG_TYPE_MULTI_SZ | FLG_ADDREG_APPEND)")
                if data != [FILTERS[value]]:
                    faults.append(f"{where}: adds {data}, should add [{FILTERS[value]!r}]")
    for value in FILTERS:
        if seen[value] != 1:
            faults.append(f"{value} is written {seen[value]} times by the .HW section, should be once")
    return faults


def image_machine(path):
    with open(path, "rb") as image:
        head = image.read(4096)
    if head[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", head, pe + 4)[0]


def check_files(inf, arch, folder):
    faults = []
    decoration = ARCHES[arch].decoration
    disks = {e.key for e in inf.entries(f"SourceDisksNames.{decoration}", faults) if e.key}
    source = {}
    for entry in inf.entries(f"SourceDisksFiles.{decoration}", faults):
        source[entry.key.lower()] = entry.key
        if entry.values[0] not in disks:
            faults.append(f"{entry.key}: disk {entry.values[0]} is not in [SourceDisksNames.{decoration}]")
    installs = device_installs(inf, arch, faults)
    default_dir = inf.value("DestinationDirs", "DefaultDestDir")
    copied = set()
    for section in copy_sections(inf, installs, faults):
        target = inf.value("DestinationDirs", section) or default_dir
        if target != DRIVERS_DIRID:
            faults.append(f"[{section}] is copied to dirid {target}, not the drivers folder {DRIVERS_DIRID}")
        for entry in inf.entries(section, faults):
            name = (entry.values[1:2] or [""])[0] or entry.values[0]
            copied.add(name.lower())
            if name.lower() not in source:
                faults.append(f"[{section}] copies {name}, which [SourceDisksFiles.{decoration}] lacks")
    for entry in service_entries(inf, installs, faults):
        name, _, section = padded(entry, 3)[:3]
        binary = (inf.value(section, "ServiceBinary") or "").split("\\")[-1]
        if binary.lower() not in copied:
            faults.append(f"service {name}: binary {binary!r} is not copied by the install")
    catalog = inf.value("Version", "CatalogFile")
    for name in list(source.values()) + ([catalog] if catalog else []):
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            faults.append(f"{name} is named in the INF but not in {folder}")
        elif name.lower().endswith(".sys") and image_machine(path) != ARCHES[arch].machine:
            faults.append(f"{name} is not an image for {arch}")
    return faults


CHECKS = {"sections": check_sections, "services": check_services,
          "filters": check_filters, "files": check_files}


def main(argv):
    if len(argv) != 4 or argv[1] not in CHECKS or argv[2] not in ARCHES:
        print(__doc__.rsplit("usage:", 1)[1].strip(), file=sys.stderr)
        return 2
    behaviour, arch, path = argv[1:]
    faults = CHECKS[behaviour](Inf(path), arch, os.path.dirname(os.path.abspath(path)))
    for fault in dict.fromkeys(faults):
        print(f"FAIL: {os.path.basename(path)}: {fault}")
    if not faults:
        print(f"ok: {os.path.basename(path)}: {behaviour}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
