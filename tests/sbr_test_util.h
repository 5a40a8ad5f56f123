// Shared by the SBR and PS tests: the rows of the generated tables' data files.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// tools/gen_tables/data/<folder>/<name> without its heading, cells split
// at tabs.
inline std::vector<std::vector<std::string>> table_data(const std::string& folder, const std::string& name) {
    std::ifstream in(std::string(AAC_SOURCE_DIR) + "/tools/gen_tables/data/" + folder + "/" + name);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> row;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');) row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

inline std::vector<std::vector<std::string>> sbr_data(const std::string& name) { return table_data("sbr", name); }
