#include "commands.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "os_error.h"
#include "stop_signals.h"

#include "json_text.h"

namespace kinetra::tool {

namespace {

struct message_gloss {
    const char *message;
    const char *english;
};

constexpr message_gloss glosses[] = {
    {"X轴超出限位", "X axis beyond its limit"}, {"Y轴超出限位", "Y axis beyond its limit"},
    {"Z轴超出限位", "Z axis beyond its limit"}, {"串口发送失败", "serial send failed"},
    {"未找到上传帧", "no upload frame found"},  {"CRC校验失败", "CRC check failed"},
    {"载荷不足", "payload too short"},
};

bool stdout_is_a_terminal() {
#ifdef _WIN32
    return ::_isatty(::_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}

// A handle closed on every way out of a command.
struct open_handle {
    axis_handle *h;
    explicit open_handle(const connection &c) : h(open_or_report(c)) {}
    ~open_handle() { axis_close(h); }
    open_handle(const open_handle &) = delete;
    open_handle &operator=(const open_handle &) = delete;
};

} // namespace

const char *gloss(const std::string &message) {
    for (const auto &g : glosses) {
        if (message == g.message) {
            return g.english;
        }
    }
    return "";
}

std::string explain(std::int32_t result, axis_handle *handle) {
    const std::string code = " [result " + std::to_string(result) + "]";
    switch (result) {
    case AXIS_E_SILENT: return "nothing received from the platform in about 500 ms" + code;
    case AXIS_E_NULL: return "null handle or record" + code;
    default: break;
    }
    const std::string message = axis_get_error(handle);
    const char *english = gloss(message);
    return message + (*english != '\0' ? std::string(" (") + english + ")" : "") + code;
}

axis_handle *open_or_report(const connection &c) {
    kinetra::tool::clear_os_error();
    axis_handle *h = axis_init(c.port.c_str(), c.head, c.limits ? &*c.limits : nullptr);
    if (h == nullptr) {
        std::fprintf(stderr, "kinetra: cannot open %s: %s\n", c.port.c_str(),
                     kinetra::tool::last_os_error().c_str());
    }
    return h;
}

std::string upload_json(const axis_upload &up) { return json_line(upload_object(up)); }

std::string upload_text(const axis_upload &up) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "byte0 0x%02X  word1 %6d  word2 %6d  word3 %6d  tail %02X %02X %02X %02X %02X "
                  "%02X",
                  up.byte0, up.word1, up.word2, up.word3, up.tail[0], up.tail[1], up.tail[2],
                  up.tail[3], up.tail[4], up.tail[5]);
    return text;
}

int run_move(const connection &c, const move_request &m) {
    const open_handle port(c);
    if (port.h == nullptr) {
        return exit_failed;
    }
    std::int32_t result = 0;
    std::int32_t frame_size = 12;
    std::string what;
    const auto &[x, y, z] = m.axes;
    switch (m.what) {
    case move_request::kind::single: {
        const axis_motion &a = m.axes[static_cast<std::size_t>(m.axis - 'x')];
        what = std::string("move ") + m.axis + " " + std::to_string(a.target);
        result = m.axis == 'x'   ? axis_x_move(port.h, a.target, a.aux1, a.aux2)
                 : m.axis == 'y' ? axis_y_move(port.h, a.target, a.aux1, a.aux2)
                                 : axis_z_move(port.h, a.target, a.aux1, a.aux2);
        break;
    }
    case move_request::kind::absolute:
    case move_request::kind::relative: {
        const bool absolute = m.what == move_request::kind::absolute;
        what = std::string(absolute ? "move-abs " : "move-rel ") + std::to_string(x.target) + " " +
               std::to_string(y.target) + " " + std::to_string(z.target);
        result = absolute ? axis_xyz_abs_move(port.h, &x, &y, &z)
                          : axis_xyz_rel_move(port.h, &x, &y, &z);
        frame_size = 24;
        break;
    }
    }
    if (result < 0) {
        std::fprintf(stderr, "kinetra: %s failed: %s\n", what.c_str(),
                     explain(result, port.h).c_str());
        return exit_failed;
    }
    if (result < frame_size) {
        std::fprintf(stderr, "kinetra: %s: only %d of %d bytes sent before the write timed out\n",
                     what.c_str(), result, frame_size);
        return exit_failed;
    }
    std::printf("%s: sent %d bytes\n", what.c_str(), result);
    return exit_ok;
}

int run_read(const connection &c, bool json) {
    const open_handle port(c);
    if (port.h == nullptr) {
        return exit_failed;
    }
    // Only what the platform sends from now on counts.
    axis_flush(port.h);
    axis_upload up{};
    const std::int32_t result = axis_read_upload(port.h, &up);
    if (result != AXIS_OK) {
        std::fprintf(stderr, "kinetra: read failed: %s\n", explain(result, port.h).c_str());
        return exit_failed;
    }
    std::printf("%s\n", (json ? upload_json(up) : upload_text(up)).c_str());
    return exit_ok;
}

int run_watch(const connection &c, bool json, unsigned count) {
    const open_handle port(c);
    if (port.h == nullptr) {
        return exit_failed;
    }
    const std::atomic<bool> &interrupted = kinetra::sim::stop_on_signals();
    using clock = std::chrono::steady_clock;
    const bool live = !json && stdout_is_a_terminal();
    std::deque<clock::time_point> recent; // successful reads of the last two seconds
    axis_flush(port.h);
    for (unsigned done = 0; !interrupted.load() && (count == 0 || done < count); ++done) {
        axis_upload up{};
        const std::int32_t result = axis_read_upload(port.h, &up);
        const auto now = clock::now();
        if (result == AXIS_OK) {
            recent.push_back(now);
        }
        while (!recent.empty() && now - recent.front() > std::chrono::seconds(2)) {
            recent.pop_front();
        }
        double rate = 0;
        if (recent.size() > 1) {
            rate = static_cast<double>(recent.size() - 1) /
                   std::chrono::duration<double>(recent.back() - recent.front()).count();
        }
        std::string line;
        if (json) {
            if (result == AXIS_OK) {
                json_value object = upload_object(up);
                object["rate"] = std::round(rate * 10) / 10; // one decimal, as in the text line
                line = json_line(object);
            } else {
                const std::string message = result == AXIS_E_SILENT ? "" : axis_get_error(port.h);
                line = json_line(
                    json_value{{"result", result}, {"error", message}, {"gloss", gloss(message)}});
            }
        } else {
            char rate_text[32];
            std::snprintf(rate_text, sizeof rate_text, "%.1f", rate);
            line = (result == AXIS_OK ? upload_text(up) : explain(result, port.h)) + "  " +
                   rate_text + " updates/s";
        }
        if (live) {
            std::printf("\r%s\033[K", line.c_str());
        } else {
            std::printf("%s\n", line.c_str());
        }
        if (std::fflush(stdout) != 0) {
            break; // the reader went away (SIGPIPE is ignored)
        }
    }
    if (live) {
        std::printf("\n");
    }
    return exit_ok;
}

} // namespace kinetra::tool
