// Splitting interleaved pixels into planes and merging them back: every
// path against a plain loop, for every choice of missing planes, at odd
// alignments, with guard bytes around each buffer.
#include <cstdint>
#include <cstdio>
#include <random>
#include <optional>
#include <vector>

#include "check.hpp"
#include "core/diffusion/channel_planes.hpp"
#include "core/simd/arch.hpp"
#include "core/simd/isa.hpp"

using namespace dithering;

namespace {

using Bytes = std::vector<std::uint8_t>;

// One way of calling: the form for `isa`, or (`public_entry`) the
// functions that pick the best form themselves.
struct Caller {
    Isa isa;
    bool public_entry;
};

std::vector<Caller> callers() {
    std::vector<Caller> all;
    for (Isa isa : ALL_ISAS) {
        if (split_channels_forms().runs(isa)) all.push_back({isa, false});
    }
    all.push_back({split_channels_forms().pick_isa().value_or(Isa::portable), true});
    return all;
}

// A buffer of `size` bytes that starts `lead` bytes into its vector and is
// followed by `trail` more; the bytes around it are random and must keep
// their values. With trail 0 the vector ends exactly where the buffer
// does, so that an address sanitizer catches any read past the end.
struct Guarded {
    Bytes bytes;
    std::size_t lead;

    std::uint8_t* data() { return bytes.data() + lead; }
};

Guarded random_buffer(std::mt19937& rng, std::size_t size, std::size_t trail) {
    const std::size_t lead = rng() % 4;
    Guarded buffer{Bytes(lead + size + trail), lead};
    for (auto& b : buffer.bytes) b = static_cast<std::uint8_t>(rng());
    return buffer;
}

void split_reference(const std::uint8_t* src, std::size_t count, std::size_t channels,
                     std::uint8_t* const* planes) {
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < channels; ++c) {
            if (planes[c] != nullptr) planes[c][i] = src[i * channels + c];
        }
    }
}

void merge_reference(const std::uint8_t* const* planes, std::size_t count, std::size_t channels,
                     std::uint8_t* dst) {
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < channels; ++c) {
            if (planes[c] != nullptr) dst[i * channels + c] = planes[c][i];
        }
    }
}

struct Outcome {
    bool split_ok = true;
    bool merge_ok = true;
};

// Splits random pixels with `caller` and with the reference into planes
// of random bytes, then merges those planes into random bytes both ways;
// bit c of `present` says whether plane c is given.
Outcome run_case(std::mt19937& rng, const Caller& caller, std::size_t channels,
                 std::size_t count, unsigned present, std::size_t trail) {
    Outcome outcome;
    Guarded src = random_buffer(rng, count * channels, trail);
    const Bytes src_before = src.bytes;

    std::vector<Guarded> planes;
    std::vector<Bytes> expected;
    for (std::size_t c = 0; c < channels; ++c) {
        planes.push_back(random_buffer(rng, count, trail));
        expected.push_back(planes.back().bytes);
    }
    std::vector<std::uint8_t*> got_out(channels, nullptr);
    std::vector<std::uint8_t*> want_out(channels, nullptr);
    for (std::size_t c = 0; c < channels; ++c) {
        if ((present >> c & 1u) == 0) continue;
        got_out[c] = planes[c].data();
        want_out[c] = expected[c].data() + planes[c].lead;
    }
    split_reference(src.data(), count, channels, want_out.data());
    if (caller.public_entry) {
        split_channels(src.data(), count, channels, got_out.data());
    } else {
        split_channels_forms().on(caller.isa)(src.data(), count, channels, got_out.data());
    }
    outcome.split_ok = src.bytes == src_before;
    for (std::size_t c = 0; c < channels; ++c) {
        outcome.split_ok = outcome.split_ok && planes[c].bytes == expected[c];
    }

    // The planes now hold the split pixels amid their random guard bytes.
    Guarded dst = random_buffer(rng, count * channels, trail);
    Bytes want = dst.bytes;
    std::vector<const std::uint8_t*> from(channels, nullptr);
    for (std::size_t c = 0; c < channels; ++c) {
        if ((present >> c & 1u) != 0) from[c] = planes[c].data();
    }
    merge_reference(from.data(), count, channels, want.data() + dst.lead);
    if (caller.public_entry) {
        merge_channels(from.data(), count, channels, dst.data());
    } else {
        merge_channels_forms().on(caller.isa)(from.data(), count, channels, dst.data());
    }
    outcome.merge_ok = dst.bytes == want;
    for (std::size_t c = 0; c < channels; ++c) {
        outcome.merge_ok = outcome.merge_ok && planes[c].bytes == expected[c];
    }
    return outcome;
}

