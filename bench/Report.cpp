#include "Report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <sys/utsname.h>
#include <thread>

namespace zelvo::bench {

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

namespace {

std::optional<double> ratioTo(const Row& row, const std::optional<double>& floor) {
    if (!floor || *floor == 0) {
        return std::nullopt;
    }
    return row.measured / *floor;
}

std::optional<double> ratioOf(const Row& row) {
    return ratioTo(row, row.floor);
}

std::optional<bool> met(const Row& row) {
    const auto ratio = ratioOf(row);
    if (row.target == "max" && ratio) {
        return *ratio <= row.bound;
    }
    if (row.target == "min" && ratio) {
        return *ratio >= row.bound;
    }
    if (row.target == "below") {
        return row.measured < row.bound;
    }
    return std::nullopt;
}

std::string targetText(const Row& row) {
    if (row.target == "max") {
        return "<= " + fixed(row.bound, 2) + "x";
    }
    if (row.target == "min") {
        return ">= " + fixed(row.bound, 2) + "x";
    }
    if (row.target == "below") {
        return "< " + fixed(row.bound, 2) + " " + row.unit;
    }
    return "";
}

int digitsFor(double value) {
    return std::fabs(value) >= 100 ? 0 : std::fabs(value) >= 10 ? 1 : 3;
}

std::string valueText(const std::optional<double>& value) {
    return value ? fixed(*value, digitsFor(*value)) : "-";
}

std::string ratioText(const std::optional<double>& ratio) {
    return ratio ? fixed(*ratio, 3) : "-";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string jsonNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string jsonNumber(const std::optional<double>& value) {
    return value ? jsonNumber(*value) : "null";
}

void printTable(const std::vector<Row>& rows, const Columns& columns) {
    std::printf("%-52s %10s %10s %7s  %-12s %-4s %10s %8s\n", "figure", columns.measured.c_str(),
                "floor", "ratio", "target", "met", columns.reference.c_str(),
                columns.reference.empty() ? "" : ("vs " + columns.reference).c_str());
    for (const auto& row : rows) {
        const std::string figure = row.figure + " (" + row.unit + ")";
        const auto ok = met(row);
        std::printf("%-52s %10s %10s %7s  %-12s %-4s %10s %8s\n", figure.c_str(),
                    valueText(row.measured).c_str(), valueText(row.floor).c_str(),
                    ratioText(ratioOf(row)).c_str(), targetText(row).c_str(),
                    !ok   ? ""
                    : *ok ? "yes"
                          : "NO",
                    row.reference ? valueText(row.reference).c_str() : "",
                    row.reference ? ratioText(ratioTo(row, row.reference)).c_str() : "");
    }
}

void writeJson(const std::string& path, const Columns& columns, const std::vector<Row>& rows,
               const std::map<std::string, std::string>& context) {
    std::ofstream out(path);
    out << "{\n  \"context\": {";
    const char* separator = "\n";
    for (const auto& [key, value] : context) {
        out << separator << "    " << jsonString(key) << ": " << jsonString(value);
        separator = ",\n";
    }
    out << "\n  },\n  \"figures\": [";
    separator = "\n";
    for (const auto& row : rows) {
        const auto ratio = ratioOf(row);
        const auto ok = met(row);
        out << separator << "    {\"figure\": " << jsonString(row.figure)
            << ", \"unit\": " << jsonString(row.unit) << ", " << jsonString(columns.measured)
            << ": " << jsonNumber(row.measured) << ", \"floor\": " << jsonNumber(row.floor)
            << ", \"ratio\": " << jsonNumber(ratio)
            << ", \"target\": " << jsonString(targetText(row)) << ", \"met\": "
            << (!ok   ? "null"
                : *ok ? "true"
                      : "false");
        if (row.reference) {
            out << ", " << jsonString(columns.reference) << ": " << jsonNumber(row.reference)
                << ", " << jsonString("ratio to " + columns.reference) << ": "
                << jsonNumber(ratioTo(row, row.reference));
        }
        out << "}";
        separator = ",\n";
    }
    out << "\n  ]\n}\n";
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

void addMachine(std::map<std::string, std::string>& context) {
    utsname machine{};
    if (::uname(&machine) == 0) {
        context["kernel"] =
            std::string(machine.sysname) + " " + machine.release + " " + machine.machine;
    }
    context["cores"] = std::to_string(std::thread::hardware_concurrency());
}

void report(const std::vector<Row>& rows, const Columns& columns,
            const std::map<std::string, std::string>& context, const std::string& jsonPath) {
    printTable(rows, columns);
    for (const auto& [key, value] : context) {
        std::printf("  %s: %s\n", key.c_str(), value.c_str());
    }
    writeJson(jsonPath, columns, rows, context);
    std::printf("Results written to %s\n", jsonPath.c_str());
}

} // namespace zelvo::bench
