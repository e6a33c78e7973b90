// The PE certificate table, where an Authenticode signature lives: found through the security entry of
// the data directories, it is the last thing in a signed file, after the payload.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestro::packer {

struct CertificateTable {
    uint64_t offset = 0; // a file offset, unlike the other data directories' addresses
    uint64_t size = 0;
};

enum class CertificateTableState {
    Absent,   // no security entry, or an empty one: the file is not signed
    Present,  // the entry describes a table inside the file, after notBefore
    Unusable, // the entry is there but cannot describe a real table; why says how
};

// Reads the security entry from headers (the start of the file, at least its PE headers) of a file of
// fileSize bytes. A table must start at or after notBefore (the end of what it must not overlap), be
// 8-byte aligned, hold at least one certificate header and end inside the file. Present sets *table.
CertificateTableState findCertificateTable(const std::string& headers, uint64_t fileSize, uint64_t notBefore,
                                           CertificateTable* table, std::string* why);

// Empties the security entry of image, whose certificate table has been cut off. Returns true when
// there was an entry to empty.
bool clearCertificateTableEntry(std::string* image);

// Who signed, as the first signature of a certificate table says.
struct SignatureFacts {
    std::string signer;          // the subject common name of the signing certificate (or its whole name)
    std::string issuer;          // the issuer common name of the same certificate
    bool timestamped = false;    // a counter-signature or RFC 3161 time stamp is attached
    std::string digestAlgorithm; // the object identifier of the hash the signed digest was made with
    std::string digest;          // the digest of the file that was signed (raw bytes)
};

// Reads the first certificate of table (the table's bytes) as an Authenticode PKCS#7 signature.
// Returns false and says why when it is not one, names no signing certificate or holds no digest.
bool readSignature(const std::string& table, SignatureFacts* facts, std::string* why);

// Reads a file through read(offset, length) and hashes it as Authenticode does: every byte before
// the certificate table except the checksum and the security entry, which signing changes. headers
// are the file's first bytes, at least its PE headers. Returns false when the algorithm (an object
// identifier, as SignatureFacts keeps it) is no digest OpenSSL knows.
bool authenticodeDigest(const std::string& headers, const CertificateTable& table,
                        const std::string& algorithm,
                        const std::function<std::string(uint64_t offset, uint64_t length)>& read,
                        std::string* digest);

} // namespace kestro::packer
