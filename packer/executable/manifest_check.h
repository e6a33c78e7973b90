// The check of a manifest a project puts into its launcher. Windows refuses to start a program whose
// manifest it cannot parse, so the packer refuses such a manifest first.
#pragma once

#include <string>

namespace kestro::packer {

// Checks that text is a manifest Windows can read: well-formed XML (UTF-8, after an optional
// byte-order mark and white space) whose root element is assembly, in any namespace prefix. Returns
// false and says why (with the line of an XML error) in error.
bool checkManifest(const std::string& text, std::string* error);

} // namespace kestro::packer
