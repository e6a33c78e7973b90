#include "executable/manifest_check.h"

#include <expat.h>

#include <algorithm>
#include <memory>

namespace kestro::packer {
namespace {

constexpr XML_Char kNamespaceSeparator = '\x01';

struct Parser {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

void noteRoot(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
    auto* root = static_cast<std::string*>(data);
    if (root->empty())
        *root = name;
}

} // namespace

bool checkManifest(const std::string& text, std::string* error) {
    // Expat reads the byte-order mark itself, but takes white space before the XML declaration for
    // an error; such a manifest has been accepted all along.
    const size_t bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const size_t start = text.find_first_not_of(" \t\r\n", bom);
    if (start == std::string::npos) {
        *error = "is empty";
        return false;
    }
    std::unique_ptr<XML_ParserStruct, Parser> parser(XML_ParserCreateNS("UTF-8", kNamespaceSeparator));
    std::string root;
    XML_SetUserData(parser.get(), &root);
    XML_SetStartElementHandler(parser.get(), noteRoot);
    if (XML_Parse(parser.get(), text.data() + start, static_cast<int>(text.size() - start), XML_TRUE) ==
        XML_STATUS_ERROR) {
        // Lines counted in the file, not from the first '<'.
        const size_t lines = static_cast<size_t>(std::count(text.begin(), text.begin() + start, '\n'));
        *error = "is not well-formed XML (line " +
                 std::to_string(XML_GetCurrentLineNumber(parser.get()) + lines) + ": " +
                 XML_ErrorString(XML_GetErrorCode(parser.get())) + ")";
        return false;
    }
    const std::string localName = root.substr(root.find(kNamespaceSeparator) + 1);
    if (localName != "assembly") {
        *error = "has the root element <" + localName + ">, not <assembly>";
        return false;
    }
    return true;
}

} // namespace kestro::packer
