#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelkit::native {

// Bytes produced by the core, handed to Python without a copy: the object
// owns them and exposes them through the buffer protocol, so
// numpy.frombuffer wraps them in place (writable: nobody else holds them).
bool add_owned_buffer_type(PyObject* module);

PyObject* owned_buffer(std::shared_ptr<void> owner, std::uint8_t* data, std::size_t size);

inline PyObject* owned_buffer(std::vector<std::uint8_t>&& bytes) {
    auto holder = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
    std::uint8_t* data = holder->data();
    const std::size_t size = holder->size();
    return owned_buffer(std::move(holder), data, size);
}

inline PyObject* owned_buffer(std::unique_ptr<std::uint8_t[]>&& bytes, std::size_t size) {
    std::shared_ptr<std::uint8_t[]> holder(std::move(bytes));
    std::uint8_t* data = holder.get();
    return owned_buffer(std::shared_ptr<void>(holder, data), data, size);
}

}  // namespace zelkit::native
