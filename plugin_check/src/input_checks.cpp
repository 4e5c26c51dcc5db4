// The checks of an input plug-in: what IsSupported makes of paths that name no picture, and
// what the reading calls make of the sample, a truncated copy of it and two threads at once.
#include <algorithm>
#include <cstring>
#include <thread>

#include "child.h"
#include "faltrix/text.h"
#include "subject.h"

namespace faltrix::check {
namespace {

// The sample's extension, with its dot; empty when its name has none.
std::string Extension(const std::string &path) {
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash)
               ? path.substr(dot)
               : std::string();
}

int32_t Supported(const EntryPoints &plugin, const std::string &path, const std::string &what) {
    const std::u16string units = Units(path);
    return Traced("IsSupported(" + what + ")",
                  [&] { return plugin.isSupported(units.c_str(), 0, 0); });
}

// A picture as read by GetPictureInfo and GetPictureDIB, its bitmap already checked and deleted.
struct Reading {
    int32_t infoAnswer = -1;
    PictureInfo info{};
    bool decoded = false;
    uint64_t fingerprint = 0;
    std::string problem;  // what is wrong with the bitmap or the progress; empty when nothing
};

Reading Read(const EntryPoints &plugin, const std::string &path, const std::string &what) {
    Reading reading;
    const std::u16string units = Units(path);
    reading.infoAnswer = Traced("GetPictureInfo(" + what + ")", [&] {
        return plugin.getPictureInfo(units.c_str(), 0, 0, &reading.info);
    });
    ProgressLog log{17, {}, false};
    RecordOn(&log);
    HBITMAP bitmap = Traced("GetPictureDIB(" + what + ")", [&] {
        return plugin.getPictureDIB(units.c_str(), 0, 0, RecordProgress, log.data, HostAlloc);
    });
    RecordOn(nullptr);
    reading.decoded = bitmap != nullptr;
    reading.problem = ProgressProblem(log);
    if (bitmap != nullptr) {
        if (reading.problem.empty())
            reading.problem = DibProblem(bitmap, reading.info.width, reading.info.height);
        reading.fingerprint = Fingerprint(bitmap);
        DeleteObject(bitmap);
    }
    return reading;
}

// A copy of the sample under `name` in a folder of its own.
std::string CopyOfSample(const Subject &subject, const std::string &folder,
                         const std::string &name) {
    const std::string path = MakeFolder(subject, folder) + "/" + name;
    WriteFile(path, subject.sample.empty() ? std::string() : ReadFile(subject.sample));
    return path;
}

// Paths that name no picture: IsSupported answers 0, without a crash.
void RefusesPath(const Subject &subject, const std::string &what, const std::string &path) {
    if (Supported(Load(subject), path, what) != 0) Fail("IsSupported answered nonzero for " + what);
}

// A name with a newline, or of the longest length a name may have, is a name like any other:
// a copy of the sample so named gets the sample's answers.
void NamedLikeAnyOther(const Subject &subject, const std::string &folder, const std::string &name,
                       const std::string &what) {
    const EntryPoints &plugin = Load(subject);
    const std::string copy = CopyOfSample(subject, folder, name);
    const bool expected =
        !subject.sample.empty() && Supported(plugin, subject.sample, "sample") != 0;
    if ((Supported(plugin, copy, what) != 0) != expected)
        Fail(std::string("IsSupported answered ") + (expected ? "0" : "nonzero") +
             " for a copy of the sample named with " + what);
    if (!expected) return;
    PictureInfo info{};
    const std::u16string units = Units(copy);
    if (Traced("GetPictureInfo(" + what + ")",
               [&] { return plugin.getPictureInfo(units.c_str(), 0, 0, &info); }) != 0)
        Fail("GetPictureInfo failed on a copy of the sample named with " + what);
}

void NewlineName(const Subject &subject) {
    NamedLikeAnyOther(subject, "newline", "two\nlines" + Extension(subject.sample), "a newline");
}

void LongestName(const Subject &subject) {
    const std::string extension = Extension(subject.sample).substr(0, 16);
    NamedLikeAnyOther(subject, "longest", std::string(255 - extension.size(), 'l') + extension,
                      "255 bytes");
}

// Bytes that are not UTF-8 reach the plug-in as U+DC80..U+DCFF; it may refuse such a name, but
// must not crash on it.
void NonUtf8Name(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::string copy =
        CopyOfSample(subject, "latin1", "caf\xE9\xFF" + Extension(subject.sample));
    if (Supported(plugin, copy, "a name that is not UTF-8") == 0) return;
    PictureInfo info{};
    const std::u16string units = Units(copy);
    Traced("GetPictureInfo(a name that is not UTF-8)",
           [&] { return plugin.getPictureInfo(units.c_str(), 0, 0, &info); });
}

void SampleSupported(const Subject &subject) {
    if (Supported(Load(subject), subject.sample, "sample") == 0)
        Fail("IsSupported answered 0 for the sample");
}

void SampleRead(const Subject &subject) {
    const Reading reading = Read(Load(subject), subject.sample, "sample");
    if (reading.infoAnswer != 0)
        Fail("GetPictureInfo answered " + std::to_string(reading.infoAnswer) + " for the sample");
    if (reading.info.width <= 0 || reading.info.height <= 0)
        Fail("GetPictureInfo gave the size " + std::to_string(reading.info.width) + " x " +
             std::to_string(reading.info.height));
    if (!reading.decoded) Fail("GetPictureDIB gave no picture of the sample");
    if (!reading.problem.empty()) Fail(reading.problem);
}

// How many frames of `path` the frame calls give before the first failure; -1 when OpenFrames
// fails, and with *announced the count OpenFrames gave.
int32_t FramesDecoded(const EntryPoints &plugin, const std::string &path, const std::string &what,
                      int32_t *announced) {
    const std::u16string units = Units(path);
    FrameSequenceInfo info{};
    info.size = sizeof info;
    void *reader = nullptr;
    if (Traced("OpenFrames(" + what + ")",
               [&] { return plugin.openFrames(units.c_str(), &info, &reader); }) != 0)
        return -1;
    *announced = info.frameCount;
    int32_t index = 0;
    for (; index < info.frameCount; ++index) {
        FrameInfo frame{};
        frame.size = sizeof frame;
        HBITMAP bitmap = Traced("GetFrameDIB(" + what + ", " + std::to_string(index) + ")", [&] {
            return plugin.getFrameDIB(reader, index, &frame, RecordProgress, 0, HostAlloc);
        });
        if (bitmap == nullptr) break;
        DeleteObject(bitmap);
    }
    Traced("CloseFrames(" + what + ")", [&] { plugin.closeFrames(reader); });
    return index;
}

// A copy cut in half must fail. A file of several frames may keep its first ones whole in the
// half: then the frames read from the copy must be fewer than the sample's.
void TruncatedRefused(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::string whole = ReadFile(subject.sample);
    const std::string path = MakeFolder(subject, "truncated") + "/cut" + Extension(subject.sample);
    WriteFile(path, whole.substr(0, whole.size() / 2));
    const std::string what = "the first " + std::to_string(whole.size() / 2) + " of " +
                             std::to_string(whole.size()) + " bytes of the sample";
    Supported(plugin, path, "truncated copy");
    const Reading reading = Read(plugin, path, "truncated copy");
    if (!reading.problem.empty()) Fail(reading.problem);
    if (!reading.decoded) return;
    int32_t frames = 0, cutFrames = 0;
    if (plugin.openFrames == nullptr ||
        FramesDecoded(plugin, subject.sample, "sample", &frames) <= 1)
        Fail("GetPictureDIB gave a picture of " + what);
    if (FramesDecoded(plugin, path, "truncated copy", &cutFrames) >= frames)
        Fail("GetFrameDIB gave all " + std::to_string(frames) + " frames of " + what);
}

// Two threads read the sample at once, held together inside the calls by their first progress
// report; each must get the picture one thread alone gets.
void TwoThreads(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const Reading alone = Read(plugin, subject.sample, "sample");
    if (!alone.decoded) Fail("GetPictureDIB gave no picture of the sample");
    for (int round = 0; round < 3; ++round) {
        Reading both[2];
        MeetInProgress(2);
        std::thread first([&] { both[0] = Read(plugin, subject.sample, "sample, thread 1"); });
        std::thread second([&] { both[1] = Read(plugin, subject.sample, "sample, thread 2"); });
        first.join();
        second.join();
        MeetInProgress(0);
        for (const Reading &reading : both) {
            if (reading.infoAnswer != 0 || !reading.decoded)
                Fail("a call failed when two threads read the sample at once");
            if (!reading.problem.empty()) Fail(reading.problem + " when two threads read at once");
            if (reading.info.width != alone.info.width ||
                reading.info.height != alone.info.height ||
                reading.fingerprint != alone.fingerprint)
                Fail("two threads at once got another picture than one thread alone");
        }
    }
}

void MetadataWellFormed(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    if (!Read(plugin, subject.sample, "sample").decoded)
        Fail("GetPictureDIB gave no picture of the sample");
    struct Items {
        std::string problem;
    } items;
    const MetadataSinkFn sink = [](void *context, const char *key, const void *bytes,
                                   int32_t size) {
        std::string &problem = static_cast<Items *>(context)->problem;
        if (!problem.empty()) return;
        if (key == nullptr || *key == 0) {
            problem = "an item came without a key";
            return;
        }
        for (const char *c = key; *c != 0; ++c)
            if (!((*c >= 'a' && *c <= 'z') || *c == '-'))
                problem = "the key \"" + std::string(key) + "\" is not lower-case";
        if (size < 0 || size > FALTRIX_METADATA_MAX_SIZE || (size > 0 && bytes == nullptr))
            problem = "the item \"" + std::string(key) + "\" has the size " + std::to_string(size);
        if (!problem.empty()) return;
        const auto *b = static_cast<const unsigned char *>(bytes);
        const std::string k = key;
        if (k == FALTRIX_METADATA_ICC && (size < 128 || ((uint32_t(b[0]) << 24) | (b[1] << 16) |
                                                         (b[2] << 8) | b[3]) != uint32_t(size)))
            problem = "the \"icc\" item's header does not give its size";
        if (k == FALTRIX_METADATA_EXIF &&
            (size < 8 || (std::memcmp(b, "II*\0", 4) != 0 && std::memcmp(b, "MM\0*", 4) != 0)))
            problem = "the \"exif\" item does not start with a TIFF byte-order mark";
    };
    const std::u16string units = Units(subject.sample);
    Traced("GetPictureMetadata(sample)",
           [&] { return plugin.getPictureMetadata(units.c_str(), sink, &items); });
    if (!items.problem.empty()) Fail(items.problem);
}

void FramesRead(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const Reading picture = Read(plugin, subject.sample, "sample");
    if (!picture.decoded) Fail("GetPictureDIB gave no picture of the sample");
    const std::u16string units = Units(subject.sample);
    FrameSequenceInfo info{};
    info.size = sizeof info;
    void *reader = nullptr;
    if (Traced("OpenFrames(sample)",
               [&] { return plugin.openFrames(units.c_str(), &info, &reader); }) != 0)
        Fail("OpenFrames failed on the sample");
    if (info.width != picture.info.width || info.height != picture.info.height)
        Fail("OpenFrames gave the canvas " + std::to_string(info.width) + " x " +
             std::to_string(info.height) + ", not GetPictureInfo's size");
    if (info.frameCount < 1 || info.frameCount > FALTRIX_MAX_FRAMES)
        Fail("OpenFrames gave the frame count " + std::to_string(info.frameCount));
    for (int32_t index = 0; index < info.frameCount; ++index) {
        FrameInfo frame{};
        frame.size = sizeof frame;
        ProgressLog log{23, {}, false};
        RecordOn(&log);
        HBITMAP bitmap = Traced("GetFrameDIB(" + std::to_string(index) + ")", [&] {
            return plugin.getFrameDIB(reader, index, &frame, RecordProgress, log.data, HostAlloc);
        });
        RecordOn(nullptr);
        const std::string which =
            "frame " + std::to_string(index + 1) + " of " + std::to_string(info.frameCount);
        if (bitmap == nullptr) Fail("GetFrameDIB gave no " + which);
        std::string problem = ProgressProblem(log);
        if (problem.empty()) problem = DibProblem(bitmap, info.width, info.height);
        if (problem.empty() && index == 0 && Fingerprint(bitmap) != picture.fingerprint)
            problem = "frame 1 is not the picture GetPictureDIB gives";
        if (problem.empty() && frame.delay < 0)
            problem = which + " has the delay " + std::to_string(frame.delay);
        DeleteObject(bitmap);
        if (!problem.empty()) Fail(problem + " (" + which + ")");
    }
    Traced("CloseFrames", [&] { plugin.closeFrames(reader); });
}

// Frames opened at a size other than the sample's own: the canvas is the one asked, every
// frame a valid bitmap of it; a size beyond the picture limits is refused.
void FramesAtSize(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::u16string units = Units(subject.sample);
    for (const auto &[w, h] : {std::pair(7, 3), std::pair(301, 97)}) {
        FrameSequenceInfo info{};
        info.size = sizeof info;
        void *reader = nullptr;
        const std::string asked = std::to_string(w) + " x " + std::to_string(h);
        if (Traced("OpenFramesAtSize(sample, " + asked + ")", [&] {
                return plugin.openFramesAtSize(units.c_str(), w, h, &info, &reader);
            }) != 0)
            Fail("OpenFramesAtSize failed on the sample at " + asked);
        if (info.width != w || info.height != h)
            Fail("OpenFramesAtSize gave the canvas " + std::to_string(info.width) + " x " +
                 std::to_string(info.height) + " where " + asked + " was asked");
        for (int32_t index = 0; index < std::min(info.frameCount, 4); ++index) {
            FrameInfo frame{};
            frame.size = sizeof frame;
            HBITMAP bitmap = Traced("GetFrameDIB(" + std::to_string(index) + ") at " + asked, [&] {
                return plugin.getFrameDIB(reader, index, &frame, nullptr, 0, HostAlloc);
            });
            const std::string problem =
                bitmap == nullptr ? "GetFrameDIB gave no frame" : DibProblem(bitmap, w, h);
            if (bitmap != nullptr) DeleteObject(bitmap);
            if (!problem.empty())
                Fail(problem + " (frame " + std::to_string(index + 1) + " at " + asked + ")");
        }
        Traced("CloseFrames", [&] { plugin.closeFrames(reader); });
    }
    void *reader = nullptr;
    FrameSequenceInfo info{};
    info.size = sizeof info;
    if (Traced("OpenFramesAtSize(sample, 1 x 2^30)", [&] {
            return plugin.openFramesAtSize(units.c_str(), 1, 1 << 30, &info, &reader);
        }) == 0) {
        Traced("CloseFrames", [&] { plugin.closeFrames(reader); });
        Fail("OpenFramesAtSize took a canvas beyond the picture limits (1 x 2^30)");
    }
}

Check Input(std::string name, std::vector<std::string> needs, bool sample,
            void (*body)(const Subject &)) {
    needs.insert(needs.begin(), {"IsSupported", "GetPictureInfo", "GetPictureDIB"});
    return {std::move(name), std::move(needs), sample, body};
}

}  // namespace

