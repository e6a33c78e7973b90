// Signing a finished launcher with Authenticode, through Debian's osslsigncode.
#pragma once

#include <optional>
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
    // The password, once loadSigningPassword has read it from its source (which may be a pipe that
    // can be read only once). Unset: signLauncher reads the source itself, or the key has none.
    std::optional<std::string> password;
};

// Checks that request names one key source (a PKCS#12 file, or a key with its certificate), at most
// one password source, that the named files exist (the password file may be a pipe, as `<(...)`
// gives) and that osslsigncode is on the PATH. Returns false and says why.
bool checkSigningRequest(const SigningRequest& request, std::string* error);

// Reads the password from its environment variable or file into request->password; without a
// password source, leaves it unset. Returns false and says why when the variable is not set or the
// file cannot be read.
bool loadSigningPassword(SigningRequest* request, std::string* error);

// Signs the launcher at inputPath into outputPath (which must not be inputPath) by running
// osslsigncode without a shell, handing it the password through a pipe on its standard input, which
// it opens by name (/dev/stdin): every packaged osslsigncode reads a password file, while only newer
// ones take "-" for standard input. Returns false and
// says why, with osslsigncode's own message, when it is missing or fails; outputPath may then hold a
// partial file, which the caller removes.
bool signLauncher(const SigningRequest& request, const std::string& inputPath, const std::string& outputPath,
                  std::string* error);

} // namespace kestro::packer
