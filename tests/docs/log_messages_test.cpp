// docs/log-messages.md names every ERROR and WARN text the daemon writes. This test reads the
// daemon's source (comm-serd/ and log/), finds each TAK_LOG_ERROR and TAK_LOG_WARN statement and
// its text (the first string literal in it, adjacent literals joined), and fails for each text
// that no `code span` of the catalogue contains, naming the text, its level and where it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Statement {
    std::string level;  // "ERROR" or "WARN"
    std::string file;   // relative to the source tree
    int line = 0;
    std::optional<std::string> text;
};

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads the string literal that starts at s[i] (a double quote); i ends after it.
std::string literal(const std::string& s, size_t& i) {
    std::string out;
    for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char const c = s[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    ++i;
    return out;
}

// The text of the statement whose argument list opens at s[i] ("("): its first string literal
// with the literals right after it, or nothing when it has none.
std::optional<std::string> statementText(const std::string& s, size_t i) {
    int depth = 0;
    for (; i < s.size(); ++i) {
        char const c = s[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) return std::nullopt;
        } else if (c == '\'') {
            i += s[i + 1] == '\\' ? 3 : 2;  // a character literal
        } else if (c == '"') {
            std::string text = literal(s, i);
            for (;;) {
                size_t j = i;
                while (j < s.size() && std::isspace(static_cast<unsigned char>(s[j]))) ++j;
                if (j >= s.size() || s[j] != '"') break;
                i = j;
                text += literal(s, i);
            }
            return text;
        }
    }
    return std::nullopt;
}

std::vector<Statement> statements() {
    std::vector<Statement> found;
    fs::path const root(TAK_SOURCE_DIR);
    for (const char* dir : {"comm-serd", "log"}) {
        for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
            std::string const ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            std::string const s = readAll(entry.path());
            for (const std::string level : {"ERROR", "WARN"}) {
                std::string const macro = "TAK_LOG_" + level;
                for (size_t at = s.find(macro); at != std::string::npos;
                     at = s.find(macro, at + 1)) {
                    size_t open = at + macro.size();
                    while (open < s.size() && std::isspace(static_cast<unsigned char>(s[open])))
                        ++open;
                    if (open >= s.size() || s[open] != '(') continue;
                    // Not in a comment, not the macro's own definition.
                    size_t const lineStart = s.rfind('\n', at) + 1;
                    std::string const before = s.substr(lineStart, at - lineStart);
                    if (before.find("//") != std::string::npos ||
                        before.find("#define") != std::string::npos) {
                        continue;
                    }
                    Statement st;
                    st.level = level;
                    st.file = fs::relative(entry.path(), root).string();
                    st.line = static_cast<int>(std::count(s.begin(), s.begin() + at, '\n')) + 1;
                    st.text = statementText(s, open);
                    found.push_back(st);
                }
            }
        }
    }
    return found;
}

// The `code spans` of the catalogue.
std::vector<std::string> codeSpans(const std::string& doc) {
    std::vector<std::string> spans;
    for (size_t i = doc.find('`'); i != std::string::npos;) {
        size_t const end = doc.find('`', i + 1);
        if (end == std::string::npos) break;
        spans.push_back(doc.substr(i + 1, end - i - 1));
        i = doc.find('`', end + 1);
    }
    return spans;
}

std::string trimmed(const std::string& text) {
    size_t const first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

}  // namespace

TEST(LogMessagesTest, FindsTheStatementsOfTheSource) {
    // The scan itself: it must see the statements, with their texts, else the catalogue check
    // below proves nothing.
    std::vector<Statement> const all = statements();
    auto const has = [&](const std::string& level, const std::string& text) {
        return std::any_of(all.begin(), all.end(),
                           [&](const Statement& s) { return s.level == level && s.text == text; });
    };
    EXPECT_GT(all.size(), 40u);
    EXPECT_TRUE(has("ERROR", "frame too large"));
    // A statement spread over lines; adjacent literals are one text.
    EXPECT_TRUE(has("WARN", "console connection refused, already"));
    EXPECT_TRUE(has("ERROR", "moduleType is not Module_Policy"));
    EXPECT_TRUE(has("WARN", "dropped, the MAC is not this session's device: peer:"));
}

TEST(LogMessagesTest, EveryErrorAndWarningIsInTheCatalogue) {
    std::string const doc = readAll(fs::path(TAK_SOURCE_DIR) / "docs" / "log-messages.md");
    ASSERT_FALSE(doc.empty()) << "docs/log-messages.md is missing";
    std::vector<std::string> const spans = codeSpans(doc);
    std::ostringstream missing;
    for (const Statement& s : statements()) {
        if (!s.text) {
            missing << "  " << s.file << ":" << s.line << ": TAK_LOG_" << s.level
                    << " without a text of its own: start it with a string literal\n";
            continue;
        }
        std::string const text = trimmed(*s.text);
        bool const listed = std::any_of(spans.begin(), spans.end(), [&](const std::string& span) {
            return span.find(text) != std::string::npos;
        });
        if (!listed) {
            missing << "  " << s.level << " `" << text << "` (" << s.file << ":" << s.line << ")\n";
        }
    }
    EXPECT_EQ(missing.str(), "")
        << "add these texts to docs/log-messages.md, each in a `code span`, with what it means "
           "and what to do:\n"
        << missing.str();
}
