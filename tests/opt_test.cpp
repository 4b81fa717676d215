#include "opt.h"

#include <cstdlib>

#include "support/common.h"

// Name lists, each ending in a null.
const char *const names[] = {"verbose", nullptr, "reconnect-delay", nullptr,  "daemonize",
                             nullptr,   "help",  nullptr,           "foobar", nullptr,
                             "foo",     nullptr, "colour",          "color",  nullptr};

// "foobar" stands before "foo" so that an exact match has to beat an earlier abbreviation.
const opt_spec table[] = {
    {'v', OPT_REPEATABLE, "v", names}, {'t', OPT_HAS_ARG, "t", names + 2},
    {'d', 0, "d", names + 4},          {'h', 0, "h?", names + 6},
    {'g', 0, "g", names + 8},          {'f', 0, "f", names + 10},
    {'c', 0, "c", names + 12},         {0, 0, nullptr, nullptr},
};

TEST(Opt, ParsesWordsInsideTheWindow)
{
    const struct {
        std::vector<std::string> words; // words[0] is the caller's name
        int count;                      // the window; 0 for every word
        std::vector<std::string> want_positional;
        std::string want_results; // "v t=5": code, then "=argument" where there is one
    } cases[] = {
        {{"prog", "-v", "--verbose", "--verb"}, 0, {}, "v v v"},
        {{"prog", "--reconnect-delay", "7"}, 0, {}, "t=7"},
        {{"prog", "--reconnect-delay=7=8"}, 0, {}, "t=7=8"},
        {{"prog", "--rec=7"}, 0, {}, "t=7"},
        {{"prog", "-t5", "a"}, 0, {"a"}, "t=5"},
        {{"prog", "-vt", "5", "a"}, 0, {"a"}, "v t=5"},
        {{"prog", "-vtd"}, 0, {}, "v t=d"},
        {{"prog", "--foo"}, 0, {}, "f"},
        {{"prog", "--foob"}, 0, {}, "g"},
        {{"prog", "--colou"}, 0, {}, "c"},
        {{"prog", "--color"}, 0, {}, "c"},
        {{"prog", "-", "a"}, 0, {"-", "a"}, ""},
        {{"prog", "a", "-d", "b", "--", "-y", "c"}, 0, {"a", "b", "-y", "c"}, "d"},
        {{"prog", "--", "--"}, 0, {"--"}, ""},
        // Windows: the word at the count is the next section's and is never parsed; it is
        // overwritten by the terminating null only when every word of the window was positional.
        {{"kw", "a", "b", "-Z", "tail"}, 3, {"a", "b"}, ""},
        {{"kw", "a", "-v", "b", "-Z", "tail"}, 4, {"a", "b"}, "v"},
        {{"kw", "--", "-v", "-Z", "tail"}, 3, {"-v"}, ""},
        {{"kw", "-v", "-Z", "tail"}, 2, {}, "v"},
        {{"kw", "-Z", "tail"}, 1, {}, ""},
    };
    for (auto c : cases) { // a copy: the argument vector points into it
        SCOPED_TRACE(::testing::PrintToString(c.words));
        std::vector<char *> argv = argv_of(c.words);
        const std::vector<char *> before = argv;
        const int count = c.count != 0 ? c.count : static_cast<int>(c.words.size());
        int argc = count;
        opt_result *list = opt_parse(&argc, argv.data(), table);
        std::string results;
        for (const opt_result *r = list; r->code != 0; r++) {
            results += std::string(results.empty() ? "" : " ") + static_cast<char>(r->code);
            results += r->argument != nullptr ? std::string("=") + r->argument : "";
        }
        EXPECT_EQ(results, c.want_results);
        EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.begin() + argc),
                  c.want_positional);
        EXPECT_EQ(argv[argc], nullptr);
        EXPECT_EQ(argv[0], before[0]);
        for (size_t i = count + (argc < count ? 0 : 1); i < before.size(); i++) {
            EXPECT_EQ(argv[i], before[i]) << "entry " << i << " lies outside the window";
        }
        free(list);
    }
}

TEST(OptDeathTest, ReportsEveryErrorAndExitsOne)
{
    const std::string rep = ": option may not be repeated (in any long or short form)\n";
    const std::string req = ": option requires an option argument\n";
    const std::string arg = ": option may not take an option argument\n";
    const struct {
        std::vector<std::string> words;
        int count;
        std::string message;
    } cases[] = {
        {{"prog", "-vX"}, 2, "prog: -X: unknown option\n"},
        {{"prog", "--fo"}, 2, "prog: --fo: abbreviated option is ambiguous\n"},
        {{"prog", "--col"}, 2, "prog: --col: abbreviated option is ambiguous\n"},
        {{"prog", "-h", "-?"}, 3, "prog: -?" + rep},
        {{"prog", "-vt"}, 2, "prog: -t" + req},
        {{"prog", "--reconnect-delay"}, 2, "prog: --reconnect-delay" + req},
        {{"prog", "--rec", "--"}, 3, "prog: --rec" + req},
        {{"prog", "--d="}, 2, "prog: --d" + arg},
        {{"serial", "-t", "5"}, 2, "serial: -t" + req}, // the argument lies past the window
    };
    for (auto c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        int argc = c.count;
        EXPECT_EXIT(opt_parse(&argc, argv_of(c.words).data(), table), ::testing::ExitedWithCode(1),
                    ::testing::Matcher<const std::string &>(c.message));
    }
}
