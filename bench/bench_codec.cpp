// The codec and the scan on their own, no I/O: the CRC against a bit-by-bit
// reference, the encoder, and the scan over a receive buffer full of noise.
#include "pty_pair.h"

#include "protocol/frame.h"
#include "upload/scan.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kinetra::bench {
namespace {

// CRC-16/MODBUS one bit at a time, straight from its definition: the
// baseline that the table-driven version is measured against.
std::uint16_t reference_crc(const std::uint8_t *bytes, std::size_t count) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = (crc & 1u) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (low) {
                crc = static_cast<std::uint16_t>(crc ^ 0xA001u);
            }
        }
    }
    return crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t n, bool avoid_heads) {
    std::mt19937 rng(20240601u);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> out(n);
    for (auto &b : out) {
        do {
            b = static_cast<std::uint8_t>(byte(rng));
        } while (avoid_heads && (b == HEAD_UPLOAD_A || b == HEAD_UPLOAD_B));
    }
    return out;
}

template <std::uint16_t (*Crc)(const std::uint8_t *, std::size_t)>
void crc_benchmark(benchmark::State &state) {
    const auto data = random_bytes(static_cast<std::size_t>(state.range(0)), false);
    if (crc16_modbus(data.data(), data.size()) != reference_crc(data.data(), data.size())) {
        state.SkipWithError("crc16_modbus disagrees with the bit-by-bit reference");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(Crc(data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_crc16_modbus(benchmark::State &state) { crc_benchmark<crc16_modbus>(state); }
void BM_crc16_reference(benchmark::State &state) { crc_benchmark<reference_crc>(state); }

void BM_encode_frame(benchmark::State &state) {
    frame f;
    f.head = 0x01;
    f.tag = FRAME_TAG;
    f.len = static_cast<std::uint8_t>(state.range(0));
    f.cmd = f.len == 6 ? 0xA1 : 0xA5;
    const auto payload = random_bytes(f.len, false);
    std::copy(payload.begin(), payload.end(), f.payload.bytes.begin());
    f.payload.size = f.len;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(f);
        const wire_bytes w = encode_frame(f);
        benchmark::DoNotOptimize(w);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.len + frame_overhead));
}

// 4 KiB, a full receive buffer: noise without a single 0x7A/0x7B byte, so the
// scan steps through it one byte at a time, then one upload frame at the end.
void BM_scan_upload(benchmark::State &state) {
    constexpr std::size_t total = 4096;
    auto bytes = random_bytes(total - upload_frame.size(), true);
    bytes.insert(bytes.end(), upload_frame.begin(), upload_frame.end());
    const auto found = scan_upload(bytes.data(), bytes.size());
    if (!found || found->offset != total - upload_frame.size() ||
        found->length != upload_frame.size()) {
        state.SkipWithError("scan_upload missed the frame at the end of the noise");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(bytes.data());
        benchmark::DoNotOptimize(scan_upload(bytes.data(), bytes.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}

BENCHMARK(BM_crc16_modbus)->Arg(24)->Arg(4096);
BENCHMARK(BM_crc16_reference)->Arg(24)->Arg(4096);
BENCHMARK(BM_encode_frame)->Arg(6)->Arg(18);
BENCHMARK(BM_scan_upload);

} // namespace
} // namespace kinetra::bench
