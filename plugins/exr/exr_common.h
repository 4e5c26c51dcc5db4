// What the OpenEXR plug-ins share: their information answers, with the library's version, the
// library's limits set once, and the streams through which it reads and writes our files.
#pragma once

#include <ImfIO.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::exr {

// "OpenEXR (3.1.5)", patterns *.exr.
kit::FormatInfo Format();

// Sets the library's own header limits to the kit's once per process: a header that claims a
// larger picture or tile is refused while it is read, before the library allocates for it.
void SetLimits();

// An open picture file as the library reads it; throws on a short read, as the library expects.
class FileStream final : public Imf::IStream {
public:
    FileStream(FILE *file, int64_t size) : Imf::IStream("picture"), file_(file), size_(size) {}
    bool read(char c[], int n) override;
    uint64_t tellg() override;
    void seekg(uint64_t position) override;
    void clear() override { std::clearerr(file_); }

private:
    FILE *file_;
    int64_t size_;
};

// The bytes the library writes, kept in memory until they are stored.
class MemoryStream final : public Imf::OStream {
public:
    MemoryStream() : Imf::OStream("picture") {}
    void write(const char c[], int n) override;
    uint64_t tellp() override { return position_; }
    void seekp(uint64_t position) override { position_ = position; }
    std::string &bytes() { return bytes_; }

private:
    std::string bytes_;
    uint64_t position_ = 0;
};

}  // namespace faltrix::exr
