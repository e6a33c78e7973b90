#include "certificate_table.h"

#include "pe_resources.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace kestro::packer {
namespace {

constexpr uint32_t kSecurityEntry = 4;
constexpr uint32_t kCertificateHeaderSize = 8; // dwLength, wRevision, wCertificateType
constexpr uint16_t kPkcsSignedData = 2;
constexpr uint32_t kChecksumField = 64; // from the optional header
// Where Authenticode keeps an RFC 3161 time stamp among a signer's unauthenticated attributes.
constexpr const char* kRfc3161TimestampOid = "1.3.6.1.4.1.311.3.3.1";

uint64_t littleEndian(const std::string& bytes, size_t at, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// The offsets of the security entry and of the checksum in headers; false when the headers are no
// PE32/PE32+ headers or have no security entry.
bool locateSecurityEntry(const std::string& headers, size_t* entry, size_t* checksum) {
    if (headers.size() < 64 || headers.compare(0, 2, "MZ") != 0)
        return false;
    const uint64_t signature = littleEndian(headers, 60, 4);
    if (signature + 24 > headers.size() || headers.compare(signature, 4, std::string("PE\0\0", 4)) != 0)
        return false;
    const uint64_t optionalSize = littleEndian(headers, signature + 20, 2);
    const size_t optional = static_cast<size_t>(signature) + 24;
    if (optional + 2 > headers.size())
        return false;
    const uint64_t magic = littleEndian(headers, optional, 2);
    if (magic != 0x10b && magic != 0x20b)
        return false;
    const size_t countField = optional + (magic == 0x10b ? 92 : 108);
    if (countField + 4 > headers.size() || littleEndian(headers, countField, 4) <= kSecurityEntry)
        return false;
    *entry = countField + 4 + 8 * kSecurityEntry;
    *checksum = optional + kChecksumField;
    return *entry + 8 <= optional + optionalSize && *entry + 8 <= headers.size();
}

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
void freeCertificates(STACK_OF(X509) * certificates) {
    sk_X509_free(certificates); // the certificates themselves belong to the PKCS7
}
using Certificates = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;

std::string commonName(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
            OPENSSL_free(utf8);
            return text;
        }
    }
    // A certificate without a common name is still named by its other parts.
    char line[512];
    X509_NAME_oneline(name, line, sizeof line);
    return line;
}

bool hasTimestamp(PKCS7* signature) {
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signature);
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1)
        return false;
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    if (PKCS7_get_attribute(signer, NID_pkcs9_countersignature) != nullptr)
        return true;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(signer->unauth_attr); ++i) {
        char oid[64];
        OBJ_obj2txt(oid, sizeof oid,
                    X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(signer->unauth_attr, i)), 1);
        if (std::strcmp(oid, kRfc3161TimestampOid) == 0)
            return true;
    }
    return false;
}

} // namespace

CertificateTableState findCertificateTable(const std::string& headers, uint64_t fileSize, uint64_t notBefore,
                                           CertificateTable* table, std::string* why) {
    size_t entry, checksum;
    if (!locateSecurityEntry(headers, &entry, &checksum))
        return CertificateTableState::Absent;
    const uint64_t offset = littleEndian(headers, entry, 4);
    const uint64_t size = littleEndian(headers, entry + 4, 4);
    if (offset == 0 && size == 0)
        return CertificateTableState::Absent;
    const std::string where = "the certificate table (" + std::to_string(size) + " bytes at offset " +
                              std::to_string(offset) + ") ";
    if (offset + size > fileSize) {
        *why = where + "ends past the end of the file (" + std::to_string(fileSize) + " bytes)";
    } else if (offset < notBefore) {
        *why = where + "overlaps the launcher's payload, which ends at offset " + std::to_string(notBefore);
    } else if (offset % 8 != 0 || size < kCertificateHeaderSize) {
        *why = where + "is not aligned to 8 bytes or too small for a certificate";
    } else {
        table->offset = offset;
        table->size = size;
        return CertificateTableState::Present;
    }
    return CertificateTableState::Unusable;
}

bool clearCertificateTableEntry(std::string* image) {
    size_t entry, checksum;
    if (!locateSecurityEntry(*image, &entry, &checksum) ||
        image->compare(entry, 8, std::string(8, '\0')) == 0)
        return false;
    image->replace(entry, 8, std::string(8, '\0'));
    const uint32_t sum = peChecksum(*image, checksum);
    for (size_t i = 0; i < 4; ++i)
        (*image)[checksum + i] = static_cast<char>(sum >> (8 * i) & 0xff);
    return true;
}

bool readSignature(const std::string& table, SignatureFacts* facts, std::string* why) {
    if (table.size() < kCertificateHeaderSize) {
        *why = "the certificate table holds no certificate";
        return false;
    }
    const uint64_t length = littleEndian(table, 0, 4);
    if (littleEndian(table, 6, 2) != kPkcsSignedData || length < kCertificateHeaderSize ||
        length > table.size()) {
        *why = "the first certificate is not a PKCS#7 signature";
        return false;
    }
    const auto* der = reinterpret_cast<const unsigned char*>(table.data() + kCertificateHeaderSize);
    Pkcs7 signature(d2i_PKCS7(nullptr, &der, static_cast<long>(length - kCertificateHeaderSize)));
    if (!signature || !PKCS7_type_is_signed(signature.get())) {
        *why = "the signature cannot be read as PKCS#7 signed data";
        return false;
    }
    Certificates signers(PKCS7_get0_signers(signature.get(), nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) < 1) {
        *why = "the signature does not carry its signing certificate";
        return false;
    }
    X509* certificate = sk_X509_value(signers.get(), 0);
    facts->signer = commonName(X509_get_subject_name(certificate));
    facts->issuer = commonName(X509_get_issuer_name(certificate));
    facts->timestamped = hasTimestamp(signature.get());
    return true;
}

} // namespace kestro::packer
