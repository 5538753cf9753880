// Files read and written by native code: a POSIX descriptor owned by an RAII
// object, with the interpreter's OSError subclasses (FileNotFoundError, ...)
// on failure and the GIL released while data moves.
#pragma once

#include "ref.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kit {

class File {
public:
    enum Mode { Read, Write };  // Write creates or truncates

    File() noexcept = default;
    // Open `path` (a str, bytes or os.PathLike) for reading or writing.
    explicit File(PyObject* path, Mode mode = Read) : path_(Ref::borrow(path)) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded)) raise();
        Ref holder = Ref::steal(encoded);
        const char* p = PyBytes_AS_STRING(encoded);
        int fd;
        {
            NoGil nogil;
            do {
                fd = mode == Read ? ::open(p, O_RDONLY | O_CLOEXEC)
                                  : ::open(p, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            } while (fd < 0 && errno == EINTR);
        }
        if (fd < 0) raise_errno();
        fd_ = fd;
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            raise_errno();
        }
    }
    File(File&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }
    File& operator=(File&&) = delete;
    File(const File&) = delete;
    ~File() { close(); }

    void close() noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    bool is_open() const noexcept { return fd_ >= 0; }

    // Read until `n` bytes are in `buf` or the end of the file; returns the
    // byte count. The GIL is released during the read.
    std::size_t read_full(char* buf, std::size_t n) {
        std::size_t got = 0;
        int err = 0;
        {
            NoGil nogil;
            while (got < n) {
                const ssize_t r = ::read(fd_, buf + got, n - got);
                if (r > 0) {
                    got += static_cast<std::size_t>(r);
                } else if (r == 0) {
                    break;
                } else if (errno != EINTR) {
                    err = errno;
                    break;
                }
            }
        }
        if (err) {
            errno = err;
            raise_errno();
        }
        return got;
    }

    // Write all `n` bytes (the GIL released).
    void write_all(const char* buf, std::size_t n) {
        int err = 0;
        {
            NoGil nogil;
            while (n > 0) {
                const ssize_t w = ::write(fd_, buf, n);
                if (w >= 0) {
                    buf += w;
                    n -= static_cast<std::size_t>(w);
                } else if (errno != EINTR) {
                    err = errno;
                    break;
                }
            }
        }
        if (err) {
            errno = err;
            raise_errno();
        }
    }

    // Close and report what the close reports (a full disk can surface only
    // here on some file systems).
    void close_checked() {
        if (fd_ < 0) return;
        const int rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0 && errno != EINTR) raise_errno();
    }

    void seek(long long offset) {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) raise_errno();
    }

    // Bytes between the current position and the end of a regular file, or
    // -1 when that cannot be known (pipes, devices).
    long long remaining() const noexcept {
        struct stat st;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
        const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
        if (pos < 0) return -1;
        return st.st_size > pos ? static_cast<long long>(st.st_size - pos) : 0;
    }

    long long position() const noexcept { return static_cast<long long>(::lseek(fd_, 0, SEEK_CUR)); }

    // Size of a regular file now, or -1 when not a regular file.
    long long size() const noexcept {
        struct stat st;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
        return static_cast<long long>(st.st_size);
    }

    // A reader that keeps a file open across steps calls this at every step:
    // a regular file may grow while it is read (a recording in progress),
    // but if it shrank below what was already seen, data was lost under the
    // reader, and ending quietly would pass a cut recording off as whole.
    void check_not_truncated(long long& largest_seen) {
        const long long now = size();
        if (now < 0) return;
        if (now < largest_seen) {
            PyErr_Format(PyExc_OSError, "%S: file shrank from %lld to %lld bytes while being read", path_.get(),
                         largest_seen, now);
            throw PyError{};
        }
        largest_seen = now;
    }

private:
    [[noreturn]] void raise_errno() {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
        throw PyError{};
    }

    int fd_ = -1;
    Ref path_;
};

}  // namespace kit
