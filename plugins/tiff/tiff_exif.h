// The EXIF block in TIFF's own terms: its EXIF and GPS directories become libtiff's EXIF and
// GPS directories, whose offsets the first directory's ExifIFD and GPSIFD tags give, and the
// descriptive fields of its first directory (camera, date, author, rating, Windows' XP texts)
// become the TIFF tags of the same numbers. The kit's walker reads the
// block (of any size), libexif writes it; libtiff knows the fields of the directory.
#pragma once

#include <cstdint>
#include <string>

#include <tiffio.h>

namespace faltrix::tiff {

// Writes the EXIF and GPS directories of `exif` (the TIFF structure without "Exif\0\0") as
// directories of their own, before the picture's, and leaves tif ready for the picture's
// directory with the block's descriptive first-directory fields and the ExifIFD (and GPSIFD)
// tags set. Fields libtiff does not know are left
// out. False, with tif as it was and nothing written, when the block cannot be read.
bool WriteExifFirst(TIFF *tif, const std::string &exif);

// The EXIF block of the picture in tif's current directory: its EXIF and GPS directories and
// the descriptive fields of the directory itself. Empty when it has neither directory or its
// EXIF directory cannot be read. Leaves tif
// on another directory.
std::string ReadExifBlock(TIFF *tif);

}  // namespace faltrix::tiff
