// The host's side of storing a picture: the output plug-in writes a temporary file of the
// host's making beside the output, and only a complete file is put in place. An existing file
// is replaced only with the front end's permission, never one that appears meanwhile.
#pragma once

#include <string>

namespace faltrix {
struct LiveSlot;

namespace safe_store {

struct Permission {
    bool overwrite = false;        // an existing output may be replaced
    bool replaceReadOnly = false;  // even one its owner may not write
};

// A temporary file in the output's folder with the output's extension, created empty and
// exclusively (so that it is this job's), to hand to the output plug-in. Remove() or
// Commit() ends it; the destructor removes a temporary that was not put in place.
class Temporary {
public:
    explicit Temporary(std::u16string_view output);
    ~Temporary();
    Temporary(const Temporary &) = delete;
    Temporary &operator=(const Temporary &) = delete;

    // Empty when no temporary could be made; cause() says why.
    const std::u16string &path() const { return path16_; }
    const std::u16string &cause() const { return cause_; }

    // Checks that the plug-in left a non-empty file, makes it durable and puts it in place.
    // False with cause() set, the temporary removed and any existing output untouched.
    bool Commit(Permission permission);
    void Remove();

private:
    bool Fail(std::u16string cause);
    // The temporary is no longer this object's: gone, or put in place.
    void Forget();

    std::string final_;  // the output, through a symbolic link the file it names
    std::string temp_;
    std::u16string path16_;
    std::u16string cause_;
    LiveSlot *live_ = nullptr;  // where a signal handler finds the name
};

}  // namespace safe_store
}  // namespace faltrix
