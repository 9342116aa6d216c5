#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"

namespace vt {

// A result file holding one JSON array of records (`T::toJson`, `T::fromJson`), written
// atomically so a crash leaves the previous file whole.

// The folder is created when missing; a failure is logged "Cannot write FILE: ...".
template <typename T>
bool saveRecords(const std::string& folder, const char* fileName, const std::vector<T>& records, const Logger& log) {
    Json list = Json::array();
    for (const T& record : records) list.push_back(record.toJson());
    try {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        writeFileAtomically(folder + "/" + fileName, dumpJson(list));
        return true;
    } catch (const std::exception& error) {
        log.error(localized("log.records.not_written", {fileName, error.what()}));
        return false;
    }
}

// A missing file is an empty list; an undecodable one is logged "Ignored FILE: ..." and
// read as empty, never half-read.
template <typename T>
std::vector<T> loadRecords(const std::string& folder, const char* fileName, const Logger& log) {
    std::vector<T> records;
    std::optional<std::string> text = readFile(folder + "/" + fileName);
    if (!text) return records;
    std::optional<Json> json = parseJson(*text);
    try {
        if (!json || !json->is_array()) throw std::invalid_argument("not a JSON array");
        for (const Json& entry : *json) records.push_back(T::fromJson(entry));
    } catch (const std::exception& error) {
        log.warning(localized("log.records.ignored", {fileName, error.what()}));
        records.clear();
    }
    return records;
}

}  // namespace vt
