// A test that plays the platform: one pty pair, and the host's handle on it.
#pragma once

#include "kinetra.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <string>

namespace kinetra::test {

// Names parameterised cases after their `name` field.
template <class Case> std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    return identifier(info.param.name);
}

class host_test : public ::testing::Test {
  protected:
    // Opens the handle on this test's port; fails the test if it cannot.
    axis_handle *open(std::uint8_t head = 0x01, const axis_limits *limits = nullptr) {
        handle_ = axis_init(peer_.port_name().c_str(), head, limits);
        EXPECT_NE(handle_, nullptr) << "axis_init on " << peer_.port_name();
        return handle_;
    }
    void TearDown() override { axis_close(handle_); }

    std::string error() const { return axis_get_error(handle_); }

    pty_peer peer_;
    axis_handle *handle_ = nullptr;
};

} // namespace kinetra::test
