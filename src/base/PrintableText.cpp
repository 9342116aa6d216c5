#include "base/PrintableText.hpp"

#include <cstdint>
#include <cstring>

#include "base/Random.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

constexpr char kTokenStart = '\x01';
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Drawn once per process: 24 letters and digits after a byte that is itself dropped. Kept in
// a plain array, never destroyed: standard output is flushed through the filter after the
// static destructors have run.
std::string_view token() {
    static constexpr std::size_t kLength = 25;
    static char value[kLength];
    static const bool drawn = [] {
        static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        value[0] = kTokenStart;
        // Bytes past the alphabet's last whole multiple are refused, so that every letter is
        // as likely.
        constexpr std::size_t kFair = 256 - 256 % kAlphabet.size();
        for (std::size_t i = 1; i < kLength;) {
            unsigned char bytes[32];
            randomBytes(bytes, sizeof bytes);
            for (unsigned char byte : bytes) {
                if (i < kLength && byte < kFair) value[i++] = kAlphabet[byte % kAlphabet.size()];
            }
        }
        return true;
    }();
    (void)drawn;
    return {value, kLength};
}

// How many bytes at the start of `bytes` are printable ASCII, eight at a time: every byte of
// a command's output goes through here.
std::size_t printableRun(std::string_view bytes) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        // A byte below 0x20 borrows when 0x20 is taken from it, DEL reaches the top bit when one
        // is added, and one from 0x80 up has it already.
        if ((((word - 0x20 * kOnes) | word | (word + kOnes)) & kHighs) != 0) break;
    }
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) >= 0x20 && static_cast<unsigned char>(bytes[i]) < 0x7F) {
        ++i;
    }
    return i;
}

// Whether the text ends inside the sequence that `lead` begins: its rest may come next.
bool endsWithin(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0xC2 || lead > 0xF4) return false;
    const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return at + expected > text.size();
}

char32_t codePoint(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    char32_t value = sequence.size() == 2 ? (lead & 0x1F) : sequence.size() == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < sequence.size(); ++k) {
        value = (value << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3F);
    }
    return value;
}

// C1 controls (8-bit CSI and OSC among them) and the marks that reorder displayed text.
bool isInvisibleControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void PrintableTextFilter::feed(std::string_view bytes, std::string& out) {
    std::string joined;
    if (!pending_.empty()) {
        joined = std::move(pending_);
        joined.append(bytes);
        bytes = joined;
        pending_.clear();
    }
    const std::string_view mark = token();
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Plain printable ASCII in one run: nearly all of any output.
        const std::size_t run = i + printableRun(bytes.substr(i));
        out.append(bytes.substr(i, run - i));
        i = run;
        if (i == bytes.size()) break;
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == kTokenStart) {
            std::string_view rest = bytes.substr(i);
            if (rest.size() <= mark.size() && mark.compare(0, rest.size(), rest) == 0) {
                pending_.assign(rest);  // perhaps ours, cut short
                return;
            }
            if (rest.substr(0, mark.size()) == mark) {
                out += rest[mark.size()];
                i += mark.size() + 1;
                continue;
            }
            ++i;
            continue;
        }
        if (c == '\n' || c == '\t') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x80) {  // the other C0 controls and DEL
            ++i;
            continue;
        }
        if (endsWithin(bytes, i)) {
            pending_.assign(bytes.substr(i));
            return;
        }
        const std::size_t length = validSequenceLength(bytes, i);
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        std::string_view sequence = bytes.substr(i, length);
        if (!isInvisibleControl(codePoint(sequence))) out.append(sequence);
        i += length;
    }
}

void PrintableTextFilter::finish(std::string& out) {
    // Nothing follows: a token start is dropped, a cut sequence is not UTF-8.
    while (!pending_.empty()) {
        std::string rest = std::move(pending_);
        pending_.clear();
        if (rest.front() != kTokenStart) out += kReplacement;
        feed(std::string_view(rest).substr(1), out);
    }
}

std::string printableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    PrintableTextFilter filter;
    filter.feed(text, out);
    filter.finish(out);
    return out;
}

std::string ownControl(std::string_view sequence) {
    std::string marked;
    for (char c : sequence) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) marked += token();
        marked += c;
    }
    return marked;
}

std::string oneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return line;
}

}  // namespace vt
