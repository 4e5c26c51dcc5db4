// The EXIF block in TIFF's own terms: its EXIF directory becomes libtiff's EXIF directory,
// whose offset the first directory's ExifIFD tag gives, and the texts of its first directory
// (camera, date, author) become the TIFF tags of the same numbers. libexif reads and writes
// the block; libtiff knows the fields of the directory.
#pragma once

#include <cstdint>
#include <string>

#include <tiffio.h>

namespace faltrix::tiff {

// Writes the EXIF directory of `exif` (the TIFF structure without "Exif\0\0") as a directory of
// its own, before the picture's, and leaves tif ready for the picture's directory with the
// block's first-directory texts and the ExifIFD tag set. Fields libtiff does not know are left
// out. False, with tif as it was and nothing written, when the block cannot be read.
bool WriteExifFirst(TIFF *tif, const std::string &exif);

// The EXIF block of the picture in tif's current directory: its EXIF directory and the texts of
// the directory itself. Empty when it has no EXIF directory or it cannot be read. Leaves tif
// on another directory.
std::string ReadExifBlock(TIFF *tif);

}  // namespace faltrix::tiff
