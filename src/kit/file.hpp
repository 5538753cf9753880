// Files read and written by native code: a POSIX descriptor owned by an RAII
// object, with the interpreter's OSError subclasses (FileNotFoundError, ...)
// on failure and the GIL released while data moves.
#pragma once

#include "ref.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kit {

// Reads up to `n` bytes at `offset` of `fd`, short only at the end of the
// file or on an error (its errno in `err`). No Python: safe on any thread.
inline std::size_t pread_full(int fd, unsigned char* buf, std::size_t n, long long offset, int& err) noexcept {
    std::size_t done = 0;
    err = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, buf + done, n - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (r > 0) {
            done += static_cast<std::size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            err = errno;
            break;
        }
    }
    return done;
}

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
        int fd, err = 0;
        for (;;) {
            {
                NoGil nogil;
                fd = mode == Read ? ::open(p, O_RDONLY | O_CLOEXEC)
                                  : ::open(p, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
                err = fd < 0 ? errno : 0;
            }
            if (err != EINTR) break;
            if (PyErr_CheckSignals() < 0) raise();  // opening a FIFO waits for a writer: Ctrl-C stops it
        }
        if (fd < 0) {
            errno = err;
            raise_errno();
        }
        fd_ = fd;
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
            close();  // the destructor does not run for an object never built
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
    // Read until `n` bytes are in `buf` or the end of the file; returns the
    // byte count. The GIL is released during the read.
    std::size_t read_full(char* buf, std::size_t n) {
        return transfer(n, [&](std::size_t done, std::size_t left) { return ::read(fd_, buf + done, left); });
    }

    // The same from byte `offset` on, whatever the file position (pread).
    std::size_t read_at(long long offset, char* buf, std::size_t n) {
        return transfer(n, [&](std::size_t done, std::size_t left) {
            return ::pread(fd_, buf + done, left, static_cast<off_t>(offset) + static_cast<off_t>(done));
        });
    }

    // Write all `n` bytes (the GIL released).
    void write_all(const char* buf, std::size_t n) {
        transfer(n, [&](std::size_t done, std::size_t left) { return ::write(fd_, buf + done, left); });
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

    PyObject* path() const noexcept { return path_.get(); }
    int descriptor() const noexcept { return fd_; }

    [[noreturn]] void raise_errno() {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
        throw PyError{};
    }

private:
    // Moves up to `n` bytes with `op(done, left)` (a read or write of what is
    // left: the bytes moved, 0 at the end, -1 with errno) without the GIL. A
    // signal that interrupts it is handled under the GIL, so Ctrl-C raises
    // KeyboardInterrupt; other failures raise OSError. Returns the bytes
    // moved.
    template <class Op>
    std::size_t transfer(std::size_t n, Op&& op) {
        std::size_t done = 0;
        for (;;) {
            int err = 0;
            {
                NoGil nogil;
                while (done < n) {
                    const ssize_t r = op(done, n - done);
                    if (r > 0) {
                        done += static_cast<std::size_t>(r);
                    } else if (r == 0) {
                        break;
                    } else {
                        err = errno;
                        break;
                    }
                }
            }
            if (err == EINTR) {
                if (PyErr_CheckSignals() < 0) raise();
                continue;
            }
            if (err) {
                errno = err;
                raise_errno();
            }
            return done;
        }
    }

    int fd_ = -1;
    Ref path_;
};

// One read at a time done by a helper thread while the caller works on what
// it read before (the next packet of a file read while the last one is
// decoded). The thread only calls pread: no Python, no GIL.
//   kit::ReadAhead ahead(file);
//   ahead.start(offset, buf, n);
//   ... work on other memory ...
//   std::size_t got = ahead.wait();   // bytes read; OSError for a failed read
// The file and the buffer must outlive the read; the destructor waits for it.
class ReadAhead {
public:
    explicit ReadAhead(File& file) noexcept : file_(file) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();  // a read of a regular file: it ends
    }

    bool busy() const noexcept { return busy_; }

    void start(long long offset, unsigned char* buf, std::size_t n) {
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        {
            std::lock_guard<std::mutex> lock(m_);
            offset_ = offset;
            buf_ = buf;
            n_ = n;
            done_ = false;
            has_job_ = true;
        }
        busy_ = true;
        cv_.notify_all();
    }

    std::size_t wait() {
        std::size_t got;
        int err;
        {
            NoGil nogil;
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return done_; });
            got = got_;
            err = err_;
        }
        busy_ = false;
        if (err) {
            errno = err;
            file_.raise_errno();
        }
        return got;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return has_job_ || stop_; });
            if (stop_) return;
            has_job_ = false;
            const long long offset = offset_;
            unsigned char* buf = buf_;
            const std::size_t n = n_;
            lock.unlock();
            int err = 0;
            const std::size_t done = pread_full(file_.descriptor(), buf, n, offset, err);
            lock.lock();
            got_ = done;
            err_ = err;
            done_ = true;
            cv_.notify_all();
        }
    }

    File& file_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    long long offset_ = 0;
    unsigned char* buf_ = nullptr;
    std::size_t n_ = 0, got_ = 0;
    int err_ = 0;
    bool has_job_ = false, done_ = false, stop_ = false;
    bool busy_ = false;  // the caller's view: started and not waited for
};

// A file read piece by piece from an offset into one reusable buffer, with
// the shrink check of every step:
//   kit::Pieces pieces(file, offset, 1 << 18);
//   while (pieces.next()) use(pieces.data(), pieces.size());
class Pieces {
public:
    Pieces(File& file, long long offset, std::size_t piece_bytes)
        : file_(file), buffer_(piece_bytes), largest_(file.size()) {
        file_.seek(offset);
    }

    // Reads the next piece; false at the end of the file. Signals are handled
    // between pieces, so an endless source (a device) can be interrupted.
    bool next() {
        if (PyErr_CheckSignals() < 0) raise();
        file_.check_not_truncated(largest_);
        size_ = file_.read_full(reinterpret_cast<char*>(buffer_.data()), buffer_.size());
        total_ += size_;
        return size_ != 0;
    }

    const unsigned char* data() const noexcept { return buffer_.data(); }
    std::size_t size() const noexcept { return size_; }
    // Bytes read so far.
    unsigned long long total() const noexcept { return total_; }

private:
    File& file_;
    std::vector<unsigned char> buffer_;
    long long largest_;
    std::size_t size_ = 0;
    unsigned long long total_ = 0;
};

}  // namespace kit
