#include "base/Log.hpp"

#include <filesystem>
#include <map>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace vt {

namespace {

class ObserverSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    int add(LogObserver observer) {
        std::scoped_lock lock(observersMutex_);
        observers_[++lastToken_] = std::move(observer);
        return lastToken_;
    }
    void remove(int token) {
        std::scoped_lock lock(observersMutex_);
        observers_.erase(token);
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::map<int, LogObserver> observers;
        {
            std::scoped_lock lock(observersMutex_);
            if (observers_.empty()) return;
            observers = observers_;
        }
        LogLevel level = msg.level >= spdlog::level::err    ? LogLevel::Error
                         : msg.level == spdlog::level::warn ? LogLevel::Warning
                         : msg.level == spdlog::level::info ? LogLevel::Info
                                                            : LogLevel::Debug;
        std::string_view category(msg.logger_name.data(), msg.logger_name.size());
        std::string_view text(msg.payload.data(), msg.payload.size());
        for (auto& [token, observer] : observers) observer(level, category, text);
    }
    void flush_() override {}

private:
    std::mutex observersMutex_;
    std::map<int, LogObserver> observers_;
    int lastToken_ = 0;
};

// The log file and its folder are made at the first line, so that a command that logs
// nothing (--version, help) leaves no trace, not even in a HOME that does not exist yet.
class FirstLineFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit FirstLineFileSink(std::string path) : path_(std::move(path)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (!file_ && !failed_) open();
        if (file_) file_->log(msg);
    }
    void flush_() override {
        if (file_) file_->flush();
    }

private:
    void open() {
        try {
            std::error_code error;
            std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), error);
            file_ = std::make_shared<spdlog::sinks::rotating_file_sink_st>(path_, 5 * 1024 * 1024, 2);
            file_->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
        } catch (const spdlog::spdlog_ex&) {
            // An unwritable log file must not stop the program; lines still reach stderr when asked.
            failed_ = true;
        }
    }

    std::string path_;
    std::shared_ptr<spdlog::sinks::rotating_file_sink_st> file_;
    bool failed_ = false;
};

struct LoggingState {
    std::shared_ptr<spdlog::sinks::dist_sink_mt> destinations = std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<ObserverSink> observers = std::make_shared<ObserverSink>();
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
};

LoggingState& state() {
    static auto* instance = new LoggingState();  // never destroyed: loggers outlive static destructors
    return *instance;
}

spdlog::level::level_enum toSpdlog(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return spdlog::level::debug;
        case LogLevel::Info: return spdlog::level::info;
        case LogLevel::Warning: return spdlog::level::warn;
        case LogLevel::Error: return spdlog::level::err;
    }
    return spdlog::level::info;
}

std::shared_ptr<spdlog::logger> loggerFor(const std::string& category) {
    LoggingState& s = state();
    std::scoped_lock lock(s.mutex);
    auto& logger = s.loggers[category];
    if (!logger) {
        logger = std::make_shared<spdlog::logger>(category, spdlog::sinks_init_list{s.destinations, s.observers});
        logger->set_level(spdlog::level::debug);
        logger->flush_on(spdlog::level::warn);
    }
    return logger;
}

}  // namespace

Logger::Logger(std::string category) : category_(std::move(category)), backend_(loggerFor(category_)) {}

void Logger::write(LogLevel level, std::string_view message) const {
    auto* logger = static_cast<spdlog::logger*>(backend_.get());
    logger->log(toSpdlog(level), spdlog::string_view_t(message.data(), message.size()));
}

void Logger::flush() const { static_cast<spdlog::logger*>(backend_.get())->flush(); }

void configureLogging(const LogConfiguration& configuration) {
    std::vector<spdlog::sink_ptr> sinks;
    if (configuration.filePath) sinks.push_back(std::make_shared<FirstLineFileSink>(*configuration.filePath));
    if (configuration.toStandardError) {
        auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        err->set_pattern("[%n] %v");
        sinks.push_back(err);
    }
    for (auto& sink : sinks) sink->set_level(toSpdlog(configuration.minimumLevel));
    state().destinations->set_sinks(std::move(sinks));
}

int addLogObserver(LogObserver observer) { return state().observers->add(std::move(observer)); }
void removeLogObserver(int token) { state().observers->remove(token); }

LogCapture::LogCapture()
    : token_(addLogObserver([this](LogLevel, std::string_view, std::string_view message) {
          std::scoped_lock lock(mutex_);
          lines_.emplace_back(message);
      })) {}

LogCapture::~LogCapture() { removeLogObserver(token_); }

std::vector<std::string> LogCapture::lines() const {
    std::scoped_lock lock(mutex_);
    return lines_;
}

bool LogCapture::contains(std::string_view text) const { return count(text) > 0; }

std::size_t LogCapture::count(std::string_view text) const {
    std::scoped_lock lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
}

}  // namespace vt
