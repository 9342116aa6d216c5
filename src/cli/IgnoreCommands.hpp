#pragma once

#include <string>

#include "presentation/AllUpdateRow.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

// `ignore`, `unignore`, `skip`, `snooze`, `unsnooze` and `ignored`: every way to take an
// item out of the table, and the list of what is out.
void addIgnoreCommands(CLI::App& app, int* exitCode);

// What an ignore of the row is stored under: applications by bundle identifier, so that the
// ignore follows them to every source; other rows by their id.
std::string ignoreKey(const AllUpdateRow& row);

}  // namespace vt::cli
