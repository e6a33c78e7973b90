#include "executable/certificate_table.h"

#include "binary/little_endian.h"
#include "pe/pe_image.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace kestro::packer {
namespace {

using binary::get16;
using binary::get32;

constexpr uint32_t kCertificateHeaderSize = 8; // dwLength, wRevision, wCertificateType
constexpr uint16_t kPkcsSignedData = 2;
// Where Authenticode keeps an RFC 3161 time stamp among a signer's unauthenticated attributes.
constexpr const char* kRfc3161TimestampOid = "1.3.6.1.4.1.311.3.3.1";
constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
// Large enough that hashing, not reading, sets the pace.
constexpr uint64_t kDigestChunk = 1 << 20;

// The offsets of the security entry and of the checksum in headers; false when the headers are no
// PE32/PE32+ headers or have no security entry.
bool locateSecurityEntry(const std::string& headers, size_t* entry, size_t* checksum) {
    pe::Headers pe;
    std::string ignored;
    if (!pe::readHeaders(headers, &pe, &ignored) || pe.directoryField(pe::kCertificateDirectory) == 0)
        return false;
    *entry = pe.directoryField(pe::kCertificateDirectory);
    *checksum = pe.checksumField();
    return true;
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

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo },
// the content Authenticode signs; DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
bool readSignedDigest(PKCS7* signature, SignatureFacts* facts) {
    PKCS7* content = signature->d.sign->contents;
    char type[64];
    if (content == nullptr || OBJ_obj2txt(type, sizeof type, content->type, 1) <= 0 ||
        std::strcmp(type, kIndirectDataOid) != 0 || content->d.other == nullptr ||
        content->d.other->type != V_ASN1_SEQUENCE)
        return false;
    const ASN1_STRING* sequence = content->d.other->value.sequence;
    const unsigned char* at = ASN1_STRING_get0_data(sequence);
    const unsigned char* const end = at + ASN1_STRING_length(sequence);
    long length = 0;
    int tag = 0, objectClass = 0;
    const auto enterSequence = [&] {
        return (ASN1_get_object(&at, &length, &tag, &objectClass, end - at) & 0x80) == 0 &&
               tag == V_ASN1_SEQUENCE && length <= end - at;
    };
    if (!enterSequence() || !enterSequence())
        return false;
    at += length; // past data, to messageDigest
    if (!enterSequence())
        return false;
    std::unique_ptr<X509_ALGOR, Deleter<X509_ALGOR, X509_ALGOR_free>> algorithm(
        d2i_X509_ALGOR(nullptr, &at, end - at));
    std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>> digest(
        d2i_ASN1_OCTET_STRING(nullptr, &at, end - at));
    if (!algorithm || !digest)
        return false;
    char oid[64];
    if (OBJ_obj2txt(oid, sizeof oid, algorithm->algorithm, 1) <= 0)
        return false;
    facts->digestAlgorithm = oid;
    facts->digest.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest.get())),
                         static_cast<size_t>(ASN1_STRING_length(digest.get())));
    return true;
}

} // namespace

CertificateTableState findCertificateTable(const std::string& headers, uint64_t fileSize, uint64_t notBefore,
                                           CertificateTable* table, std::string* why) {
    size_t entry, checksum;
    if (!locateSecurityEntry(headers, &entry, &checksum))
        return CertificateTableState::Absent;
    const uint64_t offset = get32(headers, entry);
    const uint64_t size = get32(headers, entry + 4);
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
    return true;
}

bool readSignature(const std::string& table, SignatureFacts* facts, std::string* why) {
    if (table.size() < kCertificateHeaderSize) {
        *why = "the certificate table holds no certificate";
        return false;
    }
    const uint64_t length = get32(table, 0);
    if (get16(table, 6) != kPkcsSignedData || length < kCertificateHeaderSize || length > table.size()) {
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
    if (!readSignedDigest(signature.get(), facts)) {
        *why = "the signature holds no Authenticode digest of the file";
        return false;
    }
    return true;
}

bool authenticodeDigest(const std::string& headers, const CertificateTable& table,
                        const std::string& algorithm,
                        const std::function<std::string(uint64_t offset, uint64_t length)>& read,
                        std::string* digest) {
    size_t entry, checksum;
    std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>> object(
        OBJ_txt2obj(algorithm.c_str(), 1));
    const EVP_MD* type = object ? EVP_get_digestbyobj(object.get()) : nullptr;
    std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
    if (type == nullptr || !context || !locateSecurityEntry(headers, &entry, &checksum) ||
        !EVP_DigestInit_ex(context.get(), type, nullptr))
        return false;
    // The checksum comes before the security entry in both header layouts.
    const std::pair<uint64_t, uint64_t> ranges[] = {
        {0, checksum}, {checksum + 4, entry}, {entry + 8, table.offset}};
    for (const auto& [from, to] : ranges) {
        for (uint64_t at = from; at < to;) {
            const std::string bytes = read(at, std::min(kDigestChunk, to - at));
            if (bytes.empty())
                return false;
            EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
            at += bytes.size();
        }
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_DigestFinal_ex(context.get(), value, &size))
        return false;
    digest->assign(reinterpret_cast<const char*>(value), size);
    return true;
}

} // namespace kestro::packer
