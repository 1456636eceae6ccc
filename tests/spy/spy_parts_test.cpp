// The spy's parts on their own: the per-direction frame parser, what it
// says about each frame, the summary, and the pcapng file as tshark reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "describe.h"
#include "faults.h"
#include "frames.h"
#include "pcapng_writer.h"
#include "pty_peer.h"
#include "stream_parser.h"
#include "summary.h"

namespace kinetra::spy {
namespace {

using test::bytes;
using test::concat;
using test::make_frame;
using test::with_bad_crc;

const bytes move_x = make_frame(0x01, 0x01, 0xA1, test::words({1000, 200, 50}));
const bytes move_y = make_frame(0x02, 0x01, 0xA2, test::words({-7, 1, 2}));
const bytes move_z = make_frame(0x03, 0x01, 0xA3, test::words({32767, 65535, 0}));
const bytes move_rel = make_frame(0x01, 0x01, 0xA4, test::words({1, 2, 3, 4, 5, 6, 7, 8, 9}));
const bytes move_abs =
    make_frame(0x01, 0x01, 0xA5, test::words({-1, 0, 0, -2, 0, 0, -32768, 9, 9}));
const bytes upload = test::sample_upload();
const bytes short_upload = make_frame(0x7A, 0x01, 0xF5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});

struct seen {
    std::string kind;
    std::uint64_t offset;
    std::size_t size;
    bool crc_ok;
    bool operator==(const seen &) const = default;
};

std::ostream &operator<<(std::ostream &os, const seen &s) {
    return os << s.kind << "@" << s.offset << "+" << s.size << (s.crc_ok ? " ok" : " bad");
}

// Feeds the stream in chunks of the sizes given, cycled, then finishes it.
std::vector<wire_event> parse(direction dir, const bytes &stream,
                              const std::vector<std::size_t> &chunks) {
    stream_parser parser(dir);
    std::vector<wire_event> events;
    const auto sink = [&events](const wire_event &e) { events.push_back(e); };
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t n = std::min(chunks[i % chunks.size()], stream.size() - at);
        parser.feed(stream.data() + at, n, {static_cast<std::int64_t>(at), 0}, sink);
        at += n;
    }
    parser.finish(sink);
    return events;
}

std::vector<seen> summarise(const std::vector<wire_event> &events) {
    std::vector<seen> out;
    out.reserve(events.size());
    for (const wire_event &e : events) {
        out.push_back({kind_of(e), e.offset, e.raw.size(), e.crc_ok});
    }
    return out;
}

struct stream_case {
    const char *name;
    direction dir;
    bytes stream;
    std::vector<seen> expected;
};

void PrintTo(const stream_case &c, std::ostream *os) { *os << c.name; }

constexpr auto up = direction::to_host;
constexpr auto down = direction::to_platform;

const stream_case stream_cases[] = {
    {"every move kind",
     down,
     concat({move_x, move_y, move_z, move_rel, move_abs}),
     {{"move", 0, 12, true},
      {"move", 12, 12, true},
      {"move", 24, 12, true},
      {"move", 36, 24, true},
      {"move", 60, 24, true}}},
    {"a move with a bad CRC is shown, not hidden",
     down,
     concat({with_bad_crc(move_x), move_y}),
     {{"move", 0, 12, false}, {"move", 12, 12, true}}},
    {"an unknown command with a good CRC",
     down,
     make_frame(0x01, 0x01, 0xB0, {9, 8}),
     {{"command", 0, 8, true}}},
    {"noise before a move",
     down,
     concat({{0x55, 0x66, 0x77}, move_x}),
     {{"noise", 0, 3, false}, {"move", 3, 12, true}}},
    {"a tag byte in noise does not start a frame",
     down,
     concat({{0x00, 0x01, 0x02, 0x99, 0x00, 0x00, 0x00, 0x00}, move_y}),
     {{"noise", 0, 8, false}, {"move", 8, 12, true}}},
    {"a move cut off at the end is noise",
     down,
     bytes(move_x.begin(), move_x.begin() + 7),
     {{"noise", 0, 7, false}}},
    {"uploads with every fault",
     up,
     concat({upload, with_bad_crc(upload), short_upload, upload}),
     {{"upload", 0, 19, true},
      {"upload", 19, 19, false},
      {"short-upload", 38, 18, true},
      {"upload", 56, 19, true}}},
    {"a stray head before an upload is one noise byte",
     up,
     concat({{0x7A}, upload}),
     {{"noise", 0, 1, false}, {"upload", 1, 19, true}}},
    {"noise between uploads",
     up,
     concat({upload, {0x11, 0x22, 0x7C}, upload}),
     {{"upload", 0, 19, true}, {"noise", 19, 3, false}, {"upload", 22, 19, true}}},
    {"a head announcing more than an upload carries is noise",
     up,
     concat({{0x7B, 0x01, 0x20, 0xF5}, upload}),
     {{"noise", 0, 4, false}, {"upload", 4, 19, true}}},
    {"another kind of frame to the host",
     up,
     make_frame(0x7A, 0x01, 0x10, {1, 2, 3}),
     {{"frame", 0, 9, true}}},
    {"a move's bytes towards the host are noise", up, move_x, {{"noise", 0, 12, false}}},
};

