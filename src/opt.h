// The command-line parser of the general section and of every protocol section.
// A section is a window into the process's argument vector: the count is honoured and
// the vector need not be null-terminated there. Every parse error ends the process (status 1).
#pragma once

constexpr int OPT_REPEATABLE = 1;
constexpr int OPT_HAS_ARG = 2;

// One option of a table; a table ends with an entry whose code is 0.
struct opt_spec {
    int code;                      // reported value, by convention the short letter
    int flags;                     // OPT_REPEATABLE | OPT_HAS_ARG
    const char *short_chars;       // every character is a short form ("h?")
    const char *const *long_names; // null-terminated, without the leading "--"
};

// One parsed option; code 0 ends the list.
struct opt_result {
    int code;
    char *argument; // into argv or the option's own word; null without argument
};

// Parses argv[1] to argv[*argc_in_out - 1] against table. Positional words move to argv[1..]
// in order, the entry after them becomes null and *argc_in_out becomes 1 + their number.
// Returns a malloc'd list in command-line order that the caller frees.
opt_result *opt_parse(int *argc_in_out, char **argv, const opt_spec *table);

// opt_parse for a protocol section whose help option has code 'h'. -h prints usage (with puts)
// and exits 0, even when positional words are missing; otherwise a section without exactly
// `positional` words after its keyword prints usage and exits 1.
opt_result *opt_parse_section(int *argc_in_out, char **argv, const opt_spec *table,
                              const char *usage, int positional);

// How many results carry code.
int opt_count(const opt_result *list, int code);

// The argument of the n-th (0-based) result with code, or null when there are fewer.
char *opt_get(const opt_result *list, int code, int n);
