#include "opt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const verbose_names[] = {"verbose", nullptr};
const char *const delay_names[] = {"reconnect-delay", nullptr};
const char *const daemonize_names[] = {"daemonize", nullptr};
const char *const help_names[] = {"help", nullptr};
const char *const foobar_names[] = {"foobar", nullptr};
const char *const foo_names[] = {"foo", nullptr};
const char *const colour_names[] = {"colour", "color", nullptr};
const char *const x_names[] = {"x-ray", nullptr};

// "foobar" stands before "foo" so that an exact match has to beat an earlier abbreviation.
const opt_spec table[] = {
    {'v', OPT_REPEATABLE, "v", verbose_names},
    {'t', OPT_HAS_ARG, "t", delay_names},
    {'d', 0, "d", daemonize_names},
    {'h', 0, "h?", help_names},
    {'g', 0, "g", foobar_names},
    {'f', 0, "f", foo_names},
    {'c', 0, "c", colour_names},
    {'x', 0, "x", x_names},
    {0, 0, nullptr, nullptr},
};

// A mutable argument vector; words past the count stay as the following section would.
struct arg_vector {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit arg_vector(std::vector<std::string> w) : words(std::move(w))
    {
        for (auto &s : words) {
            ptrs.push_back(s.data());
        }
        ptrs.push_back(nullptr);
    }
    char **argv() { return ptrs.data(); }
};

// The result list as "v v t=5": code, then "=argument" where there is one.
std::string describe(const opt_result *list)
{
    std::string out;
    for (const opt_result *r = list; r->code != 0; r++) {
        out += out.empty() ? "" : " ";
        out += static_cast<char>(r->code);
        if (r->argument != nullptr) {
            out += std::string("=") + r->argument;
        }
    }
    return out;
}

std::vector<std::string> positionals(char **argv, int argc)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

struct parse_case {
    std::vector<std::string> words; // words[0] is the caller's name
    std::vector<std::string> want_positional;
    std::string want_results;
};

