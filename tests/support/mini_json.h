// A small JSON reader for imported test data: objects, arrays, strings
// (escapes kept as the escaped character; \u is not decoded) and bare
// values (numbers, true, false, null) kept as their text. Not for untrusted
// input. Test support only.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace vctest {

struct JsonValue {
    std::string text;  // a string's contents or a bare value's text
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // The member named key, or an empty value when there is none.
    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue none;
        const auto found = members.find(key);
        return found == members.end() ? none : found->second;
    }
};

// false when text is not one well-formed value.
inline bool parseJson(const std::string& text, JsonValue* out) {
    size_t pos = 0;
    bool ok = true;
    auto space = [&] {
        while (pos < text.size() && std::string(" \n\r\t").find(text[pos]) != std::string::npos) {
            ++pos;
        }
    };
    auto take = [&](char c) {
        space();
        const bool found = pos < text.size() && text[pos] == c;
        pos += found ? 1 : 0;
        return found;
    };
    auto string = [&](std::string* to) {
        ok = ok && take('"');
        while (ok && pos < text.size() && text[pos] != '"') {
            pos += text[pos] == '\\' ? 1 : 0;
            to->push_back(text[pos++]);
        }
        ok = ok && take('"');
    };
    auto value = [&](auto& self, JsonValue* to) -> void {
        if (take('{')) {
            if (take('}')) {
                return;
            }
            do {
                std::string key;
                string(&key);
                ok = ok && take(':');
                self(self, &to->members[key]);
            } while (ok && take(','));
            ok = ok && take('}');
        } else if (take('[')) {
            if (take(']')) {
                return;
            }
            do {
                self(self, &to->items.emplace_back());
            } while (ok && take(','));
            ok = ok && take(']');
        } else if (space(), pos < text.size() && text[pos] == '"') {
            string(&to->text);
        } else {
            const size_t start = pos;
            while (pos < text.size() &&
                   std::string(",]} \n\r\t").find(text[pos]) == std::string::npos) {
                ++pos;
            }
            to->text = text.substr(start, pos - start);
            ok = ok && !to->text.empty();
        }
    };
    value(value, out);
    space();
    return ok && pos == text.size();
}

}  // namespace vctest
