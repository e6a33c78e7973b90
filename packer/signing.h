// Signing a finished launcher with Authenticode, through Debian's osslsigncode.
#pragma once

#include <string>

namespace kestro::packer {

// Where the signing key, its certificate and the key's password come from. The password itself is
// never taken from the command line, where other users of the machine could read it.
struct SigningRequest {
    std::string pkcs12Path;                  // key and certificate in one PKCS#12 file; or:
    std::string keyPath;                     // a PEM or DER private key
    std::string certificatePath;             // and its certificate (chain), PEM or DER
    std::string passwordEnvironmentVariable; // the name of a variable holding the password; or:
    std::string passwordFile;                // a file whose first line is the password
    std::string timestampUrl;                // an RFC 3161 time-stamp server; empty: no time stamp
};

// Checks that request names one key source (a PKCS#12 file, or a key with its certificate), at most
// one password source, that the named files and variable exist and that osslsigncode is on the PATH.
// Returns false and says why.
bool checkSigningRequest(const SigningRequest& request, std::string* error);

// Signs the launcher at inputPath into outputPath (which must not be inputPath) by running
// osslsigncode without a shell, handing it the password on its standard input. Returns false and
// says why, with osslsigncode's own message, when it is missing or fails; outputPath may then hold a
// partial file, which the caller removes.
bool signLauncher(const SigningRequest& request, const std::string& inputPath, const std::string& outputPath,
                  std::string* error);

} // namespace kestro::packer
