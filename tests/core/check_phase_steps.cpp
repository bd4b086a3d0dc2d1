// Compares the phase indices of angles_to_phase_indices (which settles most
// positions without atan2) with the plain path, angle_to_phase_index of libm's
// atan2, on every integer point of a square, on axes, diagonals and extreme
// magnitudes, on points next to every half-step boundary, on random points of
// every magnitude and on real bundle sums (n = 4 gives exact halves).
//
//   check_phase_steps [SCALE]    (exit status 1 on any difference)
//
// A CTest test of the test build; scripts/test-kernels.sh runs it under each
// kernel variant.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/core_error.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_hvec.hpp"
#include "core/phase_rounding.hpp"

namespace {

using namespace tesmerine::core;

long checked = 0, differing = 0, undecided = 0;
std::vector<double> ys, xs;

void flush(std::uint32_t n) {
  std::vector<std::uint32_t> got(ys.size());
  angles_to_phase_indices(ys.data(), xs.data(), got.data(), ys.size(), n);
  std::vector<std::int32_t> steps(ys.size());
  kernels().nearest_steps(ys.data(), xs.data(), steps.data(), ys.size(), static_cast<double>(n) / kTwoPi);
  for (std::size_t i = 0; i < ys.size(); ++i) {
    const std::uint32_t want = angle_to_phase_index(std::atan2(ys[i], xs[i]), n);
    ++checked;
    undecided += steps[i] == kUndecidedStep;
    if (want != got[i] && ++differing <= 20) {
      std::printf("DIFFERENT n=%u y=%.17g x=%.17g: atan2 path %u, fast path %u\n", n, ys[i], xs[i], want, got[i]);
    }
  }
  ys.clear();
  xs.clear();
}

void add(double y, double x, std::uint32_t n) {
  ys.push_back(y);
  xs.push_back(x);
  if (ys.size() == 4096) flush(n);
}

}  // namespace

int main(int argc, char** argv) {
  const long scale = argc > 1 ? std::atol(argv[1]) : 1;
  std::mt19937_64 rng(12345);
  std::vector<std::uint32_t> ns = {2,    3,    4,    5,     6,     7,     8,     12,   16, 100, 255,
                                   256,  257,  360,  1000,  1024,  4096,  10000, 32768, 65535, 65536};
  for (int i = 0; i < 20; ++i) ns.push_back(2 + rng() % 65535);
  for (std::uint32_t n : ns) {
    for (int x = -300; x <= 300; ++x) {
      for (int y = -300; y <= 300; ++y) add(y, x, n);
    }
    flush(n);
  }
  for (std::uint32_t n : ns) {
    for (double m : {1.0, 2.0, 3.0, 16384.0, 32768.0, 1638400.0, 1e9, 1e12, 0x1p52, 0x1p53, 1e18, 0x1p1000, 1e308}) {
      for (double sx : {-1.0, -0.0, 0.0, 1.0}) {
        for (double sy : {-1.0, -0.0, 0.0, 1.0}) add(sy * m, sx * m, n);  // signed zeros too
      }
    }
    add(INFINITY, 1.0, n);
    add(1.0, -INFINITY, n);
    flush(n);
    // Next to either axis, where a tiny x leaves the angle a rounding from
    // pi/2.
    for (double big : {1.0, 1e10, 1e300}) {
      for (double ratio : {0x1p-60, 0x1p-40, 0x1p-31, 0x1p-30, 0x1p-29, 0x1p-20, 0x1p-1074}) {
        for (double sx : {-1.0, 1.0}) {
          for (double sy : {-1.0, 1.0}) add(sy * big, sx * big * ratio, n);
        }
      }
    }
    flush(n);
    // NaN has no phase: both paths refuse it with the same failure.
    for (double x : {1.0, -1.0, 0.0}) {
      for (double y : {double(NAN), 1.0}) {
        if (!std::isnan(y) && !std::isnan(x)) continue;
        std::uint32_t out = 0;
        std::string fast, plain;
        try {
          angles_to_phase_indices(&y, &x, &out, 1, n);
        } catch (const InternalFailure& e) {
          fast = e.what();
        }
        try {
          angle_to_phase_index(std::atan2(y, x), n);
        } catch (const InternalFailure& e) {
          plain = e.what();
        }
        ++checked;
        if (fast.empty() || fast != plain) {
          ++differing;
          std::printf("DIFFERENT n=%u for NaN at x=%g: '%s' and '%s'\n", n, x, plain.c_str(), fast.c_str());
        }
      }
    }
  }
  // Next to the boundary between steps j and j + 1, at many radii.
  const long double pi = 3.14159265358979323846264338327950288L;
  for (std::uint32_t n : ns) {
    const std::uint32_t stride = n > 4096 ? n / 4096 : 1;
    for (std::uint32_t j = 0; j < n; j += stride) {
      const long double phi = (static_cast<long double>(j) + 0.5L) * 2.0L * pi / n;
      for (long double r : {100.0L, 16384.0L, 163840.0L, 1638400.0L, 1.6384e9L, 1e13L}) {
        const double cx = std::nearbyint(static_cast<double>(r * cosl(phi)));
        const double cy = std::nearbyint(static_cast<double>(r * sinl(phi)));
        for (int dx = -2; dx <= 2; ++dx) {
          for (int dy = -2; dy <= 2; ++dy) add(cy + dy, cx + dx, n);
        }
        add(static_cast<double>(r * sinl(phi)), static_cast<double>(r * cosl(phi)), n);
      }
    }
    flush(n);
  }
  for (long round = 0; round < 40 * scale; ++round) {
    const std::uint32_t n = round % 3 == 0 ? ns[rng() % ns.size()] : 2 + rng() % 65535;
    const int bits = 1 + static_cast<int>(rng() % 50);
    const auto draw = [&] {
      return static_cast<double>(static_cast<std::int64_t>(rng() >> (64 - bits)) - (std::int64_t{1} << (bits - 1)));
    };
    for (int i = 0; i < 100000; ++i) {
      const double y = draw();
      add(y, draw(), n);
    }
    flush(n);
  }
  for (std::uint32_t n : {4u, 8u, 256u}) {
    std::vector<double> c(n), s(n);
    for (std::uint32_t k = 0; k < n; ++k) {
      const double angle = (static_cast<double>(k) * kTwoPi) / n;
      c[k] = static_cast<double>(round_half_away(std::cos(angle) * 16384.0));
      s[k] = static_cast<double>(round_half_away(std::sin(angle) * 16384.0));
    }
    for (long r = 0; r < 2000000 * scale; ++r) {
      const int items = 1 + static_cast<int>(rng() % 12);
      double x = 0, y = 0;
      for (int i = 0; i < items; ++i) {
        const std::uint32_t p = rng() % n;
        x += c[p];
        y += s[p];
      }
      add(y, x, n);
    }
    flush(n);
  }
  const char* forced = std::getenv("TESMERINE_KERNELS");
  std::printf("%s kernels: %ld angles, %ld left to atan2, %ld different\n",
              forced != nullptr ? forced : supported_kernel_variants()[0], checked, undecided, differing);
  return differing == 0 ? 0 : 1;
}
