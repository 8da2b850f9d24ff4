#include "json.hpp"

namespace ozu::cli::json {

namespace {

constexpr int kMaxDepth = 16;

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    Value document() {
        Value v = value(0);
        blanks();
        if (i_ != s_.size()) fail("unexpected text after the document");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        std::size_t line = 1, column = 1;
        for (std::size_t k = 0; k < i_ && k < s_.size(); ++k) {
            if (s_[k] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw JsonError("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what);
    }

    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    bool take(const char* word) {
        std::size_t n = std::char_traits<char>::length(word);
        if (s_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }

    Value value(int depth) {
        blanks();
        if (i_ >= s_.size()) fail("unexpected end of the document");
        const char c = s_[i_];
        if (c == '{') return {object(depth)};
        if (c == '"') return {string()};
        if (c == '-' || (c >= '0' && c <= '9')) return {integer()};
        if (take("true")) return {true};
        if (take("false")) return {false};
        if (take("null")) return {nullptr};
        fail("expected an object, string, integer, true, false or null");
    }

    std::shared_ptr<Object> object(int depth) {
        if (depth >= kMaxDepth) fail("nested too deeply");
        ++i_;  // '{'
        auto out = std::make_shared<Object>();
        blanks();
        if (i_ < s_.size() && s_[i_] == '}') {
            ++i_;
            return out;
        }
        for (;;) {
            blanks();
            if (i_ >= s_.size() || s_[i_] != '"') fail("expected a string key");
            std::string key = string();
            blanks();
            if (i_ >= s_.size() || s_[i_] != ':') fail("expected ':'");
            ++i_;
            (*out)[key] = value(depth + 1);
            blanks();
            if (i_ < s_.size() && s_[i_] == ',') {
                ++i_;
                continue;
            }
            if (i_ < s_.size() && s_[i_] == '}') {
                ++i_;
                return out;
            }
            fail("expected ',' or '}'");
        }
    }

    std::string string() {
        ++i_;  // '"'
        std::string out;
        while (i_ < s_.size()) {
            const char c = s_[i_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (i_ >= s_.size()) break;
            const char e = s_[i_++];
            switch (e) {
                case '"': case '\\': case '/': out.push_back(e); break;
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'u': {
                    if (i_ + 4 > s_.size()) fail("short \\u escape");
                    unsigned v = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = s_[i_++];
                        v <<= 4;
                        if (h >= '0' && h <= '9') v |= static_cast<unsigned>(h - '0');
                        else if (h >= 'a' && h <= 'f') v |= static_cast<unsigned>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F') v |= static_cast<unsigned>(h - 'A' + 10);
                        else fail("bad \\u escape");
                    }
                    if (v > 0x7F) fail("only ASCII characters are expected in names");
                    out.push_back(static_cast<char>(v));
                    break;
                }
                default: fail("bad escape in a string");
            }
        }
        fail("unterminated string");
    }

    long long integer() {
        const std::size_t start = i_;
        if (s_[i_] == '-') ++i_;
        const std::size_t digits = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        if (i_ == digits) fail("expected digits");
        if (i_ < s_.size() && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) fail("expected an integer");
        if (i_ - digits > 18) fail("integer too large");
        return std::stoll(s_.substr(start, i_ - start));
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

}  // namespace

Value parse(const std::string& text) { return Parser(text).document(); }

std::string quote(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace ozu::cli::json
