// An EXIF block of any size read into libexif's structure. libexif itself reads at most the
// 64 KiB an APP1 segment can hold, so a larger block (from PNG, WebP, TIFF or HEIF, which
// have no such limit) would lose every entry stored past that; this reader walks the TIFF
// structure itself. Shared by the host, which refits blocks for outputs, and the TIFF plug-in,
// which writes them as libtiff directories.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <libexif/exif-data.h>

namespace faltrix::kit {

// Reads the first directory, the EXIF, GPS and interoperability directories of `block` (the
// TIFF structure, without "Exif\0\0") into `data`, a fresh ExifData, and sets its byte order
// to the block's. Each entry keeps its bytes as stored; the thumbnail directory is left out,
// as is a directory or value that lies outside the block, and an entry libexif has no format
// for, and so is a directory of more than 4096 entries. False when the block is no TIFF
// structure or its first directory lies outside it or is that large.
bool LoadExifBlock(std::string_view block, ExifData *data);

struct ExifDataUnref {
    void operator()(ExifData *data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataUnref>;

// A fresh ExifData that keeps unknown tags and leaves the values as stored, with `block` read
// into it by LoadExifBlock. Null when the block cannot be read.
ExifDataPtr LoadedExifBlock(std::string_view block);

// The block libexif builds from `data`, without "Exif\0\0"; empty when it could not.
std::string SavedExifBlock(ExifData *data);

}  // namespace faltrix::kit
