// The checks of an output plug-in: it stores test pictures of every depth into the host's
// temporary, in place, and nothing else in the folder; what it takes of the picture's items
// reaches the file; a sequence of frames is stored or abandoned as asked.
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "candidate_check.h"
#include "child.h"
#include "subject.h"

namespace faltrix::check {
namespace {

constexpr int32_t kWidth = 37, kHeight = 23;  // odd sizes, so that rows are padded

// Watches a folder for names made, moved or removed while the plug-in writes.
class FolderWatch {
public:
    explicit FolderWatch(const std::string &folder)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0 || ::inotify_add_watch(fd_, folder.c_str(),
                                           IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0)
            Fail("the checker could not watch " + folder);
    }
    ~FolderWatch() { ::close(fd_); }

    // Why what happened in the folder is not writing `temporary` in place; empty when it is.
    std::string Problem(const std::string &temporary) const {
        alignas(inotify_event) std::array<char, 16384> events;
        for (ssize_t n; (n = ::read(fd_, events.data(), events.size())) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(events.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string name = event->len > 0 ? event->name : "";
                if (name != temporary) return "it wrote beside the temporary (\"" + name + "\")";
                return "it replaced the temporary rather than writing it in place";
            }
        }
        return {};
    }

private:
    int fd_;
};

// After the plug-in wrote: the temporary holds a file, nothing else is in the folder, and the
// DC still holds the host's picture as it was.
void CheckWritten(const Target &target, const FolderWatch &watch, HDC dc, HBITMAP picture,
                  uint64_t before) {
    if (const std::string why = watch.Problem(target.name); !why.empty()) Fail(why);
    const std::vector<std::string> names = Listing(target.folder);
    if (names != std::vector<std::string>{target.name})
        Fail(names.empty() ? "the temporary is gone" : "the folder holds \"" + names.back() + "\"");
    if (ReadFile(target.path).empty()) Fail("it answered 0 but left the temporary empty");
    if (GetCurrentObject(dc, OBJ_BITMAP) != picture)
        Fail("it selected another bitmap into the host's DC");
    if (Fingerprint(picture, dc) != before) Fail("it changed the pixels of the host's bitmap");
}

// Stores a test picture of `bits` bits per pixel with SaveDIBPicture; answers the target.
Target Store(const Subject &subject, const EntryPoints &plugin, int bits, bool topDown,
             const std::string &check) {
    const Target target = MakeTarget(subject, plugin, check);
    HBITMAP picture = MakeTestPicture(bits, topDown, kWidth, kHeight);
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, picture);
    const uint64_t before = Fingerprint(picture, dc);
    if (before == 0) Fail("the checker could not read its own test picture");
    FolderWatch watch(target.folder);
    ProgressLog log{31, {}, false};
    RecordOn(&log);
    const int32_t answer = Traced("SaveDIBPicture(" + std::to_string(bits) + " bits)", [&] {
        return plugin.saveDIBPicture(dc, target.units.c_str(), 0, 0, RecordProgress, log.data);
    });
    RecordOn(nullptr);
    if (answer != 0) {
        const std::string cause = FailureText(plugin);
        Fail("SaveDIBPicture answered " + std::to_string(answer) +
             (cause.empty() ? "" : ": " + cause));
    }
    if (const std::string why = ProgressProblem(log); !why.empty()) Fail(why);
    CheckWritten(target, watch, dc, picture, before);
    DeleteDC(dc);
    DeleteObject(picture);
    return target;
}

