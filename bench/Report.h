#pragma once

// The bench's table: each figure next to its floor and its target, printed and written as JSON.
// Benchmarks report; nothing here fails on a figure.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelvo::bench {

// One line of the table. A figure without a floor or a target leaves them out. The reference is a
// second floor shown beside the one the target is judged against.
struct Row {
    Row(std::string figure_, std::string unit_, double measured_, std::optional<double> floor_,
        std::string target_, double bound_, std::optional<double> reference_ = std::nullopt)
        : figure(std::move(figure_)), unit(std::move(unit_)), measured(measured_), floor(floor_),
          target(std::move(target_)), bound(bound_), reference(reference_) {}

    std::string figure;
    std::string unit;
    double measured = 0;
    std::optional<double> floor;
    // "max R": measured/floor at most R; "min R": at least R; "below V": measured below V.
    std::string target;
    double bound = 0;
    std::optional<double> reference;
};

// `value` with `digits` digits after the point.
[[nodiscard]] std::string fixed(double value, int digits);

// The names of the table's columns that differ between benches: the measured figure, and the
// reference floor (empty when no row has one).
struct Columns {
    std::string measured;
    std::string reference;
};

// Adds the machine's kernel and core count to `context`.
void addMachine(std::map<std::string, std::string>& context);

// Prints the table and the context lines on standard output and writes both to `jsonPath` as JSON,
// under the names in `columns`. Throws std::runtime_error when the file cannot be written.
void report(const std::vector<Row>& rows, const Columns& columns,
            const std::map<std::string, std::string>& context, const std::string& jsonPath);

} // namespace zelvo::bench
