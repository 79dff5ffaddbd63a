#include <gtest/gtest.h>

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/config.h"
#include "support/log.h"
#include "test_support.h"

namespace {

struct collected {
    std::vector<std::string> lines;
    int calls_with_other_context = 0;
};

collected* expected_context = nullptr;

void collect_line(void* context, char* line) {
    auto* into = static_cast<collected*>(context);
    if (into != expected_context) ++into->calls_with_other_context;
    into->lines.emplace_back(line);
}

std::vector<std::string> tokens_of(const std::string& text) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    std::vector<char> token(config_token_size);
    std::vector<std::string> tokens;
    unsigned int index = 0;
    for (;;) {
        get_next_string(line.data(), index, token.data());
        if (token[0] == '\0') return tokens;
        tokens.emplace_back(token.data());
    }
}

// Runs each test in a fresh temporary directory, with log.txt reopened there.
class ConfigTest : public test_support::temp_dir_test {
protected:

    // Writes contents to robots.txt, reads it back through load_config and returns the
    // lines delivered.
    std::vector<std::string> load(const std::string& contents) {
        std::ofstream("robots.txt", std::ios::binary) << contents;
        collected result;
        expected_context = &result;
        load_config("robots.txt", collect_line, &result);
        EXPECT_EQ(result.calls_with_other_context, 0);
        return result.lines;
    }

    static std::string log_text() {
        std::ifstream in("log.txt", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

};

using lines = std::vector<std::string>;

TEST_F(ConfigTest, FilesWithoutLinesGiveNoCallbackButAreReportedLoaded) {
    EXPECT_EQ(load(""), lines{});
    EXPECT_EQ(load("# robots\n\n\r\n# none yet\n\n"), lines{});
    EXPECT_EQ(load("#"), lines{});
    EXPECT_EQ(log_text(),
              "[Config] Loaded config robots.txt\n"
              "[Config] Loaded config robots.txt\n"
              "[Config] Loaded config robots.txt\n");
}

TEST_F(ConfigTest, MissingOrIrregularFileIsReportedWithItsReasonAndNeverCallsBack) {
    std::filesystem::create_directory("folder");
    collected result;
    expected_context = &result;
    load_config("no_such_file.txt", collect_line, &result);
    load_config("folder", collect_line, &result);
    EXPECT_TRUE(result.lines.empty());
    const std::string log = log_text();
    EXPECT_EQ(log.rfind("[Config] Unable to load config file\n[Config] no_such_file.txt: ", 0), 0u);
    EXPECT_NE(log.find("[Config] Unable to load config file\n[Config] folder: not a regular file\n"), std::string::npos);
    EXPECT_EQ(log.find("Loaded"), std::string::npos);
}

TEST_F(ConfigTest, LinesArriveInOrderUntrimmedAndTheLastNeedsNoBreak) {
    EXPECT_EQ(load("r1 10.0.0.1 5000\n  r2 10.0.0.2 5001\t\nr3"),
              (lines{"r1 10.0.0.1 5000", "  r2 10.0.0.2 5001\t", "r3"}));
    EXPECT_EQ(load("\n\n\nonly\n\n"), lines{"only"});
}

TEST_F(ConfigTest, BothLineBreakConventionsReadAlike) {
    lines expected{"a 1", "b 2"};
    EXPECT_EQ(load("a 1\r\nb 2\r\n"), expected);
    EXPECT_EQ(load("a 1\rb 2\r"), expected);
    EXPECT_EQ(load("a 1\n\rb 2"), expected);
}

TEST_F(ConfigTest, OverlongLinesAreSplitAt1024Characters) {
    std::string long_line;
    for (int i = 0; i < 1500; ++i) long_line += static_cast<char>('a' + i % 26);
    lines result = load(long_line + "\nnext\n");
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0], long_line.substr(0, 1024));
    EXPECT_EQ(result[1], long_line.substr(1024));
    EXPECT_EQ(result[1].size(), 476u);
    EXPECT_EQ(result[2], "next");

    // Exactly 1,024 characters: one line, its break then ends an empty line.
    std::string full(1024, 'z');
    EXPECT_EQ(load(full + "\nx"), (lines{full, "x"}));
    EXPECT_EQ(load(full), lines{full});
    EXPECT_EQ(load(full + full + "y"), (lines{full, full, "y"}));
}

TEST_F(ConfigTest, FullLineCommentsVanishWithTheirLineBreak) {
    EXPECT_EQ(load("# header\nr1 host\n#r2 host\r\nr3 host\n# trailer"), (lines{"r1 host", "r3 host"}));
    EXPECT_EQ(load("##\n#\n#\r\nx"), lines{"x"});
}

