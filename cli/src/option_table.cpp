// The options of faltrix-convert. The order is that of --help and the manual page.
#include "faltrix/cli/option_table.h"

namespace faltrix {
namespace {

// The paragraphs of the page are roff: "\-" is a minus sign that man pages copy as '-', and a
// line that starts with '.' is a macro (.B bold, .I italic, .BR bold then roman, ...).
constexpr CommandLineOption kOptions[] = {
    {.name = "output",
     .shortName = "o",
     .valueName = "PATH",
     .help = "The output file; with several inputs, -r or --files-from, or ending in '/', "
             "a folder, made with its parents when missing.",
     .value = OptionValue::File,
     .brief = "the output file, or the folder for several inputs",
     .valueTitle = "output file or folder",
     .manValue = "path",
     .manText = R"roff(The output file.
With several inputs, with
.B \-r
or
.BR \-\-files\-from ,
and whenever the name ends in
.BR / ,
it is a folder, made with the folders above it when missing.
.B \-
is standard output, which takes the picture of exactly one input and needs
.BR \-f .)roff"},
    {.name = "format",
     .shortName = "f",
     .valueName = "EXT",
     .help = "The output format when OUTPUT is a folder (png, jpg, ...).",
     .value = OptionValue::Format,
     .brief = "the output format when the output is a folder or standard output",
     .valueTitle = "format",
     .manValue = "ext",
     .manText = R"roff(The output format as a file extension
.RB ( png ,
.BR jpg ,
.BR webp ,
\&.\|.\|.\&)
when
.I output
is a folder or standard output.
With an output file that has an extension of its own, the two must name the same plug-in.)roff"},
    {.name = "width",
     .shortName = "W",
     .valueName = "N",
     .help = "Output width in pixels, or N% of the picture's.",
     .value = OptionValue::Free,
     .brief = "output width in pixels",
     .valueTitle = "width in pixels",
     .manValue = "n",
     .manText = R"roff(The output width in pixels, 1 to 2147483647.)roff"},
    {.name = "height",
     .shortName = "H",
     .valueName = "N",
     .help = "Output height in pixels, or N% of the picture's. With only one of "
             "width and height given, the other keeps the picture's aspect ratio "
             "(rounded to the nearest pixel).",
     .value = OptionValue::Free,
     .brief = "output height in pixels",
     .valueTitle = "height in pixels",
     .manValue = "n",
     .manText = R"roff(The output height in pixels, 1 to 2147483647.
With only one of width and height given, the other keeps the picture's aspect ratio
(rounded to the nearest pixel); with neither, the picture keeps its size.
Either side may instead be given in per cent of the picture's, as
.IR n %.
A size the bundled input plug-ins could not read back, a side over 1048575 pixels or more
than 268435456 pixels in all, is refused before the conversion with the limit named
(exit status 2).)roff"},
    {.name = "fit",
     .valueName = "WxH",
     .help = "Resize to fit inside W x H pixels, keeping the aspect ratio; W alone or xH "
             "bounds one side.",
     .value = OptionValue::Free,
     .brief = "resize to fit inside WxH pixels, keeping the aspect ratio",
     .manValue = R"(W\fBx\fIH)",
     .manText = R"roff(Resize to the largest size that fits inside
.I W
x
.I H
pixels, keeping the aspect ratio (smaller pictures are enlarged unless
.B \-\-shrink\-only
is given).
.I W
alone, or
.BI x H
alone, bounds that side only.
Takes the place of
.B \-W
and
.BR \-H .)roff"},
    {.name = "shrink-only",
     .help = "Never enlarge: a picture already within the size of --fit, -W or -H keeps its "
             "own.",
     .brief = "never enlarge a picture",
     .manText = R"roff(Never enlarge: a picture that the size of
.BR \-\-fit ,
.B \-W
or
.B \-H
would make larger on either side keeps its own size.)roff"},
    {.name = "anti-alias",
     .shortName = "a",
     .help = "Resize by the dialog's area averaging (the same as --filter area).",
     .brief = "resize by area averaging",
     .manText =
         R"roff(Resize by area averaging: each output pixel is the mean of the input pixels it covers.
Without it, resizing repeats or leaves out whole pixels.
A picture the area-averaging resize does not take (it works on 24 bits a pixel) is resized
the plain way, with a status line saying so.)roff"},
    {.name = "filter",
     .valueName = "NAME",
     .help = "How a picture whose size changes is resized: lanczos3 (the default), bicubic, "
             "triangle, box (the true area average), area (the dialog's averaging) or "
             "nearest.",
     .value = OptionValue::Choice,
     .choices = "lanczos3 bicubic triangle box area nearest",
     .brief = "how a picture whose size changes is resized",
     .valueTitle = "filter",
     .manValue = "NAME",
     .manText = R"roff(How a picture whose size changes is resized:
.B lanczos3
(the default: sharp, as most converters resize photographs),
.BR bicubic ,
.B triangle
(linear),
.B box
(each output pixel the true mean of the input pixels it covers),
.B area
(the dialog's own area averaging, the same as
.BR \-a )
or
.B nearest
(the nearest input pixel, nothing averaged).
The first four are libswscale's; a picture with transparency is resized premultiplied, and a
palette picture in true colour.)roff"},
    {.name = "frames",
     .valueName = "WHICH",
     .help = "Which frames of an animation or pages of a document to store: all (the default), "
             "first, N or N-M, counted from 1.",
     .value = OptionValue::Free,
     .brief = "which frames or pages to store",
     .manValue = "WHICH",
     .manText = R"roff(Which frames of an animation (GIF, WebP, APNG, AVIF, JPEG XL) or pages of a
document (TIFF, HEIF) to store:
.B all
(the default),
.BR first ,
one frame
.IR N ,
or the frames
.I N\fB-\fIM
(counted from 1; a range past the last frame ends there).
An output that holds one picture only gets the first frame chosen, with a warning when that
leaves frames out.
Every frame is resized as the first: \-W, \-H and \-\-fit apply to all.)roff"},
    {.name = "input-plugin",
     .valueName = "NAME",
     .help = "Use this input plug-in (file name without .so, or description).",
     .value = OptionValue::InputPlugin,
     .brief = "use this input plug-in",
     .valueTitle = "input plug-in",
     .manValue = "name",
     .manText =
         R"roff(Use this input plug-in instead of the one recognising the file: its file name without
.BR .so ,
or its description as
.B \-\-list\-plugins
shows it.)roff"},
    {.name = "output-plugin",
     .valueName = "NAME",
     .help = "Use this output plug-in.",
     .value = OptionValue::OutputPlugin,
     .brief = "use this output plug-in",
     .valueTitle = "output plug-in",
     .manValue = "name",
     .manText =
         R"roff(Use this output plug-in instead of the one chosen by the output's extension.)roff"},
    {.name = "overwrite",
     .help = "Replace existing output files (otherwise refused).",
     .brief = "replace existing output files",
     .manText = R"roff(Replace existing output files.
Without it, an output that exists is refused.)roff"},
    {.name = "force",
     .help = "Replace existing output files, read-only ones too (implies --overwrite).",
     .brief = "replace existing output files, read-only ones too",
     .manText = R"roff(Replace existing output files, read-only ones too; implies
.BR \-\-overwrite .)roff"},
    {.name = "lenient",
     .help = "Decode a damaged input (data cut short or corrupt) as far as it goes, with a "
             "warning, instead of failing. Input plug-ins without such a mode say so and "
             "read as usual.",
     .brief = "decode a damaged input as far as it goes",
     .manText =
         R"roff(Decode a damaged input (data cut short or corrupt) as far as it goes, with a warning,
instead of failing.
Input plug-ins without such a mode say so and read as usual.)roff"},
    {.name = "quality",
     .valueName = "N",
     .help = "Quality of a lossy output (JPEG and JPEG 2000 1 to 100; WebP, HEIC, AVIF and "
             "JPEG XL 0 to 100).",
     .value = OptionValue::Free,
     .brief = "quality of a lossy output",
     .valueTitle = "quality",
     .manValue = "N",
     .manText =
         R"roff(Quality of a lossy output: JPEG 1 to 100 (default 90; from a JPEG input, the quality its
quantisation tables were made with, as estimated and reported), WebP 0 to 100 (default 90),
HEIC 0 to 100 (default 65), AVIF 0 to 100 (default 85), JPEG XL 0 to 100 (default 90),
JPEG 2000 1 to 100 (default 100, lossless; below it lossy, at a peak signal-to-noise ratio of
20 + 0.3 x quality dB).
The AVIF output also takes
.BR speed=0 " to " 9
(default 6, 9 the fastest) through
.BR \-\-option .
The JPEG XL output also takes
.BR effort=1 " to " 9
(default 5, 1 the fastest) and
.BR recompress\-jpeg=1 ,
which stores a JPEG input that keeps its size and metadata as the JPEG itself, losslessly.
The JPEG output also takes
.B progressive=1
and
.BR subsampling=444 ", " 422 " or " 420
(the colour resolution kept: whole, half across, half both ways; default 444 at quality
90 and above, else 420) through
.BR \-\-option .
The ICO and CUR outputs take
.BR sizes=16,32,48,256
(the sizes stored, 1 to 256) and CUR
.BR hotspot=x,y ;
PNM takes
.B format=ascii
and
.BR pam=1 ,
TGA
.BR rle=0 ,
OpenEXR
.BR compression=none ", " zip " (default), " piz " and the other schemes of its library."
.B \-\-list\-options
names every setting of a plug-in.)roff"},
    {.name = "lossless",
     .help = "Store losslessly where the output format can choose (WebP, HEIC, AVIF, JPEG XL, "
             "JPEG 2000).",
     .brief = "store losslessly where the output format can choose",
     .excludes = "--quality",
     .manText =
         R"roff(Store losslessly where the output format can choose (WebP, HEIC, AVIF, JPEG XL,
JPEG 2000).
Refused with
.B \-\-quality
or
.BR "\-\-option lossless=0" .)roff"},
    {.name = "compression",
     .valueName = "NAME|LEVEL",
     .help = "Compression of the output: a TIFF scheme (none, lzw, deflate, packbits) "
             "or a PNG level.",
     .value = OptionValue::Choice,
     .choices = "none lzw deflate packbits 0 1 2 3 4 5 6 7 8 9",
     .brief = "compression of the output: a TIFF scheme or a PNG level",
     .valueTitle = "compression",
     .manValue = R"(NAME\fR|\fILEVEL)",
     .manText = R"roff(Compression of the output: a TIFF scheme
.RB ( none ", " lzw " (default), " deflate ", " packbits )
or a PNG level from 0 (fastest) to 9 (smallest), default 4.)roff"},
    {.name = "option",
     .valueName = "KEY=VALUE",
     .help = "Any setting of the output plug-in by its key; an unknown key is refused "
             "with the keys the plug-in knows. May be repeated.",
     .value = OptionValue::Free,
     .brief = "any setting of the output plug-in by its key",
     .repeatable = true,
     .manValue = R"(KEY\fB=\fIVALUE)",
     .manText =
         R"roff(Any setting of the output plug-in by its key, as its settings dialog has it; may be repeated.
The settings are checked once, before any file is converted.
The settings above are such keys
.RB ( quality ", " lossless ", " compression ).
A setting the output plug-in does not take ends the run with exit code 2 and the plug-in's
own words, which name the keys it knows; so does a key given twice with different values
.RB ( "\-\-quality 80 \-\-option quality=70" ).)roff"},
    {.name = "strip",
     .help = "Store no EXIF and no XMP, and no colour profile: a picture with one has its "
             "colours converted to sRGB first. Without it, what the output format can hold "
             "is kept.",
     .brief = "store no EXIF, XMP or colour profile",
     .excludes = "--strip-only",
     .manText =
         R"roff(Store no EXIF, no XMP and no colour profile; a picture with a profile has its colours
converted to sRGB first, so that it looks the same.
Without it, what the output format can hold of the profile, EXIF and XMP is kept (the EXIF
saying orientation 1 and the stored size), and what it cannot is named in a warning.)roff"},
    {.name = "strip-only",
     .valueName = "LIST",
     .help = "Store none of the blocks listed (of exif, xmp and icc, separated by "
             "commas); the rest is kept.",
     .value = OptionValue::Choice,
     .choices = "exif xmp icc exif,xmp exif,icc xmp,icc",
     .brief = "store none of the blocks listed",
     .valueTitle = "blocks",
     .excludes = "--strip",
     .manValue = "LIST",
     .manText = R"roff(Store none of the blocks listed, of
.BR exif ", " xmp " and " icc ,
separated by commas; the rest is kept.)roff"},
    {.name = "verbose",
     .shortName = "v",
     .help = "Print each status line of the conversion.",
     .brief = "print each status line of the conversion",
     .excludes = "-q --quiet",
     .manText = R"roff(Print each status line of the conversion.)roff"},
    {.name = "quiet",
     .shortName = "q",
     .help = "Print nothing but errors.",
     .brief = "print nothing but errors",
     .excludes = "-v --verbose",
     .manText = R"roff(Print nothing but errors.
Excludes
.BR \-\-verbose .)roff"},
    {.name = "list-plugins",
     .help = "List the plug-ins found, and every library refused with the reason.",
     .brief = "list the plug-ins found and the libraries refused",
     .manText =
         R"roff(List the input and output plug-ins found, each with its name, description and file-name
patterns, and every library refused with the reason; then exit.)roff"},
    {.name = "list-options",
     .valueName = "PLUGIN",
     .help = "List the settings a plug-in takes through --option: key, kind, range and "
             "default, one a line.",
     .value = OptionValue::OutputPlugin,
     .brief = "list the settings of a plug-in",
     .valueTitle = "plug-in",
     .excludes = "- *",
     .manValue = "plugin",
     .manText = R"roff(List the settings the plug-in named (as
.B \-\-list\-plugins
shows it; the output and the input plug-in of that name alike) takes through
.BR \-\-option ,
one a line: its key, its kind
.RB ( integer ", " flag ", " choice " or " text ),
the values it takes and its default; then exit.)roff"},
    {.name = "jobs",
     .shortName = "j",
     .valueName = "N",
     .help = "Convert N files at once (default: the number of cores).",
     .value = OptionValue::Free,
     .brief = "convert N files at once",
     .valueTitle = "number of files at once",
     .manValue = "n",
     .manText = R"roff(Convert
.I n
files at once, 1 to 1024.
The default is the number of processors the process may run on.)roff"},
    {.name = "timeout",
     .valueName = "SECONDS",
     .help = "Stop a file's conversion after this many seconds (default 120; "
             "0: no limit).",
     .value = OptionValue::Free,
     .brief = "stop a file after this many seconds (0: no limit)",
     .valueTitle = "seconds",
     .manValue = "seconds",
     .manText = R"roff(Stop a file's conversion after this many seconds; the file fails.
The default is 120;
.B 0
means no limit.)roff"},
    {.name = "recursive",
     .shortName = "r",
     .help = "Convert every picture below the folders among the inputs, mirroring the "
             "folders under OUTPUT; other files are skipped as no picture.",
     .brief = "convert every picture below the folders among the inputs",
     .manText =
         R"roff(Convert every picture below the folders among the inputs, in name order, mirroring their
folders under
.IR output .
A file that no input plug-in claims, by its name and then by its content, is counted as
skipped (not a picture), not as a failure.
Hidden files and folders (names starting with
.BR . )
are passed over unless
.B \-\-hidden
is given, and so is the output folder when it lies inside the tree.)roff"},
    {.name = "hidden",
     .help = "With -r, convert hidden files and walk hidden folders too.",
     .brief = "with -r, take hidden files and folders too",
     .manText = R"roff(With
.BR \-r ,
convert hidden files and walk hidden folders too.)roff"},
    {.name = "include",
     .valueName = "GLOB",
     .help = "With -r, convert only the files matching GLOB (their name, or with a '/' their "
             "path below the folder). May be repeated.",
     .value = OptionValue::Free,
     .brief = "with -r, convert only the files matching a pattern",
     .valueTitle = "pattern",
     .repeatable = true,
     .manValue = "glob",
     .manText = R"roff(With
.BR \-r ,
convert only the files matching one of the patterns given: a pattern without
.B /
matches the file's name, one with
.B /
its path below the folder given.
May be repeated.)roff"},
    {.name = "exclude",
     .valueName = "GLOB",
     .help = "With -r, leave out the files and folders matching GLOB. May be repeated.",
     .value = OptionValue::Free,
     .brief = "with -r, leave out files and folders matching a pattern",
     .valueTitle = "pattern",
     .repeatable = true,
     .manValue = "glob",
     .manText = R"roff(With
.BR \-r ,
leave out the files, and the folders with all they hold, that match one of the patterns
given (matched as for
.BR \-\-include ).
May be repeated.)roff"},
    {.name = "skip-existing",
     .help = "Leave existing outputs alone and skip their files.",
     .brief = "leave existing outputs alone and skip their files",
     .excludes = "--overwrite --force",
     .manText =
         R"roff(Leave existing outputs alone and skip their files; a skipped file is no failure.)roff"},
    {.name = "files-from",
     .valueName = "FILE",
     .help = "Read more inputs from FILE, one a line ('-': standard input).",
     .value = OptionValue::File,
     .brief = "read more inputs from a file, one a line (- for standard input)",
     .valueTitle = "list of inputs",
     .manValue = "file",
     .manText = R"roff(Read more inputs from
.IR file ,
one a line
.RB ( \- :
standard input).
Empty lines are ignored.)roff"},
    {.name = "null",
     .shortName = "0",
     .help = "The names of --files-from are separated by NUL bytes.",
     .brief = "the names of --files-from are separated by NUL bytes",
     .manText = R"roff(The names of
.B \-\-files\-from
are separated by NUL bytes instead of line ends, as
.B find \-print0
writes them.)roff"},
    {.name = "report",
     .valueName = "FILE",
     .help = "Write one JSON line per file to FILE ('-': standard output): input, output, "
             "status, size, seconds, message.",
     .value = OptionValue::File,
     .brief = "write one JSON line per file (- for standard output)",
     .valueTitle = "report file",
     .manValue = "file",
     .manText = R"roff(Write one JSON object a line for each file to
.I file
.RB ( \- :
standard output) as the file ends, with the members
.B input
(as given),
.BR output ,
.B status
.RB ( converted ,
.BR failed " or " skipped ),
.B size
(bytes written),
.B seconds
and
.B message
(why it failed, or
.B not a picture
for a file
.B \-r
passed over), and
.B quality
when a JPEG was stored as JPEG at the quality estimated from it.
Names are exact: a control character is written as
.B \eu001b
and a byte of a name that is not UTF-8 as
.B \eudc80
to
.B \eudcff
(0xdc00 plus the byte), which Python's
.B json
module reads into a string that
.B os.fsencode
turns back into the name's bytes.
On the terminal the same characters and bytes are shown as
.B \ex1b
and
.BR \exe9 ,
so that no name can move the cursor or change the colours.
Each line is flushed at once, so a run that is stopped keeps the lines of the files done.
With
.BR "\-\-report \-" ,
the other output lines are left out unless
.B \-\-verbose
is given.)roff"},
    {.name = "help",
     .shortName = "h",
     .help = "Show this help.",
     .brief = "show the options",
     .excludes = "- *",
     .manText = R"roff(Show the options and exit.)roff"},
    {.name = "version",
     .help = "Show the version.",
     .brief = "show the version",
     .excludes = "- *",
     .manText = R"roff(Show the version and exit.)roff"},
};

}  // namespace

std::span<const CommandLineOption> CommandLineOptions() { return kOptions; }

}  // namespace faltrix