class SpyParser : public ::testing::TestWithParam<stream_case> {};

TEST_P(SpyParser, CutsTheStreamIntoFramesAndNoiseHoweverItIsChunked) {
    const stream_case &c = GetParam();
    const std::vector<std::vector<std::size_t>> chunkings = {{c.stream.size()}, {1}, {3, 1, 7}};
    for (const auto &chunks : chunkings) {
        const std::vector<wire_event> events = parse(c.dir, c.stream, chunks);
        EXPECT_EQ(summarise(events), c.expected) << "chunks of " << chunks.front();
        for (const wire_event &e : events) {
            EXPECT_EQ(e.raw, bytes(c.stream.begin() + static_cast<std::ptrdiff_t>(e.offset),
                                   c.stream.begin() +
                                       static_cast<std::ptrdiff_t>(e.offset + e.raw.size())));
            if (chunks.front() == 1 && chunks.size() == 1) {
                EXPECT_EQ(e.reads, e.raw.size()) << "one read a byte";
                EXPECT_EQ(e.first.mono_ns, static_cast<std::int64_t>(e.offset));
                EXPECT_EQ(e.last.mono_ns, static_cast<std::int64_t>(e.offset + e.raw.size() - 1));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Spy, SpyParser, ::testing::ValuesIn(stream_cases),
                         [](const auto &param_info) {
                             return test::identifier(param_info.param.name);
                         });

// A long stream of every fault the simulator makes, moves, and garbage.
bytes mixed_stream(direction dir, std::uint64_t seed) {
    sim::fault_injector faults({0.3, 0.2, 0.2, 0.2, false}, seed);
    std::mt19937_64 random(seed);
    bytes out;
    for (int i = 0; i < 300; ++i) {
        sim::upload_state state;
        state.counter = static_cast<std::uint32_t>(i);
        state.position = {static_cast<std::int16_t>(i), -1, 7};
        const bytes frame = dir == up    ? faults.wire_for(state)
                            : i % 2 == 0 ? move_rel
                                         : with_bad_crc(move_z);
        out.insert(out.end(), frame.begin(), frame.end());
        for (std::uint64_t n = random() % 4; n > 0; --n) {
            out.push_back(static_cast<std::uint8_t>(random()));
        }
    }
    return out;
}

TEST(SpyParser, RandomChunksGiveWhatTheWholeStreamGives) {
    for (const direction dir : {up, down}) {
        for (std::uint64_t seed = 1; seed <= 20; ++seed) {
            const bytes stream = mixed_stream(dir, seed);
            const std::vector<wire_event> whole = parse(dir, stream, {stream.size()});
            std::mt19937_64 random(seed);
            std::vector<std::size_t> chunks(64);
            for (std::size_t &n : chunks) {
                n = 1 + random() % 40;
            }
            const std::vector<wire_event> pieces = parse(dir, stream, chunks);
            ASSERT_EQ(summarise(pieces), summarise(whole)) << "seed " << seed;
            bytes joined;
            for (const wire_event &e : pieces) {
                ASSERT_EQ(e.offset, joined.size()) << "events tile the stream";
                joined.insert(joined.end(), e.raw.begin(), e.raw.end());
            }
            EXPECT_EQ(joined, stream);
            EXPECT_GT(std::count_if(pieces.begin(), pieces.end(),
                                    [](const wire_event &e) { return e.reads > 1; }),
                      0);
        }
    }
}

wire_event only_event(direction dir, const bytes &stream) {
    const std::vector<wire_event> events = parse(dir, stream, {stream.size()});
    EXPECT_EQ(events.size(), 1u);
    return events.empty() ? wire_event{} : events.front();
}

TEST(SpyDescribe, MoveFieldsAreTheCommandAndTheWordsPerAxis) {
    const json j = to_json(only_event(down, move_x));
    EXPECT_EQ(j["direction"], "host->platform");
    EXPECT_EQ(j["kind"], "move");
    EXPECT_EQ(j["raw"], "01 01 06 A1 E8 03 C8 00 32 00 64 9A");
    EXPECT_EQ(j["crc_ok"], true);
    EXPECT_EQ(j["fields"]["command"], "move X");
    EXPECT_EQ(j["fields"]["axes"], json::parse(R"({"X":{"target":1000,"aux1":200,"aux2":50}})"));
    const json abs = to_json(only_event(down, move_abs));
    EXPECT_EQ(abs["fields"]["axes"]["Z"]["target"], -32768);
    EXPECT_EQ(abs["fields"]["axes"]["Y"]["target"], -2);
    EXPECT_EQ(to_text(only_event(down, move_x)).substr(16),
              "host->platform move X head 0x01 cmd 0xA1 len 6 X[target 1000 aux1 200 aux2 50] "
              "CRC good");
}

TEST(SpyDescribe, UploadFieldsAreTheRecordAndABadCrcIsSaid) {
    const json j = to_json(only_event(up, upload));
    EXPECT_EQ(j["fields"]["byte0"], 2);
    EXPECT_EQ(j["fields"]["word1"], 100);
    EXPECT_EQ(j["fields"]["word2"], -50);
    EXPECT_EQ(j["fields"]["word3"], 7);
    EXPECT_EQ(j["fields"]["tail"], json::parse("[1,0,0,1,0,0]"));
    const wire_event bad = only_event(up, with_bad_crc(upload));
    EXPECT_EQ(to_json(bad)["crc_ok"], false);
    EXPECT_NE(to_text(bad).find("CRC BAD (0x649D, should be 0x3E9D)"), std::string::npos)
        << to_text(bad);
    const wire_event noise = only_event(up, {0x11, 0x22});
    EXPECT_FALSE(to_json(noise).contains("crc_ok"));
    EXPECT_NE(to_text(noise).find("noise 2 byte(s): 11 22"), std::string::npos);
}

TEST(SpySummary, CountsKindsFailuresNoiseAndTheLongestGapBetweenGoodUploads) {
    summary tally;
    const auto at_ms = [](wire_event e, std::int64_t ms) {
        e.first.mono_ns = e.last.mono_ns = ms * 1'000'000;
        return e;
    };
    const wire_event good = only_event(up, upload);
    tally.count(at_ms(good, 0));
    tally.count(at_ms(good, 50));
    tally.count(at_ms(only_event(up, with_bad_crc(upload)), 100));
    tally.count(at_ms(good, 200));
    tally.count(at_ms(good, 250));
    tally.count(only_event(up, {1, 2, 3}));
    tally.count(only_event(down, move_x));
    tally.count_unforwarded(up, 40);
    const json j = tally.to_json();
    EXPECT_EQ(j["platform->host"]["frames"]["upload"], 5);
    EXPECT_EQ(j["platform->host"]["crc_failures"], 1);
    EXPECT_EQ(j["platform->host"]["noise_bytes"], 3);
    EXPECT_EQ(j["platform->host"]["unforwarded_bytes"], 40);
    EXPECT_EQ(j["host->platform"]["frames"]["move"], 1);
    EXPECT_EQ(j["good_uploads"], 4);
    EXPECT_DOUBLE_EQ(j["longest_upload_gap_ms"].get<double>(), 150.0);
    EXPECT_DOUBLE_EQ(j["uploads_per_s"].get<double>(), 12.0);
}

// Runs tshark on the capture; its fields, one line a packet.
std::vector<std::string> tshark_fields(const std::string &capture, bool dissector,
                                       const std::string &fields) {
    std::string command = std::string(KINETRA_TSHARK) + " -r " + capture;
    if (dissector) {
        command += " -X lua_script:" KINETRA_SPY_LUA;
    }
    command += " -T fields -E separator=: " + fields + " 2>/dev/null";
    std::vector<std::string> lines;
    std::FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        lines.push_back(text);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return lines;
}

std::string capture_path() {
    return (std::filesystem::temp_directory_path() /
            ("kinetra-spy-test-" + std::to_string(::getpid()) + ".pcapng"))
        .string();
}

TEST(SpyPcapng, TsharkReadsEveryPacketWithAndWithoutTheDissector) {
    constexpr std::int64_t first_stamp_ns = 1'796'000'000'123'456'789;
    ASSERT_TRUE(std::filesystem::exists(KINETRA_TSHARK)) << "tshark is needed: scripts/packages";
    std::vector<wire_event> events;
    for (const auto &[dir, stream] :
         {std::pair{down, concat({move_x, {0x42}, with_bad_crc(move_abs)})},
          std::pair{up, concat({upload, {0x11, 0x22}, with_bad_crc(upload), short_upload})}}) {
        for (wire_event e : parse(dir, stream, {stream.size()})) {
            e.first.wall_ns = first_stamp_ns + static_cast<std::int64_t>(events.size());
            events.push_back(e);
        }
    }
    const std::string path = capture_path();
    {
        pcapng_writer writer;
        ASSERT_TRUE(writer.open(path));
        for (const wire_event &e : events) {
            ASSERT_TRUE(writer.write(e));
        }
    }
    // What the dissector says, field by field, against the spy's own decoding.
    const std::vector<std::string> decoded = tshark_fields(
        path, true,
        "-e frame.packet_flags_direction -e kinetra.cmd -e kinetra.target -e kinetra.word2 "
        "-e kinetra.crc_good -e kinetra.noise");
    ASSERT_EQ(decoded.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        const wire_event &e = events[i];
        const json f = fields_of(e);
        std::string targets;
        if (f.contains("axes")) {
            for (const auto &[name, words] : f["axes"].items()) {
                // Appended piece by piece: GCC 12 at -O3 sees a false overlap
                // in a chain of + on strings (-Wrestrict).
                targets.append(targets.empty() ? "" : ",").append(words["target"].dump());
            }
        }
        char cmd[8] = "";
        if (e.kind == event_kind::frame) {
            std::snprintf(cmd, sizeof cmd, "0x%02x", e.decoded.cmd);
        }
        std::ostringstream expected;
        expected << (e.dir == down ? "0x00000002" : "0x00000001") << ":" << cmd << ":" << targets
                 << ":" << (f.contains("word2") ? f["word2"].dump() : "") << ":"
                 << (e.kind == event_kind::frame ? (e.crc_ok ? "1" : "0") : "") << ":"
                 << (e.kind == event_kind::noise ? std::to_string(e.raw.size()) : "");
        EXPECT_EQ(decoded[i], expected.str()) << "packet " << i + 1;
    }
    // Without it, the raw bytes and the nanosecond stamps are all there.
    const std::vector<std::string> raw =
        tshark_fields(path, false, "-e frame.time_epoch -e data.data");
    ASSERT_EQ(raw.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::string data = hex_of(events[i].raw);
        std::erase(data, ' ');
        for (char &ch : data) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        std::string stamp = std::to_string(first_stamp_ns + static_cast<std::int64_t>(i));
        const std::string seconds = stamp.substr(0, stamp.size() - 9);
        const std::string fraction = stamp.substr(stamp.size() - 9);
        std::ostringstream want;
        want << seconds << '.' << fraction << ':' << data;
        EXPECT_EQ(raw[i], want.str());
    }
    std::filesystem::remove(path);
}

} // namespace
} // namespace kinetra::spy