std::vector<Check> InputChecks() {
    std::vector<Check> checks;
    const std::pair<const char *, std::string (*)(const Subject &)> refused[] = {
        {"a missing file", [](const Subject &s) { return s.work + "/no-such-folder/picture"; }},
        {"a folder", [](const Subject &s) { return MakeFolder(s, "folder.png"); }},
        {"an empty file",
         [](const Subject &s) {
             const std::string path = MakeFolder(s, "empty") + "/empty.png";
             WriteFile(path, "");
             return path;
         }},
        {"a path of 5000 units",
         [](const Subject &s) {
             return s.work + "/" + std::string(5000 - s.work.size() - 1, 'n');
         }},
    };
    for (const auto &[what, path] : refused) {
        checks.push_back(
            Input(std::string("IsSupported answers 0 for ") + what, {}, false, nullptr));
        checks.back().body = [what = std::string(what), path = path](const Subject &s) {
            RefusesPath(s, what, path(s));
        };
    }
    checks.push_back(
        Input("IsSupported takes a name with a newline as any other", {}, false, NewlineName));
    checks.push_back(
        Input("IsSupported takes a name of 255 bytes as any other", {}, false, LongestName));
    checks.push_back(Input("IsSupported and GetPictureInfo survive a name that is not UTF-8", {},
                           false, NonUtf8Name));
    checks.push_back(Input("IsSupported accepts the sample", {}, true, SampleSupported));
    checks.push_back(
        Input("GetPictureInfo and GetPictureDIB read the sample", {}, true, SampleRead));
    checks.push_back(
        Input("GetPictureDIB fails on a truncated copy of the sample", {}, true, TruncatedRefused));
    checks.push_back(Input("GetPictureDIB from two threads at once gives the same picture", {},
                           true, TwoThreads));
    checks.push_back(Input("GetPictureMetadata hands over well-formed items",
                           {"GetPictureMetadata"}, true, MetadataWellFormed));
    checks.push_back(Input("OpenFrames, GetFrameDIB and CloseFrames read every frame",
                           {"OpenFrames", "GetFrameDIB", "CloseFrames"}, true, FramesRead));
    checks.push_back(Input("OpenFramesAtSize renders the frames at the size asked",
                           {"OpenFramesAtSize", "GetFrameDIB", "CloseFrames"}, true, FramesAtSize));
    return checks;
}

}  // namespace faltrix::check
