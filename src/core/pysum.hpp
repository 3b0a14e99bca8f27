// Floating-point summation exactly as the interpreter's built-in sum() does it
// for floats (Neumaier's compensated summation), so that totals computed here
// agree bit for bit with the same totals computed in Python.
#pragma once

#include <cmath>
#include <cstddef>

namespace narvo::core {

class PythonSum {
public:
    void add(double x) {
        if (!started_) {
            // sum() starts from the integer 0; 0 + x is x (and 0 + -0.0 is 0.0).
            total_ = 0.0 + x;
            started_ = true;
            return;
        }
        double t = total_ + x;
        if (std::fabs(total_) >= std::fabs(x))
            comp_ += (total_ - t) + x;
        else
            comp_ += (x - t) + total_;
        total_ = t;
    }
    bool empty() const { return !started_; }
    double result() const {
        double r = total_;
        if (comp_ != 0.0 && std::isfinite(comp_)) r += comp_;
        return r;
    }

private:
    double total_ = 0.0;
    double comp_ = 0.0;
    bool started_ = false;
};

inline double python_sum(const double* values, std::size_t n) {
    PythonSum s;
    for (std::size_t i = 0; i < n; ++i) s.add(values[i]);
    return s.result();
}

}  // namespace narvo::core
