// A small JSON reader for the end-to-end tests: enough to prove that a line the tools
// wrote is one valid JSON object, and to read its members.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

class JsonReader {
public:
    explicit JsonReader(const std::string& text)
        : m_text(text)
    {
    }

    // Parses one object that fills the whole text; its members, numbers and literals
    // as written, strings decoded. A nested object's members are kept as
    // "outer.inner", an array's items one a line (and objects in it as "outer[i].inner").
    // False if the text is no such object.
    bool Object(std::map<std::string, std::string>& members)
    {
        Blank();
        return Members("", members) && End();
    }

private:
    // The members of the object at the cursor, each name prefixed with `prefix`.
    bool Members(const std::string& prefix, std::map<std::string, std::string>& members)
    {
        if (!Take('{'))
            return false;
        Blank();
        if (Take('}'))
            return true;
        for (;;) {
            std::string key, value;
            Blank();
            if (!String(key))
                return false;
            Blank();
            if (!Take(':'))
                return false;
            Blank();
            if (!Value(prefix + key, value, members))
                return false;
            members[prefix + key] = value;
            Blank();
            if (Take('}'))
                return true;
            if (!Take(','))
                return false;
        }
    }
    bool End()
    {
        Blank();
        return m_at == m_text.size();
    }
    void Blank()
    {
        while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
    }
    bool Take(char c)
    {
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return false;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char e = m_text[m_at++];
            if (e == 'u') {
                if (m_at + 4 > m_text.size())
                    return false;
                for (int k = 0; k < 4; ++k)
                    if (!std::isxdigit(static_cast<unsigned char>(m_text[m_at + k])))
                        return false;
                out += '?';
                m_at += 4;
            } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
                out += e;
            } else {
                return false;
            }
        }
        return false;
    }
    // An array (--list-ports' "names", the summary's "stations"): its items one a line.
    bool Items(const std::string& key, std::string& out, std::map<std::string, std::string>& members)
    {
        Take('[');
        Blank();
        if (Take(']'))
            return true;
        for (int index = 0;; ++index) {
            std::string item;
            Blank();
            if (!Value(key + "[" + std::to_string(index) + "]", item, members))
                return false;
            out += (out.empty() ? "" : "\n") + item;
            Blank();
            if (Take(']'))
                return true;
            if (!Take(','))
                return false;
        }
    }
    bool Value(const std::string& key, std::string& out, std::map<std::string, std::string>& members)
    {
        if (m_at >= m_text.size())
            return false;
        const char c = m_text[m_at];
        if (c == '"')
            return String(out);
        if (c == '[')
            return Items(key, out, members);
        if (c == '{') {
            const std::size_t start = m_at;
            if (!Members(key + ".", members))
                return false;
            out = m_text.substr(start, m_at - start);
            return true;
        }
        for (const char* literal : {"null", "true", "false"}) {
            if (m_text.compare(m_at, std::strlen(literal), literal) == 0) {
                out = literal;
                m_at += std::strlen(literal);
                return true;
            }
        }
        const std::size_t start = m_at;
        if (m_text[m_at] == '-')
            ++m_at;
        bool digits = false;
        while (m_at < m_text.size() && (std::isdigit(static_cast<unsigned char>(m_text[m_at])) || m_text[m_at] == '.' ||
                                        m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            digits = true;
            ++m_at;
        }
        out = m_text.substr(start, m_at - start);
        return digits;
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

// Every line of `text` as a JSON object; fails the test on a line that is not one.
inline std::vector<std::map<std::string, std::string>> JsonLines(const std::string& text)
{
    std::vector<std::map<std::string, std::string>> objects;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::map<std::string, std::string> members;
        EXPECT_TRUE(JsonReader(line).Object(members)) << "not a JSON object: " << line;
        objects.push_back(members);
    }
    return objects;
}

}  // namespace e2e
