#include "npy_header.h"

#include "volume_reading.h"

namespace cvt::formats {
namespace {

class HeaderParser {
public:
    HeaderParser(const std::string& path, std::string_view text) : path_(path), text_(text) {}

    NpyHeader dict() {
        NpyHeader header;
        bool seenDescr = false, seenOrder = false, seenShape = false;
        expect('{', "'{'");
        while (!accept('}')) {
            const std::string key = string();
            expect(':', "':'");
            if (key == "descr" && !seenDescr) {
                header.descr = string();
                seenDescr = true;
            } else if (key == "fortran_order" && !seenOrder) {
                header.fortranOrder = boolean();
                seenOrder = true;
            } else if (key == "shape" && !seenShape) {
                header.shape = tuple();
                seenShape = true;
            } else {
                const bool known = key == "descr" || key == "fortran_order" || key == "shape";
                failAt(path_, "malformed .npy header: " + std::string(known ? "repeated" : "unknown") + " key '" + key +
                                  "'");
            }
            if (!accept(',')) {
                expect('}', "',' or '}'");
                break;
            }
        }
        skipSpace();
        if (at_ != text_.size()) fail("the end of the header");
        for (const auto& [seen, key] : {std::pair{seenDescr, "descr"}, {seenOrder, "fortran_order"}, {seenShape, "shape"}})
            if (!seen) failAt(path_, std::string("malformed .npy header: no '") + key + "'");
        return header;
    }

private:
    [[noreturn]] void fail(const std::string& expected) const {
        failAt(path_, "malformed .npy header: expected " + expected + " at character " + std::to_string(at_));
    }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool accept(char c) {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void expect(char c, const char* what) {
        if (!accept(c)) fail(what);
    }

    bool acceptWord(std::string_view word) {
        skipSpace();
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    // A quoted string without escapes, as numpy writes keys and type descriptions.
    std::string string() {
        skipSpace();
        if (at_ >= text_.size() || (text_[at_] != '\'' && text_[at_] != '"')) fail("a quoted string");
        const char quote = text_[at_];
        const size_t start = at_ + 1;
        const size_t end = text_.find(quote, start);
        const size_t escape = text_.find_first_of("\\\n", start);
        if (end == std::string_view::npos || escape < end) fail("a string without escapes");
        at_ = end + 1;
        return std::string(text_.substr(start, end - start));
    }

    bool boolean() {
        if (acceptWord("True")) return true;
        if (acceptWord("False")) return false;
        fail("True or False");
    }

    uint64_t integer() {
        skipSpace();
        const size_t start = at_;
        uint64_t value = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, text_[at_] - '0', &value))
                failAt(path_, "malformed .npy header: the shape has a side too large to count");
            ++at_;
        }
        if (at_ == start) fail("a non-negative integer");
        if (at_ < text_.size() && text_[at_] == 'L') ++at_;  // Python 2 longs, as old numpy wrote them
        return value;
    }

    // "()", "(5,)", "(3, 4)", "(3, 4, 5,)".
    std::vector<uint64_t> tuple() {
        std::vector<uint64_t> sides;
        expect('(', "'('");
        while (!accept(')')) {
            sides.push_back(integer());
            if (!accept(',')) {
                expect(')', "',' or ')'");
                break;
            }
        }
        return sides;
    }

    const std::string& path_;
    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace

NpyHeader parseNpyHeader(const std::string& path, std::string_view text) { return HeaderParser(path, text).dict(); }

}  // namespace cvt::formats