// A packet on one line, short enough for any format to keep in one piece.
constexpr char kXmp[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/"
    "22-rdf-syntax-ns#\"><rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "dc:source=\"faltrix-plugin-check\"/></rdf:RDF></x:xmpmeta>";

void MetadataKept(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    if (Traced("SetPictureMetadata(null)",
               [&] { return plugin.setPictureMetadata(nullptr, nullptr, 0); }) != 0)
        Fail("SetPictureMetadata answered nonzero to clearing the items");
    if (Traced("SetPictureMetadata(\"faltrix-check\")",
               [&] { return plugin.setPictureMetadata("faltrix-check", "x", 1); }) == 0)
        Fail("SetPictureMetadata took the unknown key \"faltrix-check\"");
    const bool keepsXmp =
        Traced("SetPictureMetadata(\"xmp\")", [&] {
            return plugin.setPictureMetadata(FALTRIX_METADATA_XMP, kXmp, sizeof kXmp - 1);
        }) == 0;
    const Target target = Store(subject, plugin, 24, false, "metadata");
    if (keepsXmp && ReadFile(target.path).find(kXmp) == std::string::npos)
        Fail("SetPictureMetadata took the XMP packet, but the stored file does not hold it");
}

// BeginFrames, then `added` frames of the three announced, then EndFrames(complete).
void Sequence(const Subject &subject, int added, bool complete) {
    const EntryPoints &plugin = Load(subject);
    const Target target = MakeTarget(subject, plugin, complete ? "frames" : "abandoned");
    FolderWatch watch(target.folder);
    FrameSequenceInfo info{sizeof(FrameSequenceInfo), kWidth, kHeight, 3, 0,
                           FALTRIX_FRAMES_ANIMATION,  0,      {}};
    void *writer = nullptr;
    if (Traced("BeginFrames",
               [&] { return plugin.beginFrames(target.units.c_str(), &info, &writer); }) != 0)
        Fail("BeginFrames failed: " + FailureText(plugin));
    const int depths[] = {24, 8, 32};
    for (int k = 0; k < added; ++k) {
        HBITMAP picture = MakeTestPicture(depths[k], k == 1, kWidth, kHeight);
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, picture);
        const FrameInfo frame{sizeof(FrameInfo), 100, {}};
        ProgressLog log{41, {}, false};
        RecordOn(&log);
        const int32_t answer = Traced("AddFrame(" + std::to_string(k) + ")", [&] {
            return plugin.addFrame(writer, dc, &frame, RecordProgress, log.data);
        });
        RecordOn(nullptr);
        if (answer != 0)
            Fail("AddFrame failed on frame " + std::to_string(k + 1) + ": " + FailureText(plugin));
        if (const std::string why = ProgressProblem(log); !why.empty()) Fail(why);
        DeleteDC(dc);
        DeleteObject(picture);
    }
    const int32_t ended = Traced(complete ? "EndFrames(1)" : "EndFrames(0)",
                                 [&] { return plugin.endFrames(writer, complete ? 1 : 0); });
    if (complete && ended != 0) Fail("EndFrames(1) failed: " + FailureText(plugin));
    if (const std::string why = watch.Problem(target.name); !why.empty()) Fail(why);
    const std::vector<std::string> names = Listing(target.folder);
    for (const std::string &name : names)
        if (name != target.name) Fail("the folder holds \"" + name + "\"");
    if (complete && (names.empty() || ReadFile(target.path).empty()))
        Fail("EndFrames(1) answered 0 but left the temporary empty");
}

}  // namespace

std::vector<Check> OutputChecks() {
    std::vector<Check> checks;
    for (const int bits : {1, 4, 8, 16, 24, 32}) {
        checks.push_back({std::string("SaveDIBPicture stores ") + (bits == 8 ? "an " : "a ") +
                              std::to_string(bits) + "-bit picture in place",
                          {"SaveDIBPicture"},
                          false,
                          [bits](const Subject &s) {
                              Store(s, Load(s), bits, false, "depth" + std::to_string(bits));
                          }});
    }
    checks.push_back({"SaveDIBPicture stores a top-down 24-bit picture in place",
                      {"SaveDIBPicture"},
                      false,
                      [](const Subject &s) { Store(s, Load(s), 24, true, "top-down"); }});
    checks.push_back({"SetPictureMetadata keeps in the file what it takes",
                      {"SaveDIBPicture", "SetPictureMetadata"},
                      false,
                      MetadataKept});
    const std::vector<std::string> frames{"BeginFrames", "AddFrame", "EndFrames"};
    checks.push_back({"BeginFrames, AddFrame x3 and EndFrames(1) store a sequence", frames, false,
                      [](const Subject &s) { Sequence(s, 3, true); }});
    checks.push_back({"EndFrames(0) leaves nothing but the temporary", frames, false,
                      [](const Subject &s) { Sequence(s, 1, false); }});
    return checks;
}

}  // namespace faltrix::check
