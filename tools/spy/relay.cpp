#include "relay.h"

#include <algorithm>

#include "os_error.h"
#include "relay_io.h"

namespace kinetra::spy {

relay::relay(side_handle device, side_handle host, bool host_is_pty, const relay_options &options)
    : device_(device), host_(host), host_is_pty_(host_is_pty), options_(options),
      to_platform_{
          direction::to_platform, host, device, stream_parser(direction::to_platform), {}, 0, 0},
      to_host_{direction::to_host, device, host, stream_parser(direction::to_host), {}, 0, 0} {}

void relay::note(const std::string &text) {
    if (notes_) {
        notes_(stamp_now(), text);
    }
}

// Reads all `l.from` has to give now; each read is one stamped chunk. False
// when that side failed (hung up).
bool relay::drain(lane &l, bool forward_bytes) {
    std::uint8_t bytes[4096];
    for (;;) {
        const io::result r = io::read_now(l.from, bytes, sizeof bytes);
        if (r.count == 0) {
            return r.ok;
        }
        const stamp when = stamp_now();
        // Forwarded first: decoding must not delay the line.
        if (forward_bytes) {
            forward(l, bytes, r.count);
        } else {
            lose(l, r.count, "no host has the port");
        }
        l.last_read_ns = when.mono_ns;
        l.parser.feed(bytes, r.count, when, events_);
    }
}

void relay::forward(lane &l, const std::uint8_t *bytes, std::size_t n) {
    if (l.pending.empty()) {
        while (n > 0) {
            const io::result w = io::write_now(l.to, bytes, n);
            if (!w.ok) {
                lose(l, n, kinetra::tool::last_os_error().c_str());
                return;
            }
            if (w.count == 0) {
                break;
            }
            bytes += w.count;
            n -= w.count;
        }
    }
    const std::size_t room =
        options_.queue_limit > l.pending.size() ? options_.queue_limit - l.pending.size() : 0;
    const std::size_t kept = std::min(n, room);
    l.pending.insert(l.pending.end(), bytes, bytes + kept);
    if (kept < n) {
        lose(l, n - kept, "its buffer is full (is it reading?)");
    }
}

void relay::flush_pending(lane &l) {
    std::size_t sent = 0;
    while (sent < l.pending.size()) {
        const io::result w = io::write_now(l.to, l.pending.data() + sent, l.pending.size() - sent);
        if (!w.ok) {
            lose(l, l.pending.size() - sent, kinetra::tool::last_os_error().c_str());
            sent = l.pending.size();
        } else if (w.count == 0) {
            break;
        } else {
            sent += w.count;
        }
    }
    l.pending.erase(l.pending.begin(), l.pending.begin() + static_cast<std::ptrdiff_t>(sent));
    if (l.pending.empty()) {
        settle(l);
    }
}

void relay::lose(lane &l, std::size_t n, const char *why) {
    if (l.dropping == 0) {
        note(std::string("cannot forward ") + direction_name(l.dir) + ": " + why +
             "; counting the bytes not forwarded");
    }
    l.dropping += n;
    if (unforwarded_) {
        unforwarded_(l.dir, n);
    }
}

void relay::settle(lane &l) {
    if (l.dropping > 0) {
        note(std::string("forwarding ") + direction_name(l.dir) +
             " again: " + std::to_string(l.dropping) + " byte(s) could not be forwarded");
        l.dropping = 0;
    }
}

void relay::host_left() {
    (void)drain(to_platform_, true); // a host that leaves may have written last words
    host_present_ = false;
    note("host closed the port");
    if (!to_host_.pending.empty()) {
        lose(to_host_, to_host_.pending.size(), "the host closed the port");
        to_host_.pending.clear();
    }
    if (host_is_pty_) {
        // Nothing stale for the next host: what the spy wrote and the host did
        // not read.
        io::discard_host_side(host_);
    }
}

void relay::resync_quiet(lane &l, std::int64_t now_ns) {
    if (l.parser.pending() && now_ns - l.last_read_ns >= options_.quiet_ns) {
        l.parser.finish(events_);
    }
}

void relay::finish() {
    to_platform_.parser.finish(events_);
    to_host_.parser.finish(events_);
}

int relay::poll_timeout_ms() const {
    // Without a host there is nothing to poll on its side: look again soon.
    std::int64_t wait_ns = host_present_ ? 100'000'000 : 10'000'000;
    const std::int64_t now = stamp_now().mono_ns;
    for (const lane *l : {&to_platform_, &to_host_}) {
        if (l->parser.pending()) {
            wait_ns = std::min(wait_ns, l->last_read_ns + options_.quiet_ns - now);
        }
    }
    return static_cast<int>(std::max<std::int64_t>(wait_ns, 0) / 1'000'000 + 1);
}

// The device hung up: the host is told the same way, by its side closing.
int relay::hang_up_host() {
    (void)drain(to_host_, host_present_);
    note("the platform's port hung up (adapter unplugged?): hanging up the host's side");
    finish();
    close_host();
    return 1;
}

// What a stop leaves: every byte still held is counted as not forwarded.
void relay::wind_down() {
    flush_pending(to_platform_);
    if (host_present_) {
        flush_pending(to_host_);
    }
    for (lane *l : {&to_platform_, &to_host_}) {
        if (!l->pending.empty()) {
            lose(*l, l->pending.size(), "the spy is stopping");
        }
    }
    finish();
}

} // namespace kinetra::spy
