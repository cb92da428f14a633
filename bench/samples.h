// A set of measurements and the order statistics the benchmarks print.
#pragma once

#include <vector>

class Samples
{
public:
    void add(double value) { m_values.push_back(value); }
    void add(const Samples &other);
    bool isEmpty() const { return m_values.empty(); }
    int count() const { return int(m_values.size()); }

    // Nearest-rank percentile, p in [0, 100]; 0 when empty.
    double percentile(double p) const;
    double median() const;
    double max() const { return percentile(100); }

private:
    std::vector<double> m_values;
};
