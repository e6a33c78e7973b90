#include "archives.h"

#include "test_files.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <zip.h>
#endif

namespace kestro::test_support {

TarBuilder& TarBuilder::entry(const std::string& name, char type, const std::string& data, const char* magic,
                              const char* sizeField) {
    std::string header(512, '\0');
    header.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
    char size[13];
    snprintf(size, sizeof size, "%011o ", static_cast<unsigned>(data.size()));
    header.replace(124, 12, std::string(sizeField != nullptr ? sizeField : size, 12));
    header[156] = type;
    header.replace(257, 8, std::string(magic, 8));
    bytes_ += header + data + std::string((512 - data.size() % 512) % 512, '\0');
    return *this;
}

std::string gzipped(const std::string& bytes) {
    z_stream stream{};
    // 16 more window bits: a gzip header and trailer instead of zlib's.
    EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

#ifndef _WIN32
void writeJar(const std::string& path, const std::map<std::string, std::string>& entries) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(archive, nullptr) << path;
    for (const auto& [name, contents] : entries) {
        // libzip reads the buffers when the archive is closed; entries lives until then.
        zip_source_t* source = zip_source_buffer(archive, contents.data(), contents.size(), 0);
        ASSERT_GE(zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE), 0) << name;
    }
    ASSERT_EQ(zip_close(archive), 0) << path;
}
#endif

} // namespace kestro::test_support
