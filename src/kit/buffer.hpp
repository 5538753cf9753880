// The bytes of any object that exports a C-contiguous buffer (bytes,
// bytearray, memoryview, mmap, array.array, contiguous NumPy arrays, ...).
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace kit {

// Holds an exported buffer for the life of the scope; the exporter cannot
// resize or free the memory meanwhile. An object without the buffer
// protocol raises the interpreter's TypeError ("a bytes-like object is
// required, not '...'"), a non-contiguous one its BufferError. Construct
// and destroy with the GIL held.
class Buffer {
public:
    explicit Buffer(PyObject* obj, int flags = PyBUF_SIMPLE) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) raise();
    }
    // The same, with TypeError `message` (formatted with the object's type
    // name) for an object that exports no contiguous buffer.
    Buffer(PyObject* obj, const char* message) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            raise(PyExc_TypeError, message, Py_TYPE(obj)->tp_name);
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

    // True when nobody can change the bytes while they are held: a bytes
    // object, or a memoryview over one. (A read-only view of a bytearray or
    // of a shared mapping is not: its owner may still write.)
    bool immutable() const noexcept {
        PyObject* o = view_.obj;
        if (o && PyMemoryView_Check(o)) o = PyMemoryView_GET_BUFFER(o)->obj;
        return o && PyBytes_Check(o);
    }

private:
    Py_buffer view_;
};

}  // namespace kit
