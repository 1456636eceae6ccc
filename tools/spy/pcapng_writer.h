// Writes frames and noise runs as a pcapng capture Wireshark can open: one
// interface of link type USER0 (147) with nanosecond timestamps, one Enhanced
// Packet Block per event, its direction in the packet flags (host->platform
// outbound, platform->host inbound) and noise marked by a comment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "wire_event.h"

namespace kinetra::spy {

inline constexpr std::uint16_t link_type_user0 = 147;

class pcapng_writer {
  public:
    pcapng_writer() = default;
    ~pcapng_writer();
    pcapng_writer(const pcapng_writer &) = delete;
    pcapng_writer &operator=(const pcapng_writer &) = delete;

    // Creates the file and writes its section and interface blocks.
    bool open(const std::string &path);
    // Appends one packet and flushes it, so that the file stays readable if
    // the spy is killed.
    bool write(const wire_event &e);

  private:
    bool put(const std::vector<std::uint8_t> &block);

    std::FILE *file_ = nullptr;
};

} // namespace kinetra::spy
