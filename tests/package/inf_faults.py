#!/usr/bin/env python3
"""Plants one fault at a time in a copy of a driver package's INF, beside the
package's other files, and fails unless the check_inf.py behaviour that owns
the rule reports it. A row whose text no longer occurs in the INF fails too,
so the table follows the template.

usage: inf_faults.py <x86|x64> <inf>
"""
import os
import re
import sys
import tempfile

import check_inf

# (behaviour, the fault, INF text, what replaces it, what the report says)
FAULTS = [
    ("sections", "[Version] without a provider",
     r"^Provider\s*=.*$", "", "[Version] Provider"),
    ("sections", "[Version] without a class",
     r"^Class\s*=.*$", "", "[Version] Class "),
    ("sections", "a class GUID other than the Image class's",
     r"^ClassGuid\s*=.*$", "ClassGuid = {4d36e96c-e325-11ce-bfc1-08002be10318}",
     "[Version] ClassGuid"),
    ("sections", "[Version] without a catalog",
     r"^CatalogFile\s*=.*$", "", "[Version] CatalogFile"),
    ("sections", "a DriverVer without its version",
     r"^(DriverVer\s*=\s*[\d/]+),.*$", r"\1", "[Version] DriverVer"),
    ("sections", "[Version] without PnpLockdown",
     r"^PnpLockdown\s*=.*$", "", "[Version] PnpLockdown"),
    ("sections", "the source disk in a folder of the build machine",
     r"^(1\s*=\s*%DiskName%)$", r"\1,,,C:\\build\\package", "is a path on some machine"),
    ("files", "a copied file that no source disk holds",
     r"^\[CamFilters_CopyFiles\]$", "[CamFilters_CopyFiles]\nextra.sys",
     "copies extra.sys, which [SourceDisksFiles"),
    ("files", "a catalog the package folder lacks",
     r"^CatalogFile\s*=.*$", "CatalogFile = other.cat", "other.cat is named in the INF but not in"),
    ("services", "a service binary outside the drivers folder",
     r"^(ServiceBinary\s*=\s*)%12%", r"\1%11%", "is not in %12%"),
]


def main(argv):
    if len(argv) != 3 or argv[1] not in check_inf.ARCHES:
        print(__doc__.rsplit("usage:", 1)[1].strip(), file=sys.stderr)
        return 2
    arch, inf = argv[1], os.path.abspath(argv[2])
    folder, name = os.path.split(inf)
    with open(inf, encoding="utf-8") as text:
        original = text.read()
    failed = 0
    for behaviour, fault, pattern, replacement, report in FAULTS:
        planted, count = re.subn(pattern, replacement, original, count=1, flags=re.M | re.I)
        with tempfile.TemporaryDirectory() as scratch:
            for other in os.listdir(folder):
                if other != name:
                    os.symlink(os.path.join(folder, other), os.path.join(scratch, other))
            with open(os.path.join(scratch, name), "w", encoding="utf-8", newline="\r\n") as out:
                out.write(planted)
            faults = check_inf.CHECKS[behaviour](check_inf.Inf(os.path.join(scratch, name)), arch,
                                                 scratch)
        if count != 1:
            print(f"FAIL: {fault}: {pattern!r} no longer occurs in {name}")
        elif not any(report in f for f in faults):
            print(f"FAIL: {fault}: '{behaviour}' does not report it ({faults or 'no faults'})")
        else:
            print(f"ok: {fault}: '{behaviour}' reports it")
            continue
        failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
