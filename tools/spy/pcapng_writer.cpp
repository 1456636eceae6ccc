#include "pcapng_writer.h"

namespace kinetra::spy {

namespace {

constexpr std::uint32_t section_header_block = 0x0A0D0D0A;
constexpr std::uint32_t interface_description_block = 1;
constexpr std::uint32_t enhanced_packet_block = 6;
constexpr std::uint16_t opt_end = 0;
constexpr std::uint16_t opt_comment = 1;
constexpr std::uint16_t if_tsresol = 9;
constexpr std::uint16_t epb_flags = 2;
constexpr std::uint32_t inbound = 1;
constexpr std::uint32_t outbound = 2;

// A block under construction, in the host's byte order (little-endian here),
// which the byte-order magic of the section tells readers.
class block {
  public:
    explicit block(std::uint32_t type) {
        u32(type);
        u32(0); // total length, filled by finish()
    }
    void u16(std::uint16_t v) { bytes(&v, sizeof v); }
    void u32(std::uint32_t v) { bytes(&v, sizeof v); }
    void u64(std::uint64_t v) { bytes(&v, sizeof v); }
    void bytes(const void *data, std::size_t n) {
        const auto *p = static_cast<const std::uint8_t *>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void pad() {
        while (out_.size() % 4 != 0) {
            out_.push_back(0);
        }
    }
    void option(std::uint16_t code, const void *data, std::size_t n) {
        u16(code);
        u16(static_cast<std::uint16_t>(n));
        bytes(data, n);
        pad();
    }
    std::vector<std::uint8_t> finish() {
        const auto total = static_cast<std::uint32_t>(out_.size() + 4);
        u32(total);
        for (std::size_t i = 0; i < 4; ++i) {
            out_[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        }
        return std::move(out_);
    }

  private:
    std::vector<std::uint8_t> out_;
};

std::vector<std::uint8_t> section_header() {
    block b(section_header_block);
    b.u32(0x1A2B3C4D); // byte-order magic
    b.u16(1);          // version 1.0
    b.u16(0);
    b.u64(~std::uint64_t{0}); // section length not given
    return b.finish();
}

std::vector<std::uint8_t> interface_description() {
    block b(interface_description_block);
    b.u16(link_type_user0);
    b.u16(0);
    b.u32(0); // no snapshot length limit
    const std::uint8_t nanoseconds = 9;
    b.option(if_tsresol, &nanoseconds, 1);
    b.u16(opt_end);
    b.u16(0);
    return b.finish();
}

std::vector<std::uint8_t> enhanced_packet(const wire_event &e) {
    block b(enhanced_packet_block);
    b.u32(0); // interface
    const auto ts = static_cast<std::uint64_t>(e.first.wall_ns);
    b.u32(static_cast<std::uint32_t>(ts >> 32));
    b.u32(static_cast<std::uint32_t>(ts));
    const auto size = static_cast<std::uint32_t>(e.raw.size());
    b.u32(size);
    b.u32(size);
    b.bytes(e.raw.data(), e.raw.size());
    b.pad();
    const std::uint32_t flags = e.dir == direction::to_platform ? outbound : inbound;
    b.option(epb_flags, &flags, sizeof flags);
    if (e.kind == event_kind::noise) {
        static constexpr char comment[] = "noise";
        b.option(opt_comment, comment, sizeof comment - 1);
    }
    b.u16(opt_end);
    b.u16(0);
    return b.finish();
}

} // namespace

pcapng_writer::~pcapng_writer() {
    if (file_ != nullptr) {
        (void)std::fclose(file_);
    }
}

bool pcapng_writer::open(const std::string &path) {
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr && put(section_header()) && put(interface_description());
}

bool pcapng_writer::write(const wire_event &e) { return put(enhanced_packet(e)); }

bool pcapng_writer::put(const std::vector<std::uint8_t> &bytes) {
    return file_ != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() &&
           std::fflush(file_) == 0;
}

} // namespace kinetra::spy
