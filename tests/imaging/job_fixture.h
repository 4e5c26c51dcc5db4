// What the job tests share: a recording front end installed for the test, the program's two
// plug-in lists pointed at raw test plug-in variants, a temporary folder for pictures, and
// a front end that can hold a job at its first status line.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "faltrix/recording_front_end.h"
#include "plugins/raw_format.h"
#include "test_support.h"

namespace faltrix::testing_support {

// A recording front end that, while held, stops the job in the pause after its first status
// line, and records on which thread each control change came.
class HoldingFrontEnd : public RecordingFrontEnd {
public:
    void Hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Let() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    // Waits until a job is stopped in a pause.
    void WaitUntilStopped() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopped_; });
    }
    void PauseAfterStatus() override {
        RecordingFrontEnd::PauseAfterStatus();
        std::unique_lock lock(mutex_);
        if (!held_) return;
        stopped_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        stopped_ = false;
    }
    void EnableControl(HWND control, bool enable) override {
        RecordingFrontEnd::EnableControl(control, enable);
        std::lock_guard lock(mutex_);
        controlThreads_.push_back(std::this_thread::get_id());
    }
    std::vector<std::thread::id> ControlThreads() {
        std::lock_guard lock(mutex_);
        return controlThreads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool stopped_ = false;
    std::vector<std::thread::id> controlThreads_;
};

inline void SetPath(char16_t (&buffer)[kPathBufferLength], const std::string &path) {
    size_t i = 0;
    for (; i < path.size() && i + 1 < kPathBufferLength; ++i) buffer[i] = static_cast<char16_t>(path[i]);
    buffer[i] = 0;
}

class JobTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name) {
            if (c == '/') c = '_';
        }
        folder_ = std::filesystem::temp_directory_path() /
                  ("faltrix-imaging-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        FillControlSet(nullptr, &controls_);
    }
    void TearDown() override {
        WaitForJobEnd();
        SetJobEndedHandler(nullptr);
        InputPlugins().Teardown();
        OutputPlugins().Teardown();
        InputPlugins().SetFolderOverride("");
        OutputPlugins().SetFolderOverride("");
        std::filesystem::remove_all(folder_);
    }

    // Points the program's lists at raw plug-in variants ("raw", "no_info", ...) and loads them.
    void UsePlugins(const std::string &input, const std::string &output) {
        InputPlugins().SetFolderOverride(PluginVariantFolder("input_" + input));
        OutputPlugins().SetFolderOverride(PluginVariantFolder("output_" + output));
        ASSERT_EQ(InputPlugins().ScanPlugins(), 1);
        ASSERT_EQ(OutputPlugins().ScanPlugins(), 1);
        ASSERT_EQ(InputPlugins().SelectPlugin(0), 1);
        ASSERT_EQ(OutputPlugins().SelectPlugin(0), 1);
    }

    std::string PathOf(const std::string &name) const { return (folder_ / name).string(); }

    // Writes a picture into the input file and names it in InputPath. Pixels are filled by
    // `fill(x, y, pixel)` with y counted from the top of the picture.
    template <class Fill>
    raw_test::RawPicture WriteInput(int32_t width, int32_t height, int bits, Fill fill,
                                    std::vector<RGBQUAD> palette = {}) {
        raw_test::RawPicture p;
        p.infoWidth = width;
        p.infoHeight = height < 0 ? -height : height;
        p.dib.biSize = sizeof(BITMAPINFOHEADER);
        p.dib.biWidth = width;
        p.dib.biHeight = height;
        p.dib.biPlanes = 1;
        p.dib.biBitCount = static_cast<WORD>(bits);
        p.dib.biCompression = BI_RGB;
        p.dib.biXPelsPerMeter = 3780;
        p.dib.biYPelsPerMeter = 3780;
        p.dib.biClrUsed = static_cast<DWORD>(palette.size());
        p.colours = std::move(palette);
        const uint32_t stride = raw_test::Stride(p.dib);
        const uint32_t rows = raw_test::Rows(p.dib);
        p.pixels.assign(static_cast<size_t>(stride) * rows, 0);
        for (uint32_t y = 0; y < rows; ++y) {
            const uint32_t memoryRow = height < 0 ? y : rows - 1 - y;
            for (int32_t x = 0; x < width; ++x) fill(x, y, p.pixels.data() + memoryRow * stride + x * bits / 8);
        }
        EXPECT_TRUE(raw_test::WriteRaw(PathOf("in.raw"), p));
        SetPath(InputPath, PathOf("in.raw"));
        SetPath(OutputPath, PathOf("out.raw"));
        return p;
    }

    // The stored picture, or false when nothing was stored.
    bool ReadOutput(raw_test::RawPicture *p) const { return raw_test::ReadRaw(PathOf("out.raw"), p); }

    RecordingFrontEnd::ControlChange Change(int id, bool enable) const {
        return {RecordingFrontEnd::ControlHandle(id), enable};
    }
    // The nine controls in the order in which EnableControlSet changes them.
    std::vector<RecordingFrontEnd::ControlChange> AllControls(bool enable) const {
        std::vector<RecordingFrontEnd::ControlChange> v;
        for (int id : {1, 2, 3, 1003, 1004, 1006, 1007, 4, 5}) v.push_back(Change(id, enable));
        return v;
    }

    HoldingFrontEnd recorder_;
    ScopedFrontEnd installed_{&recorder_};
    ControlSet controls_;
    std::filesystem::path folder_;
};

}  // namespace faltrix::testing_support