TEST(Opt, ParsesShortLongAndPositionalWords)
{
    const parse_case cases[] = {
        {{"prog", "-vvv"}, {}, "v v v"},
        {{"prog", "-v", "--verbose", "--verb"}, {}, "v v v"},
        {{"prog", "--reconnect-delay="}, {}, "t="},
        {{"prog", "--reconnect-delay", "7"}, {}, "t=7"},
        {{"prog", "--reconnect-delay=7=8"}, {}, "t=7=8"},
        {{"prog", "--rec=7"}, {}, "t=7"},
        {{"prog", "-t", "-"}, {}, "t=-"},
        {{"prog", "-t5", "a"}, {"a"}, "t=5"},
        {{"prog", "-vt", "5", "a"}, {"a"}, "v t=5"},
        {{"prog", "-vtd"}, {}, "v t=d"},
        {{"prog", "-?"}, {}, "h"},
        {{"prog", "--he"}, {}, "h"},
        {{"prog", "--foo"}, {}, "f"},
        {{"prog", "--foob"}, {}, "g"},
        {{"prog", "--colou"}, {}, "c"},
        {{"prog", "--color"}, {}, "c"},
        {{"prog", "-", "a"}, {"-", "a"}, ""},
        {{"prog", "a", "-x", "b", "--", "-y", "c"}, {"a", "b", "-y", "c"}, "x"},
        {{"prog", "--", "--"}, {"--"}, ""},
        {{"prog", "a", "-d", "b", "-v", "c"}, {"a", "b", "c"}, "d v"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        arg_vector args(c.words);
        int argc = static_cast<int>(c.words.size());
        opt_result *list = opt_parse(&argc, args.argv(), table);
        EXPECT_EQ(describe(list), c.want_results);
        EXPECT_EQ(positionals(args.argv(), argc), c.want_positional);
        EXPECT_EQ(args.argv()[argc], nullptr);
        free(list);
    }
}

TEST(Opt, CountAndGetFollowCommandLineOrder)
{
    arg_vector args({"prog", "-v", "-t", "1", "-vv"});
    int argc = 5;
    opt_result *list = opt_parse(&argc, args.argv(), table);
    EXPECT_EQ(opt_count(list, 'v'), 3);
    EXPECT_EQ(opt_count(list, 'd'), 0);
    EXPECT_STREQ(opt_get(list, 't', 0), "1");
    EXPECT_EQ(opt_get(list, 't', 1), nullptr);
    EXPECT_EQ(opt_get(list, 'v', 2), nullptr); // no argument, not missing
    EXPECT_EQ(opt_get(list, 'v', 3), nullptr);
    free(list);
}

struct window_case {
    std::vector<std::string> words; // the section and then the word after it
    int count;
    std::vector<std::string> want_positional;
    std::string want_results;
};

// A section is a window: the word at the count is the next section's, never read, and is
// overwritten with the terminating null only when every word of the section was positional.
TEST(Opt, HonoursTheCountOfASectionWindow)
{
    const window_case cases[] = {
        {{"kw", "a", "b", "-Z", "tail"}, 3, {"a", "b"}, ""},
        {{"kw", "a", "-v", "b", "-Z", "tail"}, 4, {"a", "b"}, "v"},
        {{"kw", "--", "-v", "-Z", "tail"}, 3, {"-v"}, ""},
        {{"kw", "-v", "-Z", "tail"}, 2, {}, "v"},
        {{"kw", "-Z", "tail"}, 1, {}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        arg_vector args(c.words);
        std::vector<char *> before = args.ptrs;
        int argc = c.count;
        opt_result *list = opt_parse(&argc, args.argv(), table);
        EXPECT_EQ(describe(list), c.want_results);
        EXPECT_EQ(positionals(args.argv(), argc), c.want_positional);
        EXPECT_EQ(args.argv()[argc], nullptr);
        EXPECT_EQ(args.argv()[0], before[0]);
        for (size_t i = c.count + 1; i < before.size(); i++) {
            EXPECT_EQ(args.ptrs[i], before[i]) << "entry " << i;
        }
        if (argc < c.count) {
            EXPECT_EQ(args.ptrs[c.count], before[c.count]) << "the next section's word";
        }
        free(list);
    }
}

TEST(Opt, ArgumentsPointIntoTheVector)
{
    arg_vector args({"prog", "-t5", "--reconnect-delay=6"});
    char *attached = args.ptrs[1];
    char *after_eq = args.ptrs[2] + strlen("--reconnect-delay=");
    int argc = 2;
    opt_result *list = opt_parse(&argc, args.argv(), table);
    EXPECT_EQ(opt_get(list, 't', 0), attached + 2);
    free(list);
    argc = 3;
    args.ptrs[1] = const_cast<char *>("-v");
    list = opt_parse(&argc, args.argv(), table);
    EXPECT_EQ(opt_get(list, 't', 0), after_eq);
    free(list);
}

// Death-test patterns are regular expressions; the messages are matched literally.
std::string literal(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        if (std::string("\\.^$|()[]{}*+?").find(ch) != std::string::npos) {
            out += '\\';
        }
        out += ch;
    }
    return out;
}

struct error_case {
    std::vector<std::string> words;
    int count;
    std::string message;
};

TEST(OptDeathTest, ReportsEveryErrorAndExitsOne)
{
    const std::string rep = ": option may not be repeated (in any long or short form)\n";
    const std::string req = ": option requires an option argument\n";
    const error_case cases[] = {
        {{"prog", "-X"}, 2, "prog: -X: unknown option\n"},
        {{"prog", "-vX"}, 2, "prog: -X: unknown option\n"},
        {{"prog", "--nope=3"}, 2, "prog: --nope: unknown option\n"},
        {{"prog", "--fo"}, 2, "prog: --fo: abbreviated option is ambiguous\n"},
        {{"prog", "--col"}, 2, "prog: --col: abbreviated option is ambiguous\n"},
        {{"prog", "-dd"}, 2, "prog: -d" + rep},
        {{"prog", "-d", "--daemonize"}, 3, "prog: --daemonize" + rep},
        {{"prog", "-t1", "--rec=2"}, 3, "prog: --rec" + rep},
        {{"prog", "-h", "-?"}, 3, "prog: -?" + rep},
        {{"prog", "-t", "-5"}, 3, "prog: -t" + req},
        {{"prog", "-vt"}, 2, "prog: -t" + req},
        {{"prog", "--reconnect-delay"}, 2, "prog: --reconnect-delay" + req},
        {{"prog", "--rec", "--"}, 3, "prog: --rec" + req},
        {{"prog", "--daemonize=1"}, 2, "prog: --daemonize: option may not take an option argument\n"},
        {{"prog", "--d="}, 2, "prog: --d: option may not take an option argument\n"},
        {{"serial", "-t", "5"}, 2, "serial: -t" + req},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        arg_vector args(c.words);
        int argc = c.count;
        EXPECT_EXIT(opt_parse(&argc, args.argv(), table), ::testing::ExitedWithCode(1),
                    "^" + literal(c.message) + "$");
    }
}

} // namespace
