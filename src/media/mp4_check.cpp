#include "media/mp4_check.hpp"

#include "host/text.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace vantor::media {

using host::Handle;
using host::Ref;

namespace {

// Below this much free space a broken write is put down to a full device:
// ffmpeg writes in 32 KiB blocks, so a failed write leaves far less behind.
constexpr std::uint64_t nearly_full_bytes = 1024 * 1024;

class ReadOnlyFd {
public:
    explicit ReadOnlyFd(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    ReadOnlyFd(const ReadOnlyFd&) = delete;
    ReadOnlyFd& operator=(const ReadOnlyFd&) = delete;
    ~ReadOnlyFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

std::uint64_t big_endian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// The box type as text, with anything unprintable shown as '?'.
std::string box_type(const unsigned char* bytes) {
    std::string type(reinterpret_cast<const char*>(bytes), 4);
    for (char& c : type) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    return type;
}

[[noreturn]] void raise_read_error(Handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    throw host::PyError{};
}

// Reads exactly `count` bytes at `offset`; false at end of file.
bool read_at(const ReadOnlyFd& fd, Handle path, std::uint64_t offset, unsigned char* into, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(fd.get(), into + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) raise_read_error(path);
        if (got == 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// What is wrong with the box chain of an MP4 of `size` bytes, or nothing.
std::optional<std::string> box_chain_fault(const ReadOnlyFd& fd, Handle path, std::uint64_t size) {
    bool has_index = false;
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::uint64_t left = size - offset;
        unsigned char header[16];
        if (left < 8 || !read_at(fd, path, offset, header, 8)) {
            return "a box header is cut off at byte " + std::to_string(offset);
        }
        std::uint64_t box_size = big_endian(header, 4);
        std::uint64_t header_size = 8;
        if (box_size == 1) {  // 64-bit size follows the type
            header_size = 16;
            if (left < 16 || !read_at(fd, path, offset + 8, header + 8, 8)) {
                return "a box header is cut off at byte " + std::to_string(offset);
            }
            box_size = big_endian(header + 8, 8);
        } else if (box_size == 0) {  // the last box, up to the end of the file
            box_size = left;
        }
        const std::string type = box_type(header + 4);
        if (box_size < header_size) {
            return "box '" + type + "' at byte " + std::to_string(offset) + " has an impossible size";
        }
        if (box_size > left) {
            return "box '" + type + "' at byte " + std::to_string(offset) + " runs past the end of the file";
        }
        if (type == "moov") has_index = true;
        offset += box_size;
    }
    if (!has_index) return std::string("its index, the 'moov' box, is missing");
    return std::nullopt;
}

bool device_nearly_full(const ReadOnlyFd& fd) {
    struct statvfs fs {};
    if (::fstatvfs(fd.get(), &fs) != 0) return false;
    // root may write into the blocks reserved for it; others may not.
    const std::uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return blocks * fs.f_frsize < nearly_full_bytes;
}

[[noreturn]] void raise_incomplete(Handle path, const std::string& step, const std::string& fault, bool full) {
    const int code = full ? ENOSPC : EIO;
    const std::string message =
        step + " left an incomplete MP4 file (" + fault + ") although ffmpeg reported success; " +
        (full ? "the device is full: free some space and run the recap again"
              : "check the device and run the recap again") +
        "; the working files are kept";
    Ref number = Ref::steal(PyLong_FromLong(code));
    Ref text = host::text(message.c_str());
    PyErr_SetRaisedException(Handle(PyExc_OSError)(number, text, path).release());
    throw host::PyError{};
}

}  // namespace

void require_complete_mp4(Handle path, const std::string& step) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    const char* raw = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(raw) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) return;  // no such file

    ReadOnlyFd fd(raw);
    if (fd.get() < 0) return;  // nothing there for us to judge; the next step will say why
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    const auto size = static_cast<std::uint64_t>(info.st_size);

    unsigned char first[8];
    if (size < 8 || !read_at(fd, path, 0, first, 8) || box_type(first + 4) != "ftyp") return;  // not an MP4

    if (std::optional<std::string> fault = box_chain_fault(fd, path, size)) {
        raise_incomplete(path, step, *fault, device_nearly_full(fd));
    }
}

}  // namespace vantor::media
