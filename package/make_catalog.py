#!/usr/bin/python3
"""Makes a driver package's catalog file on any machine, in the two steps
Windows' own tools take:

  cdf  writes the catalog definition file (makecat's .cdf format) from the
       package's INF: the INF itself and every file of its [SourceDisksFiles]
       sections, each with its file name and OS attributes, and the catalog
       attributes inf2cat writes (the OS, the hardware IDs). The same file
       works with makecat in the package folder on Windows.
  cat  reads a .cdf and writes the unsigned catalog it defines, as makecat
       does: a PKCS#7 SignedData without signers whose content is a
       certificate trust list with one member per file. A PE image is hashed
       as Authenticode hashes it (the hash its own signature carries), any
       other file as a whole. Sign the result like any catalog
       (osslsigncode sign, signtool sign).

usage: make_catalog.py cdf <inf> <x86|x64> <cdf> --os <OSAttr> --hash <SHA1|SHA256>
       make_catalog.py cat <cdf> [--files <folder>] [--out <catalog>]

Member paths in the .cdf are relative to --files (default: the current
folder, as for makecat); the catalog goes to --out, by default to the
header's ResultDir and Name. Needs Debian's python3-asn1crypto, hence
/usr/bin/python3.
"""
import argparse
import collections
import datetime
import hashlib
import os
import re
import struct
import sys

from asn1crypto import algos, cms, core

# --- The catalog's ASN.1 -------------------------------------------------------
# Microsoft's certificate trust list with the catalog's attributes and the
# Authenticode indirect data of each member; asn1crypto knows neither.
CTL_CONTENT = "1.3.6.1.4.1.311.10.1"  # szOID_CTL
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"  # szOID_CATALOG_LIST
CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"  # szOID_CATALOG_LIST_MEMBER
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"  # CAT_NAMEVALUE_OBJID
CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"  # CAT_MEMBERINFO_OBJID
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SPC_INDIRECT_DATA_OBJID
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"  # SPC_PE_IMAGE_DATAOBJ
SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # SPC_CAB_DATA_OBJID, what flat files carry

# The subject interface packages that hash a member, by the GUID the member
# records: PE images Authenticode's way, everything else as a flat file.
PE_IMAGE_SIP = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"  # CRYPT_SUBJTYPE_PE_IMAGE
FLAT_FILE_SIP = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"  # CRYPT_SUBJTYPE_FLAT_IMAGE
WIN_CERT_REVISION_2_0 = 0x0200
OBSOLETE = "<<<Obsolete>>>"  # the file link Authenticode writes and never reads

