// What the Wine proof checks of the package's catalog: read with wintrust as
// Windows reads it, it lists every file of the package (the INF and the
// images its source disk holds), each by the SHA-256 hash this program
// computes itself, and nothing else. The images are hashed as Authenticode
// hashes them: Wine 8's CryptCATAdminCalcHashFromFileHandle hashes every
// byte of a PE image, as for any file, so it cannot stand in for Windows'.
#include <windows.h>
#include <bcrypt.h>
#include <mscat.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wine_checks.h"

namespace {

const wchar_t kFilterInf[] = L"camfilters.inf";
#ifdef _WIN64
const wchar_t kSourceFiles[] = L"SourceDisksFiles.amd64";
#else
const wchar_t kSourceFiles[] = L"SourceDisksFiles.x86";
#endif

using Bytes = std::vector<BYTE>;

bool ReadWholeFile(const std::wstring& path, Bytes* data) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    data->clear();
    BYTE chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof(chunk), file)) != 0) {
        data->insert(data->end(), chunk, chunk + read);
    }
    fclose(file);
    return true;
}

uint32_t Le32(const Bytes& data, size_t at) {
    return data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
           static_cast<uint32_t>(data[at + 3]) << 24;
}

// The SHA-256 of the given byte ranges of `data`, one after the other.
struct Range {
    size_t begin;
    size_t end;
};
Bytes Sha256(const Bytes& data, const std::vector<Range>& ranges) {
    Bytes digest(32);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCRYPT_SUCCESS(
                    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    for (const Range& range : ranges) {
        done = done && BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<BYTE*>(&data[range.begin]),
                                                     range.end - range.begin, 0));
    }
    done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), digest.size(), 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    return done ? digest : Bytes();
}

/*
 * FileDigest
 *
 * A PE image's Authenticode hash, the one its own signature carries: every
 * byte but the checksum, the certificate table's directory entry and the
 * table itself (the linker lays the sections out back to back, so this is
 * also the order of headers, sections and trailing data). Any other file's
 * SHA-256. Empty when the image is malformed.
 */
Bytes FileDigest(const Bytes& data) {
    if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z') {
        return Sha256(data, {{0, data.size()}});
    }
    size_t optional = Le32(data, 0x3C) + 24;
    if (optional + 2 > data.size()) {
        return Bytes();
    }
    bool pe32 = (data[optional] | data[optional + 1] << 8) == 0x10B;
    size_t checksum = optional + 64;
    size_t certEntry = optional + (pe32 ? 96 : 112) + 4 * 8;  // IMAGE_DIRECTORY_ENTRY_SECURITY
    if (certEntry + 8 > data.size()) {
        return Bytes();
    }
    size_t certTable = Le32(data, certEntry);
    if (certTable == 0 || certTable > data.size()) {
        certTable = data.size();
    }
    return Sha256(data, {{0, checksum}, {checksum + 4, certEntry}, {certEntry + 8, certTable}});
}

// The package's catalog and its files, as its INF names them.
bool PackageFiles(const std::wstring& stage, std::wstring* catalog,
                  std::vector<std::wstring>* files) {
    std::wstring path = stage + L"\\" + kFilterInf;
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        return false;
    }
    wchar_t name[MAX_PATH] = {};
    INFCONTEXT line;
    bool found = SetupFindFirstLineW(inf, L"Version", L"CatalogFile", &line) &&
                 SetupGetStringFieldW(&line, 1, name, ARRAYSIZE(name), nullptr);
    *catalog = name;
    files->assign(1, kFilterInf);
    for (bool more = SetupFindFirstLineW(inf, kSourceFiles, nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
        if (SetupGetStringFieldW(&line, 0, name, ARRAYSIZE(name), nullptr)) {
            files->push_back(name);
        }
    }
    SetupCloseInfFile(inf);
    return found && files->size() > 1;
}

struct Member {
    std::wstring Tag;
    Bytes Digest;
};

std::wstring Hex(const Bytes& bytes) {
    std::wstring text;
    for (BYTE byte : bytes) {
        wchar_t pair[3];
        swprintf(pair, ARRAYSIZE(pair), L"%02X", byte);
        text += pair;
    }
    return text;
}

}  // namespace

void RunCatalogChecks(WineChecks& checks, const std::wstring& stage) {
    std::wstring catalogName;
    std::vector<std::wstring> files;
    bool named = PackageFiles(stage, &catalogName, &files);
    std::wstring catalogPath = stage + L"\\" + catalogName;
    HANDLE catalog = named ? CryptCATOpen(catalogPath.data(), CRYPTCAT_OPEN_EXISTING, 0, 0,
                                          X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)
                           : INVALID_HANDLE_VALUE;
    bool opened = catalog != INVALID_HANDLE_VALUE && catalog != nullptr;
    checks.Check(opened, "the catalog the package's INF names opens with wintrust");
    if (!opened) {
        return;
    }
    std::vector<Member> members;
    bool sha256 = true;
    for (CRYPTCATMEMBER* member = nullptr; (member = CryptCATEnumerateMember(catalog, member));) {
        const CRYPT_HASH_BLOB& digest = member->pIndirectData->Digest;
        const char* algorithm = member->pIndirectData->DigestAlgorithm.pszObjId;
        sha256 = sha256 && algorithm != nullptr && strcmp(algorithm, szOID_NIST_sha256) == 0;
        members.push_back({member->pwszReferenceTag ? member->pwszReferenceTag : L"",
                           Bytes(digest.pbData, digest.pbData + digest.cbData)});
    }
    CryptCATClose(catalog);

    // Each file is found by its digest, under the tag Windows looks it up by.
    bool listed = sha256;
    for (const std::wstring& file : files) {
        Bytes data;
        Bytes digest = ReadWholeFile(stage + L"\\" + file, &data) ? FileDigest(data) : Bytes();
        bool found = false;
        for (const Member& member : members) {
            found = found || (!digest.empty() && member.Digest == digest &&
                              _wcsicmp(member.Tag.c_str(), Hex(digest).c_str()) == 0);
        }
        if (!found) {
            fprintf(stderr, "catalog: no member with %ls's SHA-256 %ls\n", file.c_str(),
                    Hex(digest).c_str());
        }
        listed = listed && found;
    }
    checks.Check(listed,
                 "the catalog lists the INF and each image by the SHA-256 hash computed here "
                 "(Authenticode for the images, the whole file for the INF)");
    checks.Check(members.size() == files.size(),
                 "the catalog lists nothing but the files of the package");
}
