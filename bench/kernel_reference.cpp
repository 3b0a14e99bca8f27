// The weekly step's arithmetic alone, over contiguous arrays: the floor the
// farm kernel is measured against. One chain of n cohorts with the curves
// already tabulated; per cohort and week: ageing, the three counters, suckers,
// exit, deaths and the new population.
//   kernel_reference <cohorts> <weeks>  ->  prints nanoseconds per cohort-week
// (CPU time of the thread, as the benchmark measures the kernel).
//   kernel_reference <cohorts> <weeks> full
// adds the rest of what a chain's week computes: the suckers of flowered
// plants (a division and the farm's bound per cohort), pruning by population
// floor and age with the survivors kept in order, and the exact (compensated)
// total of the kept populations.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>
#include <vector>

static double thread_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    const std::size_t weeks = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 520;
    std::vector<double> sucker(4096), hazard(4096);
    for (std::size_t k = 1; k < 4096; ++k) {
        sucker[k] = std::exp(-0.5 * std::pow((k - 10.0) / 4.0, 2)) / 10.0;
        hazard[k] = std::fmin(0.9, 0.05 * k);
    }
    const bool full = argc > 3 && std::string(argv[3]) == "full";
    std::vector<double> flowered(4096);
    for (std::size_t k = 1; k < 4096; ++k) flowered[k] = 1.0 - std::exp(-0.3 * k);
    std::vector<double> pop(n), ta(n);
    std::vector<std::int64_t> wf(n), ws(n), birth(n);
    double checksum = 0.0;
    double cohort_weeks = 0.0;  // cohorts stepped, summed over weeks and repeats
    const int repeats = static_cast<int>(2000000 / (n * weeks) + 1);
    const double t0 = thread_ns();
    for (int r = 0; r < repeats; ++r) {
        std::size_t live = n;
        for (std::size_t i = 0; i < n; ++i) {
            pop[i] = 100.0 + i;
            ta[i] = 20.0 * i;
            wf[i] = ws[i] = 0;
            birth[i] = -static_cast<std::int64_t>(i);
        }
        for (std::size_t w = 0; w < weeks; ++w) {
            const double inc = 60.0 + (w % 7);
            double sum_exit = 0.0, sum_death = 0.0, sum_sucker = 0.0, sum_parous = 0.0;
            double total = 0.0, carry = 0.0;
            std::size_t kept = 0;
            if (!full) live = n;
            cohort_weeks += static_cast<double>(live);
            for (std::size_t i = 0; i < live; ++i) {
                double a = ta[i] + inc;
                std::int64_t f = a < 2000.0 ? 0 : wf[i] + 1;
                std::int64_t s = a < 900.0 ? 0 : ws[i] + 1;
                double p = pop[i];
                double suck = p * sucker[s < 4096 ? s : 4095];
                double exit = p * hazard[f < 4096 ? f : 4095];
                double surv = p - exit;
                if (!(surv > 0.0)) surv = 0.0;
                double death = p * 0.002;
                if (surv < death) death = surv;
                ta[i] = a;
                wf[i] = f;
                ws[i] = s;
                double np = p - exit - death;
                pop[i] = np > 0.0 ? np : 0.0;
                sum_exit += exit;
                sum_death += death;
                sum_sucker += suck;
                if (full) {
                    const double fl = flowered[f < 4096 ? f : 4095], bound = 5000.0;
                    if (suck > 0.0 && fl > 0.0)
                        sum_parous += (fl < 1.0 && p * fl <= bound * (1.0 - fl))
                                          ? suck * fl / (1.0 - fl)
                                          : suck / p * bound;
                    if (pop[i] < 1e-6 || static_cast<std::int64_t>(w) - birth[i] > 1000000) continue;
                    pop[kept] = pop[i], ta[kept] = ta[i], wf[kept] = wf[i], ws[kept] = ws[i];
                    birth[kept] = birth[i];
                    ++kept;
                    const double x = pop[i], t = total + x;  // compensated sum
                    carry += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
                    total = t;
                }
            }
            if (full) live = kept;
            checksum += sum_exit + sum_death + sum_sucker + sum_parous + total + carry;
        }
    }
    double ns = thread_ns() - t0;
    std::printf("%.4f %g\n", ns / cohort_weeks, checksum);
}