ENCODING = 0x00010001  # PKCS_7_ASN_ENCODING | X509_ASN_ENCODING, the only one there is
NAME_VALUE = 0x10010001  # CRYPTCAT_ATTR_AUTHENTICATED | NAMEASCII | DATAASCII
HASHES = {"SHA1": "sha1", "SHA256": "sha256"}
# makecat hashes with SHA-256 only in a version 2 catalog.
CATALOG_VERSION = {"SHA1": 1, "SHA256": 2}


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class CatNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class SetOfAny(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", SetOfAny)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class Extension(core.Sequence):
    _fields = [("extn_id", core.ObjectIdentifier), ("critical", core.Boolean, {"default": False}),
               ("extn_value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    _fields = [("subject_usage", SubjectUsage),
               ("list_identifier", core.OctetString, {"optional": True}),
               ("this_update", core.UTCTime),
               ("subject_algorithm", algos.DigestAlgorithm),
               ("trusted_subjects", TrustedSubjects, {"optional": True}),
               ("extensions", Extensions, {"explicit": 0, "optional": True})]


class ContentInfo(cms.ContentInfo):
    """PKCS#7's content info, which knows the trust list as content."""
    _oid_specs = dict(cms.ContentInfo._oid_specs, **{CTL_CONTENT: CertificateTrustList})


# --- Hashes --------------------------------------------------------------------
def pe_layout(data):
    """(checksum, certificate-table entry, certificate table) offsets of a
    PE image, None if the data is not one."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    if data[pe:pe + 4] != b"PE\0\0" or len(data) < optional + 2:
        return None
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):  # PE32, PE32+
        return None
    directories = optional + (96 if magic == 0x10B else 112)
    cert_entry = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    if len(data) < cert_entry + 8:
        return None
    cert_table = struct.unpack_from("<I", data, cert_entry)[0] or len(data)
    return optional + 64, cert_entry, min(cert_table, len(data))


def authenticode_digest(data, algorithm):
    """The Authenticode hash of a PE image: every byte but the checksum, the
    certificate table's directory entry and the table itself (the signature
    at the end, with the padding before it hashed as its signer hashed it).
    The linker lays the sections out back to back after the headers, so this
    is the headers-sections-trailing-data order of the PE format's
    description."""
    checksum, cert_entry, cert_table = pe_layout(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:cert_entry])
    digest.update(data[cert_entry + 8:cert_table])
    return digest.digest()


# --- The catalog definition file ------------------------------------------------
Member = collections.namedtuple("Member", "tag path attributes")


def parse_attribute(text, where):
    """A CDF attribute, {type}:{name}:{value}, as (flags, name, value)."""
    parts = text.split(":", 2)
    if len(parts) != 3 or not parts[1]:
        raise SystemExit(f"{where}: attribute {text!r} is not type:name:value")
    flags = int(parts[0], 0)
    if flags != NAME_VALUE:
        raise SystemExit(f"{where}: attribute type {parts[0]} is not 0x{NAME_VALUE:08X} "
                         "(authenticated, name and value as text), the one type written here")
    return flags, parts[1], parts[2]


def read_cdf(path):
    """The header entries, the catalog attributes and the members of a CDF."""
    header, attributes, members, section = {}, [], collections.OrderedDict(), None
    with open(path, encoding="utf-8") as text:
        for number, raw in enumerate(text, 1):
            line, where = raw.strip(), f"{path}:{number}"
            if not line or line.startswith(";"):
                continue
            if line.startswith("["):
                section = line.strip("[]").lower()
                continue
            key, sep, value = line.partition("=")
            key, value = key.strip(), value.strip()
            if not sep:
                raise SystemExit(f"{where}: no '=' in {line!r}")
            if section == "catalogheader":
                if re.fullmatch(r"CATATTR\d+", key, re.I):
                    attributes.append(parse_attribute(value, where))
                else:
                    header[key.lower()] = value
            elif section == "catalogfiles":
                owner = re.fullmatch(r"(.+?)ATTR\d+", key, re.I)
                if owner:
                    if owner[1] not in members:
                        raise SystemExit(f"{where}: attribute of {owner[1]}, which is not listed")
                    members[owner[1]].attributes.append(parse_attribute(value, where))
                elif key.upper().endswith("ALTSIPID"):
                    raise SystemExit(f"{where}: ALTSIPID: members are PE images or flat files here")
                else:
                    members[key] = Member(key, value, [])
            else:
                raise SystemExit(f"{where}: entry outside [CatalogHeader] and [CatalogFiles]")
    return header, attributes, list(members.values())


def name_value(flags, name, value):
    return CatNameValue({"tag": name, "flags": flags, "value": (value + "\0").encode("utf-16-le")})


def attribute(oid, value):
    return Attribute({"type": oid, "values": [core.Any(value)]})


def der_sorted(values):
    """A DER SET OF holds its elements in the order of their encodings."""
    return sorted(values, key=lambda value: value.dump())


def trusted_subject(member, folder, algorithm):
    path = os.path.join(folder, member.path)
    with open(path, "rb") as member_file:
        data = member_file.read()
    if pe_layout(data):
        digest = authenticode_digest(data, algorithm)
        link = SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE))
        data_type = SpcAttributeTypeAndOptionalValue(
            {"type": SPC_PE_IMAGE_DATA, "value": SpcPeImageData({"flags": (), "file": link})})
        subject_sip = PE_IMAGE_SIP
    else:
        digest = hashlib.new(algorithm, data).digest()
        data_type = SpcAttributeTypeAndOptionalValue(
            {"type": SPC_CAB_DATA,
             "value": SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE))})
        subject_sip = FLAT_FILE_SIP
    indirect = SpcIndirectDataContent(
        {"data": data_type,
         "message_digest": {"digest_algorithm": {"algorithm": algorithm, "parameters": core.Null()},
                            "digest": digest}})
    # <HASH> tags stand for the digest in hexadecimal, the reference tag by
    # which Windows looks a file up in its catalogs.
    tag = digest.hex().upper() if member.tag.upper().startswith("<HASH>") else member.tag
    attributes = [attribute(SPC_INDIRECT_DATA, indirect),
                  attribute(CAT_MEMBERINFO, CatMemberInfo({"subject_guid": subject_sip,
                                                           "cert_version": WIN_CERT_REVISION_2_0}))]
    attributes += [attribute(CAT_NAMEVALUE, name_value(*a)) for a in member.attributes]
    return TrustedSubject({"identifier": (tag + "\0").encode("utf-16-le"),
                           "attributes": der_sorted(attributes)})


def catalog_time():
    """Now, or SOURCE_DATE_EPOCH when a reproducible build pins it."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def make_catalog(cdf, folder):
    """The unsigned catalog a CDF defines, DER-encoded, and its file name."""
    header, attributes, members = read_cdf(cdf)
    hash_name = header.get("hashalgorithms", "SHA1").upper()
    if hash_name not in HASHES:
        raise SystemExit(f"{cdf}: HashAlgorithms={hash_name}, should be one of {', '.join(HASHES)}")
    version = int(header.get("catalogversion") or 1, 0)
    if version != CATALOG_VERSION[hash_name]:
        raise SystemExit(f"{cdf}: CatalogVersion={version} with HashAlgorithms={hash_name}; "
                         f"makecat needs version {CATALOG_VERSION[hash_name]} for it")
    if int(header.get("encodingtype", "0"), 0) != ENCODING:
        raise SystemExit(f"{cdf}: EncodingType should be 0x{ENCODING:08X}")
    if not members:
        raise SystemExit(f"{cdf}: no [CatalogFiles]")
    algorithm = HASHES[hash_name]
    # Members are written the way driver catalogs carry them whatever the
    # version: szOID_CATALOG_LIST_MEMBER, CAT_MEMBERINFO and the hexadecimal
    # tag, which every reader of catalogs knows (Wine's wintrust no other);
    # the version is what makes makecat hash with SHA-256.
    subjects = sorted((trusted_subject(m, folder, algorithm) for m in members),
                      key=lambda subject: subject["identifier"].native)
    ctl = CertificateTrustList({
        "subject_usage": [CATALOG_LIST],
        # Unique per catalog: derived from what it lists, so that the same
        # files give the same catalog.
        "list_identifier": hashlib.sha256(b"".join(s.dump() for s in subjects)).digest()[:16],
        "this_update": catalog_time(),
        "subject_algorithm": {"algorithm": CATALOG_LIST_MEMBER, "parameters": core.Null()},
        "trusted_subjects": subjects,
        "extensions": [{"extn_id": CAT_NAMEVALUE, "extn_value": name_value(*a).dump()}
                       for a in attributes] or None,
    })
    signed = cms.SignedData({
        "version": "v1",
        "digest_algorithms": [],
        "encap_content_info": ContentInfo({"content_type": CTL_CONTENT, "content": ctl}),
        "signer_infos": [],
    })
    name = header.get("name")
    if not name:
        raise SystemExit(f"{cdf}: [CatalogHeader] has no Name")
    path = os.path.join(header.get("resultdir") or ".", name)
    return cms.ContentInfo({"content_type": "signed_data", "content": signed}).dump(), path


# --- The INF --------------------------------------------------------------------
def inf_sections(path):
    """Sections of an INF by lower-case name: (key, [values]) per line."""
    sections, current = {}, None
    with open(path, encoding="utf-8") as text:
        for raw in text:
            line = re.match(r'(?:[^;"]|"[^"]*")*', raw)[0].strip()  # up to a ';' outside quotes
            if not line:
                continue
            if line.startswith("["):
                current = sections.setdefault(line[1:].split("]")[0].strip().lower(), [])
            elif current is not None:
                key, sep, rest = line.partition("=")
                fields = [f.strip().strip('"') for f in (rest if sep else line).split(",")]
                current.append((key.strip() if sep else None, fields))
    return sections


def write_cdf(inf, arch, cdf, os_attribute, hash_name):
    sections = inf_sections(inf)
    version = {key.lower(): fields[0] for key, fields in sections.get("version", []) if key}
    catalog = version.get("catalogfile")
    if not catalog:
        raise SystemExit(f"{inf}: [Version] names no CatalogFile")
    decoration = {"x86": "x86", "x64": "amd64"}[arch]
    files = [os.path.basename(inf)]
    for section in ("sourcedisksfiles", f"sourcedisksfiles.{decoration}"):
        files += [key for key, _ in sections.get(section, []) if key and key not in files]
    hardware_ids = []
    for _, fields in sections.get("manufacturer", []):
        decorated = [f"{fields[0]}.{d}" for d in fields[1:]] or [fields[0]]
        for models in decorated:
            for _, model in sections.get(models.lower(), []):
                hardware_ids += [h.lower() for h in model[1:]
                                 if h and h.lower() not in hardware_ids]
    lines = ["[CatalogHeader]", f"Name={catalog}", "ResultDir=.", "PublicVersion=0x0000001",
             f"EncodingType=0x{ENCODING:08X}", f"CatalogVersion={CATALOG_VERSION[hash_name]}",
             f"HashAlgorithms={hash_name}"]
    catalog_attributes = [("OSAttr", os_attribute)]
    catalog_attributes += [(f"HWID{i}", h) for i, h in enumerate(hardware_ids, 1)]
    lines += [f"CATATTR{i}=0x{NAME_VALUE:08X}:{name}:{value}"
              for i, (name, value) in enumerate(catalog_attributes, 1)]
    lines += ["", "[CatalogFiles]"]
    for name in files:
        lines += [f"<hash>{name}={name}",
                  f"<hash>{name}ATTR1=0x{NAME_VALUE:08X}:File:{name}",
                  f"<hash>{name}ATTR2=0x{NAME_VALUE:08X}:OSAttr:{os_attribute}"]
    # makecat wants the last line to end in a line break; Windows, CR LF.
    with open(cdf, "w", encoding="utf-8", newline="\r\n") as out:
        out.write("\n".join(lines) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    cdf = commands.add_parser("cdf")
    cdf.add_argument("inf")
    cdf.add_argument("arch", choices=("x86", "x64"))
    cdf.add_argument("cdf")
    cdf.add_argument("--os", required=True, help="OSAttr value, e.g. 2:10.0")
    cdf.add_argument("--hash", required=True, choices=sorted(HASHES))
    cat = commands.add_parser("cat")
    cat.add_argument("cdf")
    cat.add_argument("--files", default=".")
    cat.add_argument("--out")
    args = parser.parse_args(argv[1:])
    if args.command == "cdf":
        write_cdf(args.inf, args.arch, args.cdf, args.os, args.hash)
        return 0
    catalog, path = make_catalog(args.cdf, args.files)
    with open(args.out or path, "wb") as out:
        out.write(catalog)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
