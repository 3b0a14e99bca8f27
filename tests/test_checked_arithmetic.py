"""core/checked.hpp and the pruning age rule against exact arithmetic, compiled and
run by the C++ compiler.

Every pair of 8-bit values is checked against int arithmetic, and every pair
of a set of boundary values of the 64-bit types against 128-bit arithmetic:
the overflow flag, the result when it fits, and the output left alone when
it does not.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

PROGRAM = r"""
#include "core/checked.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

using namespace narvo::core;
static int failures = 0;

template <class T, class Wide, class Op, class Exact>
void check(const char* what, Op op, Exact exact, T a, T b) {
    const Wide want = exact(static_cast<Wide>(a), static_cast<Wide>(b));
    const bool fits = want >= static_cast<Wide>(std::numeric_limits<T>::min()) &&
                      want <= static_cast<Wide>(std::numeric_limits<T>::max());
    T out = T(42);
    const bool overflowed = op(a, b, &out);
    const bool ok = fits ? (!overflowed && static_cast<Wide>(out) == want)
                         : (overflowed && out == T(42));
    if (!ok && ++failures <= 20)
        std::printf("%s(%lld, %lld): overflowed=%d out=%lld\n", what,
                    static_cast<long long>(a), static_cast<long long>(b), overflowed,
                    static_cast<long long>(out));
}

// MulWide holds every product of two T (unsigned __int128 for uint64_t).
template <class T, class Wide, class MulWide = Wide>
void check_all(const std::vector<T>& values) {
    for (T a : values)
        for (T b : values) {
            check<T, Wide>("add", add_overflows<T>, [](Wide x, Wide y) { return x + y; }, a, b);
            check<T, Wide>("sub", sub_overflows<T>, [](Wide x, Wide y) { return x - y; }, a, b);
            check<T, MulWide>("mul", mul_overflows<T>, [](MulWide x, MulWide y) { return x * y; },
                              a, b);
        }
}

template <class T>
std::vector<T> every_value() {
    std::vector<T> out;
    for (long long v = std::numeric_limits<T>::min(); v <= std::numeric_limits<T>::max(); ++v)
        out.push_back(static_cast<T>(v));
    return out;
}

template <class T>
std::vector<T> boundaries() {
    using L = std::numeric_limits<T>;
    using W = __int128;
    const W around[] = {0, 1, 2, 3, 7, W(1) << 31, W(1) << 32, 3037000499, 3037000500,
                        W(L::max()) / 2, W(L::max()) / 3, W(L::max()) / 7, W(L::max())};
    std::vector<T> out;
    auto keep = [&](W v) {
        if (v >= W(L::min()) && v <= W(L::max())) out.push_back(static_cast<T>(v));
    };
    for (W v : around)
        for (W d : {W(-1), W(0), W(1)}) {
            keep(v + d);
            keep(-(v + d));
        }
    keep(W(L::min()));
    keep(W(L::min()) + 1);
    return out;
}

int main() {
    check_all<std::int8_t, int>(every_value<std::int8_t>());
    check_all<std::uint8_t, int>(every_value<std::uint8_t>());
    check_all<std::int64_t, __int128>(boundaries<std::int64_t>());
    check_all<std::uint64_t, __int128, unsigned __int128>(boundaries<std::uint64_t>());
    std::printf("failures: %d\n", failures);
    return failures != 0;
}
"""


def compiler():
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if name and shutil.which(name):
            return name
    pytest.skip("no C++ compiler")


def run_check(tmp_path, name, program):
    """Compile `program` with UBSan, run it, and require that it found no failure."""
    source = tmp_path / f"{name}.cpp"
    source.write_text(program)
    binary = tmp_path / name
    build = subprocess.run([compiler(), "-std=c++20", "-O1", "-Wall", "-Wextra",
                            "-fsanitize=undefined", "-fno-sanitize-recover=undefined",
                            f"-I{ROOT / 'src'}", str(source), "-o", str(binary)],
                           capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip().endswith("failures: 0")


def test_checked_arithmetic_is_exact(tmp_path):
    run_check(tmp_path, "checked_test", PROGRAM)


AGE_PROGRAM = r"""
#include "core/cohort.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

using namespace narvo::core;

// week - birth > limit in exact integers against the floor of the limit.
static bool exceeds_exactly(std::int64_t week, std::int64_t birth, double limit) {
    if (std::isnan(limit)) return false;
    if (limit == INFINITY) return false;
    if (limit == -INFINITY) return true;
    const double f = std::floor(limit);
    if (f >= 0x1p100) return false;
    if (f <= -0x1p100) return true;
    return static_cast<__int128>(week) - birth > static_cast<__int128>(f);
}

int main() {
    using L = std::numeric_limits<std::int64_t>;
    std::vector<std::int64_t> weeks;
    for (std::int64_t v : {L::min(), L::min() + 1, L::min() + 2, std::int64_t{-1000003}, std::int64_t{-3},
                           std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, std::int64_t{2}, std::int64_t{52},
                           std::int64_t{1} << 40, (std::int64_t{1} << 62) - 1, std::int64_t{1} << 62,
                           L::max() - 2, L::max() - 1, L::max()})
        weeks.push_back(v);
    std::vector<double> limits = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.999999,
                                  3.0, 103.0, 104.5, -104.5, 0x1p52, 0x1p53, 0x1p62, -0x1p62, 0x1p63,
                                  -0x1p63, 0x1p63 + 4096.0, -0x1p63 - 4096.0, 0x1p64 - 2048.0,
                                  -(0x1p64 - 2048.0), 0x1p64, -0x1p64, 1e300, -1e300};
    int failures = 0;
    long checked = 0;
    for (std::int64_t week : weeks)
        for (double limit : limits) {
            const AgeBound bound(week, limit);
            for (std::int64_t birth : weeks)
                for (std::int64_t d : {std::int64_t{-2}, std::int64_t{-1}, std::int64_t{0}, std::int64_t{1},
                                       std::int64_t{2}}) {
                    __int128 b = static_cast<__int128>(birth) + d;
                    if (b < L::min() || b > L::max()) continue;
                    const std::int64_t born = static_cast<std::int64_t>(b);
                    const bool want = exceeds_exactly(week, born, limit);
                    ++checked;
                    if (difference_exceeds(week, born, limit) != want && ++failures <= 20)
                        std::printf("difference_exceeds(%lld, %lld, %g) != %d\n", (long long)week,
                                    (long long)born, limit, want);
                    if (bound.over(born) != want && ++failures <= 20)
                        std::printf("AgeBound(%lld, %g).over(%lld) != %d\n", (long long)week, limit,
                                    (long long)born, want);
                }
        }
    std::printf("checked %ld, failures: %d\n", checked, failures);
    return failures != 0;
}
"""


def test_age_bound_is_the_exact_age_rule(tmp_path):
    run_check(tmp_path, "age_test", AGE_PROGRAM)