std::vector<std::size_t> counts() {
    std::vector<std::size_t> all;
    // Every count around the 16- and 32-pixel blocks and their sums (an
    // AVX2 block, then a 128-bit one, then the plain loop).
    for (std::size_t n = 0; n <= 70; ++n) all.push_back(n);
    for (std::size_t n : {79u, 80u, 81u, 95u, 96u, 97u}) all.push_back(n);
    all.push_back(1000);
    all.push_back(4099);
    return all;
}

}  // namespace

CORE_TEST(channel_planes_match_the_plain_loops) {
    std::mt19937 rng(20240611);
    const std::vector<Caller> ways = callers();
    int failed = 0;
    int runs = 0;
    for (std::size_t channels = 1; channels <= 6; ++channels) {
        for (unsigned present = 0; present < (1u << channels); ++present) {
            for (std::size_t count : counts()) {
                for (const Caller& caller : ways) {
                    for (std::size_t trail : {std::size_t{0}, std::size_t{24}}) {
                        const Outcome outcome =
                            run_case(rng, caller, channels, count, present, trail);
                        ++runs;
                        if (outcome.split_ok && outcome.merge_ok) continue;
                        if (++failed <= 10) {
                            std::fprintf(stderr,
                                         "%s%s differs: path %s%s, %zu channels, %zu pixels, "
                                         "planes %#x, trail %zu\n",
                                         outcome.split_ok ? "" : "split ",
                                         outcome.merge_ok ? "" : "merge ",
                                         isa_name(caller.isa),
                                         caller.public_entry ? " (public)" : "", channels,
                                         count, present, trail);
                        }
                    }
                }
            }
        }
    }
    CHECK(failed == 0);
    CHECK(runs > 0);
}

CORE_TEST(channel_planes_keep_skipped_alpha) {
    // RGBA written back from colour planes only: the alpha bytes survive.
    constexpr std::size_t COUNT = 301;
    Bytes r(COUNT), g(COUNT), b(COUNT), pixels(COUNT * 4);
    for (std::size_t i = 0; i < COUNT; ++i) {
        r[i] = static_cast<std::uint8_t>(i);
        g[i] = static_cast<std::uint8_t>(i * 7);
        b[i] = static_cast<std::uint8_t>(i * 13);
        pixels[4 * i + 3] = static_cast<std::uint8_t>(255 - i);
    }
    for (Isa isa : ALL_ISAS) {
        if (!merge_channels_forms().runs(isa)) continue;
        const std::uint8_t* from[4] = {r.data(), g.data(), b.data(), nullptr};
        merge_channels_forms().on(isa)(from, COUNT, 4, pixels.data());
        bool ok = true;
        for (std::size_t i = 0; i < COUNT; ++i) {
            ok = ok && pixels[4 * i] == r[i] && pixels[4 * i + 1] == g[i] &&
                 pixels[4 * i + 2] == b[i] &&
                 pixels[4 * i + 3] == static_cast<std::uint8_t>(255 - i);
        }
        CHECK(ok);
        // And split back, alpha not wanted.
        Bytes r2(COUNT), g2(COUNT), b2(COUNT);
        std::uint8_t* to[4] = {r2.data(), g2.data(), b2.data(), nullptr};
        split_channels_forms().on(isa)(pixels.data(), COUNT, 4, to);
        CHECK(r2 == r);
        CHECK(g2 == g);
        CHECK(b2 == b);
    }
}

CORE_TEST(channel_planes_picked_form_runs) {
    for (const bool merge : {false, true}) {
        const std::optional<Isa> picked =
            merge ? merge_channels_forms().pick_isa() : split_channels_forms().pick_isa();
        const auto runs = [&](Isa isa) {
            return merge ? merge_channels_forms().runs(isa) : split_channels_forms().runs(isa);
        };
        CHECK(runs(Isa::portable));
        CHECK(picked.has_value() && runs(*picked));
        // The 128-bit form runs on every processor (and takes what the
        // AVX2 loops leave), so the plain loop is picked only where the
        // widest instruction set is capped at it.
        CHECK(runs(Isa::vec128));
        CHECK(picked != Isa::portable || widest_isa() == Isa::portable);
#if DITHERING_ARCH_X86
        CHECK(picked == Isa::avx2 || !isa_available(Isa::avx2) || widest_isa() != Isa::avx2);
#endif
    }
}
