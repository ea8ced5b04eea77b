// An output queue for in-process tests: every work item handed to it runs at
// once on the caller's thread, and the bytes each one writes to the sink
// (a memory file) are recorded, so a test sees each write request.
#pragma once

#include "platform/dispatch/dispatch.h"

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace velko::recorder::testing {

class RecordingQueue final : public dispatch::Queue {
public:
    RecordingQueue() : fd_(::memfd_create("velko-recorder-output", MFD_CLOEXEC)) {}
    ~RecordingQueue() override { ::close(fd_); }

    int fd() const { return fd_; }
    void async(dispatch::Work work) override {
        off_t before = ::lseek(fd_, 0, SEEK_END);
        work();
        writes_.push_back(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END) - before));
    }
    void sync(dispatch::Work work) override { work(); }
    const std::string& label() const override { return label_; }
    void* native() const override { return nullptr; }

    // Bytes of each work item, in order.
    const std::vector<std::size_t>& writes() const { return writes_; }
    std::string bytes() const {
        std::string all(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        if (!all.empty() && ::pread(fd_, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) all.clear();
        return all;
    }

private:
    int fd_;
    std::vector<std::size_t> writes_;
    std::string label_ = "recording";
};

} // namespace velko::recorder::testing
