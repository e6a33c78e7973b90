// Archives made by hand for tests, so that they may hold what the product's writers refuse to write:
// tar archives entry by entry, gzip streams, and (host trees only) jars.
#pragma once

#include <map>
#include <string>

namespace kestro::test_support {

// A ustar archive assembled block by block, with only the fields a reader looks at filled in unless a
// test gives others: another magic, or a size field of its own.
class TarBuilder {
  public:
    TarBuilder& entry(const std::string& name, char type, const std::string& data,
                      const char* magic = "ustar\0"
                                          "00",
                      const char* sizeField = nullptr);
    TarBuilder& file(const std::string& name, const std::string& data) { return entry(name, '0', data); }
    TarBuilder& directory(const std::string& name) { return entry(name, '5', ""); }
    // With the two empty blocks that end an archive, or without.
    std::string finished() const { return bytes_ + std::string(1024, '\0'); }
    std::string unfinished() const { return bytes_; }

  private:
    std::string bytes_;
};

// bytes as one gzip member.
std::string gzipped(const std::string& bytes);

// A jar (zip) holding the given entries (name, contents). Host trees only.
void writeJar(const std::string& path, const std::map<std::string, std::string>& entries);

} // namespace kestro::test_support
