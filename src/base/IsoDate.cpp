#include "base/IsoDate.hpp"

#include <cctype>
#include <ctime>

#include "base/Strings.hpp"

namespace vt {

namespace {

bool allDigits(std::string_view text) {
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return !text.empty();
}

}  // namespace

bool isCalendarDate(int year, int month, int day) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= (month == 2 && leap ? 29 : kDays[month - 1]);
}

std::optional<Clock::TimePoint> parseIsoDate(std::string_view text) {
    text = trimView(text);
    auto number = [&text](std::size_t from, std::size_t length) -> std::optional<int> {
        if (from + length > text.size() || !allDigits(text.substr(from, length))) return std::nullopt;
        return std::stoi(std::string(text.substr(from, length)));
    };
    auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
    if (!isCalendarDate(*year, *month, *day)) return std::nullopt;
    std::tm parts{};
    parts.tm_year = *year - 1900;
    parts.tm_mon = *month - 1;
    parts.tm_mday = *day;
    std::size_t at = 10;
    long long offsetSeconds = 0;
    std::chrono::microseconds fraction{0};
    if (at < text.size() && (text[at] == 'T' || text[at] == 't' || text[at] == ' ')) {
        auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
        if (!hour || !minute || !second || text[13] != ':' || text[16] != ':') return std::nullopt;
        if (*hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
        parts.tm_hour = *hour;
        parts.tm_min = *minute;
        parts.tm_sec = *second;
        at = 19;
        if (at < text.size() && text[at] == '.') {
            std::size_t digits = ++at;
            long long micros = 0;
            int counted = 0;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
                if (counted < 6) {
                    micros = micros * 10 + (text[at] - '0');
                    ++counted;
                }
                ++at;
            }
            if (at == digits) return std::nullopt;
            while (counted++ < 6) micros *= 10;
            fraction = std::chrono::microseconds(micros);
        }
        if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
            ++at;
        } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            auto hours = number(at + 1, 2), minutes = number(at + 4, 2);
            if (!hours || !minutes || text[at + 3] != ':') return std::nullopt;
            offsetSeconds = (*hours * 3600LL + *minutes * 60LL) * (text[at] == '-' ? -1 : 1);
            at += 6;
        }
    }
    if (at != text.size()) return std::nullopt;
    std::time_t seconds = ::timegm(&parts);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    // The clock counts nanoseconds: it holds the years 1678 to 2261, not every four-digit one.
    constexpr long long kLimit = std::chrono::duration_cast<std::chrono::seconds>(Clock::Duration::max()).count() - 1;
    if (seconds - offsetSeconds > kLimit || seconds - offsetSeconds < -kLimit) return std::nullopt;
    return Clock::TimePoint(std::chrono::seconds(seconds - offsetSeconds)) +
           std::chrono::duration_cast<Clock::Duration>(fraction);
}

std::string formatIsoDate(Clock::TimePoint date) {
    std::time_t time = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace vt