TEST_F(ConfigTest, CommentAfterTextEndsThatLine) {
    EXPECT_EQ(load("a host 5000 1 0 # note\nb host 5001 1 0\n"),
              (lines{"a host 5000 1 0 ", "b host 5001 1 0"}));
    EXPECT_EQ(load("a#x\r\nb#y\rc# at the end"), (lines{"a", "b", "c"}));
    EXPECT_EQ(load("a # # twice\n\nb"), (lines{"a ", "b"}));
    // Blanks in front of a comment are text like any other.
    EXPECT_EQ(load("  # indented\nb"), (lines{"  ", "b"}));
}

TEST_F(ConfigTest, BlankOnlyLineIsDeliveredWithNoTokens) {
    lines result = load("   \t \nx\n");
    ASSERT_EQ(result, (lines{"   \t ", "x"}));
    EXPECT_EQ(tokens_of(result[0]), lines{});
}

TEST_F(ConfigTest, EveryOtherByteIsKept) {
    std::string odd = "\xC3\xA9t\xE9 \xFF\x01,;!\x7F\x80";
    lines result = load(odd + "\n\xFF\xFF\n");
    ASSERT_EQ(result, (lines{odd, "\xFF\xFF"}));
    EXPECT_EQ(tokens_of(result[0]), (lines{"\xC3\xA9t\xE9", "\xFF\x01,;!\x7F\x80"}));
}

TEST(ConfigTokenTest, BlanksAndTabsSeparateTokensAndTheEndIsSticky) {
    const char line[] = "\t  \ta \t\t  b\t ";
    std::vector<char> token(config_token_size);
    unsigned int index = 0;

    get_next_string(line, index, token.data());
    EXPECT_STREQ(token.data(), "a");
    EXPECT_EQ(index, 6u);  // the blank behind the token is consumed

    get_next_string(line, index, token.data());
    EXPECT_STREQ(token.data(), "b");
    EXPECT_EQ(index, 12u);

    unsigned int end = std::strlen(line);
    for (int i = 0; i < 3; ++i) {
        std::memset(token.data(), 'x', token.size());
        get_next_string(line, index, token.data());
        EXPECT_EQ(token[0], '\0');
        EXPECT_EQ(index, end);
    }
}

TEST(ConfigTokenTest, TokenEndingAtTheTerminatorLeavesIndexOnIt) {
    const char line[] = "alpha beta";
    std::vector<char> token(config_token_size);
    unsigned int index = 0;
    get_next_string(line, index, token.data());
    get_next_string(line, index, token.data());
    EXPECT_STREQ(token.data(), "beta");
    EXPECT_EQ(index, 10u);
    get_next_string(line, index, token.data());
    EXPECT_STREQ(token.data(), "");
    EXPECT_EQ(index, 10u);
}

TEST(ConfigTokenTest, TokenCanFillTheWholeLine) {
    // Buffers of the exact sizes, so a sanitizer build sees any access past them.
    std::vector<char> line(config_line_max + 1, 'q');
    line[config_line_max] = '\0';
    std::vector<char> token(config_token_size);
    unsigned int index = 0;
    get_next_string(line.data(), index, token.data());
    EXPECT_EQ(std::strlen(token.data()), config_line_max);
    EXPECT_EQ(index, config_line_max);
    get_next_string(line.data(), index, token.data());
    EXPECT_EQ(token[0], '\0');
    EXPECT_EQ(index, config_line_max);
}

TEST(ConfigTokenTest, StopsAt1024EvenWithoutATerminator) {
    std::vector<char> line(config_line_max, 'q');
    line[0] = ' ';
    line[1] = '\t';
    std::vector<char> token(config_token_size);
    unsigned int index = 0;
    get_next_string(line.data(), index, token.data());
    EXPECT_EQ(std::string(token.data()), std::string(config_line_max - 2, 'q'));
    EXPECT_EQ(index, config_line_max);

    // Whatever lies beyond the 1,024th character is not part of the line.
    std::vector<char> longer(config_line_max + 100, 'r');
    longer.back() = '\0';
    std::vector<char> guarded(config_token_size + 100, '#');
    index = 0;
    get_next_string(longer.data(), index, guarded.data());
    EXPECT_EQ(std::string(guarded.data()), std::string(config_line_max, 'r'));
    EXPECT_EQ(index, config_line_max);
    EXPECT_EQ(guarded[config_token_size], '#');

    std::vector<char> blanks(config_line_max + 100, ' ');
    blanks[config_line_max + 98] = 'z';
    blanks.back() = '\0';
    index = 0;
    get_next_string(blanks.data(), index, token.data());
    EXPECT_EQ(token[0], '\0');
    EXPECT_EQ(index, config_line_max);
}

}  // namespace
