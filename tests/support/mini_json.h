// A small JSON reader for test data: objects, arrays, strings (with the
// simple escapes and \uXXXX below 0x80), numbers kept as their text, true,
// false and null. Enough for the imported vector files; not for untrusted
// input. Test support only.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vctest {

struct JsonValue {
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    std::string text;  // string contents, number text, "true" / "false"
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // The member named key, or a null value when there is none.
    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue none;
        const auto found = members.find(key);
        return found == members.end() ? none : found->second;
    }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    // false when the text is not one well-formed value.
    bool parse(JsonValue* out) {
        ok_ = true;
        value(out);
        space();
        return ok_ && pos_ == s_.size();
    }

  private:
    void space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) {
            ++pos_;
        }
    }
    bool take(char c) {
        space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void fail() {
        ok_ = false;
        pos_ = s_.size();
    }

    void string(std::string* out) {
        if (!take('"')) {
            return fail();
        }
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_++];
            if (c == '\\' && pos_ < s_.size()) {
                const char e = s_[pos_++];
                switch (e) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u':
                        if (pos_ + 4 > s_.size()) {
                            return fail();
                        }
                        c = static_cast<char>(std::stoul(s_.substr(pos_, 4), nullptr, 16) & 0x7F);
                        pos_ += 4;
                        break;
                    default:
                        c = e;
                        break;
                }
            }
            out->push_back(c);
        }
        if (!take('"')) {
            fail();
        }
    }

    void value(JsonValue* out) {
        space();
        if (pos_ >= s_.size()) {
            return fail();
        }
        const char c = s_[pos_];
        if (c == '{') {
            out->kind = JsonValue::OBJECT;
            ++pos_;
            if (take('}')) {
                return;
            }
            do {
                std::string key;
                string(&key);
                if (!take(':')) {
                    return fail();
                }
                value(&out->members[key]);
            } while (ok_ && take(','));
            if (!take('}')) {
                fail();
            }
        } else if (c == '[') {
            out->kind = JsonValue::ARRAY;
            ++pos_;
            if (take(']')) {
                return;
            }
            do {
                out->items.emplace_back();
                value(&out->items.back());
            } while (ok_ && take(','));
            if (!take(']')) {
                fail();
            }
        } else if (c == '"') {
            out->kind = JsonValue::STRING;
            string(&out->text);
        } else {
            const size_t start = pos_;
            while (pos_ < s_.size() &&
                   std::string(",]} \n\r\t").find(s_[pos_]) == std::string::npos) {
                ++pos_;
            }
            out->text = s_.substr(start, pos_ - start);
            if (out->text == "true" || out->text == "false") {
                out->kind = JsonValue::BOOL;
            } else if (out->text == "null") {
                out->kind = JsonValue::NUL;
            } else if (!out->text.empty()) {
                out->kind = JsonValue::NUMBER;
            } else {
                fail();
            }
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace vctest
