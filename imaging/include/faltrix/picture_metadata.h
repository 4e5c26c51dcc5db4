// What a picture holds besides its pixels, carried by the conversion job from the input
// plug-in (GetPictureMetadata) to the output plug-in (SetPictureMetadata), checked on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix {

// Which of the picture's blocks the output is to keep (faltrix-convert's --strip and
// --strip-only; the dialog keeps all).
struct MetadataChoice {
    bool icc = true;
    bool exif = true;
    bool xmp = true;
};

// The items of one picture. The blocks are empty when the picture has none or when one was
// dropped as damaged or oversized; the notices say what the stored picture will lack.
struct PictureMetadata {
    std::string icc;                      // the whole ICC profile
    std::string exif;                     // the TIFF structure, without "Exif\0\0"
    std::string xmp;                      // the packet
    std::vector<std::u16string> notices;  // one line each, in words for the user
    bool pixelsConverted = false;         // HandMetadataToOutput turned the pixels into sRGB
    bool itemsHanded = false;             // the output took at least one item
    bool profileHanded = false;           // the output took the profile
};

// Asks the current input plug-in for the items of the picture at path, right after its
// GetPictureDIB succeeded, and checks them: a profile or EXIF block that is cut short,
// malformed or over FALTRIX_METADATA_MAX_SIZE is dropped with a notice, and so is an
// oversized XMP packet. The frame count, bits per sample and "dropped" items become notices.
// Nothing is asked, at no cost, of a plug-in without GetPictureMetadata.
// With framesRead, the frames were read through the plug-in's frame calls and the job tells
// what became of them; the plug-in's frame count makes no notice then. With depthKept, the
// frames were read at full depth, and the bits per sample make no notice either.
PictureMetadata ReadPictureMetadata(const WCHAR *path, bool framesRead = false,
                                    bool depthKept = false);

// Hands the chosen items to the current output plug-in for the picture in *bitmap (a DIB
// section selected in dc): clears, then sets each item; the EXIF with orientation 1, the
// picture's size and no thumbnail, and, when the picture's EXIF gives an orientation other than
// 1 (which the input plug-ins apply), the XMP with orientation 1 too. The profile goes only when it
// describes the pixels as the output stores them (GetStoredColourType): an RGB profile with colour,
// a grey one with grey, and only one that describes a picture (no device link, abstract or
// named-colour profile). A profile that does not go, because it does not fit, the output refuses it
// or it is not chosen, has the pixels converted to sRGB so that the picture looks the same; a
// palette is converted by replacing *bitmap with a section of the converted table, selected in dc
// (the old one is deleted). Adds a notice for each kind of item the output does not keep,
// and for every profile dropped or converted, with the reason. Does nothing, at no cost, when
// the picture has no items and the plug-in no SetPictureMetadata.
void HandMetadataToOutput(PictureMetadata *metadata, const MetadataChoice &choice, HDC dc,
                          HBITMAP *bitmap);

// After SaveDIBPicture failed with items handed over: clears them at the output and, when the
// profile was among them, converts the pixels to sRGB as above, with a notice naming cause
// (the plug-in's words, may be empty). The job then stores once more.
void WithdrawItems(PictureMetadata *metadata, HDC dc, HBITMAP *bitmap, const std::u16string &cause);

// A later frame of a sequence whose first frame HandMetadataToOutput or WithdrawItems
// converted to sRGB (metadata.pixelsConverted): converted the same way.
void ConvertLikeFirstFrame(const PictureMetadata &metadata, HDC dc, HBITMAP *bitmap);

// Offers the current output plug-in the input file at path as FALTRIX_METADATA_SOURCE_JPEG
// when the picture is stored as decoded (storedAsDecoded: same size and pixels, and neither a
// block left out by choice, nor an item dropped or changed with a notice, nor pixels converted
// by HandMetadataToOutput): first empty, then,
// only when the output takes that, with the file's bytes, so that no other conversion reads
// the file again. A file that is no JPEG or over FALTRIX_METADATA_MAX_SIZE is not offered; a
// refusal is no concern of the user's. Call it after HandMetadataToOutput.
// Offers the current output plug-in FALTRIX_METADATA_TRANSPARENCY (empty) when the picture
// selected in dc has transparency (32 bits, alpha bytes neither all 0 nor all 255); when the
// output answers that it does not keep it, adds the notice "flattened the transparency on
// white". Call it after HandMetadataToOutput.
void OfferTransparency(HDC dc, PictureMetadata *metadata);

void OfferSourceJpeg(const WCHAR *path, const PictureMetadata &metadata,
                     const MetadataChoice &choice, bool storedAsDecoded);

// ---- The pieces, for the job and its tests ------------------------------------------------

// True for a whole ICC profile: its header's size is its own, its signature is there, and
// Little CMS opens it.
bool IsWholeProfile(const std::string &icc);

// The EXIF block as the output gets it: orientation 1, PixelXDimension and PixelYDimension
// set to width x height, no thumbnail, and nothing else changed. Empty when the block cannot
// be read as EXIF. A block larger than libexif reads (64 KiB) is patched in place instead, so
// that no entry past that is lost: the values change where they stand, a missing dimension
// is not added, and IFD0's link to the thumbnail's directory is cut.
std::string ExifForOutput(const std::string &exif, uint32_t width, uint32_t height);

// The XMP packet as the output gets it once the pixels are stored upright: every
// tiff:Orientation property (under whatever prefix the packet binds to the TIFF namespace, as
// an attribute or an element) says 1, and every other byte is as it was. A packet without one
// comes back unchanged.
std::string XmpForOutput(const std::string &xmp);

// Converts the 24- or 32-bit pixels of bitmap from the profile's colours to sRGB, in place;
// a grey profile takes grey pixels (B = G = R) through its levels. False, with the pixels
// unchanged, for another depth, a grey profile on a picture with any colour, a profile that is
// neither RGB nor grey, or one Little CMS cannot use.
bool ConvertToSrgb(HBITMAP bitmap, const std::string &icc);

// The same for the picture in *bitmap, selected in dc, of any depth but 16 bits: a palette's
// entries are converted (see HandMetadataToOutput), and stay grey with keepGrey.
bool ConvertPictureToSrgb(HDC dc, HBITMAP *bitmap, const std::string &icc, bool keepGrey);

}  // namespace faltrix
