#include "table.h"

#include <algorithm>
#include <array>

namespace {

using Cells = std::array<std::string, 7>;

Cells cells_of(const Row& r) { return {r.id, r.measure, r.value, r.unit, r.baseline, r.ratio, r.target}; }

void print_line(std::FILE* out, const Cells& cells, const std::array<size_t, 7>& widths) {
    for (size_t i = 0; i < cells.size(); ++i) {
        std::fprintf(out, "| %-*s ", static_cast<int>(widths[i]), cells[i].c_str());
    }
    std::fprintf(out, "|\n");
}

}  // namespace

void Table::print(std::FILE* out) const {
    Cells head = {"#", "measure", "value", "unit", "baseline or floor, same run", "ratio", "target"};
    std::array<size_t, 7> widths{};
    for (size_t i = 0; i < head.size(); ++i) widths[i] = head[i].size();
    for (const Row& r : rows) {
        Cells c = cells_of(r);
        for (size_t i = 0; i < c.size(); ++i) widths[i] = std::max(widths[i], c[i].size());
    }
    print_line(out, head, widths);
    Cells rule;
    for (size_t i = 0; i < rule.size(); ++i) rule[i] = std::string(widths[i], '-');
    print_line(out, rule, widths);
    for (const Row& r : rows) print_line(out, cells_of(r), widths);
}

std::string num(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string ratio(double a, double b) { return b > 0 ? num(a / b, 2) + "x" : ""; }
