// The record behind every axis_handle, and the helpers every export uses.
#pragma once

#include "kinetra.h"
#include "serial/serial_port.h"

#include <cstdint>
#include <string>

struct axis_handle {
    kinetra::port_handle port = kinetra::invalid_port;
    std::uint8_t head = 0;
    axis_limits limits{};
    bool limits_enabled = false;
    std::string error_text;
};

namespace kinetra {

// Room reserved for the error text when the handle is made, so that storing
// any of the library's messages never allocates and never moves the text.
inline constexpr std::size_t error_text_capacity = 128;

// The timeouts every handle runs with, in milliseconds: read interval 100,
// read 10 per byte + 500, write 10 per byte + 500.
inline constexpr serial_timeouts handle_timeouts{100, 10, 500, 10, 500};

// Replaces the whole error text with `message`.
void set_error(axis_handle &handle, const char *message) noexcept;

// Runs an export's body so that nothing thrown inside can cross the C
// interface: any exception becomes `on_exception`.
template <class Result, class Body> Result guarded(Result on_exception, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_exception;
    }
}

template <class Body> void guarded_void(Body &&body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

} // namespace kinetra
