#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

enum class LogLevel { Debug, Info, Warning, Error };

// A named log channel, one per component ("RefreshCoordinator", "CommandRunner", ...).
// Cheap to copy; every method may be called from any thread. Lines go to the log file
// and, with --verbose, to standard error, as configured by configureLogging().
class Logger {
public:
    explicit Logger(std::string category);

    void debug(std::string_view message) const { write(LogLevel::Debug, message); }
    void info(std::string_view message) const { write(LogLevel::Info, message); }
    void warning(std::string_view message) const { write(LogLevel::Warning, message); }
    void error(std::string_view message) const { write(LogLevel::Error, message); }
    void write(LogLevel level, std::string_view message) const;
    // Puts what was written so far in the file now: before a wait of unknown length, so that
    // whoever reads the log sees why nothing happens.
    void flush() const;

    const std::string& category() const noexcept { return category_; }

private:
    std::string category_;
    std::shared_ptr<void> backend_;
};

struct LogConfiguration {
    std::optional<std::string> filePath;  // no file when absent
    bool toStandardError = false;
    LogLevel minimumLevel = LogLevel::Debug;
};

// Replaces where lines go; loggers created earlier follow the change.
void configureLogging(const LogConfiguration& configuration);

// Every line written while an observer is registered is also handed to it.
using LogObserver = std::function<void(LogLevel, std::string_view category, std::string_view message)>;
int addLogObserver(LogObserver observer);
void removeLogObserver(int token);

// Collects the lines written while it lives; for tests that check a log line.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view text) const;
    std::size_t count(std::string_view text) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    int token_;
};

}  // namespace vt
