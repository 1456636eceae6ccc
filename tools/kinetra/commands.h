// The bench tool's commands, on the public C interface of the library only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <kinetra.h>

namespace kinetra::tool {

// Exit codes: 0 done, 1 a call failed or the port could not be opened,
// 2 a bad argument (CLI11 reports those before any command runs).
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

struct connection {
    std::string port;
    std::uint8_t head = 0x01;
    std::optional<axis_limits> limits;
};

// The English gloss of one of the library's messages, or "" for another text.
const char *gloss(const std::string &message);

// What a failed result means, for a person: the library's message and its
// gloss when the result carries one, a plain description otherwise.
std::string explain(std::int32_t result, axis_handle *handle);

// Opens the port; on failure says why (the OS error of the failed open) and
// returns null.
axis_handle *open_or_report(const connection &c);

struct move_request {
    enum class kind { single, absolute, relative } what = kind::single;
    char axis = 'x'; // single-axis moves
    std::array<axis_motion, 3> axes{};
};

int run_move(const connection &c, const move_request &m);
int run_read(const connection &c, bool json);
// `count` 0 reads until SIGINT or SIGTERM.
int run_watch(const connection &c, bool json, unsigned count);
// The two ends of a null-modem pair: the host opens one, the simulated
// platform the other.
struct port_pair {
    std::string host;
    std::string platform;
};
// With no pair the platform serves a pseudo-terminal of its own.
int run_demo(const std::optional<port_pair> &pair);

// One upload as one line of JSON: byte0, word1..3 (signed), tail[6].
std::string upload_json(const axis_upload &up);
// One upload for a person.
std::string upload_text(const axis_upload &up);

} // namespace kinetra::tool
