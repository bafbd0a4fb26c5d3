// One table of results, written as Markdown with aligned columns so it reads in a terminal too.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct Row {
    std::string id, measure, value, unit, baseline, ratio, target;
};

struct Table {
    std::vector<Row> rows;
    void add(Row row) { rows.push_back(std::move(row)); }
    void print(std::FILE* out) const;
};

std::string num(double value, int decimals);
// "1.23x": a against b, or "" when b is not positive.
std::string ratio(double a, double b);
