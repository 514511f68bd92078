// SPDX-License-Identifier: MIT
// The data file: a line "about KEY VALUE" for each fact of the benchmark, and
// a line "run PAIR SUBJECT FIELD VALUES" for each field of each run, its
// values apart by spaces; the columns apart by tabs.

#include "record.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

const std::string& Record::operator[](const std::string& key) const
{
    for (const auto& [name, value] : about) {
        if (name == key) return value;
    }
    throw std::runtime_error("the data says nothing of \"" + key + "\"");
}

std::vector<const RunRecord*> Record::runsOf(const std::string& subject) const
{
    std::vector<const RunRecord*> found;
    for (const RunRecord& run : runs) {
        if (run.subject == subject) found.push_back(&run);
    }
    return found;
}

bool writeRecord(const std::string& path, const Record& record)
{
    std::ofstream out(path);
    out << "# The benchmark's raw data: bench --report makes its page from it.\n";
    for (const auto& [key, value] : record.about) out << "about\t" << key << "\t" << value << "\n";
    for (const RunRecord& run : record.runs) {
        const std::string head = "run\t" + std::to_string(run.pair) + "\t" + run.subject + "\t";
        out << head << "renderer\t" << run.renderer << "\n";
        for (const auto& [name, field] : runFields) {
            out << head << name << "\t";
            const Values& values = run.*field;
            for (size_t i = 0; i < values.size(); ++i) out << (i > 0 ? " " : "") << values[i];
            out << "\n";
        }
    }
    return static_cast<bool>(out.flush());
}

Record readRecord(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    Record record;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const auto fault = [&](const std::string& what) {
            return std::runtime_error(path + ":" + std::to_string(number) + ": " + what);
        };
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> columns;
        std::istringstream split(line);
        for (std::string column; std::getline(split, column, '\t');) columns.push_back(column);
        if (columns.size() == 3 && columns[0] == "about") {
            record.about.emplace_back(columns[1], columns[2]);
            continue;
        }
        if (columns.size() < 4 || columns.size() > 5 || columns[0] != "run")
            throw fault("neither an about nor a run line");
        const int pair = std::stoi(columns[1]);
        if (record.runs.empty() || record.runs.back().pair != pair ||
            record.runs.back().subject != columns[2]) {
            record.runs.push_back({});
            record.runs.back().pair = pair;
            record.runs.back().subject = columns[2];
        }
        RunRecord& run = record.runs.back();
        const std::string value = columns.size() == 5 ? columns[4] : "";
        if (columns[3] == "renderer") {
            run.renderer = value;
            continue;
        }
        const auto field = std::find_if(runFields.begin(), runFields.end(),
                                        [&](const RunField& f) { return columns[3] == f.first; });
        if (field == runFields.end()) throw fault("no run field \"" + columns[3] + "\"");
        std::istringstream numbers(value);
        for (long long read = 0; numbers >> read;) (run.*(field->second)).push_back(read);
        if (!numbers.eof()) throw fault("a value of " + columns[3] + " is not a whole number");
    }
    return record;
}
